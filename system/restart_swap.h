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

// The copies staged for a swap at the restart: each module's new copy,
// and the record as the patch leaves it.
struct StagedSwap {
  std::vector<std::wstring> modules;  // one per module of the plan; empty for one already new
  std::wstring record;
};
// Stages the whole patch (every module's new copy, and the record as the
// patch leaves it), written through, while the product is still stopped:
// 0, or 14 with nothing left staged.
ResultCode StageSwapAtRestart(const std::vector<ModulePlan>& modules, const PatchDescription& description,
                              ResultCode patchState, const wchar_t* recordPath, StagedSwap* staged);
// A mix an earlier run left (cut off, or failed half way), made whole
// while the product is stopped, one way or the other:
// - kOriginals: that run's new copies (found new, or cut short, with the
//   original in the backup) get their originals back; a staged swap puts
//   them new again at the restart;
// - kNewCopies: the originals an earlier undo put back (found original,
//   with those very bytes in the backup) get their new copies again, from
//   the patch folder.
// A module held open when the run began is left as found. Nothing is
// changed unless every module can come out whole; when one step fails,
// those done before it get what they had again (kAsFound), and where that
// fails too the modules are left neither whole nor as found (kNeither).
enum class WholeOn { kOriginals, kNewCopies };
enum class MixLeft { kWhole, kAsFound, kNeither };
MixLeft MakeEarlierMixWhole(const std::vector<ModulePlan>& modules, WholeOn whole);
// Removes what StageSwapAtRestart staged.
void DropStagedSwap(const StagedSwap& staged);
// Schedules what is staged for the next restart, once the product is back
// as the run found it: in this order, each module not yet new has its
// installed file moved into the per-patch folder (where that folder holds
// no original of it yet) and its staged copy moved over it, and last the
// staged record is moved over the record. 0, or 13 with nothing left
// staged or scheduled (but when the renames written so far cannot be taken
// back: they stay, and their staged copies with them).
ResultCode ScheduleSwapAtRestart(const std::vector<ModulePlan>& modules, const StagedSwap& staged,
                                 const wchar_t* recordPath, const wchar_t* backupRoot);

// The record alone, staged and scheduled for the restart (the modules are
// in place and the product runs on them). 0, or 13/14 with nothing left.
ResultCode ScheduleRecordAtRestart(const PatchDescription& description, ResultCode patchState,
                                   const wchar_t* recordPath, const wchar_t* backupRoot);

// Whether renames of this tool (into or out of `backupRoot`) wait for the
// next restart.
enum class PendingSwap { kNone, kWaiting, kUnknown };
PendingSwap FindPendingSwap(const wchar_t* backupRoot);
// Takes this tool's renames out of PendingFileRenameOperations, every
// other program's entry kept as it stands, and removes the staged copies.
// True when none is left waiting.
bool CancelPendingSwap(const wchar_t* backupRoot);
// Removes staged copies no rename waits for any more: in the per-patch
// folder `patch` of `backupRoot`, and the record's.
void RemoveStagedCopies(const wchar_t* backupRoot, const std::wstring& patch);
