// Module replacement with backup, against real files in the sandbox.
#include <cwchar>
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

std::string Native(std::string name) {
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return name;
}

class ModulesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    os::FormatWide(g_backupFolderName, kBackupFolderNameChars, L"Patch%ls", L"03");
    backup_ = install_ + "/UpdateBackup/Patch03";
  }

  // Installed files hold "old <name>", new copies "new <name>".
  void Prepare(const std::vector<std::string>& modules) {
    WriteDescription(Description("03", modules));
    for (const auto& m : modules) {
      WriteFile(install_ + "/" + Native(m), "old " + m);
      WriteFile(work_ + "/" + Native(m), "new " + m);
    }
  }
  std::string Installed(const std::string& m) { return ReadFile(install_ + "/" + Native(m)); }
  std::string Backup(const std::string& m) { return ReadFile(backup_ + "/" + Native(m)); }

  std::string backup_;
};

// Each new copy is made whole beside its module before the original moves
// and the copy takes its place.
TEST_F(ModulesTest, ReplacesModulesInOrderCopyingBesideEachBeforeMovingIt) {
  Prepare({"core.dll", "profiles.dll"});
  EXPECT_EQ(ReplaceListedModules(), RC_SUCCEED);
  for (std::string m : {"core.dll", "profiles.dll"}) {
    EXPECT_EQ(Installed(m), "new " + m);
    EXPECT_EQ(Backup(m), "old " + m);
  }
  std::vector<std::string> fileCalls;
  for (const auto& call : fake::CallLog()) {
    if (call == "LinkFile" || call == "CopyFileOver" || call == "ReplaceFileAtomically") fileCalls.push_back(call);
  }
  EXPECT_EQ(fileCalls, (std::vector<std::string>{"CopyFileOver", "LinkFile", "ReplaceFileAtomically",
                                                 "CopyFileOver", "LinkFile", "ReplaceFileAtomically"}));
  EXPECT_FALSE(Exists(install_ + "/core.dll.qlnew"));
}

TEST_F(ModulesTest, WerNumZeroTouchesNothing) {
  Prepare({});
  EXPECT_EQ(ReplaceListedModules(), RC_SUCCEED);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup"));
  EXPECT_EQ(fake::CallCount("MakeDirectory"), 0);
}

TEST_F(ModulesTest, MissingModuleElementMovesNothing) {
  Prepare({"core.dll", "profiles.dll"});
  std::string description = Description("03", {"core.dll", "profiles.dll"});
  description.replace(description.find("<WerNum>2"), 9, "<WerNum>3");
  WriteDescription(description);
  EXPECT_EQ(ReplaceListedModules(), RC_XML_ELEMENT_MISSING);
  EXPECT_EQ(Installed("core.dll"), "old core.dll");
  EXPECT_EQ(Installed("profiles.dll"), "old profiles.dll");
}

TEST_F(ModulesTest, MissingInstalledOrNewFileMovesNothing) {
  Prepare({"core.dll"});
  std::filesystem::remove(install_ + "/core.dll");
  EXPECT_EQ(ReplaceListedModules(), RC_MOVE_FILE_FAILED);
  EXPECT_FALSE(Exists(install_ + "/core.dll"));  // nothing copied in its place

  // The new copy is checked before the installed module is moved away.
  Prepare({"core.dll"});
  std::filesystem::remove(work_ + "/core.dll");
  EXPECT_EQ(ReplaceListedModules(), RC_COPY_FILE_FAILED);
  EXPECT_EQ(Installed("core.dll"), "old core.dll");
  EXPECT_FALSE(Exists(backup_ + "/core.dll"));
  EXPECT_EQ(fake::CallCount("MoveFileTo"), 0);  // refused before anything moves, both times
}

// A second run finds the module new and leaves it and its backup alone;
// one that finds neither the new copy nor the backup's bytes installed
// replaces it and keeps the first backup.
TEST_F(ModulesTest, SecondRunKeepsTheFirstBackup) {
  Prepare({"core.dll"});
  ASSERT_EQ(ReplaceListedModules(), RC_SUCCEED);
  EXPECT_EQ(ReplaceListedModules(), RC_SUCCEED);
  EXPECT_EQ(Backup("core.dll"), "old core.dll");
  EXPECT_EQ(Installed("core.dll"), "new core.dll");
  WriteFile(work_ + "/core.dll", "newer core.dll");
  EXPECT_EQ(ReplaceListedModules(), RC_SUCCEED);
  EXPECT_EQ(Backup("core.dll"), "old core.dll");
  EXPECT_EQ(Installed("core.dll"), "newer core.dll");
}

TEST_F(ModulesTest, SubfolderModuleNeedsItsFolderInTheBackup) {
  Prepare({"bin\\core.dll"});
  EXPECT_EQ(ReplaceListedModules(), RC_MOVE_FILE_FAILED);
  EXPECT_EQ(Installed("bin\\core.dll"), "old bin\\core.dll");

  MakeDirs(backup_ + "/bin");
  EXPECT_EQ(ReplaceListedModules(), RC_SUCCEED);
  EXPECT_EQ(Installed("bin\\core.dll"), "new bin\\core.dll");
  EXPECT_EQ(Backup("bin\\core.dll"), "old bin\\core.dll");
}

TEST_F(ModulesTest, NamesLeavingTheInstallFolderAreRefusedUntouched) {
  const std::wstring folder = Wide(install_);
  for (const wchar_t* name : {L"", L"C:\\core.dll", L"c:core.dll", L"\\core.dll", L"/core.dll",
                              L"\\\\server\\share\\core.dll", L"..\\core.dll", L"bin\\..\\..\\core.dll",
                              L"bin/../core.dll", L"bin\\.."}) {
    SCOPED_TRACE(testing::Message() << "name " << std::string(name, name + wcslen(name)));
    EXPECT_EQ(ReplaceOneModule(folder.c_str(), name), RC_MOVE_FILE_FAILED);
  }
  EXPECT_EQ(fake::CallCount("MakeDirectory"), 0);
  EXPECT_EQ(fake::CallCount("MoveFileTo"), 0);

  // An empty UpdateModule read from the description is refused the same way,
  // and a name merely starting with dots is an ordinary name.
  WriteDescription(Description("03", {""}));
  EXPECT_EQ(ReplaceListedModules(), RC_MOVE_FILE_FAILED);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup"));
  Prepare({"..core.dll"});
  EXPECT_EQ(ReplaceListedModules(), RC_SUCCEED);
  EXPECT_EQ(Backup("..core.dll"), "old ..core.dll");
}

TEST_F(ModulesTest, PathsThatWouldNotFitAreRefusedBeforeAnythingMoves) {
  // Backup root and per-patch folder of a 240-character install folder do not fit.
  const std::wstring longFolder(240, L'a');
  EXPECT_EQ(ReplaceOneModule(longFolder.c_str(), L"core.dll"), RC_CREATE_BACKUP_DIR_FAILED);
  // The folders fit, the module's backup path does not.
  const std::wstring folder(200, L'a');
  const std::wstring name(40, L'm');
  EXPECT_EQ(ReplaceOneModule(folder.c_str(), name.c_str()), RC_MOVE_FILE_FAILED);
  // No per-patch folder name: the run never evaluated the patch.
  g_backupFolderName[0] = 0;
  EXPECT_EQ(ReplaceOneModule(Wide(install_).c_str(), L"core.dll"),
            RC_CREATE_BACKUP_DIR_FAILED);
  EXPECT_EQ(fake::CallCount("MakeDirectory"), 0);
  EXPECT_EQ(fake::CallCount("LinkFile") + fake::CallCount("MoveFileTo"), 0);
}

// Whatever step fails, every module's name holds it whole, old or new, and
// a new one has its original in the backup. A link refused (a volume
// without hard links) falls back to the move, and the apply goes on.
TEST_F(ModulesTest, AFailingStepNeverLosesAModule) {
  const std::vector<std::string> modules = {"a.dll", "b.dll", "c.dll"};
  for (std::string function : {"LinkFile", "CopyFileOver", "MakeDirectory", "ReplaceFileAtomically"}) {
    for (int occurrence = 1; occurrence <= 3; ++occurrence) {
      SCOPED_TRACE(function + " fails at call " + std::to_string(occurrence));
      std::filesystem::remove_all(install_ + "/UpdateBackup");
      Prepare(modules);
      fake::FailCall(function, fake::CallCount(function) + occurrence);
      EXPECT_EQ(ReplaceListedModules() == RC_SUCCEED, function == "LinkFile");
      for (const auto& m : modules) {
        const std::string installed = Installed(m);
        EXPECT_TRUE(installed == "old " + m || installed == "new " + m) << m << " holds '" << installed << "'";
        if (installed == "new " + m) {
          EXPECT_EQ(Backup(m), "old " + m);
        }
      }
    }
  }
}

}  // namespace
