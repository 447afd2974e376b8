// A sandboxed machine for unit tests: a temporary folder holding the working
// folder (the current directory while a test runs) and the install folder,
// and the platform stand-in set up with a matching installed product.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake_platform.h"
#include "shared/result_codes.h"

std::wstring Wide(const std::string& utf8);

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The description file in the working folder.
  void WriteDescription(const std::string& xml);
  // A description for Version 4.20, BuildID 0137 and the given patch and modules.
  static std::string Description(const std::string& patchVersion,
                                 const std::vector<std::string>& modules = {});
  // Installs both product services, running.
  void AddProductServices();
  // Both product services as Windows runs them, each in a process of its
  // own, and a running service of its own process that depends on QlSvc
  // ("QlVpnSvc"), so that QlSvc's stop is refused until it is stopped.
  static void AddProductServicesWithDependent();

 public:
  static void WriteFile(const std::string& path, const std::string& content);
  static std::string ReadFile(const std::string& path);  // "<missing>" when absent
  static bool Exists(const std::string& path);
  static void MakeDirs(const std::string& path);

 protected:
  std::string root_;     // the sandbox
  std::string work_;     // the working folder, current directory
  std::string install_;  // the product's install folder
  std::string recordPath_;  // install_/UpdateBackup/QlPatch.xml

 private:
  std::string previousDirectory_;
};

// The module phase alone, as the apply runs it: the listed modules read as
// found, then each replaced in order up to the first failure; nothing is
// put back. Needs g_backupFolderName.
ResultCode ReplaceListedModules();
// One module found and replaced the same way.
ResultCode ReplaceOneModule(const std::wstring& installFolder, const wchar_t* moduleName);

// Where a sweep starts from: what earlier runs and an admin left on the
// machine. Modules hold "old <name>" installed and "new <name>" beside the
// tool on a clean start.
enum class SweepStart {
  kClean,
  kUnrecordedApply,           // every module replaced, the record not written (an apply that ended with 2)
  kCutAfterFirstModule,       // the first module replaced, the run cut off there
  kSlowStop,                  // QlProfileSvc takes longer to stop than its polls allow
  kSlowStopOverCutOffRun,     // the same, over a run cut off after module 1
  kDisabledRunning,           // QlProfileSvc runs, but its start type is disabled
  kStartedAgainByTrigger,  // QlSvc started again by a trigger after its stop, as the programs are ended
  kDiskFillsUp,            // room for the copies when the run looks, then less than one module's copy
  kHeldForGood,            // another program holds the second module open for good (until a restart)
  kHeldOverUnrecordedApply,  // the same, unreadable, over an unrecorded apply: new or original cannot be told
  kHeldOverCutOffRun,        // the same, over a run cut off with every other module replaced (theirs go back)
  kFullDiskOverHeldCutOffRun,  // a disk filled after the look, over a run cut off after module 2, that one held
  kHeldLettingRead,        // a user's program holds it for good, letting others read it (not swept)
  kNeverStopsOverCutOffRun,  // QlProfileSvc refuses to stop, over a run cut off after module 1 (not swept)
  kDependentUnseenAtSurvey   // QlSvc's running dependents cannot be listed when the run looks (not swept)
};
constexpr SweepStart kSweepStarts[] = {SweepStart::kClean,    SweepStart::kUnrecordedApply,
                                       SweepStart::kCutAfterFirstModule, SweepStart::kSlowStop,
                                       SweepStart::kSlowStopOverCutOffRun,
                                       SweepStart::kDisabledRunning,     SweepStart::kStartedAgainByTrigger,
                                       SweepStart::kDiskFillsUp,         SweepStart::kHeldForGood,
                                       SweepStart::kHeldOverUnrecordedApply, SweepStart::kHeldOverCutOffRun,
                                       SweepStart::kFullDiskOverHeldCutOffRun};
const char* StartName(SweepStart start);
// The installed modules and their backups as `start` leaves them.
void LayOutModules(SweepStart start, const std::string& install, const std::string& backup,
                   const std::vector<std::string>& modules);
// What `start` leaves installed of the module at `index`.
std::string FoundBytes(SweepStart start, const std::string& module, size_t index);
// What the backup holds of it (MachineTest::ReadFile's "<missing>" for none).
std::string FoundBackup(SweepStart start, const std::string& module, size_t index);
// The services, the disk and the holds on files as `start` has them, on a
// stand-in with the product's services installed in `install`.
void ApplyServiceStart(SweepStart start, const std::string& install);
// What an apply from `start` with nothing failing ends with.
ResultCode HealthyOutcome(SweepStart start);
// A sweep fails each call in turn, or cuts the run off before it (a kill or
// a power cut).
enum class SweepKind { kFailingCalls, kCutOffRuns };
// Which of a sweep's points run from `start`: every one, but under the
// sanitizers (several times slower) only every fourth from the clean start
// and every sixteenth from any other, so that each start's paths still run
// under them. A run cut off there runs only the first part of the code the
// whole run runs; what is new is the next run, from the state the cut
// leaves: a cut-off sweep takes every second of those points.
int SweepStride(SweepStart start, SweepKind kind);
