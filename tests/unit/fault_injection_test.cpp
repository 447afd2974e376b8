// Every platform call of a full apply run, made to fail one at a time.
//
// A healthy run is made first and its call log taken. Then, for each call
// in that log (every occurrence of every function), the whole run is made
// again on a fresh machine with just that call failing. Each run must end
// with the code that step gives, close every handle it opened, and keep
// every module at every moment either in the install folder or, with its
// original bytes, in the backup folder; the record is at every moment absent
// or one of the complete records the healthy run wrote.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

const std::vector<std::string> kModules = {"core.dll", "profiles.dll", "help.dll"};
const std::string kMissing = "<missing>";

std::string OldBytes(const std::string& module) { return "old " + module; }
std::string NewBytes(const std::string& module) { return "new " + module; }

// What the call observer checks at every platform call. The observer runs
// on the main thread and on the service worker, so it takes a lock.
struct MachineWatch {
  std::mutex mutex;
  std::string install;
  std::string backup;  // the per-patch backup folder
  std::string record;
  bool learnRecords = false;         // the healthy run: note each record seen
  std::set<std::string> records;     // complete records (kMissing: none)
  std::vector<std::string> problems;
  std::string currentCall;
};
MachineWatch g_watch;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return kMissing;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Each module: its original bytes are in the install folder or in the
// backup folder, and an installed copy is whole (old or new bytes).
void CheckMachineLocked(const std::string& when) {
  for (const std::string& module : kModules) {
    const std::string installed = Read(g_watch.install + "/" + module);
    const std::string backedUp = Read(g_watch.backup + "/" + module);
    if (installed != OldBytes(module) && backedUp != OldBytes(module)) {
      g_watch.problems.push_back(when + ": original " + module + " is neither installed nor backed up");
    }
    if (installed != kMissing && installed != OldBytes(module) && installed != NewBytes(module)) {
      g_watch.problems.push_back(when + ": installed " + module + " holds '" + installed + "'");
    }
  }
  const std::string record = Read(g_watch.record);
  if (g_watch.learnRecords) {
    g_watch.records.insert(record);
  } else if (!g_watch.records.count(record)) {
    g_watch.problems.push_back(when + ": record holds '" + record + "'");
  }
}

void ObserveCall(const std::string& function) {
  std::lock_guard<std::mutex> lock(g_watch.mutex);
  CheckMachineLocked("before " + function);
}

// How a run with one failing call must end.
struct Expected {
  ResultCode code;
  int replaced;           // modules that end with their new copy installed
  bool recordWritten;     // the complete new record must be there
};

// The outcome of the healthy run's sequence with the `occurrence`-th call
// of `function` failing. The occurrences follow the healthy run's log:
// one registry read for the lock (Path) and its folder, three reads for the
// checks (Version, BuildID, Path) and one for the module step; per service
// phase, two services with one state query and one poll query each; per
// module a readability check of the new copy, two folder creations, one
// move, one copy and its flush; the record's folder.
Expected ExpectedOutcome(const std::string& function, int occurrence) {
  const int modules = static_cast<int>(kModules.size());
  const Expected untouched{RC_SUCCEED, 0, false};
  auto failsAt = [](ResultCode code) { return Expected{code, 0, false}; };
  // The k-th module (1-based) fails: the ones before it stay replaced.
  auto moduleFails = [](ResultCode code, int module) { return Expected{code, module - 1, false}; };
  const Expected done{RC_SUCCEED, modules, true};
  const Expected doneWithoutRecord{RC_SUCCEED, modules, false};

  // Without the semaphore no worker can report back: the stop phase
  // cannot run.
  if (function == "CreateCountingSemaphore") return failsAt(RC_STOP_SERVICE_FAILED);
  // A single-instance lock that cannot be had: come back later.
  if (function == "OpenLockFile") return failsAt(RC_ANOTHER_RUN_IN_PROGRESS);
  if (function == "OpenMachineKeyForRead" || function == "QueryKeyValue") {
    return occurrence <= 4 ? failsAt(RC_REGISTRY_READ_FAILED) : moduleFails(RC_REGISTRY_READ_FAILED, 1);
  }
  if (function == "WidenText") {
    switch (occurrence) {
      case 1: return failsAt(RC_VERSION_MISMATCH);   // an unreadable value matches nothing
      case 2: return failsAt(RC_BUILD_ID_MISMATCH);
      case 3: return failsAt(RC_XML_ELEMENT_MISSING);  // no usable backup folder name
      case 4: return moduleFails(RC_DECIMAL_CONVERSION_FAILED, 1);  // WerNum
      default:
        if (occurrence <= 4 + modules) return moduleFails(RC_MOVE_FILE_FAILED, occurrence - 4);  // an empty name
        // Recording: the written record read back (written again, then seen).
        return done;
    }
  }
  if (function == "OpenFile") {
    if (occurrence == 1) return done;  // the record, which is not there anyway
    if (occurrence <= 1 + modules) return moduleFails(RC_COPY_FILE_FAILED, occurrence - 1);
    return doneWithoutRecord;  // saving or reading the record: nothing recorded
  }
  if (function == "FlushToDisk" || function == "ReplaceFileAtomically" || function == "DeleteFileAt") {
    return doneWithoutRecord;
  }
  if (function == "StartThread") {
    return occurrence == 1 ? failsAt(RC_STOP_SERVICE_FAILED) : Expected{RC_START_SERVICE_FAILED, modules, false};
  }
  const bool stopPhase = occurrence <= 2;  // two services per phase
  auto servicePhase = [&](ResultCode code) {
    return stopPhase ? failsAt(code) : Expected{code, modules, false};
  };
  if (function == "OpenServiceManager") return servicePhase(RC_OPEN_SCM_FAILED);
  if (function == "OpenServiceForControl") return servicePhase(RC_OPEN_SERVICE_FAILED);
  if (function == "RequestServiceStop") return failsAt(RC_STOP_SERVICE_FAILED);
  if (function == "RequestServiceStart") return Expected{RC_RUN_SERVICE_FAILED, modules, false};
  if (function == "QueryServiceState") {
    // Odd: the state query before the request; even: the poll after it,
    // whose failure ends the wait as if the state had been reached.
    if (occurrence % 2 == 0) return done;
    return occurrence <= 4 ? failsAt(RC_QUERY_SERVICE_FAILED) : Expected{RC_QUERY_SERVICE_FAILED, modules, false};
  }
  // The lock's folder (without it there is no lock), two folders per
  // module, then the record's folder before the record is laid down.
  if (function == "MakeDirectory") {
    if (occurrence == 1) return failsAt(RC_ANOTHER_RUN_IN_PROGRESS);
    return occurrence <= 1 + 2 * modules ? moduleFails(RC_CREATE_BACKUP_DIR_FAILED, occurrence / 2)
                                         : doneWithoutRecord;
  }
  if (function == "MoveFileTo") return moduleFails(RC_MOVE_FILE_FAILED, occurrence);
  // A new copy that is not known to be on the disk counts as not copied.
  if (function == "CopyFileOver" || function == "FlushFileAt") {
    return moduleFails(RC_COPY_FILE_FAILED, occurrence);
  }
  // Closing handles, sleeping, the process list and ending programs, and
  // the waits on the worker (which are made again) do not change the outcome.
  (void)untouched;
  return done;
}

class FaultInjectionTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::lock_guard<std::mutex> lock(g_watch.mutex);
    g_watch.install = install_;
    g_watch.backup = install_ + "/UpdateBackup/Patch03";
    g_watch.record = recordPath_;
    g_watch.records.clear();
    g_watch.problems.clear();
  }
  void TearDown() override {
    fake::SetCallObserver(nullptr);
    MachineTest::TearDown();
  }

  // A fresh healthy machine: product installed with old modules, both
  // services running, the eight programs and one other, no record.
  void PrepareMachine() {
    std::filesystem::remove_all(install_);
    MakeDirs(install_);
    PreparePlatform();
    WriteDescription(Description("03", kModules));
    for (const std::string& module : kModules) {
      WriteFile(install_ + "/" + module, OldBytes(module));
      WriteFile(work_ + "/" + module, NewBytes(module));
    }
  }

  // The platform of a fresh process on that machine; the files stay.
  void PreparePlatform() {
    fake::Reset();
    fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
    fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
    fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
    fake::SetLocalDate(2020, 3, 15);
    AddProductServices();
    fake::AddProcess(L"explorer.exe");  // first in the list, so each search walks on
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
  }

  // Runs the apply mode, or with `undo` the undo. A run that has not ended
  // after a generous real time is reported and the test program stops: a
  // hang is a failure.
  ResultCode Apply(const std::string& fault, bool undo = false) {
    std::packaged_task<ResultCode()> task([undo] {
      wchar_t name[] = L"qlpatch.exe", option[] = L"-c", command[] = L"undo";
      wchar_t* argv[] = {name, option, command, nullptr};
      return undo ? RunEntry(3, argv) : RunEntry(1, argv);
    });
    std::future<ResultCode> result = task.get_future();
    std::thread runner(std::move(task));
    if (result.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
      std::fprintf(stderr, "the apply run with %s failing never ended\n", fault.c_str());
      std::abort();
    }
    runner.join();
    return result.get();
  }

  // The machine after a run: modules, backups and the record as expected.
  void ExpectEndState(const Expected& expected, const std::string& fault) {
    for (size_t i = 0; i < kModules.size(); ++i) {
      const std::string& module = kModules[i];
      const bool replaced = static_cast<int>(i) < expected.replaced;
      EXPECT_EQ(ReadFile(install_ + "/" + module), replaced ? NewBytes(module) : OldBytes(module))
          << fault << ": " << module;
      EXPECT_EQ(ReadFile(g_watch.backup + "/" + module), replaced ? OldBytes(module) : kMissing)
          << fault << ": " << module;
    }
    const std::string record = ReadFile(recordPath_);
    if (expected.recordWritten) {
      EXPECT_EQ(record, finalRecord_) << fault;
    } else if (expected.code != RC_SUCCEED) {
      EXPECT_EQ(record, kMissing) << fault << ": a failed run records nothing";
    } else {
      EXPECT_NE(record, finalRecord_) << fault << ": the record step failed, yet the patch is recorded";
    }
  }

  // Failures recorded so far in the running test.
  static int RecordedFailures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  std::string finalRecord_;
};

TEST_F(FaultInjectionTest, EveryFailingCallEndsCleanlyAndLosesNoModule) {
  // The healthy run: its log lists the calls, and the records it writes
  // are the only ones a faulty run may leave.
  PrepareMachine();
  {
    std::lock_guard<std::mutex> lock(g_watch.mutex);
    g_watch.learnRecords = true;
  }
  fake::SetCallObserver(ObserveCall);
  ASSERT_EQ(Apply("nothing"), RC_SUCCEED);
  fake::SetCallObserver(nullptr);
  std::vector<std::string> healthyLog = fake::CallLog();
  finalRecord_ = ReadFile(recordPath_);
  {
    std::lock_guard<std::mutex> lock(g_watch.mutex);
    CheckMachineLocked("after the healthy run");
    g_watch.learnRecords = false;
    ASSERT_TRUE(g_watch.problems.empty()) << g_watch.problems.front();
  }
  // Absent, the empty record laid down first, and the finished one: never
  // anything in between.
  ASSERT_EQ(g_watch.records, (std::set<std::string>{
                                 kMissing, finalRecord_,
                                 "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n"}));
  ASSERT_NE(finalRecord_.find("<CurVersion>03</CurVersion>"), std::string::npos);

  std::map<std::string, int> occurrences;
  for (const std::string& function : healthyLog) ++occurrences[function];
  // Every kind of platform call the apply makes, or the coverage claim is hollow.
  for (const char* function :
       {"OpenMachineKeyForRead", "QueryKeyValue", "OpenServiceManager", "OpenServiceForControl",
        "QueryServiceState", "RequestServiceStop", "RequestServiceStart", "SnapshotProcesses",
        "FirstProcess", "NextProcess", "OpenProcessForTerminate", "TerminateProcessHandle",
        "MakeDirectory", "MoveFileTo", "CopyFileOver", "FlushFileAt", "OpenFile", "FlushToDisk",
        "OpenLockFile", "CloseLockFile",
        "ReplaceFileAtomically", "StartThread", "WaitWithoutTimeout", "ReleaseSemaphoreOnce"}) {
    EXPECT_GT(occurrences[function], 0) << function << " is not in the healthy run";
  }

  int covered = 0, passed = 0;
  for (const auto& [function, count] : occurrences) {
    for (int occurrence = 1; occurrence <= count; ++occurrence) {
      const std::string fault = function + " #" + std::to_string(occurrence);
      const Expected expected = ExpectedOutcome(function, occurrence);
      const int failuresBefore = RecordedFailures();
      PrepareMachine();
      {
        std::lock_guard<std::mutex> lock(g_watch.mutex);
        g_watch.problems.clear();
      }
      fake::FailCall(function, occurrence);
      fake::SetCallObserver(ObserveCall);
      const ResultCode code = Apply(fault);
      fake::SetCallObserver(nullptr);
      ++covered;

      EXPECT_EQ(code, expected.code) << fault;
      EXPECT_GE(fake::CallCount(function), occurrence) << fault << ": the failing call was never made";
      EXPECT_EQ(fake::OpenKeys(), 0) << fault;
      EXPECT_EQ(fake::OpenServiceHandles(), 0) << fault;
      EXPECT_EQ(fake::OpenKernelHandles(), 0) << fault;
      EXPECT_LT(fake::NowMs(), 200000u) << fault << ": waited too long on the virtual clock";
      EXPECT_LT(fake::CallLog().size(), 2 * healthyLog.size()) << fault;
      {
        std::lock_guard<std::mutex> lock(g_watch.mutex);
        CheckMachineLocked("at the end");
        for (const std::string& problem : g_watch.problems) ADD_FAILURE() << fault << ", " << problem;
      }
      ExpectEndState(expected, fault);
      // The outcome line is printed for every run, failed or not.
      EXPECT_NE(fake::Output().find(L"Press any key to exit.\r\n"), std::wstring::npos) << fault;

      if (RecordedFailures() == failuresBefore) ++passed;
    }
  }
  std::printf("fault points covered: %d, passed: %d (%zu distinct platform functions)\n", covered,
              passed, occurrences.size());
  RecordProperty("fault_points_covered", covered);
  RecordProperty("fault_points_passed", passed);
  EXPECT_EQ(covered, static_cast<int>(healthyLog.size()));
}

// The same over an undo of the applied patch. With any one call failing,
// every module stays whole and installed or backed up at every call, every
// handle is closed, and a later undo completes: the originals back, the
// patch off the record.
TEST_F(FaultInjectionTest, EveryFailingCallOfAnUndoKeepsModulesWholeAndALaterUndoCompletes) {
  const auto applied = [this] {
    PrepareMachine();
    ASSERT_EQ(Apply("nothing"), RC_SUCCEED);
    PreparePlatform();
  };
  applied();
  {
    std::lock_guard<std::mutex> lock(g_watch.mutex);
    g_watch.learnRecords = true;
  }
  fake::SetCallObserver(ObserveCall);
  ASSERT_EQ(Apply("nothing", true), RC_SUCCEED);
  fake::SetCallObserver(nullptr);
  const std::vector<std::string> healthyLog = fake::CallLog();
  const std::string undoneRecord = ReadFile(recordPath_);
  {
    std::lock_guard<std::mutex> lock(g_watch.mutex);
    g_watch.learnRecords = false;
    ASSERT_TRUE(g_watch.problems.empty()) << g_watch.problems.front();
  }
  for (const std::string& module : kModules) ASSERT_EQ(ReadFile(install_ + "/" + module), OldBytes(module));
  ASSERT_EQ(undoneRecord, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n");

  std::map<std::string, int> occurrences;
  for (const std::string& function : healthyLog) ++occurrences[function];
  for (const char* function : {"OpenLockFile", "RequestServiceStop", "CopyFileOver", "FlushFileAt",
                               "ReplaceFileAtomically", "DeleteFileAt", "RemoveFolder", "RequestServiceStart"}) {
    EXPECT_GT(occurrences[function], 0) << function << " is not in the healthy undo";
  }
  int covered = 0, passed = 0;
  for (const auto& [function, count] : occurrences) {
    for (int occurrence = 1; occurrence <= count; ++occurrence) {
      const std::string fault = "undo with " + function + " #" + std::to_string(occurrence);
      const int failuresBefore = RecordedFailures();
      applied();
      {
        std::lock_guard<std::mutex> lock(g_watch.mutex);
        g_watch.problems.clear();
      }
      fake::FailCall(function, occurrence);
      fake::SetCallObserver(ObserveCall);
      const ResultCode code = Apply(fault, true);
      fake::SetCallObserver(nullptr);
      ++covered;
      EXPECT_EQ(fake::OpenKeys(), 0) << fault;
      EXPECT_EQ(fake::OpenServiceHandles(), 0) << fault;
      EXPECT_EQ(fake::OpenKernelHandles(), 0) << fault;
      EXPECT_LT(fake::NowMs(), 200000u) << fault << ": waited too long on the virtual clock";
      EXPECT_TRUE(fake::Output().empty()) << fault << ": the undo prints nothing";
      {
        std::lock_guard<std::mutex> lock(g_watch.mutex);
        CheckMachineLocked("at the end");
        for (const std::string& problem : g_watch.problems) ADD_FAILURE() << fault << ", " << problem;
      }
      // A run that reports success has done it all.
      if (code == RC_SUCCEED) {
        EXPECT_EQ(ReadFile(recordPath_), undoneRecord) << fault;
      }

      // Once the patch is off the record (a failure in the start phase that
      // follows, or none) there is nothing left to undo.
      const bool offRecord = ReadFile(recordPath_) == undoneRecord;
      PreparePlatform();
      const ResultCode again = Apply(fault + ", then again", true);
      EXPECT_EQ(again, offRecord ? RC_NOT_PATCHED : RC_SUCCEED) << fault << " gave " << code;
      for (const std::string& module : kModules) {
        EXPECT_EQ(ReadFile(install_ + "/" + module), OldBytes(module)) << fault << ", then again";
      }
      EXPECT_EQ(ReadFile(recordPath_), undoneRecord) << fault << ", then again";
      if (RecordedFailures() == failuresBefore) ++passed;
    }
  }
  std::printf("undo fault points covered: %d, passed: %d\n", covered, passed);
  RecordProperty("undo_fault_points_covered", covered);
  RecordProperty("undo_fault_points_passed", passed);
  EXPECT_EQ(covered, static_cast<int>(healthyLog.size()));
}

}  // namespace
