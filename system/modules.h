// The listed modules as a run finds them, and the steps that back one up
// and replace it, or put it back as it was found.
#pragma once

#include <cstdint>
#include <string>

#include "shared/result_codes.h"
#include "shared/shared.h"

// Where a module lies.
struct ModulePaths {
  wchar_t installed[kPathChars];
  wchar_t backup[kPathChars];  // in the per-patch backup folder
  wchar_t backupRoot[kPathChars];
  wchar_t patchFolder[kPathChars];
};
// 0, 12 (no usable backup folder name or path) or 13 (a module name the
// tool refuses, or a path too long, also for the copy made beside the
// installed file).
ResultCode BuildModulePaths(const wchar_t* installFolder, const wchar_t* moduleName, ModulePaths* paths);

// What the installed file is when the run first looks.
enum class ModuleFound {
  kOriginal,  // installed, and not the new copy
  kNew,       // installed, already byte for byte the new copy (an earlier run put it there)
  // Not installed, or neither the new copy nor the backup's bytes, with its
  // original in the backup: an earlier run was cut off between its move
  // and a whole copy (a kill, a power cut, a full disk).
  kCutShort,
  kMissing,  // not installed, and no backup of it
};
// What the per-patch backup holds of it then.
enum class BackupFound {
  kNone,
  kSameAsInstalled,  // the very bytes installed: an earlier run's backup of this original
  kOther,            // other bytes than those installed, or nothing is installed
};

// Whether `found` and `backup` are what was read, or still to be read: the
// product's own programs and services may hold a module open until they
// are stopped.
enum class ModuleRead { kRead, kHeldOpen };

// One listed module, as found, read before anything is touched.
struct ModulePlan {
  std::wstring installFolder;
  std::wstring name;
  ModulePaths paths;
  ModuleFound found = ModuleFound::kMissing;
  BackupFound backup = BackupFound::kNone;
  uint32_t attributes = 0;  // of the installed file as found
  ModuleRead read = ModuleRead::kRead;
};

// What reading a module does when another program holds it open.
enum class HeldModule {
  kReadLater,  // note it (ModuleRead::kHeldOpen) and go on
  kWaitOut,    // try again after growing pauses, as every file step does
};
// Reads what the module is as found. 0, or a refusal before anything is
// touched: 12 or 13 (see BuildModulePaths; 13 also for a file that cannot
// be read), 14 for a new copy that is not beside the tool.
ResultCode ReadModulePlan(const wchar_t* installFolder, const wchar_t* moduleName, HeldModule held,
                          ModulePlan* plan);
// Whether the apply can take a module found so forward: 0, or 13 for one
// missing with no backup of it.
ResultCode CheckModuleCanBeReplaced(const ModulePlan& plan);

enum class ModuleAction { kReplace, kRestoreOriginal };
// What a module step changed, for its put-back.
struct ModuleChange {
  ModuleAction action = ModuleAction::kReplace;
  bool movedToBackup = false;     // the installed original now lies in the backup
  bool linkedToBackup = false;    // by a second name: until the replace, it is installed too
  bool installedWritten = false;  // the installed path was written (maybe in part)
  // The undo's step: the copy it found installed kept by a second name
  // beside it (`.qlnew`), so that a put-back needs no room on the disk.
  bool keptBeside = false;
  bool held = false;  // it failed because another program held a file open past the retries
};

// Whether the step for `action` leaves the installed module as it is:
// already the new copy for the apply's, already the original for the undo's.
bool LeavesInstalledAsFound(const ModulePlan& plan, ModuleAction action);
// The apply's step: the original moved into the per-patch backup folder
// and the new copy copied in and written through. A module found new is
// left as it is; one cut short gets its new copy; one whose earlier backup
// holds these very bytes keeps that backup. 0, 12, 13 or 14.
ResultCode BackupAndReplaceModule(const ModulePlan& plan, ModuleChange* change);
// The undo's step: the original from the backup put in place in one step;
// the backup stays until the undo is done, and so does the copy it
// replaced, by a second name beside it (see ModuleChange::keptBeside;
// RemoveKeptCopy once the undo is done). Where that second name cannot be
// made (a volume without hard links), kWhereTheVolumeAllows goes on without
// it, and kRequired ends the step with 13 before anything is changed. 0, 13
// or 14.
enum class KeptCopy { kWhereTheVolumeAllows, kRequired };
ResultCode RestoreModule(const ModulePlan& plan, ModuleChange* change, KeptCopy keep);
// Removes the second name RestoreModule kept of what it replaced.
void RemoveKeptCopy(const ModulePlan& plan);
// Puts the module back as `plan` found it, after a step made `change`:
// after a replace, the original moved back over the installed path in one
// step, or (kept by an earlier run) a whole copy of it put in place; after
// an undo's step, the new copy put in place. A module found cut short gets
// its whole original: nothing of the cut copy is worth keeping. 0, 13 or 14.
ResultCode PutModuleBackAsFound(const ModulePlan& plan, const ModuleChange& change);
