#include "driver/cut_off_run.h"

#include "driver/run_items.h"
#include "driver/run_plan.h"
#include "driver/work_items.h"
#include "patchdata/module_names.h"
#include "shared/run_log.h"
#include "system/module_restore.h"
#include "system/restart_swap.h"

namespace {

const wchar_t* ModeName(RunMode mode) { return mode == RunMode::kApply ? L"an apply" : L"an undo"; }

// What a mode's sequence ends with when the product is whole and nothing
// of the run that was cut off is left to do.
bool EndedWhole(RunMode mode, ResultCode result) {
  if (result == RC_SUCCEED) return true;
  if (mode == RunMode::kApply) return result == RC_PATCH_IS_LATEST;
  return result == RC_NOT_PATCHED || result == RC_RECORD_MISSING;
}

// An apply that scheduled the patch for the restart left its journal.
// Before the restart an apply answers 3010 and does nothing, and an undo
// takes the swap back (0); after it, the swap is done and the run goes on
// (0). 13 when the waiting renames cannot be read or written back.
ResultCode HandlePendingSwap(const InstallInfo& install, RunMode mode, const std::wstring& patch) {
  wchar_t backupRoot[kPathChars] = {};
  if (!BuildPath(backupRoot, install.folder, kBackupRootName)) return RC_REGISTRY_READ_FAILED;
  const PendingSwap pending = FindPendingSwap(backupRoot);
  if (pending == PendingSwap::kNone) {
    LogEvent(L"the patch scheduled for the restart was put in place by the restart");
    RemoveStagedCopies(backupRoot, patch);  // left only when the renames were taken away
    return RC_SUCCEED;
  }
  if (mode == RunMode::kApply) {
    LogEvent(L"the patch waits for the next restart to be put in place; nothing is done");
    return RC_SWAP_AT_RESTART;
  }
  if (pending == PendingSwap::kUnknown || !CancelPendingSwap(backupRoot)) return RC_MOVE_FILE_FAILED;
  // What the apply kept for the record goes too, and the per-patch folder
  // with it when nothing else is in it.
  wchar_t patchFolder[kPathChars] = {}, previous[kPathChars] = {};
  if (BuildPath(patchFolder, backupRoot, patch.c_str()) && BuildPath(previous, patchFolder, kPreviousCurrentName)) {
    os::DeleteFileAt(previous);
    RemovePatchBackupFolder(patchFolder);
  }
  return RC_SUCCEED;
}

// A cut-off run this run could not finish (refused before anything was
// touched, say, for want of room) may have stopped services and left the
// product whole: it was cut off before its first module, or after its
// last. Its services then run again. Its journal stays: the record may not
// say yet what the modules are (an undo cut off before it took the patch
// off the record), and the next run finishes it. Over a mix it may have
// left (it began to change modules), or a product that cannot be read,
// nothing is done.
void StartServicesOverWholeProduct(const RunStart& start, const CutOffRun& cutOff) {
  RunPlan plan;
  plan.install = start.install;
  plan.description = start.description;
  if (g_backupFolderName[0] == 0 && !PatchFolderName(start.description, g_backupFolderName)) return;
  if (!SameIgnoringAsciiCase(cutOff.patch, g_backupFolderName)) return;
  if (ReadModulePlans(cutOff.modules, &plan) != RC_SUCCEED || !CutOffLeftOnlyServices(cutOff, plan)) return;
  WorkItemList work;
  if (work.Do(SurveyServicesItem(&plan.services)) != RC_SUCCEED) return;
  CarryCutOffServices(&cutOff, &plan.services);
  plan.services.TakeCarriedAsStopped();
  if (work.Do(StartServicesItem(&plan.services)) != RC_SUCCEED) return;
  LogEvent(L"the run that was cut off left the product whole: its services run again; the next run finishes it");
}

}  // namespace

ResultCode RunAfterCutOffRun(const RunStart& start, RunMode mode, ModeSequence apply, ModeSequence undo) {
  const InstallInfo& install = start.install;
  wchar_t path[kPathChars] = {};
  CutOffRun cutOff;
  JournalFound found = JournalPathOf(install, path) ? ReadJournal(path, &cutOff) : JournalFound::kNone;
  if (found == JournalFound::kBlank || found == JournalFound::kEnded) {
    LogEvent(found == JournalFound::kBlank
                 ? L"a journal cut off before a run's first change is removed: nothing was changed"
                 : L"the journal of runs that ended whole is removed again");
    RemoveJournal(path);
    found = JournalFound::kNone;
  }
  wchar_t patch[kBackupFolderNameChars] = {};
  if (found == JournalFound::kCutOff && PatchFolderName(start.description, patch) &&
      !SameIgnoringAsciiCase(cutOff.patch, patch)) {
    LogEvent(L"a run of %ls was cut off, or waits for the restart (its last step: %ls): only that patch's tool "
             L"can finish it, not %ls",
             cutOff.patch.c_str(), cutOff.lastStep.empty() ? L"none" : cutOff.lastStep.c_str(), patch);
    return RC_MOVE_FILE_FAILED;
  }
  if (found == JournalFound::kCutOff && cutOff.lastStep == std::wstring(L"swap ") + kSwapPending) {
    const ResultCode pending = HandlePendingSwap(install, mode, cutOff.patch);
    if (pending != RC_SUCCEED) return pending;
    RemoveJournal(path);
    found = JournalFound::kNone;
    // An undo that took the swap back has nothing more to do but what an
    // apply that scheduled only the record left: its new modules.
    if (mode == RunMode::kUndo) {
      const ResultCode undone = undo(start, nullptr);
      return EndedWhole(RunMode::kUndo, undone) ? RC_SUCCEED : undone;
    }
  }
  // A swap cut off while it was being scheduled: its renames would move
  // files over what this run does, so they go before anything else.
  wchar_t backupRoot[kPathChars] = {};
  if (found == JournalFound::kCutOff && BuildPath(backupRoot, install.folder, kBackupRootName) &&
      FindPendingSwap(backupRoot) != PendingSwap::kNone && !CancelPendingSwap(backupRoot)) {
    return RC_MOVE_FILE_FAILED;
  }
  const CutOffRun* carried = nullptr;
  if (found == JournalFound::kCutOff) {
    LogEvent(L"%ls of %ls was cut off (its last step: %ls); it is finished first", ModeName(cutOff.mode),
             cutOff.patch.c_str(), cutOff.lastStep.empty() ? L"none" : cutOff.lastStep.c_str());
    // Copies it was making beside its modules are never needed again:
    // finishing makes its own.
    for (const std::wstring& module : cutOff.modules) {
      wchar_t installed[kPathChars] = {};
      if (IsSafeModuleName(module.c_str()) && BuildPath(installed, install.folder, module.c_str())) {
        RemoveBesideCopies(module.c_str(), installed);
      }
    }
    // An undo takes a cut-off apply back itself: what that apply moved is
    // in the backup, and the undo puts the originals back from there.
    if (cutOff.mode == mode || mode == RunMode::kUndo) {
      carried = &cutOff;
    } else {
      const ResultCode finished = (cutOff.mode == RunMode::kApply ? apply : undo)(start, &cutOff);
      if (!EndedWhole(cutOff.mode, finished)) {
        LogEvent(L"the run that was cut off cannot be finished (%d); this run does nothing more", finished);
        if (os::PathExists(path)) StartServicesOverWholeProduct(start, cutOff);
        return finished;
      }
      if (os::PathExists(path)) RemoveJournal(path);
      LogEvent(L"the run that was cut off is finished (%d); now %ls", finished, ModeName(mode));
    }
  }
  const ResultCode result = (mode == RunMode::kApply ? apply : undo)(start, carried);
  if (carried != nullptr && os::PathExists(path)) {
    if (EndedWhole(mode, result)) {
      RemoveJournal(path);
    } else {
      StartServicesOverWholeProduct(start, cutOff);
    }
  }
  return result;
}

ResultCode CheckCutOffPatch(const CutOffRun* cutOff) {
  if (cutOff == nullptr || SameIgnoringAsciiCase(cutOff->patch, g_backupFolderName)) return RC_SUCCEED;
  LogEvent(L"the run that was cut off was of %ls, not %ls: only that patch's tool can finish it",
           cutOff->patch.c_str(), g_backupFolderName);
  return RC_MOVE_FILE_FAILED;
}

void ForgetStagedSwap(const InstallInfo& install) {
  wchar_t backupRoot[kPathChars] = {};
  if (BuildPath(backupRoot, install.folder, kBackupRootName) && FindPendingSwap(backupRoot) == PendingSwap::kNone) {
    RemoveStagedCopies(backupRoot, g_backupFolderName);
  }
}

bool CutOffLeftOnlyServices(const CutOffRun& cutOff, const RunPlan& plan) {
  return FoundWhole(plan) || !cutOff.modulesChanged;
}

void CarryCutOffServices(const CutOffRun* cutOff, ServiceLedger* ledger) {
  if (cutOff == nullptr) return;
  for (const std::wstring& name : cutOff->services) ledger->Carry(name.c_str());
}

ResultCode AnswerOverCutOffRun(const InstallInfo& install, ResultCode state) {
  if (state != RC_PATCH_IS_LATEST) return state;
  wchar_t path[kPathChars] = {};
  CutOffRun cutOff;
  if (!JournalPathOf(install, path) || ReadJournal(path, &cutOff) != JournalFound::kCutOff) return state;
  if (cutOff.mode == RunMode::kApply && SameIgnoringAsciiCase(cutOff.patch, g_backupFolderName)) return state;
  return RC_NOT_PATCHED;
}
