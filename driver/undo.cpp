// `-c undo`: a patch taken back. Everything that could refuse the undo is
// checked before anything is changed; then, in the apply's order, the
// product is stopped, the originals are put back and the product is
// started again, and only once it runs on the originals does the record
// change and the per-patch backup go. A failure on the way puts the new
// copies back and starts the product again, leaving the record and the
// backup as they were.
#include <algorithm>
#include <string>
#include <vector>

#include "driver/cut_off_run.h"
#include "driver/driver.h"
#include "driver/journal.h"
#include "driver/run_items.h"
#include "driver/run_plan.h"
#include "patchdata/module_names.h"
#include "patchdata/patchdata.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/module_restore.h"
#include "system/processes.h"

namespace {

// Every module the description lists has its original in the backup, each
// named as the apply named it. 0 or 13 (or the reading's code).
ResultCode CheckListedModulesBackedUp(const wchar_t* installFolder, const std::vector<std::wstring>& backedUp) {
  std::vector<std::wstring> listed;
  ResultCode result = ReadModuleList(&listed);
  if (result != RC_SUCCEED) return result;
  for (const std::wstring& module : listed) {
    std::wstring resolved;
    const bool named = ResolveModuleName(installFolder, module.c_str(), &resolved) == ModuleNameProblem::kNone;
    bool found = false;
    for (const std::wstring& name : backedUp) {
      found = found || (named && os::SameFileName(name.c_str(), resolved.c_str()));
    }
    if (!found) {
      LogEvent(L"module %ls: listed, but the backup holds no original of it", module.c_str());
      return RC_MOVE_FILE_FAILED;
    }
  }
  return RC_SUCCEED;
}

}  // namespace

ResultCode UndoSequence(const RunStart& start, const CutOffRun* cutOff) {
  const InstallInfo& install = start.install;
  RunPlan plan;
  plan.install = install;
  plan.description = start.description;
  ResultCode checked = CheckInstalledProduct(install, plan.description);
  if (checked != RC_SUCCEED) {
    LogPatchState(plan.description, plan.recordPath, checked);
    return checked;
  }
  // Current (0), not applied (16, 17), or a later patch over it (23).
  ResultCode state = CheckPatchIsCurrent(install, plan.description, plan.recordPath);
  LogPatchState(plan.description, plan.recordPath, state);
  checked = CheckCutOffPatch(cutOff);
  if (checked != RC_SUCCEED) return checked;
  ForgetStagedSwap(install);
  if (state != RC_SUCCEED && state != RC_NOT_PATCHED && state != RC_RECORD_MISSING) return state;
  if (!BuildPath(plan.patchFolder, install.folder, kBackupRootName, g_backupFolderName)) {
    return RC_REGISTRY_READ_FAILED;
  }
  checked = RefuseFolderNotOurs(plan.patchFolder);
  if (checked != RC_SUCCEED) return checked;

  // The per-patch backup is the list of what the apply replaced.
  std::vector<std::wstring> names;
  if (os::PathExists(plan.patchFolder)) {
    checked = ListBackedUpModules(plan.patchFolder, &names);
    if (checked != RC_SUCCEED) return checked;
  }
  const bool recorded = state == RC_SUCCEED;
  if (recorded) {
    checked = CheckListedModulesBackedUp(install.folder, names);
    if (checked != RC_SUCCEED) return checked;
  } else if (names.empty()) {
    // Not applied, and no apply was cut off half way: nothing to undo, but
    // the services an apply cut off before its modules stopped run again.
    if (cutOff != nullptr && !cutOff->services.empty()) {
      WorkItemList work;
      checked = work.Do(SurveyServicesItem(&plan.services));
      CarryCutOffServices(cutOff, &plan.services);
      if (checked == RC_SUCCEED) checked = work.Do(StartServicesItem(&plan.services));
      if (checked != RC_SUCCEED) return checked;
    }
    return state;
  } else {
    LogEvent(L"the record does not list the patch, but the backup holds %d original(s) of an apply that "
             L"did not finish: they go back",
             static_cast<int>(names.size()));
  }
  checked = ReadModulePlans(names, &plan);
  if (checked != RC_SUCCEED) return checked;
  checked = CheckRoomForCopies(plan, ModuleAction::kRestoreOriginal);
  if (checked != RC_SUCCEED) return checked;

  WorkItemList work;
  checked = work.Do(SurveyServicesItem(&plan.services));
  if (checked != RC_SUCCEED) return checked;  // nothing was touched
  CarryCutOffServices(cutOff, &plan.services);
  // As for the apply: a run cut off where the product was whole, or before
  // it changed any module, left only its services stopped, and this run
  // takes them as its own. But an undo cut off with every original back
  // and the patch still on the record left the product whole on what the
  // record does not have: its journal stays until a run finishes it, so
  // that the query never answers 19 over the originals.
  if (cutOff != nullptr && CutOffLeftOnlyServices(*cutOff, plan)) {
    plan.services.TakeCarriedAsStopped();
    const bool originalsOnRecord =
        recorded && FoundWhole(plan) &&
        std::none_of(plan.modules.begin(), plan.modules.end(),
                     [](const ModulePlan& module) { return module.found == ModuleFound::kNew; });
    if (!originalsOnRecord) cutOff = nullptr;
  }
  Journal journal;
  checked = BeginJournal(install, RunMode::kUndo, g_backupFolderName, plan, &journal);
  if (checked != RC_SUCCEED) return checked;
  work.AttachJournal(&journal);
  plan.services.OnStopping([&journal](const wchar_t* name) { journal.NoteServiceStopping(name); });
  // A product that does not come down over a mix goes whole the way the
  // record has it: on the new copies while it lists the patch (an undo cut
  // off part-way), on the originals while it does not (an apply cut off).
  const WholeOn asRecorded = recorded ? WholeOn::kNewCopies : WholeOn::kOriginals;
  checked = work.Do(StopServicesItem(&plan.services));
  if (checked != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, asRecorded, checked);
  EndProductPrograms();
  checked = work.Do(StopAgainItem(&plan.services));
  if (checked != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, asRecorded, checked);
  checked = ReplaceModules(&plan.modules, ModuleAction::kRestoreOriginal, &work, &journal, &plan.heldFiles);
  if (checked != RC_SUCCEED) {
    // Over a mix an earlier undo left (cut off part-way), a module that
    // cannot have its original now keeps the product from going whole
    // either way but one: the originals that undo put back get their new
    // copies again while the product is stopped, and it starts whole on
    // them, as the record has it, instead of staying stopped on the mix.
    if (!FoundWhole(plan) && !HeldWithBackup(plan.modules) && NoteModulesChanging(&journal) == RC_SUCCEED &&
        work.Do(EarlierMixItem(&plan.modules, WholeOn::kNewCopies)) == RC_SUCCEED) {
      plan.services.TakeCarriedAsStopped();
      cutOff = nullptr;
    }
    return PutBackAfter(&work, &journal, cutOff, checked);
  }
  checked = work.Do(StopAgainItem(&plan.services));
  if (checked != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, asRecorded, checked);
  checked = work.Do(StartServicesItem(&plan.services));
  if (checked != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, asRecorded, checked);
  // The product runs on the originals: now the record and the backup.
  if (recorded) {
    char previous[kValueBytes] = {};
    const bool kept = ReadPreviousCurrent(plan.recordPath, previous, sizeof previous);
    checked = UnrecordPatch(plan.description, plan.recordPath, kept ? previous : nullptr);
    if (checked != RC_SUCCEED) {
      LogEvent(L"the record %ls cannot be changed: the new copies go back", plan.recordPath);
      return PutBackWhole(&work, &journal, &plan, cutOff, asRecorded, checked);
    }
    LogEvent(L"the patch is off the record %ls", plan.recordPath);
  }
  for (const ModulePlan& module : plan.modules) {
    RemoveKeptCopy(module);
    RemoveModuleBackup(module.name.c_str(), module.paths.backup);
  }
  ForgetPreviousCurrent(plan.recordPath);
  RemovePatchBackupFolder(plan.patchFolder);
  journal.Finish();
  return RC_SUCCEED;
}

ResultCode PerformUndo(const RunStart& start) {
  AttachRunLogToProduct(start.install);
  LogRunStart(L"undo");
  return RunAfterCutOffRun(start, RunMode::kUndo, ApplySequence, UndoSequence);
}

ResultCode RunUndo() {
  BeginRunLog();
  const RunStart start = {ReadInstallInfo(), ReadPatchDescription()};
  const ResultCode result = RunForThisProduct(start, PerformUndo);
  LogOutcome(result);
  EndRunLog();
  return result;
}
