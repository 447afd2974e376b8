// Loading XML files: what is handed to the library, and what is refused.
#include <tinyxml.h>

#include <string>
#include <utility>
#include <vector>

#include "patchdata/patchdata_internal.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";

std::string Repeat(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

// The element nesting of what the library makes of a text it is given.
int LibraryDepth(const std::string& text) {
  TiXmlDocument document;
  ParseXmlText(&document, text);
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> pending = {{&document, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > deepest) deepest = depth;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      pending.push_back({child, child->Type() == TiXmlNode::TINYXML_ELEMENT ? depth + 1 : depth});
    }
  }
  return deepest;
}

TEST(XmlFileTest, ElementStartsBoundTheNestingTheLibraryBuilds) {
  // Plain documents, markup-like text that is no markup, and the places
  // where the library nests more than the closing tags suggest: a broken
  // start tag is linked in as an element, "&#</a>#;" is one character, and
  // in UTF-8 mode a lead byte takes the next bytes, '<' included, with it.
  const std::vector<std::string> texts = {
      kDeclaration + "<UpdateQL>\n    <QL4.20>\n        <CurVersion />\n    </QL4.20>\n</UpdateQL>\n",
      "<a><!-- <b><c><d> --><e/></a>", "<a x=\"<b><c>\" y='</a>'><d/></a>",
      "<a><![CDATA[<b><c></a>]]><d></d></a>", "<U<UpdateQL>", "<a><b x=<c>", "<a><b><c",
      Repeat("<a>&#</a>#;", 5), kDeclaration + Repeat("<a>\xC3</a>", 5), Repeat("<_\x80>", 5),
  };
  for (const std::string& text : texts) {
    EXPECT_GE(CountElementStarts(text), LibraryDepth(text)) << text;
    EXPECT_GT(LibraryDepth(text), 0) << text;
  }
  EXPECT_EQ(CountElementStarts("<1a> < b> <!x> <?y?> </c> a<b"), 1);
}

TEST(XmlFileTest, MoreElementStartsThanTheLimitAreRefused) {
  TiXmlDocument atLimit;
  EXPECT_EQ(ParseXmlText(&atLimit, "<r>" + Repeat("<a/>", kMaxXmlElements - 1) + "</r>"), XmlLoad::kLoaded);
  EXPECT_TRUE(atLimit.FirstChild("r") != nullptr);
  TiXmlDocument beyond;
  EXPECT_EQ(ParseXmlText(&beyond, "<r>" + Repeat("<a/>", kMaxXmlElements) + "</r>"), XmlLoad::kRefused);
  EXPECT_TRUE(beyond.FirstChild() == nullptr) << "a refused text is not parsed at all";
}

TEST(XmlFileTest, DocumentsNestedDeeperThanTheLimitAreEmptied) {
  TiXmlDocument atLimit;
  EXPECT_EQ(ParseXmlText(&atLimit, Repeat("<a>", kMaxXmlDepth)), XmlLoad::kLoaded);
  EXPECT_EQ(ElementDepth(&atLimit), kMaxXmlDepth);
  // Every element start nested: the deepest parse the start bound lets through.
  for (const std::string& text : {Repeat("<a>", kMaxXmlDepth + 1), Repeat("<a>", kMaxXmlElements),
                                  "<r><!-- c --><x/>" + Repeat("<a>", kMaxXmlDepth) + "</r>"}) {
    TiXmlDocument deep;
    EXPECT_EQ(ParseXmlText(&deep, text), XmlLoad::kRefused);
    EXPECT_TRUE(deep.FirstChild() == nullptr) << "nothing of it is left to walk";
  }
  // The depth counts elements only, in every branch.
  TiXmlDocument mixed;
  ParseXmlText(&mixed, "<?xml version=\"1.0\"?><!-- x --><r>t<a><b/>u<c><d>v</d></c></a><e/></r>");
  EXPECT_EQ(ElementDepth(&mixed), 4);
  EXPECT_EQ(ElementDepth(&atLimit) , LibraryDepth(Repeat("<a>", kMaxXmlDepth)));
}

class XmlFileMachineTest : public MachineTest {};

TEST_F(XmlFileMachineTest, TextEndingInsideACharacterIsReadUpToIt) {
  // The lead byte at the end asks for bytes past the text: the padding
  // behind the text holds them, and what comes before is read.
  char value[kValueBytes] = {};
  for (const std::string& tail : {std::string("\xF0"), std::string("\xE0\r\n"), std::string("<a b=\"\xF4")}) {
    WriteDescription(kBom + "<UpdateQL><Version>4.20</Version>" + tail);
    EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_SUCCEED);
    EXPECT_STREQ(value, "4.20");
  }
}

TEST_F(XmlFileMachineTest, DeepDescriptionReadsAsMissingElements) {
  // A hundred thousand levels: far past what the library's recursion survives.
  WriteDescription("<UpdateQL><Version>4.20</Version>" + Repeat("<a>", 100000) + "</UpdateQL>");
  char value[kValueBytes] = {};
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_XML_ELEMENT_MISSING);
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_XML_ELEMENT_MISSING);
  EXPECT_STREQ(value, "");

  // As deep as the limit allows, the value at the bottom: read; one level
  // more, and nothing is.
  WriteDescription("<UpdateQL>" + Repeat("<a>", kMaxXmlDepth - 2) + "<Version>4.20</Version></UpdateQL>");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_SUCCEED);
  EXPECT_STREQ(value, "4.20");
  WriteDescription("<UpdateQL>" + Repeat("<a>", kMaxXmlDepth - 1) + "<Version>4.20</Version></UpdateQL>");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_XML_ELEMENT_MISSING);
}

TEST_F(XmlFileMachineTest, FiveThousandModulesAreRead) {
  std::vector<std::string> modules;
  for (int i = 1; i <= 5000; ++i) modules.push_back("module" + std::to_string(i) + ".dll");
  WriteDescription(Description("03", modules));
  wchar_t name[kNameChars] = {};
  ASSERT_EQ(ReadModuleName(5000, name), RC_SUCCEED);
  EXPECT_EQ(std::wstring(name), L"module5000.dll");
  int32_t count = 0;
  ASSERT_EQ(ReadModuleCount(&count), RC_SUCCEED);
  EXPECT_EQ(count, 5000);
}

TEST_F(XmlFileMachineTest, DeepRecordIsKeptAndRecordedAfresh) {
  WriteDescription(Description("03"));
  const std::string deep = kDeclaration + "<UpdateQL>" + Repeat("<a>", 100000) + "</UpdateQL>";
  WriteFile(recordPath_, deep);
  wchar_t recordPath[kPathChars] = {};
  // Like any damaged record: the patch applies, the file is not taken for
  // a missing one, and its bytes are kept before a fresh record is written.
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_NOT_PATCHED);
  CreatePatchRecord(recordPath);
  EXPECT_EQ(ReadFile(recordPath_), deep);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), recordPath), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_ + ".damaged"), deep);
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_PATCH_IS_LATEST);
}

}  // namespace
