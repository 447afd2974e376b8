// A fleet in simulation: N machines drawn from a seed, each run through C
// daily cycles of a fleet tool's policy (Intune's Win32 apps and
// Configuration Manager, as documented) with the real apply, query and
// undo on the platform stand-in, its invariants checked after every run
// and every restart.
//
//   fleet_sim [--machines N] [--cycles C] [--seed S] [--only K] [--break-after R] [--crash-run R]
//             [--history 1] [--no-start-on-a-mix-after-power-cut 1]
//
// --break-after R overwrites a module with garbage after each machine's
// R-th run (0-based), or on a machine without the product's version leaves
// a file in its install folder: a fleet that must then report broken
// machines, which shows that the invariants can fail. --crash-run R makes
// each machine's R-th run crash, which must count as broken too.
// --no-start-on-a-mix-after-power-cut 1 counts a machine broken whose
// restart after a power cut starts the product's services on a mix of new
// and original modules (as Windows does; the tool cannot prevent it yet).
// A trigger that starts QlSvc in the module phase of a run then cut off
// leaves it running on what the cut left, until the next run: allowed.
//
// Exit 0 when no machine is broken and, in a fleet of 1,000 or more, every
// fault was met on some machine. A broken machine is printed with its
// draw, its history, the end of its run log and the command that replays it.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fleet/fleet_machine.h"
#include "shared/result_codes.h"

#if defined(__SANITIZE_ADDRESS__)
// Each run's process is a fork of this one and copies every page the
// allocator has touched: chunks freed wait in a 4 MB quarantine instead of
// 256 MB (a use after free is still caught while the chunk is among the
// last 4 MB freed), and allocations keep 4 frames of their stack instead of
// 30. ASAN_OPTIONS overrides both.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4:malloc_context_size=4"; }
#endif

namespace {

using fleet::Machine;
using fleet::Mode;
using fleet::RunResult;

struct Options {
  uint64_t machines = 1000;
  int cycles = 7;
  uint64_t seed = 1;
  int64_t only = -1;       // replay one machine
  int64_t breakAfter = -1;  // break each machine on purpose after this run
  int64_t crashRun = -1;    // crash each machine's run of this number
  bool history = false;     // print every machine's history
  bool strictBoot = false;  // the restart after a power cut may not start the product on a mix
};

struct CycleCounts {
  uint64_t patched = 0, pending = 0, uninstalled = 0, notApplicable = 0, broken = 0, runs = 0;
  std::map<int, uint64_t> failed;  // by the last code of the day
};

struct Fleet {
  Options options;
  std::vector<CycleCounts> cycles;
  std::vector<double> runMs;
  std::map<uint64_t, uint64_t> runsPerMachine;
  uint64_t broken = 0;
  uint64_t cutsDrawn = 0, cutsMade = 0;  // cut-off runs drawn, and those that met their call
  // Machines drawn to meet another instance holding the lock, those that
  // met it, and the runs that found it held.
  uint64_t overlapsDrawn = 0, overlapsMet = 0, overlapRuns = 0;
  // Machines whose every fault has cleared by the third cycle, and those of
  // them patched or waiting for a restart at its end.
  uint64_t patchable = 0, patchedByThird = 0;
  // Machines with the product that drew each fault, and that met it.
  uint64_t faultsDrawn[fleet::kFaultCount] = {}, faultsMet[fleet::kFaultCount] = {};
  std::string root;
};

// A 1618 is tried again after 5 minutes, at most 3 times within the cycle.
constexpr int kRetries1618 = 3;
constexpr int kMinutesBefore1618Retry = 5;

// Nothing on the machine keeps the patch out for good or past the second
// cycle: the product is there, its services stop within their polls and
// may be started, the disk has room by then, and no record is kept shut
// (which may list a later patch) past then.
bool Patchable(const fleet::Draw& draw) {
  return draw.product == fleet::Draw::Product::kInstalled && draw.profilesStop == fleet::Draw::Stop::kWithinPolls &&
         draw.profilesDisabled != fleet::Draw::Disabled::kRunning &&
         (draw.diskRoom == ~0ull || draw.diskFreedDay <= 2) &&
         !(draw.userHoldsRecord && draw.userHoldShuts && draw.userHoldDays > 2);
}

// One machine through every cycle. False when it broke.
bool Simulate(Fleet* fleet, uint64_t index) {
  const fleet::Draw draw = fleet::DrawMachine(fleet->options.seed, index);
  if (draw.killRun >= 0 && draw.product == fleet::Draw::Product::kInstalled) ++fleet->cutsDrawn;
  if (draw.overlapAttempts > 0) ++fleet->overlapsDrawn;
  Machine machine(fleet->root + "/m" + std::to_string(index), fleet->options.seed, index, draw);
  machine.SetStrictBoot(fleet->options.strictBoot);
  std::string why;
  int restartDay = -1;
  bool uninstallDue = false;
  uint64_t runs = 0;
  const auto run = [&](Mode mode, int day) {
    if (static_cast<int64_t>(runs) == fleet->options.crashRun) machine.CrashNextRun();
    const RunResult result = machine.Run(mode, day);
    fleet->runMs.push_back(result.wallMs);
    if (result.killed) ++fleet->cutsMade;
    if (result.lockHeldElsewhere) ++fleet->overlapRuns;
    if (static_cast<int64_t>(runs) == fleet->options.breakAfter) machine.BreakOnPurpose();
    ++runs;
    ++fleet->cycles[static_cast<size_t>(day)].runs;
    if (why.empty()) why = machine.CheckInvariants(&result, mode);
    // The power comes back: the machine starts again before the next run.
    if (result.powerCut) {
      machine.Restart(day);
      if (why.empty()) why = machine.CheckInvariants(nullptr, Mode::kQuery);
    }
    return result;
  };
  // An install or uninstall, tried again while another run holds the lock.
  const auto change = [&](Mode mode, int day) {
    RunResult result = run(mode, day);
    for (int retry = 0; retry < kRetries1618 && why.empty() && !result.killed &&
                        result.code == RC_ANOTHER_RUN_IN_PROGRESS;
         ++retry) {
      machine.Wait(day, kMinutesBefore1618Retry, "1618");
      result = run(mode, day);
    }
    return result;
  };
  for (int day = 0; day < fleet->options.cycles && why.empty(); ++day) {
    if (restartDay == day) {
      machine.Restart(day);
      why = machine.CheckInvariants(nullptr, Mode::kQuery);
      restartDay = -1;
    }
    if (day == draw.uninstallDay) uninstallDue = true;
    int last = 0;
    bool uninstalledLast = false;
    if (uninstallDue) {
      // The uninstall is retried each cycle until it succeeds; the install
      // is sent again the day after.
      const RunResult undone = change(Mode::kUndo, day);
      last = undone.code;
      if (!undone.killed && (undone.code == RC_SUCCEED || undone.code == RC_NOT_PATCHED ||
                             undone.code == RC_RECORD_MISSING)) {
        uninstallDue = false;
        uninstalledLast = true;
      }
    } else {
      const RunResult detected = run(Mode::kQuery, day);
      last = detected.code;
      if (why.empty() && detected.code != RC_PATCH_IS_LATEST) {
        const RunResult installed = change(Mode::kApply, day);
        last = installed.killed ? -1000 : installed.code;
        if (installed.code == RC_SWAP_AT_RESTART && restartDay < 0) {
          restartDay = day + draw.restartDelayDays;
          if (restartDay == day) {  // restarted the same day
            machine.Restart(day);
            if (why.empty()) why = machine.CheckInvariants(nullptr, Mode::kQuery);
            restartDay = -1;
          }
        }
      }
    }
    if (day + 1 == fleet->options.cycles && why.empty()) why = machine.CheckAtEnd();
    CycleCounts& counts = fleet->cycles[static_cast<size_t>(day)];
    if (day == 2 && Patchable(draw) && draw.uninstallDay < 0) {
      ++fleet->patchable;
      if (why.empty() && (machine.Patched() || machine.SwapPending())) {
        ++fleet->patchedByThird;
      } else if (why.empty()) {
        std::printf("not patched after 3 cycles though nothing keeps it out: machine %llu, last code %d\n",
                    static_cast<unsigned long long>(index), last);
      }
    }
    if (!why.empty()) {
      ++counts.broken;
    } else if (draw.product != fleet::Draw::Product::kInstalled) {
      ++counts.notApplicable;
    } else if (machine.Patched()) {
      ++counts.patched;
    } else if (machine.SwapPending()) {
      ++counts.pending;
    } else if (uninstalledLast) {
      ++counts.uninstalled;
    } else {
      ++counts.failed[last];
    }
  }
  fleet->runsPerMachine[runs]++;
  if (machine.OverlapsMet() > 0) ++fleet->overlapsMet;
  for (int fault = 0; fault < fleet::kFaultCount && draw.product == fleet::Draw::Product::kInstalled; ++fault) {
    fleet->faultsDrawn[fault] += fleet::DrawnFaults(draw) >> fault & 1;
    fleet->faultsMet[fault] += machine.FaultsMet() >> fault & 1;
  }
  // A replay prints the machine's history whether it broke or not.
  if (why.empty() && fleet->options.history) {
    std::printf("machine %llu:\n", static_cast<unsigned long long>(index));
    for (const std::string& line : machine.History()) std::printf("  %s\n", line.c_str());
  }
  if (why.empty() && fleet->options.only < 0) return true;
  std::printf("%s machine %llu (seed %llu): %s\n", why.empty() ? "replayed" : "BROKEN",
              static_cast<unsigned long long>(index), static_cast<unsigned long long>(fleet->options.seed),
              why.empty() ? "every invariant held" : why.c_str());
  std::printf("  draw: %s\n", fleet::DescribeDraw(draw).c_str());
  for (const std::string& line : machine.History()) std::printf("  %s\n", line.c_str());
  const std::string log = machine.RunLog();
  const size_t tail = log.size() > 3000 ? log.size() - 3000 : 0;
  std::printf("  run log ends:\n%s\n", log.substr(tail).c_str());
  const Options& o = fleet->options;
  std::printf("  replay: fleet_sim --machines %llu --seed %llu --cycles %d --only %llu",
              static_cast<unsigned long long>(o.machines), static_cast<unsigned long long>(o.seed), o.cycles,
              static_cast<unsigned long long>(index));
  if (o.breakAfter >= 0) std::printf(" --break-after %lld", static_cast<long long>(o.breakAfter));
  if (o.crashRun >= 0) std::printf(" --crash-run %lld", static_cast<long long>(o.crashRun));
  if (o.strictBoot) std::printf(" --no-start-on-a-mix-after-power-cut 1");
  std::printf("\n");
  return why.empty();
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// Under the sanitizers a report in a run's process must end it with a
// status the tool never ends with, or it would read as one of the tool's
// codes (their exitcode is 1 unless set). The runtime reads its options
// when the program starts, and each run's process is a fork of this one:
// the exitcode is added to the options as they are, and the program
// started again with them.
void SetSanitizerExitCode(char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  const std::string exitCode = ":exitcode=" + std::to_string(fleet::kSanitizerStatus);
  const char* asan = std::getenv("ASAN_OPTIONS");
  if (asan != nullptr && std::string(asan).size() >= exitCode.size() &&
      std::string(asan).substr(std::string(asan).size() - exitCode.size()) == exitCode) {
    return;  // started again already
  }
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* options = std::getenv(name);
    setenv(name, ((options != nullptr ? options : "") + exitCode).c_str(), 1);
  }
  execv("/proc/self/exe", argv);
  std::perror("fleet_sim: cannot start again with the sanitizers' exitcode");
  std::exit(2);
#else
  (void)argv;
#endif
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--machines") == 0) options->machines = value;
    else if (std::strcmp(argv[i], "--cycles") == 0) options->cycles = static_cast<int>(value);
    else if (std::strcmp(argv[i], "--seed") == 0) options->seed = value;
    else if (std::strcmp(argv[i], "--only") == 0) options->only = static_cast<int64_t>(value);
    else if (std::strcmp(argv[i], "--break-after") == 0) options->breakAfter = static_cast<int64_t>(value);
    else if (std::strcmp(argv[i], "--crash-run") == 0) options->crashRun = static_cast<int64_t>(value);
    else if (std::strcmp(argv[i], "--history") == 0) options->history = value != 0;
    else if (std::strcmp(argv[i], "--no-start-on-a-mix-after-power-cut") == 0) options->strictBoot = value != 0;
    else return false;
  }
  // A machine outside the fleet is not one of its machines: its draw
  // would replay nothing the fleet ran.
  return argc % 2 == 1 && options->cycles > 0 &&
         (options->only < 0 || static_cast<uint64_t>(options->only) < options->machines);
}

}  // namespace

int main(int argc, char** argv) {
  SetSanitizerExitCode(argv);
  Fleet fleet;
  if (!ParseOptions(argc, argv, &fleet.options)) {
    std::fprintf(stderr,
                 "usage: fleet_sim [--machines N] [--cycles C] [--seed S] [--only K (below N)] [--break-after R] "
                 "[--crash-run R] [--history 1] [--no-start-on-a-mix-after-power-cut 1]\n");
    return 2;
  }
  // In memory where the machine has it: each machine's files are made and
  // removed again, thousands of times.
  char inMemory[] = "/dev/shm/qlpatch-fleet-XXXXXX", onDisk[] = "/tmp/qlpatch-fleet-XXXXXX";
  const char* root = mkdtemp(inMemory) != nullptr ? inMemory : mkdtemp(onDisk);
  if (root == nullptr) return 2;
  fleet.root = root;
  fleet.cycles.resize(static_cast<size_t>(fleet.options.cycles));
  std::printf("fleet: %llu machines, %d daily cycles, seed %llu; each machine drawn from:\n",
              static_cast<unsigned long long>(fleet.options.machines), fleet.options.cycles,
              static_cast<unsigned long long>(fleet.options.seed));
  for (const std::string& line : fleet::DescribeDistribution()) std::printf("  %s\n", line.c_str());
  const auto began = std::chrono::steady_clock::now();
  for (uint64_t index = 0; index < fleet.options.machines; ++index) {
    if (fleet.options.only >= 0 && index != static_cast<uint64_t>(fleet.options.only)) continue;
    if (!Simulate(&fleet, index)) ++fleet.broken;
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::filesystem::remove_all(fleet.root);

  std::printf("cycle  patched  pending  uninstalled  n/a  broken  runs  failed (last code x machines; -1000 cut off)\n");
  for (size_t day = 0; day < fleet.cycles.size(); ++day) {
    const CycleCounts& c = fleet.cycles[day];
    std::string failed;
    for (const auto& [code, n] : c.failed) failed += " " + std::to_string(code) + "x" + std::to_string(n);
    std::printf("%5zu  %7llu  %7llu  %11llu  %3llu  %6llu  %4llu %s\n", day + 1,
                static_cast<unsigned long long>(c.patched), static_cast<unsigned long long>(c.pending),
                static_cast<unsigned long long>(c.uninstalled),
                static_cast<unsigned long long>(c.notApplicable), static_cast<unsigned long long>(c.broken),
                static_cast<unsigned long long>(c.runs), failed.empty() ? " -" : failed.c_str());
  }
  std::printf("runs per machine:");
  for (const auto& [runs, n] : fleet.runsPerMachine) {
    std::printf(" %llux%llu", static_cast<unsigned long long>(runs), static_cast<unsigned long long>(n));
  }
  std::printf("\ncut-off runs drawn %llu, made %llu (the others' call came after the run had ended)",
              static_cast<unsigned long long>(fleet.cutsDrawn), static_cast<unsigned long long>(fleet.cutsMade));
  std::printf("\nmachines drawn to meet another instance holding the lock %llu, met it %llu, in %llu runs",
              static_cast<unsigned long long>(fleet.overlapsDrawn), static_cast<unsigned long long>(fleet.overlapsMet),
              static_cast<unsigned long long>(fleet.overlapRuns));
  std::printf("\npatchable machines (no uninstall) %llu; patched or waiting for a restart after 3 cycles %llu (%.2f%%)",
              static_cast<unsigned long long>(fleet.patchable), static_cast<unsigned long long>(fleet.patchedByThird),
              fleet.patchable == 0 ? 100.0 : 100.0 * static_cast<double>(fleet.patchedByThird) /
                                                  static_cast<double>(fleet.patchable));
  // A fault drawn on a fleet this large and met on no machine is one the
  // simulator declares and never injects.
  std::printf("\nmachines with the product that drew each fault, and that met it:");
  bool unmet = false;
  for (int fault = 0; fault < fleet::kFaultCount; ++fault) {
    const bool never = fleet.options.only < 0 && fleet.options.machines >= 1000 && fleet.faultsMet[fault] == 0;
    unmet |= never;
    std::printf("\n  %-36s drawn %6llu  met %6llu%s", fleet::FaultName(fault),
                static_cast<unsigned long long>(fleet.faultsDrawn[fault]),
                static_cast<unsigned long long>(fleet.faultsMet[fault]), never ? "  NEVER MET" : "");
  }
  std::printf("\nrun wall time, ms: median %.2f, p99 %.2f, max %.2f\n", Percentile(fleet.runMs, 0.5),
              Percentile(fleet.runMs, 0.99), Percentile(fleet.runMs, 1.0));
  rusage self = {}, children = {};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  const CycleCounts& end = fleet.cycles.back();
  uint64_t failed = 0;
  for (const auto& entry : end.failed) failed += entry.second;
  std::printf("machines=%llu cycles=%d patched=%llu pending=%llu failed=%llu broken=%llu runs=%zu wall_s=%.1f "
              "peak_rss_mib=%.1f\n",
              static_cast<unsigned long long>(fleet.options.only >= 0 ? 1 : fleet.options.machines),
              fleet.options.cycles, static_cast<unsigned long long>(end.patched),
              static_cast<unsigned long long>(end.pending), static_cast<unsigned long long>(failed),
              static_cast<unsigned long long>(fleet.broken), fleet.runMs.size(), wall,
              static_cast<double>(std::max(self.ru_maxrss, children.ru_maxrss)) / 1024.0);
  if (unmet) std::printf("a fault was drawn and met on no machine\n");
  return fleet.broken == 0 && !unmet ? 0 : 1;
}
