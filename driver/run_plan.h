// What a run works from: everything it reads of the machine and the patch
// folder before it touches anything, read once and handed down.
#pragma once

#include <vector>

#include "patchdata/patchdata.h"
#include "shared/result_codes.h"
#include "shared/shared.h"
#include "system/modules.h"
#include "system/services.h"

struct RunPlan {
  InstallInfo install = {};
  PatchDescription description = {};
  wchar_t recordPath[kPathChars] = {};
  wchar_t patchFolder[kPathChars] = {};  // the per-patch backup folder
  ResultCode patchState = RC_UNKNOWN;
  // The modules to replace (or, for an undo, to put back), as found, in order.
  std::vector<ModulePlan> modules;
  // Filled by the survey of the services, then by the steps that change them.
  ServiceLedger services;
  // The module files another program held open past the retries.
  std::vector<std::wstring> heldFiles;
};

// The apply's plan: the product and patch checks, the record's patch
// state, and every listed module as found. 0 to go on; otherwise the code
// the run ends with, nothing touched (the patch state 19 among them).
ResultCode ReadApplyPlan(const RunStart& start, RunPlan* plan);
// 0 when `folder` is not there, or is a plain folder that only
// administrators may change; 24 (logged) when it is a link (a junction, a
// symbolic link or a mount point, which would take what is written
// through it elsewhere); 25 (logged) when anyone else owns it or may write
// to it; 12 when it cannot be opened.
ResultCode RefuseFolderNotOurs(const wchar_t* folder);
// Room on the install folder's disk for the copies the run makes: the new
// copies beside the modules (the originals are moved, which takes none),
// or for an undo the largest original copied in beside its module, plus
// kRoomMarginBytes for the record, the journal and the log. 0, or 14
// before anything is touched.
constexpr uint64_t kRoomMarginBytes = 1024 * 1024;
ResultCode CheckRoomForCopies(const RunPlan& plan, ModuleAction action);
// The product as found is whole: every module the original, or every
// module the new copy. A module held open when the run began is the
// original when it has no backup (a new copy never takes a module's name
// before the original has its backup).
bool FoundWhole(const RunPlan& plan);
// Some module was held open when the run began and has a backup: it could
// not be read, and may be an earlier run's new copy as well as the original.
bool HeldWithBackup(const std::vector<ModulePlan>& modules);
// The listed modules as found, into the plan's modules (its install folder
// and g_backupFolderName known). 0, 2, 3, 18, or a refusal (12, 13, 14).
ResultCode ReadModulesToReplace(RunPlan* plan);
// Each of `names` as found, into the plan's modules. 0, or a refusal
// (12, 13, 14) before anything is touched.
ResultCode ReadModulePlans(const std::vector<std::wstring>& names, RunPlan* plan);
