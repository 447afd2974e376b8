#include "tests/unit/test_support.h"

#include "driver/driver.h"
#include "driver/run_plan.h"

#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "shared/shared.h"

std::wstring Wide(const std::string& utf8) {
  std::wstring out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t code = c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) code = c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) code = (code << 6) | (utf8[i + k] & 0x3F);
    out += static_cast<wchar_t>(code);
    i += 1 + extra;
  }
  return out;
}

namespace {
// The sweeps fork a process for each point, and in both processes every page
// written after the fork is copied, or, given back to the system by free and
// then taken again, zeroed: memory a run frees is kept instead. (No effect
// under the sanitizers, whose allocator is their own.)
const bool kFreedMemoryKept = [] {
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  return true;
}();
}  // namespace

void MachineTest::SetUp() {
  fake::Reset();
  // In memory where the machine has it: the sweeps make and remove
  // thousands of files, and a disk's journal makes each one slow.
  char inMemory[] = "/dev/shm/qlpatch-test-XXXXXX", onDisk[] = "/tmp/qlpatch-test-XXXXXX";
  const char* root = mkdtemp(inMemory) != nullptr ? inMemory : mkdtemp(onDisk);
  ASSERT_NE(root, nullptr);
  root_ = root;
  work_ = root_ + "/work";
  install_ = root_ + "/Qorlink";
  recordPath_ = install_ + "/UpdateBackup/QlPatch.xml";
  MakeDirs(work_);
  MakeDirs(install_);
  previousDirectory_ = std::filesystem::current_path().string();
  std::filesystem::current_path(work_);
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  fake::SetLocalDate(2020, 3, 15);
}

void MachineTest::TearDown() {
  std::filesystem::current_path(previousDirectory_);
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
  fake::Reset();
}

void MachineTest::WriteDescription(const std::string& xml) {
  WriteFile(work_ + "/patchql58302.dat", xml);
}

std::string MachineTest::Description(const std::string& patchVersion,
                                     const std::vector<std::string>& modules) {
  std::ostringstream out;
  out << "<UpdateQL>\n    <Version>4.20</Version>\n    <BuildID>0137</BuildID>\n"
      << "    <PatchVersion>" << patchVersion << "</PatchVersion>\n"
      << "    <WerNum>" << modules.size() << "</WerNum>\n";
  for (size_t i = 0; i < modules.size(); ++i) {
    out << "    <WER" << i + 1 << "><UpdateModule>" << modules[i] << "</UpdateModule></WER" << i + 1
        << ">\n";
  }
  out << "</UpdateQL>\n";
  return out.str();
}

void MachineTest::AddProductServices() {
  fake::AddService(L"QlSvc");
  fake::AddService(L"QlProfileSvc");
}

void MachineTest::AddProductServicesWithDependent() {
  for (const wchar_t* name : kProductServices) {
    const uint32_t process = fake::AddProcess(std::wstring(name) + L".exe");
    fake::AddService(name).processId = process;
  }
  const uint32_t process = fake::AddProcess(L"QlVpnSvc.exe");
  fake::Service& dependent = fake::AddService(L"QlVpnSvc");
  dependent.dependsOn = {kProductServices[0]};
  dependent.processId = process;
}

void MachineTest::WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Plain reads: the sweeps read every module and the record at each
// platform call of each run.
std::string MachineTest::ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  std::string bytes;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(got));
  close(fd);
  return bytes;
}

bool MachineTest::Exists(const std::string& path) { return std::filesystem::exists(path); }

void MachineTest::MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

ResultCode ReplaceListedModules() {
  RunPlan plan;
  plan.install = ReadInstallInfo();
  if (!plan.install.folderRead) return RC_REGISTRY_READ_FAILED;
  ResultCode result = ReadModulesToReplace(&plan);
  if (result != RC_SUCCEED) return result;
  WorkItemList work;
  return ReplaceModules(&plan.modules, ModuleAction::kReplace, &work, nullptr, &plan.heldFiles);
}

ResultCode ReplaceOneModule(const std::wstring& installFolder, const wchar_t* moduleName) {
  ModulePlan module;
  const ResultCode result = ReadModulePlan(installFolder.c_str(), moduleName, HeldModule::kWaitOut, &module);
  if (result != RC_SUCCEED) return result;
  ModuleChange change;
  return BackupAndReplaceModule(module, &change);
}

const char* StartName(SweepStart start) {
  switch (start) {
    case SweepStart::kClean: return "a clean start";
    case SweepStart::kUnrecordedApply: return "an unrecorded apply";
    case SweepStart::kCutAfterFirstModule: return "a run cut off after module 1";
    case SweepStart::kSlowStop: return "a stop slower than its polls";
    case SweepStart::kSlowStopOverCutOffRun: return "a stop slower than its polls over a run cut off after module 1";
    case SweepStart::kDisabledRunning: return "a running disabled service";
    case SweepStart::kStartedAgainByTrigger: return "a service started again by a trigger";
    case SweepStart::kDiskFillsUp: return "a disk filled by another program after the run looked";
    case SweepStart::kHeldForGood: return "a module held open until a restart";
    case SweepStart::kHeldOverUnrecordedApply: return "a module held open until a restart over an unrecorded apply";
    case SweepStart::kHeldOverCutOffRun: return "a module held open until a restart over a run cut off around it";
    case SweepStart::kHeldLettingRead: return "a module held open until a restart, letting others read";
    case SweepStart::kFullDiskOverHeldCutOffRun:
      return "a disk filled after the run looked, over a run cut off after module 2, that module held open";
    case SweepStart::kNeverStopsOverCutOffRun: return "a service that never stops over a run cut off after module 1";
    case SweepStart::kDependentUnseenAtSurvey: return "a dependent the survey cannot list";
  }
  return "";
}

namespace {

bool ReplacedBefore(SweepStart start, size_t index) {
  return start == SweepStart::kUnrecordedApply || start == SweepStart::kHeldOverUnrecordedApply ||
         ((start == SweepStart::kCutAfterFirstModule || start == SweepStart::kSlowStopOverCutOffRun ||
           start == SweepStart::kNeverStopsOverCutOffRun) &&
          index == 0) ||
         (start == SweepStart::kHeldOverCutOffRun && index != 1) ||  // all but profiles.dll, the one held
         (start == SweepStart::kFullDiskOverHeldCutOffRun && index < 2);
}

}  // namespace

std::string FoundBytes(SweepStart start, const std::string& module, size_t index) {
  return (ReplacedBefore(start, index) ? "new " : "old ") + module;
}

std::string FoundBackup(SweepStart start, const std::string& module, size_t index) {
  return ReplacedBefore(start, index) ? "old " + module : "<missing>";
}

void LayOutModules(SweepStart start, const std::string& install, const std::string& backup,
                   const std::vector<std::string>& modules) {
  for (size_t i = 0; i < modules.size(); ++i) {
    MachineTest::WriteFile(install + "/" + modules[i], FoundBytes(start, modules[i], i));
    if (ReplacedBefore(start, i)) MachineTest::WriteFile(backup + "/" + modules[i], "old " + modules[i]);
  }
}

void ApplyServiceStart(SweepStart start, const std::string& install) {
  fake::Service* profiles = fake::FindService(kProductServices[1]);
  switch (start) {
    case SweepStart::kSlowStop:
    case SweepStart::kSlowStopOverCutOffRun:
      profiles->stopTakesMs = 100000;
      profiles->waitHint = 5000;
      break;
    case SweepStart::kDisabledRunning:
      profiles->disabled = true;
      break;
    case SweepStart::kNeverStopsOverCutOffRun:
      profiles->refuseStop = true;
      break;
    case SweepStart::kStartedAgainByTrigger:
      fake::FindService(kProductServices[0])->startAgainOn = "SnapshotProcesses";
      break;
    case SweepStart::kDependentUnseenAtSurvey:
      fake::FailCall("ListActiveDependents", 1);
      break;
    case SweepStart::kDiskFillsUp:
      fake::SetDiskRoomShown(1ull << 30);  // plenty when the run looks,
      fake::SetDiskRoom(5);                // then less than a module's copy (12 bytes or more)
      break;
    case SweepStart::kHeldForGood:
    case SweepStart::kHeldOverUnrecordedApply:
    case SweepStart::kHeldOverCutOffRun:
      fake::HoldFile(install + "/profiles.dll", -1);
      break;
    case SweepStart::kFullDiskOverHeldCutOffRun:
      fake::SetDiskRoomShown(1ull << 30);
      fake::SetDiskRoom(5);
      [[fallthrough]];
    case SweepStart::kHeldLettingRead:
      fake::HoldFileLettingRead(install + "/profiles.dll");
      break;
    default:
      break;
  }
}

#ifdef QLPATCH_SANITIZED_SWEEPS
// The sweeps fork a process per point, and most of a point's time under the
// sanitizer goes into the pages its allocator touches (where page faults
// are dear, as on a virtual machine, a third of the sweeps' time): each
// chunk freed waits in the quarantine, so that every allocation takes new
// pages, which a forked child must copy. Shorter allocation stacks and a
// 4 MB quarantine (a use after free is still caught while the chunk is
// among the last 4 MB freed) keep that down; ASAN_OPTIONS overrides them.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4:malloc_context_size=4"; }
#endif

int SweepStride(SweepStart start, SweepKind kind) {
#ifdef QLPATCH_SANITIZED_SWEEPS
  constexpr int kCleanStride = 4;
  constexpr int kSanitizedStride = 16;
  const int stride = start == SweepStart::kClean ? kCleanStride : kSanitizedStride;
  return kind == SweepKind::kCutOffRuns ? 2 * stride : stride;
#else
  (void)start;
  (void)kind;
  return 1;
#endif
}

ResultCode HealthyOutcome(SweepStart start) {
  if (start == SweepStart::kDiskFillsUp || start == SweepStart::kFullDiskOverHeldCutOffRun) return RC_COPY_FILE_FAILED;
  if (start == SweepStart::kHeldForGood || start == SweepStart::kHeldOverUnrecordedApply ||
      start == SweepStart::kHeldOverCutOffRun) {
    return RC_SWAP_AT_RESTART;
  }
  return start == SweepStart::kSlowStop || start == SweepStart::kSlowStopOverCutOffRun ||
                 start == SweepStart::kDisabledRunning
             ? RC_STOP_SERVICE_FAILED
             : RC_SUCCEED;
}
