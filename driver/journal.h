// The journal of a run that changes the machine: written through before
// the run's first change, it says what the run is, what it found and
// which step it is at, so that a run cut off (killed, or the power lost)
// is finished by the next run instead of guessed at from the disk. It
// lies beside the record and goes once the run has ended whole: done, or
// put back in full.
#pragma once

#include <string>
#include <vector>

#include "patchdata/patchdata.h"
#include "platform/platform.h"
#include "shared/shared.h"
#include "system/modules.h"
#include "system/services.h"

constexpr const wchar_t* kJournalFileName = L"qlpatch.journal";
// The last step of an apply that scheduled the patch for the next restart.
constexpr const wchar_t* kSwapPending = L"pending at the restart";

enum class RunMode { kApply, kUndo };

// What the journal of a run that was cut off says.
struct CutOffRun {
  RunMode mode = RunMode::kApply;
  std::wstring patch;                  // its per-patch folder's name ("Patch03")
  std::vector<std::wstring> services;  // the services it found running: they run again once it is finished
  std::vector<std::wstring> modules;   // the modules it was to change, as resolved
  // It, or a run cut off before it that it was finishing, began to change
  // a module. Until then the modules are as it found them, with the
  // services it stopped running on them.
  bool modulesChanged = false;
  std::wstring lastStep;               // the last step it began or ended, for the log
};

// The journal's path: the install folder's backup folder. False when it
// would not fit.
bool JournalPathOf(const InstallInfo& install, wchar_t (&path)[kPathChars]);

enum class JournalFound {
  kNone,    // no journal: the last run ended whole
  kCutOff,  // a run was cut off (or is still going, when the lock is held)
  kBlank,   // a journal cut off before its heading was written: nothing was changed yet
  kEnded,   // the runs it names ended whole; only its deletion did not last
};
JournalFound ReadJournal(const wchar_t* path, CutOffRun* run);
// Removes the journal at `path`; a journal that stays is logged.
void RemoveJournal(const wchar_t* path);

class Journal {
 public:
  Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  ~Journal();

  // Writes the run's heading and what it found, written through, after
  // the lines of a run cut off that this run finishes (whose services stay
  // named). False when it cannot be written: the run must not change
  // anything then.
  bool Begin(const wchar_t* path, RunMode mode, const wchar_t* patch, const ServiceLedger& services,
             const std::vector<ModulePlan>& modules);
  // One line for a step: `what` is "begin", "done", "failed", "undo",
  // "undone" or "not undone".
  void Note(const wchar_t* what, const std::wstring& step);
  // Before the run's first change to an installed module; written through.
  // False when it cannot be written: no module may be changed then.
  bool NoteModulesChanging();
  // Before a stop is sent to a service the heading does not name (a
  // dependent, or one started since the run looked); written through. One
  // that cannot be written is logged, and the stop goes ahead.
  void NoteServiceStopping(const wchar_t* name);
  // The run ended whole: the journal goes.
  void Finish();
  // Begin failed: the journal is closed, and removed only when this run
  // made it; a cut-off run's lines stay for the next run.
  void Abandon();

 private:
  bool Write(const std::wstring& line);
  os::Handle file_ = nullptr;
  std::wstring path_;
  bool madeByThisRun_ = false;
  bool modulesNoted_ = false;
  std::vector<std::wstring> servicesNamed_;
};
