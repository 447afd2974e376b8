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
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

const std::vector<std::string> kModules = {"core.dll", "profiles.dll", "help.dll"};
const char* const kReadOnlyModule = "profiles.dll";  // installed read-only
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
  // A call that may have changed a file was made since the last check.
  bool filesMayHaveChanged = true;
};
MachineWatch g_watch;

// Each module: its original bytes are in the install folder or in the
// backup folder, and an installed copy is whole (old or new bytes).
void CheckMachineLocked(const std::string& when) {
  for (const std::string& module : kModules) {
    const std::string installed = MachineTest::ReadFile(g_watch.install + "/" + module);
    const std::string backedUp = MachineTest::ReadFile(g_watch.backup + "/" + module);
    if (installed != OldBytes(module) && backedUp != OldBytes(module)) {
      g_watch.problems.push_back(when + ": original " + module + " is neither installed nor backed up");
    }
    if (installed != kMissing && installed != OldBytes(module) && installed != NewBytes(module)) {
      g_watch.problems.push_back(when + ": installed " + module + " holds '" + installed + "'");
    }
  }
  const std::string record = MachineTest::ReadFile(g_watch.record);
  if (g_watch.learnRecords) {
    g_watch.records.insert(record);
  } else if (!g_watch.records.count(record)) {
    g_watch.problems.push_back(when + ": record holds '" + record + "'");
  }
}

// The platform calls that change no file. Between two calls that may,
// the files stay as the first left them, so a check before each call that
// may change a file, and before the first call after it, sees every state
// the files pass through.
bool ChangesNoFile(const std::string& function) {
  static const std::set<std::string> kReadOnly = {
      "CloseKey", "CloseServiceHandle", "CreateCountingSemaphore", "FileSizeAt", "FirstProcess",
      "FreeBytesAt", "HashBytes", "ListActiveDependents", "ListFileHolders", "ListFolder", "LongPathOf",
      "NarrowText", "NextProcess", "OpenMachineKeyForRead", "OpenProcessForTerminate", "OpenProcessForWait",
      "OpenServiceForControl", "OpenServiceManager", "QueryKeyValue", "QueryServiceState", "ReadFileAttributes",
      "ReadFolderSecurity", "ReadPendingRenames", "ReadProcessImage", "ReadServiceStartType",
      "ReleaseSemaphoreOnce", "RequestServiceStart", "RequestServiceStop", "SleepMs", "SnapshotProcesses",
      "StartThread", "TerminateProcessHandle", "WaitForProcessEnd", "WaitWithoutTimeout", "WidenText"};
  return kReadOnly.count(function) != 0;
}

void ObserveCall(const std::string& function) {
  std::lock_guard<std::mutex> lock(g_watch.mutex);
  const bool changesNoFile = ChangesNoFile(function);
  if (g_watch.filesMayHaveChanged || !changesNoFile) CheckMachineLocked("before " + function);
  g_watch.filesMayHaveChanged = !changesNoFile;
  // A module is moved or copied only while the product's services are
  // stopped (Windows lets a loaded module be renamed under running code).
  if (function == "MoveFileTo" || function == "CopyFileOver") {
    for (const wchar_t* service : kProductServices) {
      if (fake::FindService(service)->state != os::kServiceStopped) {
        g_watch.problems.push_back("before " + function + ": a product service runs");
      }
    }
  }
}

// Where in the healthy run a call falls, and so what a failure of it may
// end with.
enum class Phase { kChecks, kStop, kModulePhase, kStart, kRecord };

struct PhaseBounds {
  size_t stopStart = 0, modulesStart = 0, startStart = 0, recordStart = 0;
};

// The phases from the healthy run's log: the stop phase begins with the
// first worker (the services' survey), the module phase with the process
// list, the start phase with the last worker, the recording once that
// worker has reported.
PhaseBounds FindPhases(const std::vector<std::string>& log) {
  PhaseBounds bounds;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == "StartThread") {
      if (bounds.stopStart == 0) bounds.stopStart = i;
      bounds.startStart = i;
    }
    if (log[i] == "SnapshotProcesses" && bounds.modulesStart == 0) bounds.modulesStart = i;
    // The start worker's last call tells the main thread it is done.
    if (log[i] == "ReleaseSemaphoreOnce") bounds.recordStart = i + 1;
  }
  return bounds;
}

Phase PhaseOf(const PhaseBounds& bounds, size_t index) {
  if (index >= bounds.recordStart) return Phase::kRecord;
  if (index >= bounds.startStart) return Phase::kStart;
  if (index >= bounds.modulesStart) return Phase::kModulePhase;
  if (index >= bounds.stopStart) return Phase::kStop;
  return Phase::kChecks;
}

// The codes a failure in each phase may end with (0: the failure did not
// matter, as for a poll whose query fails or a log line not written).
bool CodeFitsPhase(Phase phase, ResultCode code) {
  if (code == RC_SUCCEED) return true;
  switch (phase) {
    case Phase::kChecks:
      return code == RC_REGISTRY_READ_FAILED || code == RC_XML_LOAD_FAILED || code == RC_XML_ELEMENT_MISSING ||
             code == RC_VERSION_MISMATCH || code == RC_BUILD_ID_MISMATCH || code == RC_DECIMAL_CONVERSION_FAILED ||
             code == RC_MOVE_FILE_FAILED || code == RC_COPY_FILE_FAILED || code == RC_CREATE_BACKUP_DIR_FAILED ||
             code == RC_ANOTHER_RUN_IN_PROGRESS || code == RC_STOP_SERVICE_FAILED ||
             code == RC_BACKUP_OPEN_TO_USERS;  // who may change the backup folder, unread
    case Phase::kStop:  // and the journal, written between the survey and the stop
      return (code >= RC_OPEN_SCM_FAILED && code <= RC_STOP_SERVICE_FAILED) || code == RC_CREATE_BACKUP_DIR_FAILED;
    case Phase::kModulePhase:  // and the look that the services are still stopped; a file step refused
                               // past its retries may go to the restart
      return (code >= RC_CREATE_BACKUP_DIR_FAILED && code <= RC_COPY_FILE_FAILED) || code == RC_SWAP_AT_RESTART ||
             (code >= RC_OPEN_SCM_FAILED && code <= RC_STOP_SERVICE_FAILED);
    case Phase::kStart:
      return code >= RC_OPEN_SCM_FAILED && code <= RC_START_SERVICE_FAILED;
    case Phase::kRecord:
      return code == RC_XML_LOAD_FAILED;
  }
  return false;
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
    g_watch.filesMayHaveChanged = true;
  }
  void TearDown() override {
    fake::SetCallObserver(nullptr);
    MachineTest::TearDown();
  }

  // A fresh machine as `start` leaves it: the product installed (with old
  // modules on a clean start), both services running, the eight programs
  // and one other, no record.
  void PrepareMachine(SweepStart start) {
    std::filesystem::remove_all(install_);
    MakeDirs(install_);
    PreparePlatform(start);
    WriteDescription(Description("03", kModules));
    LayOutModules(start, install_, g_watch.backup, kModules);
    for (const std::string& module : kModules) WriteFile(work_ + "/" + module, NewBytes(module));
    // A read-only new copy (CopyFileW passes the attribute on) and a
    // read-only original, as shipped and installed files may be.
    fake::SetFileAttributesOf(work_ + "/help.dll", os::kAttributeReadOnly);
    fake::SetFileAttributesOf(install_ + "/" + kReadOnlyModule, os::kAttributeReadOnly);
  }

  // The platform of a fresh process on that machine; the files stay.
  void PreparePlatform(SweepStart start = SweepStart::kClean) {
    fake::Reset();
    fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
    fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
    fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
    fake::SetLocalDate(2020, 3, 15);
    AddProductServicesWithDependent();
    ApplyServiceStart(start, install_);
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

  // The machine after a run: all new and recorded (0), all new and running
  // without the record (2), or each module as the run found it (any other
  // code), with the backups as found and no record; the services running.
  // Never mixed otherwise, never stopped.
  void ExpectEndState(ResultCode code, const std::string& fault, SweepStart start = SweepStart::kClean) {
    // A patch put in place at the restart: whole after it, as if applied.
    if (code == RC_SWAP_AT_RESTART) {
      for (const wchar_t* service : kProductServices) {
        EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning) << fault << " before the restart";
      }
      fake::Restart();
      code = RC_SUCCEED;
    }
    // A put-back that could not finish (a second fault on top of a file held
    // for good) leaves its journal, every module whole, for the next run.
    if (code != RC_SUCCEED && ReadFile(install_ + "/UpdateBackup/qlpatch.log").find("put-back incomplete") !=
                                  std::string::npos) {
      EXPECT_TRUE(start == SweepStart::kHeldForGood || start == SweepStart::kHeldOverUnrecordedApply ||
                  start == SweepStart::kHeldOverCutOffRun || start == SweepStart::kFullDiskOverHeldCutOffRun)
          << fault << " gave " << code << " and did not put back";
      EXPECT_TRUE(Exists(install_ + "/UpdateBackup/qlpatch.journal")) << fault << ": the journal goes";
      return;
    }
    const bool applied = code == RC_SUCCEED || code == RC_XML_LOAD_FAILED;
    // A mix an earlier run left may also end whole on the originals.
    size_t foundNew = 0;
    bool onOriginals = true;
    for (size_t i = 0; i < kModules.size(); ++i) {
      foundNew += FoundBytes(start, kModules[i], i) == NewBytes(kModules[i]) ? 1 : 0;
      onOriginals = onOriginals && ReadFile(install_ + "/" + kModules[i]) == OldBytes(kModules[i]);
    }
    const bool foundMix = foundNew > 0 && foundNew < kModules.size();
    // A run that fails over a mix once the product is stopped for its
    // modules (in the module phase, or after it) puts the earlier apply's
    // originals back too: the product starts whole, never on the mix.
    if (start == SweepStart::kCutAfterFirstModule && !applied &&
        ReadFile(install_ + "/UpdateBackup/qlpatch.log").find(": replace ") != std::string::npos) {
      EXPECT_TRUE(onOriginals) << fault << " gave " << code << " and left the mix";
    }
    bool anyBackup = false;
    for (size_t i = 0; i < kModules.size(); ++i) {
      const std::string& module = kModules[i];
      const std::string expected = applied                   ? NewBytes(module)
                                   : foundMix && onOriginals ? OldBytes(module)
                                                             : FoundBytes(start, module, i);
      EXPECT_EQ(ReadFile(install_ + "/" + module), expected) << fault << " gave " << code << ": " << module;
      // A module left as found keeps the attributes it was found with.
      uint32_t attributes = 0;
      if (!applied && !(foundMix && onOriginals) && module == kReadOnlyModule) {
        EXPECT_TRUE(os::ReadFileAttributes(Wide(install_ + "/" + module).c_str(), &attributes) &&
                    (attributes & os::kAttributeReadOnly) != 0)
            << fault << " gave " << code << ": " << module << " is no longer read-only";
      }
      EXPECT_EQ(ReadFile(g_watch.backup + "/" + module), applied ? OldBytes(module) : FoundBackup(start, module, i))
          << fault << " gave " << code << ": " << module;
      // A copy made beside a module never outlives a run that ended with 0;
      // one whose removal failed is removed by the next run.
      if (code == RC_SUCCEED) {
        EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo")) << fault;
        EXPECT_FALSE(Exists(install_ + "/" + module + ".qlnew")) << fault;
      }
      anyBackup = anyBackup || FoundBackup(start, module, i) != kMissing;
    }
    if (!applied && !anyBackup) {
      // Gone, or left empty when its removal failed.
      EXPECT_TRUE(!Exists(g_watch.backup) || std::filesystem::is_empty(g_watch.backup))
          << fault << ": the per-patch folder goes";
    }
    const std::string record = ReadFile(recordPath_);
    if (code == RC_SUCCEED) {
      EXPECT_EQ(record, finalRecord_) << fault;
    } else {
      EXPECT_NE(record, finalRecord_) << fault << " gave " << code << ", yet the patch is recorded";
    }
    for (const wchar_t* service : kProductServices) {
      EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning) << fault << " gave " << code;
    }
  }

  // Failures recorded so far in the running test.
  static int RecordedFailures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  std::string finalRecord_;
};

// From each start a fleet meets: the healthy run, then that run with each
// of its calls failing in turn.
TEST_F(FaultInjectionTest, EveryFailingCallEndsCleanlyAndLosesNoModule) {
  int covered = 0, passed = 0;
  std::map<ResultCode, int> codes;
  for (SweepStart start : kSweepStarts) {
    const std::string from = std::string(" from ") + StartName(start);
    // The healthy run: its log lists the calls, and the records it writes
    // are the only ones a faulty run may leave.
    PrepareMachine(start);
    {
      // The records the clean start's run writes are the only ones any run may leave.
      std::lock_guard<std::mutex> lock(g_watch.mutex);
      g_watch.learnRecords = start == SweepStart::kClean;
      g_watch.filesMayHaveChanged = true;
    }
    fake::SetCallObserver(ObserveCall);
    ASSERT_EQ(Apply("nothing" + from), HealthyOutcome(start)) << from;
    fake::SetCallObserver(nullptr);
    std::vector<std::string> healthyLog = fake::CallLog();
    if (start == SweepStart::kClean) finalRecord_ = ReadFile(recordPath_);
    ExpectEndState(HealthyOutcome(start), "nothing" + from, start);
    // A product that comes down after all runs whole again, not on the mix.
    if (start == SweepStart::kSlowStopOverCutOffRun) {
      for (const std::string& module : kModules) EXPECT_EQ(ReadFile(install_ + "/" + module), OldBytes(module));
    }
    {
      std::lock_guard<std::mutex> lock(g_watch.mutex);
      CheckMachineLocked("after the healthy run" + from);
      g_watch.learnRecords = false;
      ASSERT_TRUE(g_watch.problems.empty()) << g_watch.problems.front();
    }
    std::map<std::string, int> occurrences;
    for (const std::string& function : healthyLog) ++occurrences[function];
    if (start == SweepStart::kClean) {
      // Absent, the empty record laid down first, and the finished one:
      // never anything in between.
      ASSERT_EQ(g_watch.records, (std::set<std::string>{
                                     kMissing, finalRecord_,
                                     "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n"}));
      ASSERT_NE(finalRecord_.find("<CurVersion>03</CurVersion>"), std::string::npos);
      // Every kind of platform call the apply makes, or the coverage claim is hollow.
      for (const char* function :
           {"OpenMachineKeyForRead", "QueryKeyValue", "OpenServiceManager", "OpenServiceForControl",
            "QueryServiceState", "ReadServiceStartType", "RequestServiceStop", "RequestServiceStart",
            "ListActiveDependents", "SnapshotProcesses", "FirstProcess", "NextProcess",
            "OpenProcessForTerminate", "TerminateProcessHandle", "OpenProcessForWait", "WaitForProcessEnd",
            "MakeDirectory", "LinkFile", "CopyFileOver", "FlushFileAt", "OpenFile", "FlushToDisk",
            "OpenLockFile", "CloseLockFile", "ReadFileAttributes", "FileSizeAt", "OpenAppendWriteThrough",
            "AppendBytes", "ClearFileAttributes", "ReplaceFileAtomically", "StartThread", "WaitWithoutTimeout",
            "ReleaseSemaphoreOnce", "FreeBytesAt", "LongPathOf", "DeleteFileAt", "HoldFolder",
            "ReadFolderSecurity"}) {
        EXPECT_GT(occurrences[function], 0) << function << " is not in the healthy run";
      }
    }

    // Where each occurrence of each call falls.
    const PhaseBounds bounds = FindPhases(healthyLog);
    std::map<std::string, std::vector<size_t>> positions;
    for (size_t i = 0; i < healthyLog.size(); ++i) positions[healthyLog[i]].push_back(i);
    int startCovered = 0;
    int point = 0;
    const int stride = SweepStride(start, SweepKind::kFailingCalls);
    for (const auto& [function, count] : occurrences) {
      for (int occurrence = 1; occurrence <= count; ++occurrence) {
        if (point++ % stride != 0) continue;
        const std::string fault = function + " #" + std::to_string(occurrence) + from;
        const Phase phase = PhaseOf(bounds, positions[function][occurrence - 1]);
        const int failuresBefore = RecordedFailures();
        PrepareMachine(start);
        {
          std::lock_guard<std::mutex> lock(g_watch.mutex);
          g_watch.problems.clear();
          g_watch.filesMayHaveChanged = true;
        }
        fake::FailCall(function, occurrence);
        fake::SetCallObserver(ObserveCall);
        const ResultCode code = Apply(fault);
        fake::SetCallObserver(nullptr);
        ++covered;
        ++startCovered;

        ++codes[code];
        // A run that refuses or fails on its way has no phases to place
        // calls in: any check's, service's or module step's code fits.
        const bool fits = HealthyOutcome(start) == RC_SUCCEED
                              ? CodeFitsPhase(phase, code)
                              : CodeFitsPhase(Phase::kChecks, code) ||
                                    (code >= RC_OPEN_SCM_FAILED && code <= RC_COPY_FILE_FAILED) ||
                                    code == HealthyOutcome(start);
        EXPECT_TRUE(fits) << fault << " gave " << code << " in phase " << static_cast<int>(phase);
        EXPECT_GE(fake::CallCount(function), occurrence) << fault << ": the failing call was never made";
        EXPECT_EQ(fake::OpenKeys(), 0) << fault;
        EXPECT_EQ(fake::OpenServiceHandles(), 0) << fault;
        EXPECT_EQ(fake::OpenKernelHandles(), 0) << fault;
        EXPECT_LT(fake::NowMs(), 400000u) << fault << ": waited too long on the virtual clock";
        EXPECT_LT(fake::CallLog().size(), 3 * healthyLog.size() + 300) << fault;
        {
          std::lock_guard<std::mutex> lock(g_watch.mutex);
          CheckMachineLocked("at the end");
          for (const std::string& problem : g_watch.problems) ADD_FAILURE() << fault << ", " << problem;
        }
        ExpectEndState(code, fault, start);
        // A run that did not finish is finished by the next one.
        if (code != RC_SUCCEED && code != RC_SWAP_AT_RESTART) {
          PreparePlatform();
          EXPECT_EQ(Apply(fault + ", then again"), RC_SUCCEED) << fault;
          ExpectEndState(RC_SUCCEED, fault + ", then again");
        }
        // The outcome line is printed for every run, failed or not.
        EXPECT_NE(fake::Output().find(L"Press any key to exit.\r\n"), std::wstring::npos) << fault;

        if (RecordedFailures() == failuresBefore) ++passed;
      }
    }
    EXPECT_EQ(startCovered, (static_cast<int>(healthyLog.size()) + stride - 1) / stride) << from;
  }
  std::printf("fault points covered: %d, passed: %d; outcomes:", covered, passed);
  for (const auto& [code, n] : codes) std::printf(" %d x%d", code, n);
  std::printf("\n");
  RecordProperty("fault_points_covered", covered);
  RecordProperty("fault_points_passed", passed);
}

// The same over an undo of the applied patch. With any one call failing,
// every module stays whole and installed or backed up at every call, every
// handle is closed, and a later undo completes: the originals back, the
// patch off the record.
TEST_F(FaultInjectionTest, EveryFailingCallOfAnUndoKeepsModulesWholeAndALaterUndoCompletes) {
  const auto applied = [this] {
    PrepareMachine(SweepStart::kClean);
    ASSERT_EQ(Apply("nothing"), RC_SUCCEED);
    PreparePlatform();
    fake::SetFileAttributesOf(g_watch.backup + "/profiles.dll", os::kAttributeReadOnly);
  };
  applied();
  const std::string appliedRecord = ReadFile(recordPath_);
  {
    std::lock_guard<std::mutex> lock(g_watch.mutex);
    g_watch.learnRecords = true;
    g_watch.filesMayHaveChanged = true;
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
  for (const char* function : {"OpenLockFile", "RequestServiceStop", "LinkFile",
                               "ClearFileAttributes", "ListFolder",
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
        g_watch.filesMayHaveChanged = true;
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
      // Undone (0) or as the undo found it: all new, the record and the
      // backup as they were, the services running.
      for (const std::string& module : kModules) {
        EXPECT_EQ(ReadFile(install_ + "/" + module), code == RC_SUCCEED ? OldBytes(module) : NewBytes(module))
            << fault << " gave " << code;
        // A backup copy that could not be removed after a finished undo
        // stays (the log says so); the next undo removes it.
        if (code != RC_SUCCEED) {
          EXPECT_EQ(ReadFile(g_watch.backup + "/" + module), OldBytes(module)) << fault << " gave " << code;
        }
        EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo")) << fault;
      }
      EXPECT_EQ(ReadFile(recordPath_), code == RC_SUCCEED ? undoneRecord : appliedRecord) << fault << " gave " << code;
      for (const wchar_t* service : kProductServices) {
        EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning) << fault << " gave " << code;
      }

      // A later undo finishes what this one did not.
      bool backupLeft = false;
      for (const std::string& module : kModules) backupLeft = backupLeft || Exists(g_watch.backup + "/" + module);
      PreparePlatform();
      const ResultCode again = Apply(fault + ", then again", true);
      EXPECT_EQ(again, code == RC_SUCCEED && !backupLeft ? RC_NOT_PATCHED : RC_SUCCEED) << fault << " gave " << code;
      for (const std::string& module : kModules) {
        EXPECT_FALSE(Exists(g_watch.backup + "/" + module)) << fault << ", then again";
      }
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
