// Module names the tool refuses, and the check of the whole module list
// made before the first module is touched.
#include <filesystem>
#include <string>
#include <vector>

#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"
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

class ModuleListTest : public MachineTest {};

// The list check finds exactly what the module loop would stop at, and
// with the same code, without moving anything.
TEST_F(ModuleListTest, TheListCheckStopsWhereTheModuleLoopWould) {
  const std::string head = "<UpdateQL><Version>4.20</Version><BuildID>0137</BuildID><PatchVersion>03</PatchVersion>";
  const std::string longName(64, 'a');
  const std::vector<std::string> bodies = {
      "<WerNum>2</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1><WER2><UpdateModule>b.dll</UpdateModule></WER2>",
      "<WerNum>3</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1><WER2><UpdateModule>b.dll</UpdateModule></WER2>",
      "<WerNum>2</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1><WER2><UpdateModule>NUL</UpdateModule></WER2>",
      "<WerNum>2</WerNum><WER1></WER1><WER2><UpdateModule>com1.dll</UpdateModule></WER2>",
      "<WerNum>2</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1><WER2/>",
      "<WerNum>1</WerNum><WER1><UpdateModule>" + longName + "</UpdateModule></WER1>",
      "<WerNum>1</WerNum><WER1><UpdateModule>" + longName.substr(1) + "</UpdateModule></WER1>",
      "<WerNum>1</WerNum><WER1>text<UpdateModule>a.dll</UpdateModule></WER1>",
      "<WerNum>1</WerNum><!-- x --><WER1><UpdateModule>a.dll</UpdateModule></WER1>",
      "<WerNum>2</WerNum><WER2><UpdateModule>a.dll</UpdateModule></WER2><WER1><UpdateModule>UpdateBackup</UpdateModule></WER1>",
      "<WerNum>x</WerNum>",
      "<WerNum> 2</WerNum><WER1><UpdateModule>a.dll</UpdateModule></WER1><WER2><UpdateModule>..\\b</UpdateModule></WER2>",
      "<WerNum>0</WerNum>",
      "<WerNum>-3</WerNum>",
      "",
  };
  auto readThenCheckNames = [] {
    std::vector<std::wstring> names;
    const ResultCode read = ReadModuleList(&names);
    if (read != RC_SUCCEED) return read;
    for (const std::wstring& name : names) {
      if (!IsSafeModuleName(name.c_str())) return RC_MOVE_FILE_FAILED;
    }
    return RC_SUCCEED;
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    WriteDescription(head + body + "</UpdateQL>");
    EXPECT_EQ(CheckListedModuleNames(), readThenCheckNames());
  }
  std::filesystem::remove(work_ + "/patchql58302.dat");
  EXPECT_EQ(CheckListedModuleNames(), RC_XML_LOAD_FAILED);
}

TEST_F(ModuleListTest, FiveThousandModulesPassTheCheck) {
  std::vector<std::string> modules;
  for (int i = 1; i <= 5000; ++i) modules.push_back("m" + std::to_string(i) + ".dll");
  WriteDescription(Description("03", modules));
  EXPECT_EQ(CheckListedModuleNames(), RC_SUCCEED);
}

}  // namespace
