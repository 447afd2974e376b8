// Module names the tool refuses, and the check of the whole module list
// made before the first module is touched.
#include <string>
#include <vector>

#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "tests/unit/test_support.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(ModuleNamesTest, WindowsDeviceNamesAreRefusedInAnyStep) {
  for (const wchar_t* name : {L"CON", L"prn", L"Aux", L"nul", L"COM1", L"com9", L"LPT1", L"lpt9", L"COM0",
                              L"NUL.dll", L"nul.tar.gz", L"NUL.", L"NUL...", L"NUL  ", L"nul .dll", L"CON:",
                              L"COM\u00B9.dll", L"CONIN$", L"conout$.txt", L"bin\\NUL", L"COM1\\core.dll",
                              L"bin/aux.dll/x", L".\\lpt3"}) {
    EXPECT_FALSE(IsSafeModuleName(name)) << Narrow(name);
    EXPECT_EQ(ClassifyModuleName(name), ModuleNameProblem::kDeviceName) << Narrow(name);
  }
  for (const wchar_t* name : {L"CONS", L"con1", L"COM10", L"LPT", L"xnul", L"nul_.dll", L"AUXILIARY.dll",
                              L"a.nul", L"bin\\com.dll", L"COMA"}) {
    EXPECT_TRUE(IsSafeModuleName(name)) << Narrow(name);
  }
}

TEST(ModuleNamesTest, TheBackupRootIsRefusedAsTheModuleOrItsFolder) {
  for (const wchar_t* name : {L"UpdateBackup", L"updatebackup", L"UPDATEBACKUP.", L"UpdateBackup  ",
                              L"UpdateBackup\\QlPatch.xml", L"UpdateBackup/Patch03/core.dll",
                              L".\\UpdateBackup", L"./updatebackup\\x"}) {
    EXPECT_FALSE(IsSafeModuleName(name)) << Narrow(name);
    EXPECT_EQ(ClassifyModuleName(name), ModuleNameProblem::kBackupFolder) << Narrow(name);
  }
  for (const wchar_t* name : {L"UpdateBackup.dll", L"bin\\UpdateBackup", L"UpdateBackup2"}) {
    EXPECT_TRUE(IsSafeModuleName(name)) << Narrow(name);
  }
}

TEST(ModuleNamesTest, NamesLeavingTheFolderAndEmptyNames) {
  EXPECT_EQ(ClassifyModuleName(L""), ModuleNameProblem::kEmpty);
  for (const wchar_t* name : {L"..\\a.dll", L"a\\..\\..\\b", L"\\a.dll", L"/a.dll", L"\\\\server\\s\\a.dll",
                              L"C:a.dll", L"c:\\a.dll", L"...\\a.dll", L".. \\a.dll", L"a\\. .\\..",
                              L"..\\NUL"}) {
    EXPECT_EQ(ClassifyModuleName(name), ModuleNameProblem::kLeavesFolder) << Narrow(name);
  }
  for (const wchar_t* name : {L"a.dll", L".\\a.dll", L"./a.dll", L"bin\\a.dll", L"a..dll", L"..a.dll",
                              L"a.dll.", L".hidden"}) {
    EXPECT_EQ(ClassifyModuleName(name), ModuleNameProblem::kNone) << Narrow(name);
  }
}

}  // namespace

class ResolveNamesTest : public MachineTest {};

TEST_F(ResolveNamesTest, NamesAreReadAsTheFileSystemReadsThem) {
  WriteFile(install_ + "/module1.dll", "old");
  WriteFile(install_ + "/longmodulename.dll", "old");
  MakeDirs(install_ + "/UpdateBackup");
  fake::SetShortName(install_ + "/longmodulename.dll", "LONGMO~1.DLL");
  fake::SetShortName(install_ + "/UpdateBackup", "UPDA~ZCN");
  const std::wstring folder = Wide(install_);
  const std::vector<std::pair<std::wstring, std::wstring>> same = {
      {L".\\module1.dll", L"module1.dll"}, {L"./module1.dll", L"module1.dll"}, {L"module1.dll.", L"module1.dll"},
      {L"module1.dll . ", L"module1.dll"}, {L"MODULE1.DLL", L"module1.dll"}, {L"LONGMO~1.DLL", L"longmodulename.dll"},
      {L"bin/./x.dll", L"bin\\x.dll"},     {L"new.dll", L"new.dll"}};
  for (const auto& [listed, expected] : same) {
    std::wstring resolved;
    EXPECT_EQ(ResolveModuleName(folder.c_str(), listed.c_str(), &resolved), ModuleNameProblem::kNone)
        << Narrow(listed);
    EXPECT_EQ(resolved, expected) << Narrow(listed);
  }
  const std::vector<std::pair<std::wstring, ModuleNameProblem>> refused = {
      {L"UPDA~ZCN\\x.dll", ModuleNameProblem::kBackupFolder}, {L"module1.dll:x", ModuleNameProblem::kStream},
      {L"module1.dll::$DATA", ModuleNameProblem::kStream},   {L"CurVersion.qlprev", ModuleNameProblem::kToolFile},
      {L"curversion.QLPREV.", ModuleNameProblem::kToolFile}, {L"core.dll.qlnew", ModuleNameProblem::kToolFile},
      {L".\\", ModuleNameProblem::kEmpty}};
  for (const auto& [listed, problem] : refused) {
    std::wstring resolved;
    EXPECT_EQ(ResolveModuleName(folder.c_str(), listed.c_str(), &resolved), problem) << Narrow(listed);
  }
}
