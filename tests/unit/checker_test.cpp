// qlpatch-check: the findings it gives for a patch folder, checked against
// what the tool itself does with the same folder.
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "checker/folder_check.h"
#include "patchdata/xml_file.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"
#include "tests/unit/test_support.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class FingerprintTest : public MachineTest {
 protected:
  std::string HashOf(const std::string& bytes) {
    WriteFile(work_ + "/f.bin", bytes);
    const FileFingerprint print = FingerprintFile(L"f.bin");
    EXPECT_TRUE(print.readable);
    EXPECT_EQ(print.bytes, bytes.size());
    EXPECT_EQ(fake::OpenKernelHandles(), 0) << "the hash is freed";
    return print.sha256;
  }
};

TEST_F(FingerprintTest, TheSystemsSha256MatchesTheStandardTestVectors) {
  EXPECT_EQ(HashOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HashOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // A million bytes: read and hashed in pieces.
  EXPECT_EQ(HashOf(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_GE(fake::CallCount("HashBytes"), 16);
}

TEST_F(FingerprintTest, AHashThatFailsIsNeverShownAsADigest) {
  WriteFile(work_ + "/f.bin", std::string(200000, 'x'));
  for (const char* call : {"StartSha256", "HashBytes", "FinishSha256"}) {
    for (int occurrence : {1, 2}) {
      fake::Reset();
      fake::FailCall(call, occurrence);
      const FileFingerprint print = FingerprintFile(L"f.bin");
      const bool failed = fake::CallCount(call) >= occurrence;
      SCOPED_TRACE(std::string(call) + " #" + std::to_string(occurrence));
      EXPECT_TRUE(print.readable);
      EXPECT_EQ(print.bytes, 200000u) << "the size is known whatever the hash does";
      EXPECT_EQ(print.sha256.empty(), failed);
      if (failed) {
        EXPECT_EQ(print.hashError, 31u) << "the injected failure's error";
      }
      EXPECT_EQ(fake::OpenKernelHandles(), 0) << "the hash is freed";
    }
  }
}

class CheckerTest : public MachineTest {
 protected:
  // The description for `modules` and a new copy of each ("new <name>").
  void Folder(const std::vector<std::string>& modules) {
    WriteDescription(Description("03", modules));
    for (const auto& module : modules) WriteFile(work_ + "/" + Native(module), "new " + module);
  }
  // Root `body` with the product values of patch 03 before it.
  void Body(const std::string& body) {
    WriteDescription("<UpdateQL><Version>4.20</Version><BuildID>0137</BuildID>"
                     "<PatchVersion>03</PatchVersion>" + body + "</UpdateQL>");
  }
  static std::string Native(std::string name) {
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    return name;
  }

  // The findings are exactly one per prefix given, in that order.
  void ExpectFindings(const std::vector<std::string>& prefixes) {
    report_ = CheckPatchFolder();
    std::string all;
    for (const auto& line : report_.findings) all += "\n  " + Narrow(line);
    SCOPED_TRACE("findings:" + all);
    ASSERT_EQ(report_.findings.size(), prefixes.size());
    for (size_t i = 0; i < prefixes.size(); ++i) {
      EXPECT_EQ(Narrow(report_.findings[i]).compare(0, prefixes[i].size(), prefixes[i]), 0)
          << "finding " << i << " should start with: " << prefixes[i];
    }
    EXPECT_EQ(ExitCodeOf(report_), prefixes.empty() ? kCheckClean : kCheckProblems);
  }
  std::string Finding(size_t i) const { return Narrow(report_.findings.at(i)); }

  // The code the first finding says the tool stops with: the number after
  // the first "with ".
  int StatedCode() const {
    const std::string line = Finding(0);
    for (size_t at = line.find("with "); at != std::string::npos; at = line.find("with ", at + 1)) {
      if (std::isdigit(static_cast<unsigned char>(line[at + 5]))) return std::stoi(line.substr(at + 5));
    }
    return -100;
  }

  FolderReport report_;
};

TEST_F(CheckerTest, ADescriptionTheToolCannotUseIsOneFinding) {
  ExpectFindings({"patchql58302.dat: missing; the tool would stop with 2 (load xml fail!)"});
  WriteDescription("\xEF\xBB\xBF \r\n\t");
  ExpectFindings({"patchql58302.dat: blank"});
  std::string deep;
  for (int i = 0; i < kMaxXmlElements; ++i) deep += "<a>";
  WriteDescription("<UpdateQL>" + deep + "</UpdateQL>");
  ExpectFindings({"patchql58302.dat: more than " + std::to_string(kMaxXmlElements) + " element starts, or elements "
                  "nested more than " + std::to_string(kMaxXmlDepth) + " deep"});
  WriteDescription("<Update><Version>4.20</Version></Update>");
  ExpectFindings({"UpdateQL: no root element of that name"});
  // A file that is there but cannot be opened leaves the folder unjudged.
  std::filesystem::remove(work_ + "/patchql58302.dat");
  MakeDirs(work_ + "/patchql58302.dat");
  report_ = CheckPatchFolder();
  EXPECT_EQ(ExitCodeOf(report_), kCheckUnreadable);
}

TEST_F(CheckerTest, ValuesAreReadWithTheToolsLimits) {
  const std::string v31(31, '4'), b31(31, 'b'), p63(std::string(61, '0') + "03");
  WriteDescription("<UpdateQL><Version>" + v31 + "</Version><BuildID>" + b31 + "</BuildID><PatchVersion>" +
                   p63 + "</PatchVersion><WerNum>0</WerNum></UpdateQL>");
  ExpectFindings({"WerNum: 0 lists no module; the tool would stop the product, replace nothing and record"});
  WriteDescription("<UpdateQL><Version>" + v31 + "5</Version><BuildID>" + b31 + "c</BuildID><PatchVersion>" +
                   p63 + "3</PatchVersion><WerNum>0</WerNum></UpdateQL>");
  ExpectFindings({"Version: 32 bytes long, more than the 31 the tool accepts; the tool would stop with 3",
                  "BuildID: 32 bytes long, more than the 31",
                  "PatchVersion: 64 bytes long, more than the 63 the tool accepts; the tool refuses",
                  "WerNum: 0 lists no module"});
}

TEST_F(CheckerTest, AModuleElementWithoutItsOwnUpdateModuleBorrowsTheNext) {
  Folder({"core.dll", "x.dll"});
  Body("<WerNum>2</WerNum><WER1></WER1><WER2><UpdateModule>x.dll</UpdateModule></WER2>");
  // The tool then reads "x.dll" twice, and refuses the list.
  ExpectFindings({"WER1: UpdateModule missing; the tool would read WER2's \"x.dll\" instead, so WER1's own "
                  "module is never replaced",
                  "WER2: \"x.dll\" is the file WER1 lists already"});
  // It is what the tool reads for WER1.
  wchar_t name[kNameChars] = {};
  ASSERT_EQ(ReadModuleName(1, name), RC_SUCCEED);
  EXPECT_EQ(Narrow(name), "x.dll");
  // Text before the module element keeps the search out of it as well.
  Body("<WerNum>2</WerNum><WER1>core<UpdateModule>core.dll</UpdateModule></WER1>"
       "<WER2><UpdateModule>x.dll</UpdateModule></WER2>");
  ExpectFindings({"WER1: UpdateModule missing; the tool would read WER2's \"x.dll\"",
                  "WER2: \"x.dll\" is the file WER1 lists already"});
  // Nothing after it to borrow from: an empty name.
  Body("<WerNum>2</WerNum><WER1><UpdateModule>core.dll</UpdateModule></WER1><WER2/>");
  ExpectFindings({"WER2: UpdateModule missing, here and in every element after it"});
  EXPECT_EQ(StatedCode(), RC_MOVE_FILE_FAILED);
}

// Windows folds the case of every letter, not of ASCII alone.
TEST_F(CheckerTest, OneFileListedInAnotherCaseOfAnyLetterIsFound) {
  Body("<WerNum>3</WerNum><WER1><UpdateModule>\xC4x.dll</UpdateModule></WER1><WER2><UpdateModule>\xDF.dll"
       "</UpdateModule></WER2><WER3><UpdateModule>\xE4X.DLL</UpdateModule></WER3>");
  ExpectFindings({"WER1: new copy", "WER2: new copy", "WER3: new copy", "WER3: "});
  EXPECT_NE(Finding(3).find("is the file WER1 lists already"), std::string::npos) << Finding(3);
}

// A module name's bytes are read in each machine's ANSI code page: one saved as
// UTF-8 is told by the file it meant, one saved in this machine's code page is
// found here only.
TEST_F(CheckerTest, ANameOutsideAsciiIsReadInEachMachinesCodePage) {
  Body("<WerNum>1</WerNum><WER1><UpdateModule>\xC3\xA4x.dll</UpdateModule></WER1>");
  WriteFile(work_ + "/\xC3\xA4x.dll", "new");
  // Narrow() keeps each character's low byte: "\xC3\xA4" is the two characters read, "\xE4" the one meant.
  ExpectFindings({"WER1: new copy \"\xC3\xA4x.dll\" missing from this folder"});
  EXPECT_NE(Finding(0).find("; the file here is \"\xE4x.dll\": the description was saved as UTF-8"),
            std::string::npos);
  // Saved in this machine's code page it is found here, but not on a machine set to another.
  Body("<WerNum>1</WerNum><WER1><UpdateModule>\xE4x.dll</UpdateModule></WER1>");
  ExpectFindings({"WER1: module name \"\xE4x.dll\" holds characters outside ASCII, which each machine reads in "
                  "its own ANSI code page"});
  EXPECT_EQ(StatedCode(), -100) << "a warning: the tool applies it here";
}

TEST_F(CheckerTest, MissingModuleElementsAreNamedWithWhatTheToolHasDoneByThen) {
  Folder({"core.dll"});
  Body("<WerNum>5</WerNum><WER1><UpdateModule>core.dll</UpdateModule></WER1>"
       "<WER3><UpdateModule>core3.dll</UpdateModule></WER3>");
  WriteFile(work_ + "/core3.dll", "3");
  // The tool reads the whole list before it stops anything.
  ExpectFindings({"WER2: missing; the tool would stop with 3 (unknow xml evelment!) at WER2, before touching "
                  "anything",
                  "WER4 to WER5: missing (WerNum is 5); the tool would stop with 3 (unknow xml evelment!) at "
                  "WER4, before touching anything"});
  // A count far beyond the elements is one line, not one per index.
  Body("<WerNum>2000000000</WerNum>");
  ExpectFindings({"WER1 to WER2000000000: missing (WerNum is 2000000000); the tool would stop with 3 (unknow "
                  "xml evelment!) at WER1, before touching anything"});
}

TEST_F(CheckerTest, ModuleElementsTheToolNeverReads) {
  Folder({"core.dll"});
  Body("<WerNum>1</WerNum><WER1><UpdateModule>core.dll</UpdateModule></WER1>"
       "<WER01><UpdateModule>a.dll</UpdateModule></WER01><WER10/><WER2><UpdateModule>b.dll</UpdateModule>"
       "</WER2><WER1><UpdateModule>c.dll</UpdateModule></WER1>");
  ExpectFindings({"WER01: never read", "WER1: appears 2 times; the tool reads only the first",
                  "WER2: beyond WerNum (1)", "WER10: beyond WerNum (1)"});
  Body("<WerNum>-1</WerNum><WER1/>");
  ExpectFindings({"WerNum: \"-1\" is not a plain decimal number; the tool reads it as -1",
                  "WerNum: -1 lists no module", "WER1: beyond WerNum (-1)"});
}

TEST_F(CheckerTest, ANameTheToolRefusesIsNotLookedFor) {
  Folder({"..\\a.dll"});  // its "new copy" lands beside the folder
  ASSERT_TRUE(Exists(root_ + "/a.dll"));
  ExpectFindings({"WER1: module name \"..\\a.dll\" leaves the install folder"});
  ASSERT_EQ(report_.description.modules.size(), 1u);
  EXPECT_FALSE(report_.description.modules[0].newCopy.readable);
}

TEST_F(CheckerTest, DeviceNamesAndTheBackupFolderAreRefusedAndNeverOpened) {
  // Files of these names in the folder: the stand-in would open them as files.
  for (const std::string name : {"NUL", "com1", "Lpt9.dll", "aux .x", "CON.", "prn.tar.gz", "UpdateBackup"}) {
    SCOPED_TRACE(name);
    Folder({"core.dll", name});
    ExpectFindings({"WER2: module name \"" + name + "\" "});
    EXPECT_EQ(StatedCode(), RC_MOVE_FILE_FAILED);
    EXPECT_NE(Finding(0).find("before touching anything"), std::string::npos) << Finding(0);
    ASSERT_EQ(report_.description.modules.size(), 2u);
    EXPECT_FALSE(report_.description.modules[1].newCopy.readable) << "never opened";
  }
  Body("<WerNum>1</WerNum><WER1><UpdateModule>bin\\nul.dll</UpdateModule></WER1>");
  ExpectFindings({"WER1: module name \"bin\\nul.dll\" names a Windows device"});
  Body("<WerNum>1</WerNum><WER1><UpdateModule>UpdateBackup\\QlPatch.xml</UpdateModule></WER1>");
  ExpectFindings({"WER1: module name \"UpdateBackup\\QlPatch.xml\" lies in the backup folder \"UpdateBackup\""});
  // Names the tool takes as they are.
  Folder({"console.dll", "com10.dll", "nul1.dll", "UpdateBackup2.dll"});
  ExpectFindings({});
}

TEST_F(CheckerTest, AStepIntoTheFolderItselfIsNoSubfolder) {
  Folder({"./m1.dll", ".\\m2.dll", ".\\.\\m3.dll"});
  ExpectFindings({});
  Folder({"bin/m1.dll"});
  ExpectFindings({"WER1: module \"bin/m1.dll\" is in a subfolder"});
  Folder({".\\bin\\m1.dll"});
  ExpectFindings({"WER1: module \".\\bin\\m1.dll\" is in a subfolder"});
}

TEST_F(CheckerTest, NewCopiesWithStandingAttributesAreFlagged) {
  Folder({"a.dll", "b.dll", "c.dll"});
  // Kept by the path the checker opens the new copies by.
  fake::SetFileAttributesOf("a.dll", os::kAttributeReadOnly);
  fake::SetFileAttributesOf("c.dll", os::kAttributeHidden | os::kAttributeSystem | 0x20);
  ExpectFindings({"WER1: new copy \"a.dll\" is read-only; the copy gives the installed module the same attributes",
                  "WER3: new copy \"c.dll\" is hidden and system;"});
  fake::SetFileAttributesOf("a.dll", 0x20);  // archive alone stands in no way
  fake::SetFileAttributesOf("c.dll", 0);
  ExpectFindings({});
}

TEST_F(CheckerTest, TheReportPrintsEveryLineWhole) {
  // Bytes outside ASCII, widened with the ANSI code page as the tool widens them.
  Body("<WerNum>\xEF\xBC\x93</WerNum>");
  report_ = CheckPatchFolder();
  ASSERT_EQ(report_.findings.size(), 1u);
  PrintReport(report_);
  EXPECT_NE(fake::Output().find(L"WerNum: \"\u00EF\u00BC\u201C\" is not a number; the tool would stop with 18 "
                                L"(convert decimal fail!) before touching anything"),
            std::wstring::npos);
  Body("<WerNum>1</WerNum><WER1><UpdateModule>\xE6\x97\xA5.dll</UpdateModule></WER1>");
  report_ = CheckPatchFolder();
  ASSERT_EQ(report_.findings.size(), 1u);
  PrintReport(report_);
  const std::wstring output = fake::Output();
  EXPECT_NE(output.find(L"WER1: new copy \"\u00E6\u2014\u00A5.dll\" missing from this folder; the tool would stop "
                        L"with 14 (copy file error!) here, before touching anything"),
            std::wstring::npos);
  EXPECT_NE(output.find(L"  WER1          \u00E6\u2014\u00A5.dll: missing from this folder\r\n"), std::wstring::npos);
  EXPECT_NE(output.find(L"1 problem(s) found: qlpatch.exe would not apply this folder cleanly.\r\n"),
            std::wstring::npos);
}

// For every problem in the module phase, the code the checker names is the
// code the tool's module loop gives on the same folder.
TEST_F(CheckerTest, TheStatedCodeIsWhatTheToolGives) {
  os::FormatWide(g_backupFolderName, kBackupFolderNameChars, L"Patch%ls", L"03");
  struct Case {
    const char* body;
    const char* newCopy;
  } cases[] = {
      {"<WerNum>2</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1>", "a.dll"},
      {"<WerNum>1</WerNum><WER1><UpdateModule/></WER1>", nullptr},
      {"<WerNum>1</WerNum><WER1><UpdateModule>..\\a.dll</UpdateModule></WER1>", nullptr},
      {"<WerNum>1</WerNum><WER1><UpdateModule>bin\\a.dll</UpdateModule></WER1>", "bin\\a.dll"},
      {"<WerNum>1</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1>", nullptr},
      {"<WerNum>1</WerNum><WER1><UpdateModule>aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.dll"
       "</UpdateModule></WER1>", nullptr},
      {"<WerNum>x</WerNum>", nullptr},
      {"<WerNum>2</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1><WER2><UpdateModule>CON.dll"
       "</UpdateModule></WER2>", "a.dll"},
      {"<WerNum>1</WerNum><WER1><UpdateModule>updatebackup</UpdateModule></WER1>", nullptr},
      {"<WerNum></WerNum>", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::filesystem::remove_all(install_);
    std::filesystem::remove_all(work_ + "/bin");
    MakeDirs(install_ + "/bin");
    WriteFile(install_ + "/a.dll", "old");
    WriteFile(install_ + "/bin/a.dll", "old");
    std::filesystem::remove(work_ + "/a.dll");
    if (c.newCopy != nullptr) WriteFile(work_ + "/" + Native(c.newCopy), "new");
    Body(c.body);
    report_ = CheckPatchFolder();
    ASSERT_FALSE(report_.findings.empty());
    EXPECT_EQ(StatedCode(), ReplaceListedModules()) << Finding(0);
  }
}

}  // namespace
