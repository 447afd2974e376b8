// `-c undo`: the current patch taken back, and every case in which it is not.
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

const std::vector<std::string> kModules = {"core.dll", "profiles.dll"};
const char kEmptyRecord[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n";

class UndoTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddProductServices();
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
    WriteDescription(Description("03", kModules));
    for (const std::string& module : kModules) {
      WriteFile(install_ + "/" + module, "old " + module);
      WriteFile(work_ + "/" + module, "new " + module);
    }
  }

  static ResultCode Run(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"qlpatch.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return RunEntry(static_cast<int>(arguments.size()), argv.data());
  }
  static ResultCode Apply() { return Run({}); }
  static ResultCode Undo() { return Run({L"-c", L"undo"}); }
  static ResultCode Query() { return Run({L"-c", L"patch"}); }

  std::string Installed(const std::string& module) { return ReadFile(install_ + "/" + module); }
  std::string Backup(const std::string& module) { return ReadFile(install_ + "/UpdateBackup/Patch03/" + module); }
  static int StopRequests() {
    return fake::FindService(L"QlSvc")->stopRequests + fake::FindService(L"QlProfileSvc")->stopRequests;
  }

  // An undo refused with `code` changes nothing: no service stopped, the
  // modules, backups and record as they were.
  void ExpectRefused(ResultCode code, const std::string& why) {
    const std::string record = ReadFile(recordPath_);
    const int stops = StopRequests();
    std::vector<std::string> installed, backups;
    for (const std::string& module : kModules) {
      installed.push_back(Installed(module));
      backups.push_back(Backup(module));
    }
    EXPECT_EQ(Undo(), code) << why;
    EXPECT_EQ(StopRequests(), stops) << why;
    EXPECT_EQ(ReadFile(recordPath_), record) << why;
    for (size_t i = 0; i < kModules.size(); ++i) {
      EXPECT_EQ(Installed(kModules[i]), installed[i]) << why;
      EXPECT_EQ(Backup(kModules[i]), backups[i]) << why;
    }
  }
};

TEST_F(UndoTest, UndoPutsTheOriginalsBackAndThePatchCanBeAppliedAgain) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const size_t printed = fake::Output().size();
  EXPECT_EQ(Undo(), RC_SUCCEED);
  EXPECT_EQ(fake::Output().size(), printed) << "the undo prints nothing";
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03")) << "the per-patch backup goes";
  EXPECT_FALSE(Exists(install_ + "/core.dll.qlundo"));
  EXPECT_EQ(ReadFile(recordPath_), kEmptyRecord) << "the version element goes with its last patch";
  EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceRunning);
  EXPECT_EQ(fake::FindService(L"QlProfileSvc")->state, os::kServiceRunning);
  EXPECT_EQ(StopRequests(), 4) << "stopped by the apply and by the undo";
  EXPECT_FALSE(fake::MutexOwned(kSingleInstanceMutexName));
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
  EXPECT_EQ(Query(), RC_NOT_PATCHED);

  EXPECT_EQ(Apply(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "new " + module);
  EXPECT_EQ(Query(), RC_PATCH_IS_LATEST);
}

TEST_F(UndoTest, TheLastPatchLeftBecomesCurrentAgain) {
  MakeDirs(install_ + "/UpdateBackup");
  WriteFile(recordPath_,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.10>\n        <CurVersion>07</CurVersion>\n"
            "    </QL4.10>\n    <QL4.20>\n        <CurVersion>02</CurVersion>\n        <Patch01 />\n"
            "        <Patch02>\n            <PatchVersion>02</PatchVersion>\n        </Patch02>\n    </QL4.20>\n</UpdateQL>\n");
  ASSERT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  EXPECT_NE(record.find("<CurVersion>02</CurVersion>\n        <Patch01 />\n        <Patch02>"), std::string::npos)
      << record;
  EXPECT_EQ(record.find("Patch03"), std::string::npos) << record;
  EXPECT_NE(record.find("<CurVersion>07</CurVersion>"), std::string::npos) << "another version's entry stays";
  EXPECT_EQ(Query(), RC_NOT_PATCHED);
}

TEST_F(UndoTest, RefusalsTouchNothing) {
  ExpectRefused(RC_RECORD_MISSING, "no record: not applied");
  MakeDirs(install_ + "/UpdateBackup");
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>02</CurVersion></QL4.20></UpdateQL>");
  ExpectRefused(RC_NOT_PATCHED, "an earlier patch only");

  std::filesystem::remove(recordPath_);
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string applied = ReadFile(recordPath_);
  std::string later = applied;
  later.replace(later.find("<CurVersion>03<"), 15, "<CurVersion>4<");
  WriteFile(recordPath_, later);
  ExpectRefused(RC_LATER_PATCH_APPLIED, "a later patch is current");

  WriteFile(recordPath_, applied);
  std::filesystem::remove(install_ + "/UpdateBackup/Patch03/profiles.dll");
  ExpectRefused(RC_MOVE_FILE_FAILED, "an original missing from the backup");
  WriteFile(install_ + "/UpdateBackup/Patch03/profiles.dll", "old profiles.dll");

  fake::SetMutexHolder(kSingleInstanceMutexName, fake::MutexHolder::kOtherProcess);
  ExpectRefused(RC_ANOTHER_RUN_IN_PROGRESS, "another run holds the lock");
  fake::SetMutexHolder(kSingleInstanceMutexName, fake::MutexHolder::kNone);
  EXPECT_EQ(Undo(), RC_SUCCEED);
}

TEST_F(UndoTest, ModuleHeldOpenPutsTheNewCopiesBackAndKeepsRecordAndBackup) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  // The second original cannot take the installed file's place.
  fake::FailCall("ReplaceFileAtomically", fake::CallCount("ReplaceFileAtomically") + 2);
  EXPECT_EQ(Undo(), RC_MOVE_FILE_FAILED);
  for (const std::string& module : kModules) {
    EXPECT_EQ(Installed(module), "new " + module) << "all new again";
    EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo"));
    EXPECT_EQ(Backup(module), "old " + module);
  }
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  EXPECT_EQ(ReadFile(recordPath_), record) << "the record as it was";
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
}

// Held open for good, as a loaded module is: the installed file is still the
// new copy, so the put-back does not try it again in vain, and the product
// runs again on the new copies.
TEST_F(UndoTest, ModuleHeldOpenForGoodLeavesItNewAndStartsTheProduct) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  fake::HoldFile(install_ + "/profiles.dll", -1);
  EXPECT_EQ(Undo(), RC_MOVE_FILE_FAILED);
  for (const std::string& module : kModules) {
    EXPECT_EQ(Installed(module), "new " + module);
    EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo"));
    EXPECT_EQ(Backup(module), "old " + module);
  }
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  EXPECT_EQ(ReadFile(recordPath_), record);
  fake::HoldFile(install_ + "/profiles.dll", 0);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
}

}  // namespace
