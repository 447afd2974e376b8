// The apply mode from start to end against the stand-in machine.
#include <string>
#include <vector>

#include "driver/driver.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "system/system.h"
#include "tests/unit/test_support.h"

namespace {

const std::wstring kStopLine = L"Stopping QL service, it maybe take several seconds, please wait...\r\n";
const std::wstring kUpdateLine = L"Updating QL...\r\n";
const std::wstring kRestartLine = L"Restarting Durirave, please wait...\r\n";
const std::wstring kExitLine = L"Press any key to exit.\r\n";

class UpdateTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddProductServices();
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
    fake::AddProcess(L"explorer.exe");
    WriteDescription(Description("03", {"core.dll", "profiles.dll"}));
    for (const char* module : {"core.dll", "profiles.dll"}) {
      WriteFile(install_ + "/" + module, std::string("old ") + module);
      WriteFile(work_ + "/" + module, std::string("new ") + module);
    }
  }

  ResultCode Apply() {
    wchar_t name[] = L"qlpatch.exe";
    wchar_t* argv[] = {name, nullptr};
    return RunEntry(1, argv);
  }

  int Ended() {
    int n = 0;
    for (const auto& p : fake::Processes()) n += p.terminated ? 1 : 0;
    return n;
  }

  void ExpectNothingTouched() {
    EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
    EXPECT_EQ(fake::FindService(L"QlProfileSvc")->stopRequests, 0);
    EXPECT_EQ(Ended(), 0);
    EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
    EXPECT_FALSE(Exists(install_ + "/UpdateBackup"));
  }
};

TEST_F(UpdateTest, FullSuccess) {
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(fake::Output(), kStopLine + kUpdateLine + kRestartLine +
                                L"Update patch succeed!!\r\n" + kExitLine);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "new profiles.dll");
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/core.dll"), "old core.dll");
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/profiles.dll"), "old profiles.dll");
  EXPECT_NE(ReadFile(recordPath_).find("<CurVersion>03</CurVersion>"), std::string::npos);
  for (const wchar_t* name : kProductServices) {
    EXPECT_EQ(fake::FindService(name)->state, os::kServiceRunning) << name;
  }
  EXPECT_EQ(Ended(), 8) << "each product program, and nothing else";
  EXPECT_FALSE(fake::Processes().back().terminated);
  // Two stops of one 10 s poll each, two starts with a zero hint.
  EXPECT_EQ(fake::Sleeps(), (std::vector<uint32_t>{10000, 10000, 0, 0}));
  EXPECT_EQ(fake::OpenKeys() + fake::OpenServiceHandles() + fake::OpenKernelHandles(), 0);

  // The order of the phases: stop, end programs, move files, start, record.
  const auto& log = fake::CallLog();
  auto first = [&](const std::string& call) {
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i] == call) return i;
    return log.size();
  };
  EXPECT_LT(first("RequestServiceStop"), first("TerminateProcessHandle"));
  EXPECT_LT(first("TerminateProcessHandle"), first("MoveFileTo"));
  EXPECT_LT(first("CopyFileOver"), first("RequestServiceStart"));
  EXPECT_LT(first("RequestServiceStart"), first("ReplaceFileAtomically"));

  // Asked again, the tool answers that the patch is in place.
  fake::Reset();
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  wchar_t name[] = L"qlpatch.exe", c[] = L"-c", patch[] = L"patch";
  wchar_t* argv[] = {name, c, patch, nullptr};
  EXPECT_EQ(RunEntry(3, argv), RC_PATCH_IS_LATEST);
}

TEST_F(UpdateTest, AlreadyLatestTouchesNothing) {
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>03</CurVersion></QL4.20></UpdateQL>");
  EXPECT_EQ(Apply(), RC_PATCH_IS_LATEST);
  EXPECT_EQ(fake::Output(), L"Patch is latest!\r\n" + kExitLine);
  EXPECT_EQ(fake::CallCount("OpenServiceManager"), 0);
  EXPECT_EQ(Ended(), 0);
}

TEST_F(UpdateTest, VersionMismatchTouchesNothing) {
  fake::SetMachineValue(kInstallKey, L"Version", L"4.10");
  EXPECT_EQ(Apply(), RC_VERSION_MISMATCH);
  EXPECT_EQ(fake::Output(), L"QL version unmatch!\r\n" + kExitLine);
  ExpectNothingTouched();
}

TEST_F(UpdateTest, FirstServiceNeverStopping) {
  fake::FindService(L"QlSvc")->afterRequest = {fake::kStopPending};
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::Output(), kStopLine + L"stop service error!\r\n" + kExitLine);
  EXPECT_EQ(fake::Sleeps(), std::vector<uint32_t>(8, 10000));
  EXPECT_EQ(fake::FindService(L"QlProfileSvc")->stopRequests, 0);
  EXPECT_EQ(Ended(), 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
}

TEST_F(UpdateTest, FailingCopyLeavesServicesStoppedAndNoRecord) {
  fake::FailCall("CopyFileOver", 2);
  EXPECT_EQ(Apply(), RC_COPY_FILE_FAILED);
  EXPECT_EQ(fake::Output(), kStopLine + kUpdateLine + L"copy file error!\r\n" + kExitLine);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "old profiles.dll")
      << "the module moved aside goes back when its copy fails";
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03/profiles.dll"));
  EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceStopped);
  EXPECT_FALSE(Exists(recordPath_));
}

TEST_F(UpdateTest, ServiceThatWillNotStartLeavesModulesWithoutRecord) {
  fake::FindService(L"QlProfileSvc")->refuseStart = true;
  EXPECT_EQ(Apply(), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(fake::Output(), kStopLine + kUpdateLine + kRestartLine + L"run service error!\r\n" + kExitLine);
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "new profiles.dll");
  EXPECT_FALSE(Exists(recordPath_));
}

TEST_F(UpdateTest, NoSemaphoreMeansNoWaitAndNothingTouched) {
  fake::FailCall("CreateCountingSemaphore", 1);
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::CallCount("WaitWithoutTimeout"), 0);
  EXPECT_EQ(fake::CallCount("StartThread"), 0);
  ExpectNothingTouched();
}

TEST_F(UpdateTest, WorkerThatCannotStartEndsThePhase) {
  fake::FailCall("StartThread", 1);
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::CallCount("WaitWithoutTimeout"), 0);
  ExpectNothingTouched();

  fake::FailCall("StartThread", 3);
  EXPECT_EQ(Apply(), RC_START_SERVICE_FAILED);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_FALSE(Exists(recordPath_));
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
}

TEST_F(UpdateTest, NoModulesStillRecordsThePatch) {
  // No module makes no backup folder; the record's folder is made for it,
  // or every later run would apply the patch again.
  WriteDescription(Description("03"));
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  wchar_t path[kPathChars] = {};
  EXPECT_EQ(EvaluatePatchState(path), RC_PATCH_IS_LATEST);
}

TEST_F(UpdateTest, UnrecordablePatchIdentityTouchesNothing) {
  for (const char* patch : {"", "3 hotfix", "03\\..\\..\\qlvictim"}) {
    SCOPED_TRACE(patch);
    WriteDescription(Description(patch, {"core.dll", "profiles.dll"}));
    const size_t printed = fake::Output().size();
    EXPECT_EQ(Apply(), RC_XML_ELEMENT_MISSING);
    EXPECT_EQ(fake::Output().substr(printed), L"unknow xml evelment!\r\n" + kExitLine);
    ExpectNothingTouched();
  }
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20 SP1");
  std::string description = Description("03", {"core.dll"});
  description.replace(description.find("4.20"), 4, "4.20 SP1");
  WriteDescription(description);
  EXPECT_EQ(Apply(), RC_XML_ELEMENT_MISSING);
  ExpectNothingTouched();
}

// One apply at a time: a run that finds another holding the lock says so,
// touches nothing and ends with the code fleet tools retry. A holder that
// ends (or is killed) frees it; a lock file left by a power cut is taken
// over. The query takes no lock. The lock is a file beside the record, and
// no lock file is left behind.
TEST_F(UpdateTest, AnotherRunHoldingTheLockMeansComeBackLater) {
  const std::string lockFile = install_ + "/UpdateBackup/qlpatch.lock";
  MakeDirs(install_ + "/UpdateBackup");
  fake::SetLockFileHolder(lockFile, fake::LockFileHolder::kOtherProcess);
  EXPECT_EQ(Apply(), RC_ANOTHER_RUN_IN_PROGRESS);
  EXPECT_EQ(fake::Output(), L"another update is running!\r\n" + kExitLine);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_EQ(Ended(), 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  EXPECT_EQ(fake::CallCount("QueryKeyValue"), 1) << "only the install folder was read: no checks";
  EXPECT_EQ(fake::CallCount("CreateCountingSemaphore"), 0);

  wchar_t name[] = L"qlpatch.exe", option[] = L"-c", command[] = L"patch";
  wchar_t* query[] = {name, option, command, nullptr};
  EXPECT_EQ(RunEntry(3, query), RC_RECORD_MISSING);
  EXPECT_EQ(fake::CallCount("OpenLockFile"), 1) << "only the apply asked for the lock";

  fake::SetLockFileHolder(lockFile, fake::LockFileHolder::kNone);
  WriteFile(lockFile, "");  // left by a run that lost power
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_FALSE(fake::LockFileHeld(lockFile)) << "released at the end of the run";
  EXPECT_FALSE(Exists(lockFile)) << "deleted when closed";
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
  EXPECT_EQ(Apply(), RC_PATCH_IS_LATEST) << "the next run takes it again";
  EXPECT_FALSE(Exists(lockFile));
}

// The lock is made in the install folder's backup folder, which the run
// makes when missing and takes away again when it leaves nothing in it. An
// install folder that is not there ends the run as unusable install
// values do, without waiting on a lock; an unreadable one too.
TEST_F(UpdateTest, TheLockNeedsTheInstallFolder) {
  fake::SetMachineValue(kInstallKey, L"Version", L"4.10");
  EXPECT_EQ(Apply(), RC_VERSION_MISMATCH);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup")) << "a run that changed nothing leaves no folder";
  EXPECT_EQ(fake::OpenKernelHandles(), 0);

  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(root_ + "/NotThere"));
  const int lockCalls = fake::CallCount("OpenLockFile");
  EXPECT_EQ(Apply(), RC_REGISTRY_READ_FAILED);
  EXPECT_EQ(fake::CallCount("OpenLockFile"), lockCalls);
  EXPECT_FALSE(Exists(root_ + "/NotThere"));
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0) << "the product was left running";

  fake::SetMachineValue(kInstallKey, L"Path", Wide(root_ + "/" + std::string(300, 'x')));
  EXPECT_EQ(Apply(), RC_REGISTRY_READ_FAILED);
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/qlpatch.lock"));
}

}  // namespace
