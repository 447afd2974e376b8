// The apply run killed at every platform call, with real files.
//
// A healthy run is counted first. Then, for each call K of it, a child
// process makes the same run and ends itself at once (_exit, as a kill
// would: no clean-up, no stdio flush) just before its K-th platform call.
// Left behind must be: every module's name holding it whole, the original
// or the new copy (never empty), its original bytes in the backup while
// the new copy is installed, and
// the record either as it was before the run or as the finished run writes
// it (a leftover temporary file beside it is allowed). Then, from what the
// kill left (files, and the services as the killed run left them), each
// mode is run in turn: the query must be true to the product, and the next
// apply or undo, whichever mode it is, must leave the product whole, in its
// mode's end state, with every service running.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/journal.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"
#include "tests/unit/test_support.h"

namespace {

const std::vector<std::string> kModules = {"core.dll", "profiles.dll", "help.dll"};
const std::string kMissing = "<missing>";

const wchar_t* const kServices[] = {L"QlSvc", L"QlProfileSvc", L"QlVpnSvc"};

std::atomic<int> g_calls{0};
int g_killAt = 0;
bool g_powerCut = false;  // the kill is a power cut: unflushed file data is lost too
std::string g_servicesFile;  // where a run leaves its services' states for the next one

// One character per service: 'r' running (or on its way there), 's'
// stopped (or stopping: it stops by itself).
void SaveServices() {
  std::string states;
  for (const wchar_t* name : kServices) {
    const fake::Service* service = fake::FindService(name);
    const bool up = service != nullptr && (service->state == os::kServiceRunning ||
                                           service->state == os::kServiceStartPending ||
                                           service->state == os::kServiceContinuePending);
    states += up ? 'r' : 's';
  }
  MachineTest::WriteFile(g_servicesFile, states);
  const std::wstring pending = fake::PendingRenames();
  MachineTest::WriteFile(g_servicesFile + ".renames",
                         std::string(reinterpret_cast<const char*>(pending.data()), pending.size() * sizeof(wchar_t)));
}

std::wstring SavedRenames() {
  const std::string bytes = MachineTest::ReadFile(g_servicesFile + ".renames");
  if (bytes == "<missing>") return L"";
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// The machine restarted: what waited for it is done, and every service runs.
void RestartMachine() {
  fake::Reset();
  fake::SetPendingRenames(SavedRenames());
  fake::Restart();
  MachineTest::WriteFile(g_servicesFile, "rrr");
  MachineTest::WriteFile(g_servicesFile + ".renames", "");
}

void KillAtCall(const std::string&) {
  if (++g_calls != g_killAt) return;
  if (g_powerCut) fake::PowerCut();
  SaveServices();
  _exit(0);
}

enum class Mode { kApply, kUndo, kQuery };

class CrashConsistencyTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    WriteDescription(Description("03", kModules));
    for (const std::string& module : kModules) WriteFile(work_ + "/" + module, "new " + module);
    backup_ = install_ + "/UpdateBackup/Patch03";
    kept_ = root_ + "/killed";
    g_servicesFile = root_ + "/services";
    std::filesystem::remove(g_servicesFile);
    std::filesystem::remove(g_servicesFile + ".renames");
  }

  // The install folder as the product (and, from `start`, an earlier run)
  // left it; `oldRecord` empty: no record.
  void PrepareFiles(const std::string& oldRecord, SweepStart start = SweepStart::kClean) {
    std::filesystem::remove_all(install_);
    MakeDirs(install_);
    LayOutModules(start, install_, backup_, kModules);
    if (!oldRecord.empty()) WriteFile(recordPath_, oldRecord);
  }

  // The platform stand-in of a fresh process: the product installed and
  // running, its services as `start` has them.
  void PreparePlatform(SweepStart start = SweepStart::kClean, bool servicesAsLeft = false) {
    fake::Reset();
    fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
    fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
    fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
    fake::SetLocalDate(2020, 3, 15);
    AddProductServicesWithDependent();
    ApplyServiceStart(start, install_);
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
    const std::string states = ReadFile(g_servicesFile);
    for (size_t i = 0; servicesAsLeft && i < states.size() && i < std::size(kServices); ++i) {
      if (states[i] == 's') fake::FindService(kServices[i])->state = os::kServiceStopped;
    }
    if (servicesAsLeft) fake::SetPendingRenames(SavedRenames());
  }

  static ResultCode Apply() {
    wchar_t name[] = L"qlpatch.exe";
    wchar_t* argv[] = {name, nullptr};
    return RunEntry(1, argv);
  }

  static ResultCode Undo() { return Command(L"undo"); }

  static ResultCode Command(const wchar_t* what) {
    wchar_t name[] = L"qlpatch.exe", option[] = L"-c", command[16] = {};
    std::wcsncpy(command, what, 15);
    wchar_t* argv[] = {name, option, command, nullptr};
    return RunEntry(3, argv);
  }

  // Runs a mode as a fresh process of the tool, from the services as the
  // last run left them when `servicesAsLeft`. A run killed before its
  // `killAt`-th platform call runs in a child process that ends itself
  // there, with nothing cleaned up, and 0 is answered. A run not killed
  // (`killAt` 0) runs here, on a stand-in reset as for a new process (with
  // a power cut, the power goes once it has ended), and 100 + its result is
  // answered: a fork for it would only cost the time of its page faults.
  int RunApply(int killAt, bool powerCut = false, bool undo = false, SweepStart start = SweepStart::kClean,
               bool servicesAsLeft = false) {
    return RunMode(undo ? Mode::kUndo : Mode::kApply, killAt, powerCut, start, servicesAsLeft);
  }
  int RunMode(Mode mode, int killAt, bool powerCut, SweepStart start, bool servicesAsLeft) {
    if (killAt == 0) {
      PreparePlatform(start, servicesAsLeft);
      const ResultCode result = mode == Mode::kApply ? Apply() : mode == Mode::kUndo ? Undo() : Command(L"patch");
      if (mode != Mode::kQuery) SaveServices();
      if (powerCut) fake::PowerCut();
      return 100 + result;
    }
    std::fflush(nullptr);
    fake::JoinThreads();
    pid_t child = fork();
    if (child == 0) {
      PreparePlatform(start, servicesAsLeft);
      g_calls = 0;
      g_killAt = killAt;
      g_powerCut = powerCut;
      if (killAt > 0) fake::SetCallObserver(KillAtCall);
      const ResultCode result = mode == Mode::kApply ? Apply() : mode == Mode::kUndo ? Undo() : Command(L"patch");
      fake::SetCallObserver(nullptr);
      if (mode != Mode::kQuery) SaveServices();
      if (powerCut) fake::PowerCut();
      _exit(result == RC_SWAP_AT_RESTART ? 99 : 100 + result);  // an exit status holds one byte
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 99 ? 100 + RC_SWAP_AT_RESTART : WEXITSTATUS(status);
  }

  // Each module's original bytes are installed or backed up, an installed
  // module is whole, and a new one is only installed over a backup. After
  // a power cut a new copy not yet written through may hold zeros; then no
  // record may claim the patch, so the next run replaces it again.
  void ExpectNoModuleLost(const std::string& when, bool powerCut, bool patchRecorded) {
    for (const std::string& module : kModules) {
      const std::string installed = ReadFile(install_ + "/" + module);
      const std::string backedUp = ReadFile(backup_ + "/" + module);
      const bool zeros = powerCut && installed == std::string(("new " + module).size(), '\0');
      EXPECT_TRUE(installed == "old " + module || backedUp == "old " + module)
          << when << ": " << module << " lost";
      EXPECT_TRUE(installed == "old " + module || installed == "new " + module || zeros)
          << when << ": " << module << " holds '" << installed << "'";
      if (installed == "new " + module || zeros) {
        EXPECT_EQ(backedUp, "old " + module) << when << ": " << module << " replaced without a backup";
      }
      if (patchRecorded) {
        EXPECT_EQ(installed, "new " + module) << when << ": the record claims the patch over " << module;
      }
    }
  }

  // Patched, and no copy made beside a module outlives the run that
  // finished it.
  void ExpectPatched(const std::string& when, const std::string& finalRecord) {
    for (const std::string& module : kModules) {
      EXPECT_EQ(ReadFile(install_ + "/" + module), "new " + module) << when;
      EXPECT_EQ(ReadFile(backup_ + "/" + module), "old " + module) << when;
      for (const char* beside : {".qlnew", ".qlundo"}) EXPECT_FALSE(Exists(install_ + "/" + module + beside)) << when;
    }
    EXPECT_EQ(ReadFile(recordPath_), finalRecord) << when;
    ExpectWholeAndRunning(when);
  }

  // The originals installed, no backup of them, and the patch off the record.
  void ExpectUndone(const std::string& when, const std::string& oldRecord) {
    for (const std::string& module : kModules) {
      EXPECT_EQ(ReadFile(install_ + "/" + module), "old " + module) << when;
      EXPECT_FALSE(Exists(backup_ + "/" + module)) << when;
    }
    const std::string record = ReadFile(recordPath_);
    EXPECT_EQ(record.find("Patch03"), std::string::npos) << when << ": record holds '" << record << "'";
    if (!oldRecord.empty()) {
      EXPECT_NE(record.find("<CurVersion>02</CurVersion>"), std::string::npos) << when;
    }
    ExpectWholeAndRunning(when);
  }

  // Every service runs, and no journal or copy beside a module is left.
  void ExpectWholeAndRunning(const std::string& when) {
    EXPECT_EQ(ReadFile(g_servicesFile), "rrr") << when << ": services (QlSvc, QlProfileSvc, QlVpnSvc)";
    EXPECT_FALSE(Exists(install_ + "/UpdateBackup/qlpatch.journal")) << when;
    for (const std::string& module : kModules) {
      for (const char* beside : {".qlnew", ".qlundo"}) EXPECT_FALSE(Exists(install_ + "/" + module + beside)) << when;
      EXPECT_FALSE(Exists(backup_ + "/" + module + ".qlswap")) << when;
    }
    EXPECT_EQ(SavedRenames(), L"") << when << ": a rename still waits for the restart";
  }

  // The query's answer from what a kill left: 19 only over a product
  // patched whole and running.
  void ExpectQueryTrue(const std::string& when) {
    const int answer = RunMode(Mode::kQuery, 0, false, SweepStart::kClean, true) - 100;
    if (answer == RC_PATCH_IS_LATEST) {
      for (const std::string& module : kModules) {
        EXPECT_EQ(ReadFile(install_ + "/" + module), "new " + module) << when << ": 19 over " << module;
      }
      EXPECT_EQ(ReadFile(g_servicesFile), "rrr") << when << ": 19 with a service stopped";
    } else {
      EXPECT_TRUE(answer == RC_NOT_PATCHED || answer == RC_RECORD_MISSING) << when << ": the query gave " << answer;
    }
  }

  // What a kill left, kept, so that each mode can be run from it in turn.
  void KeepKilledState() {
    std::filesystem::remove_all(kept_);
    std::filesystem::copy(install_, kept_, std::filesystem::copy_options::recursive);
    keptServices_ = ReadFile(g_servicesFile);
    keptRenames_ = ReadFile(g_servicesFile + ".renames");
  }
  // What the runs after a kill start from: every name in the install
  // folder with its bytes and its count of names, the services' states and
  // the renames waiting for the restart. The run log is left out: no run
  // reads what it holds.
  std::string KilledStateKey() const {
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(install_)) {
      const std::string name = entry.path().filename().string();
      if (name == "qlpatch.log" || name == "qlpatch.log.1") continue;
      std::string line = std::filesystem::relative(entry.path(), install_).string();
      if (entry.is_regular_file()) {
        line += '\0' + std::to_string(entry.hard_link_count()) + '\0' + ReadFile(entry.path().string());
      }
      entries.push_back(line);
    }
    std::sort(entries.begin(), entries.end());
    std::string key = ReadFile(g_servicesFile) + '\0' + ReadFile(g_servicesFile + ".renames");
    for (const std::string& line : entries) key += '\1' + line;
    return key;
  }
  void BackToKilledState() {
    std::filesystem::remove_all(install_);
    std::filesystem::copy(kept_, install_, std::filesystem::copy_options::recursive);
    WriteFile(g_servicesFile, keptServices_);
    WriteFile(g_servicesFile + ".renames", keptRenames_ == "<missing>" ? "" : keptRenames_);
  }

  // The next apply; one that leaves the patch for the restart is followed
  // by the restart and one more apply.
  int ApplyThroughRestart() {
    const int result = RunApply(0, false, false, SweepStart::kClean, true) - 100;
    if (result != RC_SWAP_AT_RESTART) return result;
    RestartMachine();
    return RunApply(0, false, false, SweepStart::kClean, true) - 100;
  }

  // Kills the run from `start` at each of its calls, checks what is left
  // and runs the tool again on it. Answers the number of kill points
  // survived.
  int KillAtEveryCall(const std::string& oldRecord, int* points, bool powerCut = false,
                      SweepStart start = SweepStart::kClean) {
    PrepareFiles(oldRecord);
    EXPECT_EQ(RunApply(0, powerCut), 100 + RC_SUCCEED);
    const std::string finalRecord = ReadFile(recordPath_);
    EXPECT_NE(finalRecord.find("<CurVersion>03</CurVersion>"), std::string::npos);
    if (powerCut) ExpectPatched("power cut after the run", finalRecord);
    // The healthy run's calls, counted in this process on the same files.
    PrepareFiles(oldRecord, start);
    PreparePlatform(start);
    EXPECT_EQ(Apply(), HealthyOutcome(start)) << StartName(start);
    const int calls = static_cast<int>(fake::CallLog().size());
    if (HealthyOutcome(start) == RC_SUCCEED) {
      EXPECT_EQ(ReadFile(recordPath_), finalRecord);
    }

    const std::string before = oldRecord.empty() ? kMissing : oldRecord;
    int survived = 0;
    std::set<std::string> followedUp;
    // Where points are skipped, the four sweeps (a kill or a power cut,
    // without a record on file or with one) take points between each
    // other's, so that together they reach more calls than any one alone.
    const int stride = SweepStride(start, SweepKind::kCutOffRuns);
    const int sweep = (powerCut ? 2 : 0) + (oldRecord.empty() ? 0 : 1);
    for (int k = 1 + sweep * stride / 4; k <= calls; k += stride) {
      ++*points;
      const std::string when = (powerCut ? "power cut before call " : "killed before call ") + std::to_string(k) +
                               " from " + StartName(start);
      const int failuresBefore = Failures();
      PrepareFiles(oldRecord, start);
      EXPECT_EQ(RunApply(k, powerCut, false, start), 0) << when << ": the run was not killed";
      const std::string record = ReadFile(recordPath_);
      ExpectNoModuleLost(when, powerCut, record == finalRecord);
      EXPECT_TRUE(record == before || record == finalRecord ||
                  (oldRecord.empty() && record == "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n"))
          << when << ": record holds '" << record << "'";
      const std::wstring note = std::wstring(L"swap ") + kSwapPending;
      const bool notedWaiting = ReadFile(install_ + "/UpdateBackup/qlpatch.journal")
                                    .find(std::string(reinterpret_cast<const char*>(note.data()),
                                                      note.size() * sizeof(wchar_t))) != std::string::npos;
      EXPECT_TRUE(!notedWaiting || SavedRenames() != L"") << when << ": the swap noted as waiting was lost";

      // The runs after a kill start from nothing but what it left: where an
      // earlier point of this sweep left the same, they would run the same.
      if (!followedUp.insert(KilledStateKey()).second) {
        if (Failures() == failuresBefore) ++survived;
        continue;
      }
      ++statesFollowedUp_;
      KeepKilledState();
      ExpectQueryTrue(when + ", then the query");
      const int again = ApplyThroughRestart();
      EXPECT_TRUE(again == RC_SUCCEED || again == RC_PATCH_IS_LATEST) << when << ": the next run gave " << again;
      ExpectPatched(when + ", then run again", finalRecord);
      BackToKilledState();
      const int undone = RunApply(0, false, true, SweepStart::kClean, true) - 100;
      EXPECT_TRUE(undone == RC_SUCCEED || undone == RC_NOT_PATCHED || undone == RC_RECORD_MISSING)
          << when << ": the next undo gave " << undone;
      ExpectUndone(when + ", then an undo", oldRecord);
      if (Failures() == failuresBefore) ++survived;
    }
    return survived;
  }

  static int Failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  int statesFollowedUp_ = 0;  // distinct states the kills left, each run from
  std::string backup_;
  std::string kept_;
  std::string keptServices_;
  std::string keptRenames_;
};

TEST_F(CrashConsistencyTest, KillAtAnyCallLosesNothingAndTheNextRunFinishes) {
  int points = 0;
  int survived = 0;
  for (SweepStart start : kSweepStarts) survived += KillAtEveryCall("", &points, false, start);
  // An earlier patch on record: the record is changed, not created.
  survived += KillAtEveryCall(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.20>\n"
      "        <CurVersion>02</CurVersion>\n    </QL4.20>\n</UpdateQL>\n",
      &points);
  std::printf("kill points: %d (%d states left), survived: %d\n", points, statesFollowedUp_, survived);
  RecordProperty("kill_points", points);
  RecordProperty("kill_points_survived", survived);
  EXPECT_EQ(survived, points);
  EXPECT_GT(points, 200);
}

// A service that never stops, over a mix an earlier run left: no run can
// change the modules, and however the first is killed, the next one puts
// the product back as both found it, running on that mix.
TEST_F(CrashConsistencyTest, KilledWhereNoRunCanChangeTheModulesTheNextLeavesThemAsFound) {
  const SweepStart start = SweepStart::kNeverStopsOverCutOffRun;
  PrepareFiles("", start);
  PreparePlatform(start);
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  const int stride = SweepStride(start, SweepKind::kCutOffRuns);
  for (int k = 1, calls = static_cast<int>(fake::CallLog().size()); k <= calls; k += stride) {
    const std::string when = "killed before call " + std::to_string(k);
    PrepareFiles("", start);
    EXPECT_EQ(RunApply(k, false, false, start), 0) << when << ": the run was not killed";
    EXPECT_EQ(RunApply(0, false, false, start, true), 100 + RC_STOP_SERVICE_FAILED) << when;
    for (size_t i = 0; i < kModules.size(); ++i) {
      EXPECT_EQ(ReadFile(install_ + "/" + kModules[i]), FoundBytes(start, kModules[i], i)) << when;
    }
    ExpectWholeAndRunning(when + ", then run again");
  }
}

// A dependent the run stops that the survey did not see is named in the
// journal before its stop: the run that finishes a killed one starts it.
TEST_F(CrashConsistencyTest, KilledAfterStoppingADependentTheSurveyMissedTheNextStartsIt) {
  const SweepStart start = SweepStart::kDependentUnseenAtSurvey;
  PrepareFiles("", start);
  PreparePlatform(start);
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string finalRecord = ReadFile(recordPath_);
  const int stride = SweepStride(start, SweepKind::kCutOffRuns);
  for (int k = 1, calls = static_cast<int>(fake::CallLog().size()); k <= calls; k += stride) {
    const std::string when = "killed before call " + std::to_string(k);
    PrepareFiles("", start);
    EXPECT_EQ(RunApply(k, false, false, start), 0) << when << ": the run was not killed";
    const int next = RunApply(0, false, false, SweepStart::kClean, true) - 100;
    EXPECT_TRUE(next == RC_SUCCEED || next == RC_PATCH_IS_LATEST) << when << ": the next run gave " << next;
    ExpectPatched(when + ", then run again", finalRecord);
  }
}

// The same with the power lost instead: file data not yet written through
// is gone too.
TEST_F(CrashConsistencyTest, PowerCutAtAnyCallNeverRecordsAnUnwrittenModule) {
  int points = 0;
  int survived = 0;
  for (SweepStart start : kSweepStarts) survived += KillAtEveryCall("", &points, true, start);
  survived += KillAtEveryCall(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.20>\n"
      "        <CurVersion>02</CurVersion>\n    </QL4.20>\n</UpdateQL>\n",
      &points, true);
  std::printf("power-cut points: %d (%d states left), survived: %d\n", points, statesFollowedUp_, survived);
  RecordProperty("power_cut_points", points);
  RecordProperty("power_cut_points_survived", survived);
  EXPECT_EQ(survived, points);
  EXPECT_GT(points, 200);
}

// The disk fills up after the run looked, at every byte of the copies of
// an apply: each module stays whole, the services run, and once there is
// room the next apply finishes. An undo on that disk finishes.
TEST_F(CrashConsistencyTest, ADiskFillingAtAnyByteOfTheCopiesLeavesEveryModuleWhole) {
  size_t total = 0;
  for (const std::string& module : kModules) total += ("new " + module).size();
  for (uint64_t room = 0; room <= total; ++room) {
    const std::string when = "room for " + std::to_string(room) + " bytes";
    PrepareFiles("");
    PreparePlatform();
    fake::SetDiskRoomShown(1ull << 30);
    fake::SetDiskRoom(room);
    const ResultCode first = Apply();
    EXPECT_EQ(first, room == total ? RC_SUCCEED : RC_COPY_FILE_FAILED) << when;
    for (const std::string& module : kModules) {
      EXPECT_EQ(ReadFile(install_ + "/" + module), (first == RC_SUCCEED ? "new " : "old ") + module) << when;
      EXPECT_FALSE(Exists(install_ + "/" + module + ".qlnew")) << when;
    }
    for (const wchar_t* name : kServices) EXPECT_EQ(fake::FindService(name)->state, os::kServiceRunning) << when;
    PreparePlatform();
    EXPECT_EQ(Apply(), first == RC_SUCCEED ? RC_PATCH_IS_LATEST : RC_SUCCEED) << when << ", then with room";
    for (const std::string& module : kModules) EXPECT_EQ(ReadFile(install_ + "/" + module), "new " + module) << when;

    // The undo's copies are second names of the backups: it needs no room.
    PreparePlatform();
    fake::SetDiskRoomShown(1ull << 30);
    fake::SetDiskRoom(room);
    EXPECT_EQ(Undo(), RC_SUCCEED) << "undo, " << when;
    for (const std::string& module : kModules) EXPECT_EQ(ReadFile(install_ + "/" + module), "old " + module) << when;
    for (const wchar_t* name : kServices) {
      EXPECT_EQ(fake::FindService(name)->state, os::kServiceRunning) << "undo, " << when;
    }
  }
}

TEST_F(CrashConsistencyTest, ModuleLeftOnlyInTheBackupIsReplaced) {
  // A run cut off between moving a module aside and copying the new one in.
  std::wcscpy(g_backupFolderName, L"Patch03");
  WriteFile(backup_ + "/core.dll", "old core.dll");
  EXPECT_EQ(ReplaceOneModule(Wide(install_).c_str(), L"core.dll"), RC_SUCCEED);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_EQ(ReadFile(backup_ + "/core.dll"), "old core.dll");
  // Neither installed nor backed up: nothing to replace.
  EXPECT_EQ(ReplaceOneModule(Wide(install_).c_str(), L"profiles.dll"), RC_MOVE_FILE_FAILED);
  EXPECT_FALSE(Exists(install_ + "/profiles.dll"));
}

// An undo killed before each of its calls: every module stays whole, the
// new copy or the original, and the original stays backed up while the
// record lists the patch. Run again, the undo finishes.
TEST_F(CrashConsistencyTest, UndoKilledAtAnyCallLosesNothingAndTheNextUndoFinishes) {
  PrepareFiles("");
  PreparePlatform();
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string appliedRecord = ReadFile(recordPath_);
  const std::string applied = root_ + "/applied";
  std::filesystem::copy(install_, applied, std::filesystem::copy_options::recursive);
  const auto restoreApplied = [&] {
    std::filesystem::remove_all(install_);
    std::filesystem::copy(applied, install_, std::filesystem::copy_options::recursive);
  };
  PreparePlatform();
  ASSERT_EQ(Undo(), RC_SUCCEED);
  const int calls = static_cast<int>(fake::CallLog().size());
  const std::string undoneRecord = ReadFile(recordPath_);

  int survived = 0;
  int points = 0;
  std::set<std::string> followedUp;
  const int stride = SweepStride(SweepStart::kClean, SweepKind::kCutOffRuns);
  for (int k = 1; k <= calls; k += stride) {
    ++points;
    const std::string when = "undo killed before call " + std::to_string(k);
    const int failuresBefore = Failures();
    restoreApplied();
    EXPECT_EQ(RunApply(k, false, true), 0) << when << ": the run was not killed";
    const std::string record = ReadFile(recordPath_);
    EXPECT_TRUE(record == appliedRecord || record == undoneRecord) << when << ": record holds '" << record << "'";
    for (const std::string& module : kModules) {
      const std::string installed = ReadFile(install_ + "/" + module);
      EXPECT_TRUE(installed == "old " + module || installed == "new " + module)
          << when << ": " << module << " holds '" << installed << "'";
      if (record == appliedRecord) {
        EXPECT_EQ(ReadFile(backup_ + "/" + module), "old " + module) << when << ": backup of " << module;
      }
    }
    if (!followedUp.insert(KilledStateKey()).second) {  // as in KillAtEveryCall
      if (Failures() == failuresBefore) ++survived;
      continue;
    }
    ++statesFollowedUp_;
    // Killed before the backup went, the next undo takes the rest back.
    KeepKilledState();
    ExpectQueryTrue(when + ", then the query");
    const int again = RunApply(0, false, true, SweepStart::kClean, true) - 100;
    EXPECT_TRUE(again == RC_SUCCEED || again == RC_NOT_PATCHED) << when << ", then again: " << again;
    ExpectUndone(when + ", then again", "");
    EXPECT_EQ(ReadFile(recordPath_), undoneRecord) << when << ", then again";
    // An undo that cannot finish (a module held open for good; the product
    // slower to stop than its polls, after a restart started it on what
    // the cut left) leaves the product whole and running, whatever mix the
    // cut left, and the query true to it.
    for (const SweepStart held : {SweepStart::kHeldLettingRead, SweepStart::kSlowStop}) {
      const std::string then = when + ", then an undo over " + StartName(held);
      BackToKilledState();
      if (held == SweepStart::kSlowStop) WriteFile(g_servicesFile, "rrr");
      RunApply(0, false, true, held, true);
      const bool whole = std::all_of(kModules.begin(), kModules.end(), [&](const std::string& m) {
        return ReadFile(install_ + "/" + m) == "old " + m;
      }) || std::all_of(kModules.begin(), kModules.end(), [&](const std::string& m) {
        return ReadFile(install_ + "/" + m) == "new " + m;
      });
      EXPECT_TRUE(whole) << then << ": left on a mix";
      EXPECT_EQ(ReadFile(g_servicesFile), "rrr") << then;
      for (const std::string& module : kModules) {
        EXPECT_EQ(std::filesystem::hard_link_count(install_ + "/" + module), 1u)
            << then << ": " << module << " shares its bytes with another name";
      }
      ExpectQueryTrue(then);
    }
    // The apply finishes the undo first, then applies the patch again.
    BackToKilledState();
    const int reapplied = RunApply(0, false, false, SweepStart::kClean, true) - 100;
    EXPECT_TRUE(reapplied == RC_SUCCEED || reapplied == RC_PATCH_IS_LATEST) << when << ", then an apply: " << reapplied;
    ExpectPatched(when + ", then an apply", appliedRecord);
    if (Failures() == failuresBefore) ++survived;
  }
  std::printf("undo kill points: %d (%d states left), survived: %d\n", points, statesFollowedUp_, survived);
  RecordProperty("undo_kill_points", points);
  RecordProperty("undo_kill_points_survived", survived);
  EXPECT_EQ(survived, points);
}

}  // namespace
