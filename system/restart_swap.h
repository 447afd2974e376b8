// A patch another program keeps from being put in place now (it holds a
// module or the record open without letting it be renamed) is put in
// place whole at the next restart, before any service starts.
#pragma once

#include <string>
#include <vector>

#include "patchdata/patchdata.h"
#include "shared/result_codes.h"
#include "system/modules.h"

// The suffix of a staged copy: `<per-patch folder>\<module>.qlswap` for a
// module's new copy, `QlPatch.xml.qlswap` beside the record.
constexpr const wchar_t* kStagedSuffix = L".qlswap";

// Logs who holds `path` open, as Restart Manager names them, or that it
// cannot tell.
void LogFileHolders(const wchar_t* path);

// Stages the whole patch and schedules it for the next restart: each
// module's new copy and the record as it will be are staged, written
// through; then, in this order, each module not yet new has its installed
// file moved into the per-patch folder (where that folder holds no
// original of it yet) and its staged copy moved over it, and last the
// staged record is moved over the record. Nothing is changed before the
// restart but the staged copies and the renames. 0, or 14 (a copy cannot
// be staged) or 13 (a rename cannot be scheduled), with nothing left
// staged or scheduled.
ResultCode ScheduleSwapAtRestart(const std::vector<ModulePlan>& modules, const PatchDescription& description,
                                 ResultCode patchState, const wchar_t* recordPath, const wchar_t* backupRoot);

// Whether renames of this tool (into or out of `backupRoot`) wait for the
// next restart.
enum class PendingSwap { kNone, kWaiting, kUnknown };
PendingSwap FindPendingSwap(const wchar_t* backupRoot);
// Takes this tool's renames out of PendingFileRenameOperations, every
// other program's entry kept as it stands, and removes the staged copies.
// True when none is left waiting.
bool CancelPendingSwap(const wchar_t* backupRoot);
