// One machine of the simulated fleet: what it is drawn to be, its files on
// the disk, and each run of the real tool on it, made in a child process
// on the platform stand-in (a fresh process per run, as on Windows), so
// that a run can be killed, or lose the power, at any platform call.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace fleet {

// How the machine starts and which faults it meets, drawn from its seed.
struct Draw {
  // kBackupOpenToUsers: installed, but with an UpdateBackup that users may
  // change (made by a user, say), which the tool must never use.
  // kLaterPatch: installed, with a later patch (05) applied and on record,
  // which the tool must never take back.
  enum class Product { kInstalled, kMissing, kOtherVersion, kBackupOpenToUsers, kLaterPatch } product =
      Product::kInstalled;
  bool installFolderOpenToUsers = false;  // made at the root of C: (Authenticated Users may modify inside)
  enum class Start { kClean, kRecord02, kUnrecordedApply, kCutAfterModule } start = Start::kClean;
  int cutAfter = 0;               // kCutAfterModule: modules replaced before the cut
  enum class Stop { kWithinPolls, kSlowerThanPolls, kNever } profilesStop = Stop::kWithinPolls;
  uint32_t processLingerMs = 0;   // QlSvc's process outlives its stop by this much
  bool dependent = false;         // QlVpnSvc runs and depends on QlSvc
  bool dependentUnlisted = false;  // each run's first listing of QlSvc's dependents fails (the run's look)
  enum class Disabled { kNo, kStopped, kRunning } profilesDisabled = Disabled::kNo;
  bool triggerStart = false;      // QlSvc started again by a trigger in the module phase
  bool readOnlyModules = false, hiddenModules = false;
  int passingLockTries = 0;       // an antivirus holds core.dll for this many operations, each run
  int userHoldDays = 0;           // a user's program holds a file for this many days
  bool userHoldsRecord = false;   // the record, rather than profiles.dll
  bool userHoldShuts = false;     // sharing nothing, not even reading (a user may read both)
  uint64_t diskRoom = ~0ull;      // room for copies until diskFreedDay (~0: no limit)
  bool diskFillsAfterLook = false;
  int diskFreedDay = 0;
  int killRun = -1;               // the install or uninstall (0-based, on this machine) cut off, or -1
  int killCall = 0;               // before this platform call of it
  bool powerCut = false;          // the cut is a power cut
  int uninstallDay = -1;          // the fleet sends the uninstall on this day, the install again after
  int restartDelayDays = 0;       // after a 3010, the machine restarts this many days later
  // Another instance of the tool holds the run's lock through this many
  // installs or uninstalls, from the first (0: never).
  int overlapAttempts = 0;
  // Each run, QlSvc's first this many start requests time out (a loaded
  // machine: its process does not reach the manager in time).
  int qlStartTimeouts = 0;
  // QlProfileSvc's stop handler cleans up before it returns: the manager's
  // stop request times out (1053), the service stops 35 s after it.
  bool profilesStopAnsweredLate = false;
};

// The faults a machine may be drawn to meet. A fault drawn is met when a
// run came upon it: the tool asked the slow service to stop, a hold
// refused one of its operations, a cut came before the run's end.
enum Fault {
  kFaultSlowStop, kFaultNeverStops, kFaultLingeringProcess, kFaultDependent, kFaultDisabledStopped,
  kFaultDisabledRunning, kFaultTrigger, kFaultReadOnly, kFaultHidden, kFaultPassingLock, kFaultUserHoldsModule,
  kFaultUserHoldsRecord, kFaultDiskFull, kFaultKill, kFaultPowerCut, kFaultUninstall, kFaultOverlap,
  kFaultStartTimesOut, kFaultStopAnsweredLate, kFaultCount
};
const char* FaultName(int fault);
uint32_t DrawnFaults(const Draw& draw);  // a bit per Fault

// The exit status of a run's process that a sanitizer's report ended:
// fleet_sim sets it as the sanitizers' exitcode when it starts.
constexpr int kSanitizerStatus = 251;

Draw DrawMachine(uint64_t seed, uint64_t machine);
// The distribution DrawMachine draws from, one line per start or fault.
std::vector<std::string> DescribeDistribution();
// One machine's draw: its start and each fault it meets.
std::string DescribeDraw(const Draw& draw);

enum class Mode { kApply, kUndo, kQuery };

// What one run did, as the fleet tool and the simulator see it.
struct RunResult {
  int code = 0;
  bool killed = false;       // cut off: by the draw, or by the fleet tool after 60 minutes
  bool powerCut = false;     // the cut was the drawn power cut (the fleet tool's never is)
  bool lockHeldElsewhere = false;  // another instance held the lock throughout
  // Set when the run did not end as the tool ends: a signal, a sanitizer's
  // report, a code the tool has not, or no state left behind.
  std::string crash;
  double wallMs = 0;
};

class Machine {
 public:
  Machine(const std::string& root, uint64_t seed, uint64_t index, const Draw& draw);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  RunResult Run(Mode mode, int day);
  void Restart(int day);
  // The fleet tool waits before it tries again.
  void Wait(int day, int minutes, const std::string& why);
  // Empty when every invariant holds after `last` (a run of `mode`), or
  // after a restart (null); otherwise why not.
  std::string CheckInvariants(const RunResult* last, Mode mode) const;
  // After the last cycle: no run cut off may still leave the product on a
  // mix, or a service down that ran.
  std::string CheckAtEnd() const;
  bool SwapPending() const { return !pendingRenames_.empty(); }
  bool Patched() const;  // every module new and the patch on record
  const std::vector<std::string>& History() const { return history_; }
  std::string RunLog() const;
  // Overwrites core.dll with garbage, as a tool that broke a module would;
  // on a machine without the product's version, leaves a file in the
  // install folder instead, as a tool that wrote there would.
  void BreakOnPurpose();
  // The next run's process crashes at its first platform call.
  void CrashNextRun() { crashNext_ = true; }
  // Installs and uninstalls that met another instance holding the lock.
  int OverlapsMet() const { return draw_.overlapAttempts - overlapsLeft_; }
  uint32_t FaultsMet() const { return faultsMet_; }  // a bit per Fault, of those drawn
  // The restart after a power cut may not start the product on a mix.
  void SetStrictBoot(bool strict) { strictBoot_ = strict; }

 private:
  void LayOut();
  // The modules, their backups and the record, as one string.
  std::string Snapshot() const;
  // Every folder and file of the machine, with sizes and content hashes.
  std::string Listing() const;
  void PrepareChild(int day);
  std::string Check(const RunResult* last, Mode mode, bool cutOpen) const;
  std::string ServicesThatRanRun(bool cutOpen) const;

  std::string root_, work_, install_, state_;
  uint64_t seed_, index_;
  Draw draw_;
  int changingRuns_ = 0;  // installs and uninstalls so far
  std::string serviceStates_ = "rrr";   // QlSvc, QlProfileSvc, QlVpnSvc: 'r' running, 's' stopped
  std::wstring pendingRenames_;
  // A run was cut off (by a kill or the power) and no install or uninstall
  // has ended since; the services that ran before it.
  bool lastKilled_ = false;
  bool lastPowerCut_ = false;
  std::string ranBefore_;
  uint32_t faultsMet_ = 0;
  bool strictBoot_ = false;
  bool crashNext_ = false;
  int overlapsLeft_ = 0;
  std::string laidOut_;  // Listing() as laid out, on a machine the tool may not touch
  std::vector<std::string> history_;
  std::string found_;  // the snapshot as laid out
  std::string runFound_;  // the snapshot as the last install or uninstall found it
};

}  // namespace fleet
