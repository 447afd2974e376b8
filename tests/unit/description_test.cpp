// The element search and the description file readers.
#include <pthread.h>
#include <tinyxml.h>

#include <cstring>
#include <string>

#include "patchdata/patchdata_internal.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

class DescriptionTest : public MachineTest {
 protected:
  // Reads `name` from a description holding `body` inside its root.
  ResultCode Read(const std::string& body, const char* name, std::string* value,
                  size_t bytes = kValueBytes) {
    WriteDescription("<UpdateQL>" + body + "</UpdateQL>");
    char buffer[256] = {};
    ResultCode result = ReadDataValue(kDataFileName, name, buffer, bytes);
    *value = buffer;
    return result;
  }
};

TEST_F(DescriptionTest, ReadsTextWithLibraryWhiteSpaceHandling) {
  std::string value;
  EXPECT_EQ(Read("<Version>  4.20 </Version>", "Version", &value), RC_SUCCEED);
  EXPECT_EQ(value, "4.20");
  EXPECT_EQ(Read("<V>a   b\n c</V>", "V", &value), RC_SUCCEED);
  EXPECT_EQ(value, "a b c");
  EXPECT_EQ(Read("<V>&lt;&amp;&#65;</V>", "V", &value), RC_SUCCEED);
  EXPECT_EQ(value, "<&A");
}

TEST_F(DescriptionTest, ElementsWithoutTextReadEmpty) {
  std::string value = "x";
  EXPECT_EQ(Read("<Version/>", "Version", &value), RC_SUCCEED);
  EXPECT_EQ(value, "");
  EXPECT_EQ(Read("<Version><!-- note -->4.20</Version>", "Version", &value), RC_SUCCEED);
  EXPECT_EQ(value, "") << "the first child is the comment, not text";
}

TEST_F(DescriptionTest, WalkOrderDecidesWhatIsFound) {
  std::string value;
  // The walk does not descend below a root whose first child is a comment.
  EXPECT_EQ(Read("<!-- c --><Version>4.20</Version>", "Version", &value), RC_XML_ELEMENT_MISSING);
  // An empty element is passed and its sibling reached.
  EXPECT_EQ(Read("<Empty/><Version>4.20</Version>", "Version", &value), RC_SUCCEED);
  EXPECT_EQ(value, "4.20");
  // Depth first: a nested match before a later sibling.
  EXPECT_EQ(Read("<A><Version>1</Version></A><Version>2</Version>", "Version", &value), RC_SUCCEED);
  EXPECT_EQ(value, "1");
  // A comment between siblings ends the sibling chain.
  EXPECT_EQ(Read("<A/><!-- c --><Version>2</Version>", "Version", &value), RC_XML_ELEMENT_MISSING);
  // Names are case-sensitive.
  EXPECT_EQ(Read("<version>4.20</version>", "Version", &value), RC_XML_ELEMENT_MISSING);
  // The search starting at the root answers the root itself.
  EXPECT_EQ(Read("<A/>", "UpdateQL", &value), RC_SUCCEED);
}

TEST_F(DescriptionTest, FileAndRootFailures) {
  char buffer[kValueBytes] = {};
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", buffer, sizeof buffer), RC_XML_LOAD_FAILED);
  WriteDescription("");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", buffer, sizeof buffer), RC_XML_ELEMENT_MISSING);
  WriteDescription("<Other><Version>4.20</Version></Other>");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", buffer, sizeof buffer), RC_XML_ELEMENT_MISSING);
  // A truncated file: what was read before the error is searched.
  WriteDescription("<UpdateQL><Version>4.20</Version><BuildID>01");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", buffer, sizeof buffer), RC_SUCCEED);
  EXPECT_STREQ(buffer, "4.20");
}

TEST_F(DescriptionTest, ValuesLongerThanTheirBufferAreRefusedNotCut) {
  std::string value;
  EXPECT_EQ(Read("<V>" + std::string(63, 'x') + "</V>", "V", &value), RC_SUCCEED);
  EXPECT_EQ(value.size(), 63u);
  EXPECT_EQ(Read("<V>" + std::string(64, 'x') + "</V>", "V", &value), RC_XML_ELEMENT_MISSING);
  EXPECT_EQ(value, "");
  EXPECT_EQ(Read("<V>" + std::string(31, 'x') + "</V>", "V", &value, kVersionValueBytes), RC_SUCCEED);
  EXPECT_EQ(Read("<V>" + std::string(32, 'x') + "</V>", "V", &value, kVersionValueBytes),
            RC_XML_ELEMENT_MISSING);
}

TEST_F(DescriptionTest, NestedReaderFollowsTheWalkIntoLaterModules) {
  WriteDescription(
      "<UpdateQL><WER1><Other/></WER1><WER2><UpdateModule>b.dll</UpdateModule></WER2>"
      "<WER3><Other/></WER3></UpdateQL>");
  char buffer[kValueBytes] = {};
  EXPECT_EQ(ReadNestedDataValue(kDataFileName, "WER1", "UpdateModule", buffer, sizeof buffer), RC_SUCCEED);
  EXPECT_STREQ(buffer, "b.dll") << "a module without its own name takes a later one's";
  char empty[kValueBytes] = {};
  EXPECT_EQ(ReadNestedDataValue(kDataFileName, "WER3", "UpdateModule", empty, sizeof empty), RC_SUCCEED);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(ReadNestedDataValue(kDataFileName, "WER4", "UpdateModule", empty, sizeof empty),
            RC_XML_ELEMENT_MISSING);
}

struct SearchJob {
  TiXmlNode* start;
  const char* name;
  TiXmlElement* found;
};

void* RunSearch(void* argument) {
  auto* job = static_cast<SearchJob*>(argument);
  job->found = FindElement(job->start, job->name);
  return nullptr;
}

// Runs the search on a thread with a small stack (256 KiB), where a walk that
// recursed once per sibling would overflow long before 100,000 siblings.
TiXmlElement* SearchOnSmallStack(TiXmlNode* start, const char* name) {
  SearchJob job{start, name, nullptr};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attributes, RunSearch, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return job.found;
}

TEST(FindElementTest, LongSiblingChainDoesNotExhaustTheStack) {
  std::string xml = "<UpdateQL>";
  for (int i = 0; i < 100000; ++i) xml += "<M/>";
  xml += "<Target>found</Target></UpdateQL>";
  TiXmlDocument document;
  document.Parse(xml.c_str());
  ASSERT_FALSE(document.Error());
  TiXmlElement* found = SearchOnSmallStack(document.FirstChild("UpdateQL"), "Target");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(ElementText(found), "found");
  EXPECT_EQ(FindElement(document.FirstChild("UpdateQL"), "Absent"), nullptr);
  EXPECT_EQ(FindElement(nullptr, "Target"), nullptr);
}

}  // namespace
