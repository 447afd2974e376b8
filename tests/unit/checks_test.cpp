// The installed-product check, the install values and the record states.
#include <cwchar>
#include <string>

#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

class ChecksTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    WriteDescription(Description("03"));
  }
  ResultCode State() {
    wchar_t path[kPathChars] = {};
    return EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path);
  }
  void WriteRecord(const std::string& versionContent, const std::string& version = "4.20") {
    WriteFile(recordPath_, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<UpdateQL>\r\n<QL" + version +
                               ">" + versionContent + "</QL" + version + ">\r\n</UpdateQL>\r\n");
  }
};

TEST_F(ChecksTest, InstalledProductMustMatchExactly) {
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_SUCCEED);
  WriteDescription("<UpdateQL><Version>4.200</Version><BuildID>0137</BuildID></UpdateQL>");
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_VERSION_MISMATCH);
  WriteDescription("<UpdateQL><Version> 4.20 </Version><BuildID>137</BuildID></UpdateQL>");
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_BUILD_ID_MISMATCH) << "blanks trimmed; build compared as text";
  WriteDescription("<UpdateQL><Version>4.20</Version></UpdateQL>");
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_XML_ELEMENT_MISSING);
  // A build ID shorter than the version read before it is compared as itself.
  fake::SetMachineValue(kInstallKey, L"BuildID", L"7");
  WriteDescription("<UpdateQL><Version>4.20</Version><BuildID>7</BuildID></UpdateQL>");
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_SUCCEED);
  fake::SetMachineValue(kInstallKey, L"Version", L"4.2O");
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_VERSION_MISMATCH);
  EXPECT_EQ(fake::OpenKeys(), 0);
}

TEST_F(ChecksTest, InstallValuesAndTheirFailures) {
  wchar_t value[kNameChars] = {};
  EXPECT_EQ(ReadInstallValue(L"Version", value, kNameChars), RC_SUCCEED);
  EXPECT_STREQ(value, L"4.20");
  EXPECT_EQ(ReadInstallValue(L"Missing", value, kNameChars), RC_REGISTRY_READ_FAILED);
  fake::SetMachineValue(kInstallKey, L"Long", std::wstring(64, L'x'));
  EXPECT_EQ(ReadInstallValue(L"Long", value, kNameChars), RC_REGISTRY_READ_FAILED);
  fake::FailCall("OpenMachineKeyForRead", fake::CallCount("OpenMachineKeyForRead") + 1);
  EXPECT_EQ(ReadInstallValue(L"Version", value, kNameChars), RC_REGISTRY_READ_FAILED);
  EXPECT_EQ(fake::OpenKeys(), 0) << "the key is closed on every path";

  fake::Reset();
  EXPECT_EQ(CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription()), RC_REGISTRY_READ_FAILED) << "no install key at all";
}

TEST_F(ChecksTest, RecordStates) {
  EXPECT_EQ(State(), RC_RECORD_MISSING);
  WriteRecord("<CurVersion>03</CurVersion>");
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
  WriteRecord("<CurVersion>4</CurVersion>");
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
  WriteRecord("<CurVersion>1</CurVersion>");
  EXPECT_EQ(State(), RC_NOT_PATCHED);
  WriteRecord("<CurVersion/>");
  EXPECT_EQ(State(), RC_DECIMAL_CONVERSION_FAILED);
  WriteRecord("<CurVersion>x</CurVersion>");
  EXPECT_EQ(State(), RC_DECIMAL_CONVERSION_FAILED);
  WriteRecord("<CurVersion>9</CurVersion>", "4.10");
  EXPECT_EQ(State(), RC_NOT_PATCHED) << "only another version is recorded";
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>03</CurVersion></QL4.20><Trunc");
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST) << "what was read before a parse error counts";
  WriteFile(recordPath_, "<UpdateQL><QL4.10><CurVersion>");
  EXPECT_EQ(State(), RC_NOT_PATCHED);
  WriteFile(recordPath_, "<Other/>");
  EXPECT_EQ(State(), RC_NOT_PATCHED);
}

TEST_F(ChecksTest, PatchNumbersCompareAsNumbers) {
  WriteDescription(Description("3"));
  WriteRecord("<CurVersion>03</CurVersion>");
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
  WriteDescription(Description("10"));
  WriteRecord("<CurVersion>9</CurVersion>");
  EXPECT_EQ(State(), RC_NOT_PATCHED);
}

// Version names the record's version element ("QL" + Version), PatchVersion
// the backup folder and the patch element: a text that cannot be either is
// refused before anything is read from the record, in the query too.
TEST_F(ChecksTest, PatchIdentityThatCannotBeRecordedIsRefused) {
  for (const char* patch : {"", "   ", "abc", "3 hotfix", "+3", "-3", "0x3", "03\\..\\..\\qlvictim", "３",
                            "2147483648", "3000000000"}) {
    SCOPED_TRACE(std::string("PatchVersion ") + patch);
    WriteDescription(Description(patch));
    g_backupFolderName[0] = 0;
    EXPECT_EQ(State(), RC_XML_ELEMENT_MISSING);
    EXPECT_STREQ(g_backupFolderName, L"") << "no backup folder is named after it";
  }
  for (const char* version : {"4.20 SP1", "4.20(x86)", "4,20", "4.20/x", "4.20&amp;1"}) {
    SCOPED_TRACE(std::string("Version ") + version);
    std::string description = Description("03");
    description.replace(description.find("4.20"), 4, version);
    WriteDescription(description);
    EXPECT_EQ(State(), RC_XML_ELEMENT_MISSING);
  }
  // Dots, dashes, colons and underscores are name characters.
  for (const char* version : {"4.20", "4.20-beta_2", "v4:20"}) EXPECT_TRUE(IsRecordableVersion(version)) << version;
  EXPECT_TRUE(IsPatchNumber("0003"));
  EXPECT_TRUE(IsPatchNumber("0002147483647"));
  EXPECT_FALSE(IsPatchNumber(""));
}

TEST_F(ChecksTest, CurVersionOfALaterVersionElementIsTaken) {
  WriteFile(recordPath_,
            "<UpdateQL><QL4.20><Patch01/></QL4.20><QL4.30><CurVersion>05</CurVersion></QL4.30></UpdateQL>");
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
}

TEST_F(ChecksTest, BlankRecordCountsAsMissing) {
  WriteFile(recordPath_, "");
  EXPECT_EQ(State(), RC_RECORD_MISSING);
  // Blank in any sense: white space, zero bytes (what a power cut can leave),
  // a byte-order mark alone.
  for (std::string blank : {std::string(" \r\n\t\n"), std::string(4096, '\0'), std::string("\xEF\xBB\xBF"),
                            std::string("\xEF\xBB\xBF \r\n\0\0", 8)}) {
    WriteFile(recordPath_, blank);
    EXPECT_EQ(State(), RC_RECORD_MISSING) << blank.size() << " bytes";
  }
  // A byte-order mark anywhere but first is content.
  WriteFile(recordPath_, " \xEF\xBB\xBF");
  EXPECT_EQ(State(), RC_NOT_PATCHED);
}

TEST_F(ChecksTest, FixesRecordPathAndBackupFolderName) {
  wchar_t path[kPathChars] = {};
  g_backupFolderName[0] = 0;
  WriteDescription("<UpdateQL><Version>4.20</Version><PatchVersion>03</PatchVersion></UpdateQL>");
  InstallInfo noFolder = ReadInstallInfo();
  noFolder.folderRead = false;
  EXPECT_EQ(EvaluatePatchState(noFolder, ReadPatchDescription(), path), RC_REGISTRY_READ_FAILED);
  EXPECT_STREQ(g_backupFolderName, L"Patch03") << "set before the install folder is read";
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_RECORD_MISSING);
  EXPECT_EQ(std::wstring(path), Wide(install_) + L"\\UpdateBackup\\QlPatch.xml");
}

TEST_F(ChecksTest, InstallFolderTooLongForTheRecordPathIsRefused) {
  fake::SetMachineValue(kInstallKey, L"Path", L"/tmp/" + std::wstring(240, L'a'));
  EXPECT_EQ(State(), RC_REGISTRY_READ_FAILED);
}

TEST_F(ChecksTest, RecordFoundUnderFolderOutsideTheOemCodePage) {
  std::string folder = root_ + "/Κόμβος-接続";
  MakeDirs(folder);
  fake::SetMachineValue(kInstallKey, L"Path", Wide(folder));
  WriteFile(folder + "/UpdateBackup/QlPatch.xml",
            "<UpdateQL><QL4.20><CurVersion>03</CurVersion></QL4.20></UpdateQL>");
  EXPECT_EQ(State(), RC_PATCH_IS_LATEST);
}

}  // namespace
