// The patch record: creating it, adding patches, and keeping it whole.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "patchdata/patchdata_internal.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";
const char kEmptyRecord[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n";

// A version element as the record's save writes it.
std::string VersionElement(const std::string& version, const std::string& current,
                           const std::vector<std::string>& patches) {
  std::string out = "    <QL" + version + ">\n";
  if (!current.empty()) out += "        <CurVersion>" + current + "</CurVersion>\n";
  for (const auto& p : patches) {
    out += "        <Patch" + p + ">\n            <QlVersion>" + version +
           "</QlVersion>\n            <PatchVersion>" + p +
           "</PatchVersion>\n            <Date>2020-03-15</Date>\n        </Patch" + p + ">\n";
  }
  return out + "    </QL" + version + ">\n";
}

std::string Record(const std::string& versionElements) {
  return kDeclaration + std::string("<UpdateQL>\n") + versionElements + "</UpdateQL>\n";
}

class RecordTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    WriteDescription(Description("03"));
    MakeDirs(install_ + "/UpdateBackup");
  }
  ResultCode State() {
    wchar_t path[kPathChars] = {};
    return EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path);
  }
  bool NoTempFile() { return !Exists(recordPath_ + ".tmp"); }
};

TEST_F(RecordTest, FreshMachineGetsExactlyTheDocumentedRecord) {
  wchar_t path[kPathChars] = {};
  ASSERT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_RECORD_MISSING);
  CreatePatchRecord(path);
  EXPECT_EQ(ReadFile(recordPath_), kEmptyRecord);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), path), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_), Record(VersionElement("4.20", "03", {"03"})));
  EXPECT_TRUE(NoTempFile());
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
}

TEST_F(RecordTest, LaterPatchIsAppendedAndBecomesCurrent) {
  WriteFile(recordPath_, Record(VersionElement("4.20", "02", {"02"})));
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_), Record(VersionElement("4.20", "03", {"02", "03"})));
}

TEST_F(RecordTest, CurVersionGetsReadableTextWhateverItHeld) {
  for (std::string held : {"<CurVersion />", "<CurVersion><!--note-->02</CurVersion>"}) {
    SCOPED_TRACE(held);
    WriteFile(recordPath_, Record("<QL4.20>" + held + "</QL4.20>"));
    EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
    EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
  }
  EXPECT_NE(ReadFile(recordPath_).find("<!--note-->"), std::string::npos);
  WriteFile(recordPath_, Record("<QL4.20><CurVersion /></QL4.20>"));
  RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str());
  EXPECT_EQ(ReadFile(recordPath_), Record(VersionElement("4.20", "03", {"03"})));
}

// Every record the apply writes to must end up holding the patch, or every
// later run would apply it again. A blank record is laid down anew; one
// without a usable root, or one the library cannot be given, is kept beside
// it first.
TEST_F(RecordTest, UnusableRecordEndsInAFreshRecordHoldingThePatch) {
  const std::string fresh = Record(VersionElement("4.20", "03", {"03"}));
  std::string deep = kDeclaration;
  for (int i = 0; i <= kMaxXmlElements; ++i) deep += "<a>";
  struct Case {
    std::string content;
    bool kept;
  };
  const Case cases[] = {
      {"", false},
      {"  \r\n", false},
      {std::string(512, '\0'), false},
      {"\xEF\xBB\xBF", false},
      {"<Other />\n", true},
      {"garbage", true},
      {kDeclaration + std::string("<UpdateQL><QL4.20><CurVersion>02\xE2\x82"), true},  // cut in a character
      {deep, true},  // nested too deeply
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("record of " + std::to_string(c.content.size()) + " bytes: " + c.content.substr(0, 40));
    std::filesystem::remove_all(install_ + "/UpdateBackup");
    WriteFile(recordPath_, c.content);
    EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
    EXPECT_EQ(ReadFile(recordPath_), fresh);
    EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
    EXPECT_EQ(ReadFile(recordPath_ + ".damaged"), c.kept ? c.content : "<missing>");
    EXPECT_TRUE(NoTempFile());
  }
  std::filesystem::remove(recordPath_);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_XML_LOAD_FAILED);
  EXPECT_FALSE(Exists(recordPath_));
}

TEST_F(RecordTest, OnlyThisVersionsCurVersionMoves) {
  WriteFile(recordPath_, Record(VersionElement("4.10", "05", {"05"}) +
                                VersionElement("4.20", "02", {"02"})));
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_), Record(VersionElement("4.10", "05", {"05"}) +
                                          VersionElement("4.20", "03", {"02", "03"})));

  // This version lacks its own CurVersion; the later version's stays as it is.
  WriteFile(recordPath_, Record(VersionElement("4.20", "", {"02"}) +
                                VersionElement("4.30", "01", {"01"})));
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_), Record(VersionElement("4.20", "03", {"02", "03"}) +
                                          VersionElement("4.30", "01", {"01"})));
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
}

TEST_F(RecordTest, LongestValuesMakeWholeElementNames) {
  const std::string version(63, 'v');
  const std::string patch = std::string(61, '0') + "03";
  std::string description = Description(patch);
  description.replace(description.find("4.20"), 4, version);
  WriteDescription(description);
  WriteFile(recordPath_, kEmptyRecord);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  EXPECT_NE(record.find("<QL" + version + ">"), std::string::npos);
  EXPECT_NE(record.find("<Patch" + patch + ">"), std::string::npos);
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
}

TEST_F(RecordTest, DamagedRecordIsKeptBesideItBeforeItIsRewritten) {
  const std::string damaged = Record(VersionElement("4.20", "02", {"02"})).substr(0, 120);
  WriteFile(recordPath_, damaged);
  WriteFile(recordPath_ + ".damaged", "earlier copy");
  MakeDirs(recordPath_ + ".damaged.2");  // a name a folder takes is passed over
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  EXPECT_EQ(ReadFile(recordPath_ + ".damaged"), "earlier copy");
  EXPECT_EQ(ReadFile(recordPath_ + ".damaged.3"), damaged);
  EXPECT_NE(ReadFile(recordPath_).find("<Patch03>"), std::string::npos);
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);

  // The same bytes again are not kept a second time.
  WriteFile(recordPath_, damaged);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  EXPECT_FALSE(Exists(recordPath_ + ".damaged.4"));
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);

  // When no copy can be made, the damaged record is not written over. The
  // files opened: the record, its bytes, the three names taken, the new copy.
  const std::string other = damaged.substr(0, 100);
  WriteFile(recordPath_, other);
  fake::FailCall("OpenFile", fake::CallCount("OpenFile") + 5);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_XML_LOAD_FAILED) << "the patch is not recorded";
  EXPECT_EQ(ReadFile(recordPath_), other);
  EXPECT_FALSE(Exists(recordPath_ + ".damaged.4"));
}

TEST_F(RecordTest, SideFilesPassOverFoldersAndStayWithinThePathBound) {
  // A folder where the temporary file would go.
  WriteFile(recordPath_, Record(VersionElement("4.20", "02", {"02"})));
  MakeDirs(recordPath_ + ".tmp");
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str()), RC_SUCCEED);
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
  EXPECT_FALSE(Exists(recordPath_ + ".tmp.2"));

  // An install folder whose record path leaves no room for the names
  // beside it is refused before anything is touched.
  wchar_t path[kPathChars] = {};
  const std::string longest = install_ + std::string(kPathChars - recordPath_.size() - kRecordSideSuffixChars, 'x');
  MakeDirs(longest);
  fake::SetMachineValue(kInstallKey, L"Path", Wide(longest));
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_REGISTRY_READ_FAILED);
  fake::SetMachineValue(kInstallKey, L"Path", Wide(longest.substr(0, longest.size() - 1)));
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_RECORD_MISSING);
  EXPECT_LT(std::wcslen(path) + kRecordSideSuffixChars, static_cast<size_t>(kPathChars));
}

TEST_F(RecordTest, FailedSaveLeavesTheOldRecordByteForByte) {
  const std::string old = Record(VersionElement("4.20", "02", {"02"}));
  // OpenFile: the first call loads the record, the second opens the temporary file.
  const std::pair<std::string, int> faults[] = {
      {"ReplaceFileAtomically", 1}, {"FlushToDisk", 1}, {"OpenFile", 2}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.first);
    WriteFile(recordPath_, old);
    fake::FailCall(fault.first, fake::CallCount(fault.first) + fault.second);
    RecordPatch(ReadPatchDescription(), Wide(recordPath_).c_str());
    EXPECT_EQ(ReadFile(recordPath_), old);
    EXPECT_TRUE(NoTempFile());
  }
  WriteFile(recordPath_, "");
  fake::FailCall("ReplaceFileAtomically", fake::CallCount("ReplaceFileAtomically") + 1);
  CreatePatchRecord(Wide(recordPath_).c_str());
  EXPECT_EQ(ReadFile(recordPath_), "");
  EXPECT_TRUE(NoTempFile());
}

TEST_F(RecordTest, CreateReplacesOnlyAMissingOrBlankRecord) {
  for (std::string content : {Record(VersionElement("4.20", "02", {"02"})), std::string("garbage")}) {
    WriteFile(recordPath_, content);
    CreatePatchRecord(Wide(recordPath_).c_str());
    EXPECT_EQ(ReadFile(recordPath_), content);
  }
  // A blank record that cannot be opened is left alone too.
  WriteFile(recordPath_, " \r\n\t");
  fake::FailCall("OpenFile", fake::CallCount("OpenFile") + 1);
  CreatePatchRecord(Wide(recordPath_).c_str());
  EXPECT_EQ(ReadFile(recordPath_), " \r\n\t");
  EXPECT_EQ(State(), RC_RECORD_MISSING);  // blank: the apply mode creates a fresh one
  CreatePatchRecord(Wide(recordPath_).c_str());
  EXPECT_EQ(ReadFile(recordPath_), kEmptyRecord);

  // Without the backup folder nothing can be written, and nothing is left behind.
  std::filesystem::remove_all(install_ + "/UpdateBackup");
  CreatePatchRecord(Wide(recordPath_).c_str());
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup"));
}

}  // namespace
