// The apply mode: the update sequence and its report.
#include "driver/driver.h"
#include "driver/run_lock.h"
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

ResultCode PerformUpdate() {
  ResultCode result = CheckInstalledProduct();
  if (result != RC_SUCCEED) return result;

  wchar_t recordPath[kPathChars] = {};
  const ResultCode patchState = EvaluatePatchState(recordPath);
  if (patchState != RC_NOT_PATCHED && patchState != RC_RECORD_MISSING) return patchState;

  os::PrintWide(L"Stopping QL service, it maybe take several seconds, please wait...\r\n");
  result = RunServicePhase(StopServicesWorker, RC_STOP_SERVICE_FAILED);
  if (result != RC_SUCCEED) return result;

  os::PrintWide(L"Updating QL...\r\n");
  EndProductPrograms();

  result = ReplaceModules();
  if (result != RC_SUCCEED) return result;

  os::PrintWide(L"Restarting Durirave, please wait...\r\n");
  result = RunServicePhase(StartServicesWorker, RC_START_SERVICE_FAILED);
  if (result != RC_SUCCEED) return result;

  if (patchState == RC_RECORD_MISSING) CreatePatchRecord(recordPath);
  RecordPatch(recordPath);
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
  g_status = RunExclusively(PerformUpdate);
  PrintOutcome(g_status);
  return g_status;
}
