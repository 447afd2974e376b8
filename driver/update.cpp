// The apply mode: the update sequence and its report.
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/run_items.h"
#include "driver/run_lock.h"
#include "shared/run_log.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "system/system.h"

namespace {

constexpr int32_t kSemaphoreMaximum = 97005083;

}  // namespace

ResultCode RunServicePhase(int32_t (*worker)(), ResultCode cannotRun) {
  // When the worker cannot be started there is nothing to wait for: the
  // phase ends at once with `cannotRun`. A wait that fails is made again:
  // the worker is running and must not be left working on while the
  // sequence moves on.
  constexpr int kWaitAttempts = 3;
  if (g_workerDone == nullptr || !os::StartThread(worker, kWorkerStackBytes)) return cannotRun;
  for (int attempt = 0; attempt < kWaitAttempts; ++attempt) {
    if (os::WaitWithoutTimeout(g_workerDone)) return g_status;
  }
  return cannotRun;
}

ResultCode RunExclusively(ResultCode (*sequence)()) {
  // One run that changes the machine at a time. A fleet tool that retries
  // while a run is still going, or a second start by hand, is told to come
  // back later and touches nothing. A lock that cannot be had at all is
  // treated the same way: retrying later is safe, going on without it is not.
  // An install folder that cannot be found ends the run as the checks would.
  RunLock lock;
  const ResultCode locked = TakeRunLock(&lock);
  if (locked != RC_SUCCEED) return locked;
  g_workerDone = os::CreateCountingSemaphore(0, kSemaphoreMaximum);
  g_status = RC_UNKNOWN;
  const ResultCode result = sequence();
  if (g_workerDone != nullptr) {
    os::CloseKernelHandle(g_workerDone);
    g_workerDone = nullptr;
  }
  ReleaseRunLock(&lock);
  return result;
}

namespace {

// The listed modules, read and checked before anything is changed: every
// name is one the tool accepts and every new copy is there. 0, 1, 2, 3,
// 12, 13, 14 or 18.
ResultCode ReadModulesToReplace(std::wstring* installFolder, std::vector<std::wstring>* modules) {
  wchar_t folder[kPathChars] = {};
  ResultCode result = ReadListedModules(folder, modules);
  if (result != RC_SUCCEED) return result;
  *installFolder = folder;
  for (const std::wstring& module : *modules) {
    result = CheckModuleCanBeReplaced(folder, module.c_str());
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}

// A failure from the stop phase on: what the run changed is put back,
// newest first, and the run ends with the failing step's code.
ResultCode PutBackAfter(WorkItemList* work, ResultCode failure) {
  work->RollBack();
  return failure;
}

}  // namespace

ResultCode PerformUpdate() {
  AttachRunLogToProduct();
  LogRunStart(L"apply");
  ResultCode result = CheckInstalledProduct();
  wchar_t recordPath[kPathChars] = {};
  if (result != RC_SUCCEED) {
    LogPatchState(recordPath, result);
    return result;
  }
  const ResultCode patchState = EvaluatePatchState(recordPath);
  LogPatchState(recordPath, patchState);
  if (patchState != RC_NOT_PATCHED && patchState != RC_RECORD_MISSING) return patchState;

  std::wstring installFolder;
  std::vector<std::wstring> modules;
  result = ReadModulesToReplace(&installFolder, &modules);
  if (result != RC_SUCCEED) return result;

  WorkItemList work;
  os::PrintWide(L"Stopping QL service, it maybe take several seconds, please wait...\r\n");
  result = work.Do(StopProductItem());
  if (result != RC_SUCCEED) return PutBackAfter(&work, result);

  os::PrintWide(L"Updating QL...\r\n");
  EndProductPrograms();

  work.Do(BackupFolderItem());
  for (const std::wstring& module : modules) {
    result = work.Do(ModuleItem(L"replace", installFolder, module, BackupAndReplaceModule, PutOriginalBack,
                                    false));
    if (result != RC_SUCCEED) return PutBackAfter(&work, result);
  }

  os::PrintWide(L"Restarting Durirave, please wait...\r\n");
  result = work.Do(StartProductItem());
  if (result != RC_SUCCEED) return PutBackAfter(&work, result);

  // The product runs on the new modules. The record is not put back: a
  // record that cannot be written is reported (2) and the next run finds
  // the patch still to apply and applies it again.
  KeepPreviousCurrent(recordPath);
  if (patchState == RC_RECORD_MISSING) CreatePatchRecord(recordPath);
  result = RecordPatch(recordPath);
  if (result != RC_SUCCEED) {
    LogEvent(L"the patch could not be recorded in %ls: the next run applies it again", recordPath);
    return RC_XML_LOAD_FAILED;
  }
  LogEvent(L"recorded in %ls", recordPath);
  return RC_SUCCEED;
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
  g_status = RunExclusively(PerformUpdate);
  AttachRunLogToProduct();  // a run that could not start logs its outcome too
  LogOutcome(g_status);
  EndRunLog();
  PrintOutcome(g_status);
  return g_status;
}
