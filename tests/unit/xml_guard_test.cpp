// The check that keeps files the XML library cannot parse safely away from
// it: too deep a nesting (the library recurses per level) and characters
// that run past the end of the text (the library then reads beyond its
// buffer).
#include <tinyxml.h>

#include <string>
#include <utility>
#include <vector>

#include "patchdata/patchdata.h"
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

// `levels` elements inside each other, the innermost holding `inner`.
std::string Nested(int levels, const std::string& inner = "") {
  return Repeat("<a>", levels) + inner + Repeat("</a>", levels);
}

int Measure(const std::string& text) { return MeasureXmlNesting(text.c_str(), text.size()); }

// The element nesting of what the library itself makes of a (small) text.
int LibraryDepth(const std::string& text) {
  TiXmlDocument document;
  document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
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

TEST(XmlGuardTest, CountsTheNestingTheLibraryBuilds) {
  // Plain documents, and the places where markup-like text is no markup.
  const std::vector<std::string> texts = {
      "<UpdateQL><Version>4.20</Version><WER1><UpdateModule>a.dll</UpdateModule></WER1></UpdateQL>",
      kDeclaration + "<UpdateQL>\n    <QL4.20>\n        <CurVersion />\n    </QL4.20>\n</UpdateQL>\n",
      "<a><!-- <b><c><d> --><e/></a>",
      "<a x=\"<b><c>\" y='</a>'><d/></a>",
      "<a><![CDATA[<b><c></a>]]><d></d></a>",
      "<a><!DOCTYPE <b> ><c/></a>",
      "<a><?pi <b>?><c/></a>",
      "<a>text &amp; &#60;b&#62; more<b/></a>",
      "<a/><b><c/></b>",
      "<a>",
      "<a><b></a>",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(Measure(text), LibraryDepth(text)) << text;
  }
}

TEST(XmlGuardTest, SeesClosingTagsTheLibraryPassesOver) {
  // A numeric character reference reaches to the next ';', and the library
  // only checks the digits right before it: "&#</a>#;" is one character,
  // so the "</a>" inside closes nothing.
  const std::string entity = Repeat("<a>&#</a>#;", 5);
  EXPECT_EQ(LibraryDepth(entity), 5);
  EXPECT_EQ(Measure(entity), 5);
  // In UTF-8 mode a lead byte takes the next bytes with it, '<' included.
  const std::string swallowed = kDeclaration + Repeat("<a>\xC3</a>", 5);
  EXPECT_EQ(LibraryDepth(swallowed), 5);
  EXPECT_EQ(Measure(swallowed), 5);
  // Without a declaration or byte-order mark the library reads byte by
  // byte, and the same bytes close each element.
  EXPECT_EQ(Measure(Repeat("<a>\xC3</a>", 5)), 1);

  // Deep enough to matter, the same tricks are refused.
  EXPECT_FALSE(IsSafeToParse(Repeat("<a>&#</a>#;", 2000).c_str(), 2000 * 11));
  const std::string deep = kDeclaration + Repeat("<a>\xC3</a>", 2000);
  EXPECT_FALSE(IsSafeToParse(deep.c_str(), deep.size()));
}

TEST(XmlGuardTest, RefusesCharactersRunningPastTheEnd) {
  // A multi-byte lead byte as the last byte: the library would step over
  // the end of its buffer, in text and in an attribute value alike.
  for (const std::string& text : {kBom + "<a>\xF0", kDeclaration + "<a>x\xE2", kBom + "<a b=\"\xF0",
                                   kDeclaration + "<a>\xC3"}) {
    EXPECT_EQ(Measure(text), -1) << text;
  }
  // Complete characters, and the same bytes outside UTF-8 mode, are fine.
  EXPECT_EQ(Measure(kBom + "<a>\xF0\x9F\x98\x80</a>"), 1);
  EXPECT_EQ(Measure("<a>\xF0"), 1);
}

TEST(XmlGuardTest, LimitsTheNesting) {
  const std::string atLimit = Nested(kMaxXmlNesting);
  EXPECT_TRUE(IsSafeToParse(atLimit.c_str(), atLimit.size()));
  const std::string beyond = Nested(kMaxXmlNesting, "<b/>");
  EXPECT_FALSE(IsSafeToParse(beyond.c_str(), beyond.size()));
  // Breadth costs nothing.
  const std::string flat = "<UpdateQL>" + Repeat("<a/><b>x</b>", 20000) + "</UpdateQL>";
  EXPECT_EQ(Measure(flat), 2);
}

class DeepFileTest : public MachineTest {
 protected:
  // A hundred thousand levels: far past what the library's recursion survives.
  static std::string DeepDocument() {
    return "<UpdateQL><Version>4.20</Version>" + Nested(100000) + "</UpdateQL>";
  }
};

TEST_F(DeepFileTest, DeepDescriptionReadsAsMissingElements) {
  WriteDescription(DeepDocument());
  char value[kValueBytes] = {};
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_XML_ELEMENT_MISSING);
  EXPECT_EQ(ReadNestedDataValue(kDataFileName, "WER1", "UpdateModule", value, sizeof value),
            RC_XML_ELEMENT_MISSING);
  EXPECT_EQ(CheckInstalledProduct(), RC_XML_ELEMENT_MISSING);
  EXPECT_STREQ(value, "");

  // One level fewer than the limit, with the value at the bottom: read.
  WriteDescription("<UpdateQL>" + Nested(kMaxXmlNesting - 2, "<Version>4.20</Version>") + "</UpdateQL>");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_SUCCEED);
  EXPECT_STREQ(value, "4.20");
}

TEST_F(DeepFileTest, DeepRecordIsKeptAndRecordedAfresh) {
  WriteDescription(Description("03"));
  const std::string deep = kDeclaration + DeepDocument();
  WriteFile(recordPath_, deep);
  wchar_t recordPath[kPathChars] = {};
  // Like any damaged record: the patch applies, the file is not taken for
  // a missing one, and its bytes are kept before a fresh record is written.
  EXPECT_EQ(EvaluatePatchState(recordPath), RC_NOT_PATCHED);
  CreatePatchRecord(recordPath);
  EXPECT_EQ(ReadFile(recordPath_), deep);
  EXPECT_EQ(RecordPatch(recordPath), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_ + ".damaged"), deep);
  EXPECT_EQ(EvaluatePatchState(recordPath), RC_PATCH_IS_LATEST);
}

TEST_F(DeepFileTest, TruncatedCharacterAtTheEndIsRefused) {
  WriteDescription(kBom + "<UpdateQL><Version>4.20\xF0");
  char value[kValueBytes] = {};
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_XML_ELEMENT_MISSING);
  // Line ends are counted as the library counts them, CR LF as one byte:
  // here the three-byte character would reach past the end.
  WriteDescription(kBom + "<UpdateQL><Version>4.20</Version>\xE0\r\n");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_XML_ELEMENT_MISSING);
  // With more text after it, the library reads on (and stops at its own
  // parse error after the value).
  WriteDescription(kBom + "<UpdateQL><Version>4.20</Version>\xE0\r\n</UpdateQL>");
  EXPECT_EQ(ReadDataValue(kDataFileName, "Version", value, sizeof value), RC_SUCCEED);
  EXPECT_STREQ(value, "4.20");
}

}  // namespace
