// The apply mode: the update sequence and its report.
#include <string>
#include <vector>

#include "driver/cut_off_run.h"
#include "driver/driver.h"
#include "driver/journal.h"
#include "system/module_restore.h"
#include "system/restart_swap.h"
#include "driver/run_items.h"
#include "driver/run_lock.h"
#include "driver/run_plan.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/processes.h"

namespace {

constexpr int32_t kSemaphoreMaximum = 97005083;

}  // namespace

ResultCode RunServicePhase(int32_t (*worker)(void*), ServiceLedger* ledger, ResultCode cannotRun,
                           WorkerStart start) {
  // When the worker cannot be started there is nothing to wait for: the
  // phase ends at once with `cannotRun`. A wait that fails is made again:
  // the worker is running and must not be left working on while the
  // sequence moves on.
  constexpr int kWaitAttempts = 3;
  if (g_workerDone == nullptr) return cannotRun;
  bool started = os::StartThread(worker, ledger, kWorkerStackBytes);
  if (!started && start == WorkerStart::kTryAgain) started = os::StartThread(worker, ledger, kWorkerStackBytes);
  if (!started) return cannotRun;
  for (int attempt = 0; attempt < kWaitAttempts; ++attempt) {
    if (os::WaitWithoutTimeout(g_workerDone)) return g_status;
  }
  return cannotRun;
}

ResultCode RunExclusively(const RunStart& start, Sequence sequence) {
  // One run that changes the machine at a time. A fleet tool that retries
  // while a run is still going, or a second start by hand, is told to come
  // back later and touches nothing. A lock that cannot be had at all is
  // treated the same way: retrying later is safe, going on without it is not.
  // An install folder that cannot be found ends the run as the checks would.
  RunLock lock;
  const ResultCode locked = TakeRunLock(start.install, &lock);
  if (locked != RC_SUCCEED) return locked;
  g_workerDone = os::CreateCountingSemaphore(0, kSemaphoreMaximum);
  g_status = RC_UNKNOWN;
  const ResultCode result = sequence(start);
  if (g_workerDone != nullptr) {
    os::CloseKernelHandle(g_workerDone);
    g_workerDone = nullptr;
  }
  ReleaseRunLock(&lock);
  return result;
}

ResultCode RunForThisProduct(const RunStart& start, Sequence sequence) {
  const ResultCode product = CheckInstalledProduct(start.install, start.description);
  if (product != RC_SUCCEED) return product;
  const ResultCode result = RunExclusively(start, sequence);
  AttachRunLogToProduct(start.install);  // a run that could not start logs its outcome too
  return result;
}

ResultCode PutBackAfter(WorkItemList* work, Journal* journal, const CutOffRun* cutOff, ResultCode failure,
                        bool* wholeAgain) {
  const bool putBack = work->RollBack();
  if (wholeAgain != nullptr) *wholeAgain = putBack && cutOff == nullptr;
  if (putBack && cutOff == nullptr) {
    journal->Finish();
  } else if (putBack) {
    LogEvent(L"put back as this run found it, which a run cut off had left unfinished: its journal stays for the "
             L"next run to finish it (the services that run stopped run again only on a whole product)");
  }
  return failure;
}

// Strictly in the plan's order, each module done before the next; the
// first that fails ends the loop with its code.
ResultCode ReplaceModules(std::vector<ModulePlan>* modules, ModuleAction action, WorkItemList* work,
                          Journal* journal, std::vector<std::wstring>* held) {
  for (ModulePlan& module : *modules) {
    const ResultCode result = work->Do(ModuleItem(&module, action, journal, held));
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}

ResultCode BeginJournal(const InstallInfo& install, RunMode mode, const wchar_t* patch, const RunPlan& plan,
                        Journal* journal) {
  wchar_t path[kPathChars] = {};
  if (JournalPathOf(install, path) && journal->Begin(path, mode, patch, plan.services, plan.modules)) {
    return RC_SUCCEED;
  }
  LogFailure(os::LastError(), L"the journal %ls cannot be written: nothing is changed", path);
  journal->Abandon();
  return RC_CREATE_BACKUP_DIR_FAILED;
}

ResultCode NoteModulesChanging(Journal* journal) {
  if (journal->NoteModulesChanging()) return RC_SUCCEED;
  LogFailure(os::LastError(), L"the journal cannot be written: no module is changed");
  return RC_CREATE_BACKUP_DIR_FAILED;
}

bool TakeEarlierRunBack(WorkItemList* work, Journal* journal, RunPlan* plan, WholeOn whole) {
  if (FoundWhole(*plan) || HeldWithBackup(plan->modules)) return false;
  if (work->Do(AwaitStoppedItem(&plan->services)) != RC_SUCCEED) return false;
  EndProductPrograms();
  if (work->Do(StopAgainItem(&plan->services)) != RC_SUCCEED) return false;
  if (NoteModulesChanging(journal) != RC_SUCCEED) return false;
  if (work->Do(EarlierMixItem(&plan->modules, whole)) != RC_SUCCEED) return false;
  plan->services.TakeCarriedAsStopped();
  LogEvent(whole == WholeOn::kOriginals
               ? L"the product is down: the originals an earlier apply replaced are back, and it starts whole on "
                 L"them"
               : L"the product is down: the originals an earlier undo put back have their new copies again, and "
                 L"it starts whole on them");
  return true;
}

ResultCode PutBackWhole(WorkItemList* work, Journal* journal, RunPlan* plan, const CutOffRun* cutOff, WholeOn whole,
                        ResultCode failure) {
  if (TakeEarlierRunBack(work, journal, plan, whole)) cutOff = nullptr;
  return PutBackAfter(work, journal, cutOff, failure);
}

namespace {

// What the product runs on until the restart.
enum class UntilRestart { kOriginals, kModulesAsFound };

// The whole patch, staged while the product was stopped, scheduled for
// the next restart once the run has put the product back as it found it:
// 3010, with a journal that says so, or `failure` when it cannot be
// scheduled.
ResultCode SwapAtRestart(const InstallInfo& install, const RunPlan& plan, const StagedSwap& staged,
                         UntilRestart until, ResultCode failure) {
  wchar_t backupRoot[kPathChars] = {};
  RunPlan swap;
  swap.modules = plan.modules;
  Journal journal;
  if (!BuildPath(backupRoot, install.folder, kBackupRootName) ||
      BeginJournal(install, RunMode::kApply, g_backupFolderName, swap, &journal) != RC_SUCCEED) {
    DropStagedSwap(staged);
    return failure;
  }
  if (!KeepPreviousCurrent(plan.description, plan.recordPath)) {
    ForgetPreviousCurrent(plan.recordPath);
    RemovePatchBackupFolder(plan.patchFolder);
    DropStagedSwap(staged);
    journal.Finish();
    return failure;
  }
  if (ScheduleSwapAtRestart(plan.modules, staged, plan.recordPath, backupRoot) != RC_SUCCEED) {
    ForgetPreviousCurrent(plan.recordPath);
    RemovePatchBackupFolder(plan.patchFolder);
    // Renames left waiting keep the journal: the next run takes them back
    // before anything else.
    if (FindPendingSwap(backupRoot) == PendingSwap::kNone) journal.Finish();
    return failure;
  }
  journal.Note(L"swap", kSwapPending);
  LogEvent(until == UntilRestart::kOriginals
               ? L"the product runs whole on its originals; the patch is put in place at the next restart"
               : L"the product runs on the modules as this run found them; the patch is put in place at the next "
                 L"restart");
  return RC_SWAP_AT_RESTART;
}

}  // namespace

ResultCode ApplySequence(const RunStart& start, const CutOffRun* cutOff) {
  const InstallInfo& install = start.install;
  RunPlan plan;
  ResultCode result = ReadApplyPlan(start, &plan);
  if (result == RC_SUCCEED || result == RC_PATCH_IS_LATEST) {
    const ResultCode patch = CheckCutOffPatch(cutOff);
    if (patch != RC_SUCCEED) return patch;
    ForgetStagedSwap(install);
  }
  if (result != RC_SUCCEED) return result;

  WorkItemList work;
  result = work.Do(SurveyServicesItem(&plan.services));
  if (result != RC_SUCCEED) return result;  // nothing was touched
  CarryCutOffServices(cutOff, &plan.services);
  // A cut-off run that left only its services stopped: this run takes them
  // as its own, and a failure puts them back running, as any run's does.
  if (cutOff != nullptr && CutOffLeftOnlyServices(*cutOff, plan)) {
    plan.services.TakeCarriedAsStopped();
    cutOff = nullptr;
  }
  Journal journal;
  result = BeginJournal(install, RunMode::kApply, g_backupFolderName, plan, &journal);
  if (result != RC_SUCCEED) return result;
  work.AttachJournal(&journal);
  plan.services.OnStopping([&journal](const wchar_t* name) { journal.NoteServiceStopping(name); });
  os::PrintWide(L"Stopping QL service, it maybe take several seconds, please wait...\r\n");
  result = work.Do(StopServicesItem(&plan.services));
  if (result != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, WholeOn::kOriginals, result);

  os::PrintWide(L"Updating QL...\r\n");
  EndProductPrograms();

  // Windows starts services by trigger, and a dependent's start starts
  // what it depends on: before the first module moves, and again before
  // the services are started on the new ones, every service the run
  // stopped must still be stopped.
  result = work.Do(StopAgainItem(&plan.services));
  if (result != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, WholeOn::kOriginals, result);
  work.Do(BackupFolderItem(plan.patchFolder));
  result = ReplaceModules(&plan.modules, ModuleAction::kReplace, &work, &journal, &plan.heldFiles);
  if (result != RC_SUCCEED) {
    // Held open past the retries: the patch is staged while the product is
    // still stopped, the product is put back whole on its originals, and
    // the patch is put in place at the next restart.
    StagedSwap staged;
    bool swap = !plan.heldFiles.empty() &&
                StageSwapAtRestart(plan.modules, plan.description, plan.patchState, plan.recordPath, &staged) ==
                    RC_SUCCEED;
    // Over a mix an earlier apply left (cut off, or failed half way), the
    // product is stopped now: its originals go back too, so that it
    // starts whole instead of on the mix (or stays stopped on it). A
    // module held open that has a backup cannot be read: it may be an
    // earlier run's new copy as well as the original. Putting the others'
    // originals back could then leave a mix, so the product stays as found
    // until the restart.
    const bool mix = !FoundWhole(plan);
    const bool unreadable = (swap || mix) && HeldWithBackup(plan.modules);
    if (unreadable) LogEvent(L"a module held open has a backup and cannot be read: the modules stay as found");
    const bool originalsBack = (swap || mix) && !unreadable && NoteModulesChanging(&journal) == RC_SUCCEED &&
                               work.Do(EarlierMixItem(&plan.modules, WholeOn::kOriginals)) == RC_SUCCEED;
    if (swap && !unreadable && !originalsBack) {
      DropStagedSwap(staged);
      swap = false;
    }
    // Whole on its originals now, whatever a cut-off run left: the services
    // that run stopped run again with the others.
    if (originalsBack && cutOff != nullptr) {
      plan.services.TakeCarriedAsStopped();
      cutOff = nullptr;
    }
    bool wholeAgain = false;
    result = PutBackAfter(&work, &journal, cutOff, result, &wholeAgain);
    if (!swap) return result;
    if (!wholeAgain) {
      DropStagedSwap(staged);
      return result;
    }
    return SwapAtRestart(install, plan, staged, unreadable ? UntilRestart::kModulesAsFound : UntilRestart::kOriginals,
                         result);
  }
  result = work.Do(StopAgainItem(&plan.services));
  if (result != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, WholeOn::kOriginals, result);

  os::PrintWide(L"Restarting Durirave, please wait...\r\n");
  result = work.Do(StartServicesItem(&plan.services));
  if (result != RC_SUCCEED) return PutBackWhole(&work, &journal, &plan, cutOff, WholeOn::kOriginals, result);

  // The product runs whole on the new modules, and the journal goes. The
  // record is not put back: a record that cannot be written is reported
  // (2) and the next run finds the modules new and records the patch.
  journal.Note(L"begin", L"record the patch");
  bool held = false;
  result = RC_XML_LOAD_FAILED;
  if (KeepPreviousCurrent(plan.description, plan.recordPath)) {
    if (plan.patchState == RC_RECORD_MISSING) CreatePatchRecord(plan.recordPath);
    result = RecordPatch(plan.description, plan.recordPath, &held);
  }
  journal.Finish();
  if (result != RC_SUCCEED && held) {
    // Held open past the retries: the record alone waits for the restart.
    LogFileHolders(plan.recordPath);
    wchar_t backupRoot[kPathChars] = {};
    Journal swap;
    RunPlan none;
    if (BuildPath(backupRoot, install.folder, kBackupRootName) &&
        BeginJournal(install, RunMode::kApply, g_backupFolderName, none, &swap) == RC_SUCCEED) {
      if (ScheduleRecordAtRestart(plan.description, plan.patchState, plan.recordPath, backupRoot) == RC_SUCCEED) {
        swap.Note(L"swap", kSwapPending);
        LogEvent(L"the product runs whole on the new modules; the record is written at the next restart");
        return RC_SWAP_AT_RESTART;
      }
      if (FindPendingSwap(backupRoot) == PendingSwap::kNone) swap.Finish();
    }
  }
  if (result != RC_SUCCEED) {
    LogEvent(L"the patch could not be recorded in %ls: the next run applies it again", plan.recordPath);
    return RC_XML_LOAD_FAILED;
  }
  LogEvent(L"recorded in %ls", plan.recordPath);
  return RC_SUCCEED;
}

ResultCode PerformUpdate(const RunStart& start) {
  AttachRunLogToProduct(start.install);
  LogRunStart(L"apply");
  return RunAfterCutOffRun(start, RunMode::kApply, ApplySequence, UndoSequence);
}

namespace {

void PrintOutcome(ResultCode code) {
  wchar_t message[kMessageChars] = {};
  FormatResultMessage(code, message);
  if (code == RC_SUCCEED) {
    os::PrintWide(L"Update patch %ls!\r\n", message);
  } else {
    os::PrintWide(L"%ls\r\n", message);
  }
  os::PrintWide(L"Press any key to exit.\r\n");
}

}  // namespace

ResultCode RunInteractiveUpdate() {
  BeginRunLog();
  const RunStart start = {ReadInstallInfo(), ReadPatchDescription()};
  g_status = RunForThisProduct(start, PerformUpdate);
  LogOutcome(g_status);
  EndRunLog();
  PrintOutcome(g_status);
  return g_status;
}
