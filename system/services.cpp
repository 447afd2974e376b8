// Stopping and starting the product's services, and the worker bodies that
// run each phase off the main thread.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "system/services.h"

#include "platform/platform.h"
#include "shared/run_log.h"
#include "shared/shared.h"

namespace {

const wchar_t* StateName(uint32_t state) {
  switch (state) {
    case os::kServiceStopped: return L"stopped";
    case os::kServiceStartPending: return L"start pending";
    case os::kServiceStopPending: return L"stop pending";
    case os::kServiceRunning: return L"running";
    case os::kServiceContinuePending: return L"continue pending";
    case os::kServicePausePending: return L"pause pending";
    case os::kServicePaused: return L"paused";
    default: return L"in an unknown state";
  }
}

bool IsProductService(const std::wstring& name) {
  for (const wchar_t* product : kProductServices) {
    if (SameIgnoringAsciiCase(name, product)) return true;
  }
  return false;
}

// The process a service runs in, opened as soon as a query names it, so
// that its id cannot pass to another process before the wait. Only a
// service with a process of its own is waited for.
struct ServiceProcess {
  os::Handle handle = nullptr;
  uint32_t id = 0;
  bool tried = false;
};

// Only a running (or paused) service's process id is surely its own: one
// read while the service starts or stops may name a process that is going
// or not yet its own. A stopped service has none.
void NoteProcess(const wchar_t* name, const os::ServiceStatus& status, ServiceProcess* process) {
  const bool settled = status.currentState == os::kServiceRunning || status.currentState == os::kServicePaused;
  if (process->tried || !settled || status.processId == 0 || status.sharesProcess) {
    return;
  }
  process->tried = true;
  process->handle = os::OpenProcessForWait(status.processId);
  if (process->handle != nullptr) {
    process->id = status.processId;
  } else {
    LogFailure(os::LastError(), L"service %ls: its process %u cannot be waited for", name, status.processId);
  }
}

// After the service reported STOPPED: its process may still be ending and
// holding its files. Not ending in time is logged, not a failure.
void AwaitProcessEnd(const wchar_t* name, ServiceProcess* process) {
  if (process->handle == nullptr) return;
  const uint64_t startMs = os::TickMs();
  switch (os::WaitForProcessEnd(process->handle, kServiceProcessWaitMs)) {
    case os::ProcessWait::kEnded:
      LogEvent(L"service %ls: its process %u ended %u ms after the service stopped", name, process->id,
               MsSince(startMs));
      break;
    case os::ProcessWait::kTimedOut:
      LogEvent(L"service %ls: its process %u still runs %u ms after the service stopped; going on", name,
               process->id, MsSince(startMs));
      break;
    case os::ProcessWait::kFailed:
      LogFailure(os::LastError(), L"service %ls: waiting for its process %u failed", name, process->id);
      break;
  }
}

void CloseProcess(ServiceProcess* process) {
  if (process->handle != nullptr) os::CloseKernelHandle(process->handle);
  process->handle = nullptr;
}

enum class Dependents { kStopFirst, kLeave };

ResultCode StopServiceNamed(os::Handle manager, const wchar_t* name, Dependents dependents, ServiceLedger* ledger,
                            StopOutcome* outcome);
ResultCode SurveyService(os::Handle manager, const wchar_t* name, ServiceLedger* ledger);

// Stops the running services that depend on `name`, in the order Windows
// lists them (the one started last first). Each goes into the ledger as
// stopped by this run, so that it is started again with the others.
ResultCode StopDependents(os::Handle manager, const wchar_t* name, ServiceLedger* ledger) {
  // On the heap: the worker's stack is small. Only the `count` names listed
  // are read, so the array is left unzeroed.
  const std::unique_ptr<os::ServiceName[]> dependents(new os::ServiceName[kMaxDependentServices]);
  int count = 0;
  if (!os::ListActiveDependents(manager, name, dependents.get(), kMaxDependentServices, &count)) {
    LogFailure(os::LastError(), L"service %ls: the services that depend on it cannot be listed", name);
    return RC_STOP_SERVICE_FAILED;
  }
  LogEvent(L"service %ls: %d running services depend on it; stopping them first", name, count);
  for (int i = 0; i < count; ++i) {
    // One the survey did not see (they could not be listed then, or it
    // started since) is looked at first: running but disabled, it is not
    // stopped, as nothing could start it again.
    if (ledger->Of(dependents[i].name).stateFound == 0) {
      const ResultCode surveyed = SurveyService(manager, dependents[i].name, ledger);
      if (surveyed != RC_SUCCEED) return surveyed;
    }
    StopOutcome outcome = StopOutcome::kNotAsked;
    const ResultCode result = StopServiceNamed(manager, dependents[i].name, Dependents::kLeave, ledger, &outcome);
    ledger->NoteStop(dependents[i].name, outcome);
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}

// Brings an open service to STOPPED from whatever state it is in: a
// pending state is waited through, a running or paused service is sent the
// stop control. Each poll queries, sleeps kStopPollMs and only then tests
// the state from that query; kServicePollLimit polls bound the service.
ResultCode StopOpenService(os::Handle manager, os::Handle service, const wchar_t* name, Dependents dependents,
                           ServiceLedger* ledger, ServiceProcess* process, StopOutcome* outcome) {
  os::ServiceStatus status = {};
  if (!os::QueryServiceState(service, &status)) {
    LogFailure(os::LastError(), L"service %ls: its state cannot be read", name);
    return RC_QUERY_SERVICE_FAILED;
  }
  LogEvent(L"service %ls: %ls before the stop", name, StateName(status.currentState));
  ServiceRecord& record = ledger->Of(name);
  if (record.stateFound == 0) record.stateFound = status.currentState;
  NoteProcess(name, status, process);
  bool dependentsStopped = false;
  for (int polls = 0;;) {
    if (status.currentState == os::kServiceStopped) {
      if (*outcome == StopOutcome::kStillStopping) *outcome = StopOutcome::kStopped;
      if (polls > 0) LogEvent(L"service %ls: stopped after %d polls", name, polls);
      return RC_SUCCEED;
    }
    if (*outcome == StopOutcome::kNotAsked &&
        (status.currentState == os::kServiceRunning || status.currentState == os::kServicePaused)) {
      ledger->NoteStopping(name);
      if (os::RequestServiceStop(service)) {
        *outcome = StopOutcome::kStillStopping;
        LogEvent(L"service %ls: stop asked", name);
      } else {
        const uint32_t error = os::LastError();
        if (error == os::kErrorDependentServicesRunning && dependents == Dependents::kStopFirst &&
            !dependentsStopped) {
          dependentsStopped = true;
          const ResultCode result = StopDependents(manager, name, ledger);
          if (result != RC_SUCCEED) return result;
          continue;  // and ask again
        }
        // 1053: its handler had the stop but answered after the manager's
        // wait, as one that cleans up before it returns does; it is
        // waited for as one that took it, and never asked again.
        // Otherwise refused for good, unless the service has just moved on
        // by itself (pending: no control accepted now; stopped: not
        // active). A refused request may still have reached it, and it may
        // stop yet: it is put back as one sent a stop, started again once
        // it has stopped and taken as running while it runs.
        if (error == os::kErrorServiceRequestTimeout) {
          *outcome = StopOutcome::kStillStopping;
          LogFailure(error, L"service %ls: the stop was not answered in time; waiting on", name);
        } else if (error != os::kErrorServiceCannotAcceptControl && error != os::kErrorServiceNotActive) {
          LogFailure(error, L"service %ls: the stop was refused", name);
          *outcome = StopOutcome::kStillStopping;
          return RC_STOP_SERVICE_FAILED;
        } else {
          LogFailure(error, L"service %ls: the stop was not taken; waiting on", name);
        }
      }
    }
    if (polls == kServicePollLimit) {
      LogEvent(L"service %ls: still %ls after %d polls of %u ms", name, StateName(status.currentState), polls,
               kStopPollMs);
      return RC_STOP_SERVICE_FAILED;
    }
    if (!os::QueryServiceState(service, &status)) {
      const uint32_t error = os::LastError();
      if (*outcome == StopOutcome::kNotAsked) {
        LogFailure(error, L"service %ls: its state cannot be read", name);
        return RC_QUERY_SERVICE_FAILED;
      }
      // After a stop request a failed query ends the wait: the look before
      // the module phase finds out if the service is not stopped.
      LogFailure(error, L"service %ls: its state cannot be read while it stops; taken as stopped", name);
      *outcome = StopOutcome::kStopped;
      return RC_SUCCEED;
    }
    NoteProcess(name, status, process);
    os::SleepMs(kStopPollMs);
    ++polls;
  }
}

// Opens the service by name on an open manager, stops it and waits for its
// process. *outcome tells whether this run sent it a stop and how it ended.
ResultCode StopServiceNamed(os::Handle manager, const wchar_t* name, Dependents dependents, ServiceLedger* ledger,
                            StopOutcome* outcome) {
  const uint64_t startMs = os::TickMs();
  *outcome = StopOutcome::kNotAsked;
  os::Handle service = os::OpenServiceForControl(manager, name);
  if (service == nullptr) {
    LogFailure(os::LastError(), L"service %ls: cannot be opened", name);
    return RC_OPEN_SERVICE_FAILED;
  }
  ServiceProcess process;
  const ResultCode result = StopOpenService(manager, service, name, dependents, ledger, &process, outcome);
  if (result == RC_SUCCEED) AwaitProcessEnd(name, &process);
  CloseProcess(&process);
  os::CloseServiceHandle(service);
  LogEvent(L"service %ls: stop gave %d, took %u ms", name, result, MsSince(startMs));
  return result;
}

// Waits for a pending service to reach `wanted` (RUNNING after a start
// request, STOPPED for one still stopping). Each poll queries and, unless
// the service is there, sleeps its hint (kStartPollMinMs to
// kStartPollCapMs) and then tests the state from that query. A state or
// checkpoint that moves is progress. `gaveUp` when it does not get there.
ResultCode AwaitState(os::Handle service, const wchar_t* name, uint32_t wanted, ResultCode gaveUp) {
  const uint64_t startMs = os::TickMs();
  uint64_t progressMs = startMs;
  uint32_t lastState = 0;
  uint32_t lastCheckPoint = 0;
  for (int polls = 1;; ++polls) {
    os::ServiceStatus status = {};
    if (!os::QueryServiceState(service, &status)) {
      // A service still stopping is never taken as stopped: it could not
      // be started. The wait asks again, within its limit.
      if (wanted == os::kServiceStopped && os::TickMs() < startMs + kStartWaitLimitMs) {
        LogFailure(os::LastError(), L"service %ls: its state cannot be read while it stops; asking again", name);
        os::SleepMs(kStartPollMinMs);
        continue;
      }
      if (wanted == os::kServiceStopped) return gaveUp;
      // After a start request the wait ends; the product's own checks
      // find a service that does not run.
      LogFailure(os::LastError(), L"service %ls: its state cannot be read while it is pending; taken as %ls",
                 name, StateName(wanted));
      return RC_SUCCEED;
    }
    if (status.currentState == wanted) {
      LogEvent(L"service %ls: %ls after %d polls, took %u ms", name, StateName(wanted), polls, MsSince(startMs));
      return RC_SUCCEED;
    }
    const uint64_t nowMs = os::TickMs();
    if (status.currentState != lastState || status.checkPoint != lastCheckPoint) progressMs = nowMs;
    lastState = status.currentState;
    lastCheckPoint = status.checkPoint;
    const uint64_t allowance =
        std::min(std::max(kStartWaitMinMs, uint64_t{kServicePollLimit} * status.waitHint), kStartWaitLimitMs);
    const uint64_t deadline = std::min(progressMs + allowance, startMs + kStartWaitLimitMs);
    uint64_t pause = std::min(std::max(status.waitHint, kStartPollMinMs), kStartPollCapMs);
    pause = std::min(pause, deadline > nowMs ? deadline - nowMs : 0);
    if (pause > 0) os::SleepMs(static_cast<uint32_t>(pause));
    if (wanted == os::kServiceRunning && status.currentState == os::kServiceStopped) {
      LogEvent(L"service %ls: stopped again while starting, after %u ms", name, MsSince(startMs));
      return gaveUp;
    }
    if (os::TickMs() >= deadline) {
      LogEvent(L"service %ls: still %ls after %d polls and %u ms (checkpoint %u, hint %u ms)", name,
               StateName(status.currentState), polls, MsSince(startMs), status.checkPoint, status.waitHint);
      return gaveUp;
    }
  }
}

// Asks a stopped service to start: 0, or the Windows error. Windows
// answers "already running" for a service still stopping too (a query that
// failed was taken as stopped): that one is waited for and asked again. A
// request that timed out (the service's process did not reach the manager
// in time) is made again while the service is stopped, kStartRequestTries
// in all; one that left the service starting or running counts as made.
// One refused as locked is asked again until kLockedStartWaitMs have passed.
uint32_t RequestStart(os::Handle service, const wchar_t* name) {
  const uint64_t firstMs = os::TickMs();
  bool lockedLogged = false;
  for (int tries = 1;;) {  // requests that timed out, counting this one
    if (os::RequestServiceStart(service)) return 0;
    const uint32_t error = os::LastError();
    if (error == os::kErrorServiceDatabaseLocked) {
      if (os::TickMs() >= firstMs + kLockedStartWaitMs) return error;
      if (!lockedLogged) {
        LogFailure(error, L"service %ls: the service manager is busy starting another; asking again", name);
      }
      lockedLogged = true;
      os::SleepMs(kStartPollMinMs);
      continue;
    }
    os::ServiceStatus status = {};
    if (error == os::kErrorServiceRequestTimeout && os::QueryServiceState(service, &status)) {
      if (status.currentState == os::kServiceStartPending || status.currentState == os::kServiceRunning) {
        LogFailure(error, L"service %ls: the start timed out, yet it is %ls", name, StateName(status.currentState));
        return 0;
      }
      if (status.currentState == os::kServiceStopped && tries < kStartRequestTries) {
        LogFailure(error, L"service %ls: start %d of %d timed out; asking again", name, tries, kStartRequestTries);
        ++tries;
        continue;
      }
      return error;
    }
    if (error != os::kErrorServiceAlreadyRunning || !os::QueryServiceState(service, &status) ||
        status.currentState != os::kServiceStopPending ||
        AwaitState(service, name, os::kServiceStopped, RC_RUN_SERVICE_FAILED) != RC_SUCCEED) {
      return error;
    }
    return os::RequestServiceStart(service) ? 0 : os::LastError();
  }
}

// Starts a service by name on an open manager and waits for it. A service
// still stopping is waited for first: it counts as started only once it
// runs. One the run found stopped and disabled is left so.
ResultCode StartServiceNamed(os::Handle manager, const wchar_t* name, ServiceLedger* ledger) {
  const uint64_t startMs = os::TickMs();
  const ServiceRecord& record = ledger->Of(name);
  if (record.stateFound == os::kServiceStopped && record.startTypeFound == os::kServiceDisabled) {
    LogEvent(L"service %ls: stopped and disabled before this run; left so", name);
    return RC_SUCCEED;
  }
  os::Handle service = os::OpenServiceForControl(manager, name);
  if (service == nullptr) {
    LogFailure(os::LastError(), L"service %ls: cannot be opened", name);
    return RC_OPEN_SERVICE_FAILED;
  }
  ResultCode result = RC_SUCCEED;
  os::ServiceStatus status = {};
  if (!os::QueryServiceState(service, &status)) {
    LogFailure(os::LastError(), L"service %ls: its state cannot be read", name);
    result = RC_QUERY_SERVICE_FAILED;
  } else if (status.currentState == os::kServiceStopPending) {
    LogEvent(L"service %ls: still stopping before the start; waiting for it to stop", name);
    result = AwaitState(service, name, os::kServiceStopped, RC_RUN_SERVICE_FAILED);
    if (result == RC_SUCCEED && !os::QueryServiceState(service, &status)) {
      LogFailure(os::LastError(), L"service %ls: its state cannot be read", name);
      result = RC_QUERY_SERVICE_FAILED;
    }
    if (result != RC_SUCCEED) LogEvent(L"service %ls: never stopped, so it cannot be started again", name);
  }
  if (result != RC_SUCCEED) {
    LogEvent(L"service %ls: not started", name);
  } else if (status.currentState != os::kServiceStopped) {
    // Running, or on its way there: counts as started.
    LogEvent(L"service %ls: %ls before the start; counts as started", name, StateName(status.currentState));
  } else if (const uint32_t error = RequestStart(service, name); error == 0) {
    LogEvent(L"service %ls: stopped before the start; start asked", name);
    ledger->NoteStart(name);
    result = AwaitState(service, name, os::kServiceRunning, RC_START_SERVICE_FAILED);
  } else if (error == os::kErrorServiceAlreadyRunning) {
    // Something else (a watchdog, a delayed start) was first.
    LogFailure(error, L"service %ls: stopped before the start, then started by something else", name);
  } else if (error == os::kErrorServiceDisabled && record.stop == StopOutcome::kNotAsked) {
    // It did not run before this run either: left as the admin set it.
    LogFailure(error, L"service %ls: stopped and disabled before this run; left so", name);
  } else {
    LogFailure(error, L"service %ls: the start was refused", name);
    result = RC_RUN_SERVICE_FAILED;
  }
  os::CloseServiceHandle(service);
  LogEvent(L"service %ls: start gave %d, took %u ms", name, result, MsSince(startMs));
  return result;
}

// Reads one service into the ledger, and the running services that depend
// on it. 0, 7, 8, or 9 for one that runs while disabled.
ResultCode SurveyService(os::Handle manager, const wchar_t* name, ServiceLedger* ledger) {
  os::Handle service = os::OpenServiceForControl(manager, name);
  if (service == nullptr) {
    LogFailure(os::LastError(), L"service %ls: cannot be opened", name);
    return RC_OPEN_SERVICE_FAILED;
  }
  os::ServiceStatus status = {};
  const bool queried = os::QueryServiceState(service, &status);
  const uint32_t queryError = os::LastError();
  os::CloseServiceHandle(service);
  uint32_t startType = 0;
  if (!queried || !os::ReadServiceStartType(manager, name, &startType)) {
    LogFailure(queried ? os::LastError() : queryError, L"service %ls: its state or start type cannot be read",
               name);
    return RC_QUERY_SERVICE_FAILED;
  }
  ServiceRecord& record = ledger->Of(name);
  record.stateFound = status.currentState;
  record.startTypeFound = startType;
  LogEvent(L"service %ls: found %ls, start type %u", name, StateName(status.currentState), startType);
  if (status.currentState != os::kServiceStopped && startType == os::kServiceDisabled) {
    LogEvent(L"service %ls: %ls but disabled: once stopped, nothing could start it again; nothing is touched",
             name, StateName(status.currentState));
    return RC_STOP_SERVICE_FAILED;
  }
  return RC_SUCCEED;
}

ResultCode SurveyWithManager(os::Handle manager, ServiceLedger* ledger) {
  for (const wchar_t* product : kProductServices) {
    ResultCode result = SurveyService(manager, product, ledger);
    if (result != RC_SUCCEED) return result;
    const std::unique_ptr<os::ServiceName[]> dependents(new os::ServiceName[kMaxDependentServices]);
    int count = 0;
    if (!os::ListActiveDependents(manager, product, dependents.get(), kMaxDependentServices, &count)) {
      // The stop finds out whether it needs them.
      LogFailure(os::LastError(), L"service %ls: the services that depend on it cannot be listed", product);
      continue;
    }
    for (int i = 0; i < count; ++i) {
      result = SurveyService(manager, dependents[i].name, ledger);
      if (result != RC_SUCCEED) return result;
    }
  }
  return RC_SUCCEED;
}

// Runs `body` with the service manager open. 6 when it cannot be opened.
template <typename Body>
ResultCode WithManager(Body body) {
  os::Handle manager = os::OpenServiceManager();
  if (manager == nullptr) {
    LogFailure(os::LastError(), L"service manager: cannot be opened");
    return RC_OPEN_SCM_FAILED;
  }
  const ResultCode result = body(manager);
  os::CloseServiceHandle(manager);
  return result;
}

// Tells the waiting main thread that the phase is over. The main thread
// waits without a time-out, so a release the system refuses is tried again.
void ReportPhaseDone() {
  constexpr int kReleaseAttempts = 3;
  for (int attempt = 0; attempt < kReleaseAttempts; ++attempt) {
    if (os::ReleaseSemaphoreOnce(g_workerDone)) return;
  }
}

int32_t FinishPhase(ResultCode result) {
  g_status = result;
  ReportPhaseDone();
  return result;
}

// A stop this run sends as a phase of its own: the service, and what it
// had to stop first, are noted as stopped by this run.
ResultCode StopAndNote(const wchar_t* name, ServiceLedger* ledger) {
  return WithManager([&](os::Handle manager) {
    StopOutcome outcome = StopOutcome::kNotAsked;
    const ResultCode result = StopServiceNamed(manager, name, Dependents::kStopFirst, ledger, &outcome);
    ledger->NoteStop(name, outcome);
    return result;
  });
}

bool IsRunningAgain(os::Handle manager, const wchar_t* name) {
  os::Handle service = os::OpenServiceForControl(manager, name);
  if (service == nullptr) return true;  // the stop finds out why
  os::ServiceStatus status = {};
  const bool stopped = os::QueryServiceState(service, &status) && status.currentState == os::kServiceStopped;
  os::CloseServiceHandle(service);
  return !stopped;
}

}  // namespace

ServiceRecord& ServiceLedger::Of(const wchar_t* name) {
  for (ServiceRecord& record : records_) {
    if (SameIgnoringAsciiCase(record.name, name)) return record;
  }
  records_.push_back(ServiceRecord());
  records_.back().name = name;
  return records_.back();
}

void ServiceLedger::NoteStop(const wchar_t* name, StopOutcome outcome) {
  if (outcome == StopOutcome::kNotAsked) return;
  ServiceRecord& record = Of(name);
  if (record.stop == StopOutcome::kNotAsked) stopOrder_.push_back(record.name);
  record.stop = outcome;
}

void ServiceLedger::Carry(const wchar_t* name) {
  for (const std::wstring& carried : carried_) {
    if (SameIgnoringAsciiCase(carried, name)) return;
  }
  carried_.push_back(Of(name).name);
}

void ServiceLedger::TakeCarriedAsStopped() {
  for (const std::wstring& name : carried_) {
    ServiceRecord& record = Of(name.c_str());
    if (record.stateFound == 0 || record.stateFound == os::kServiceStopped) record.stateFound = os::kServiceRunning;
    NoteStop(name.c_str(), StopOutcome::kStopped);
  }
}

void ServiceLedger::NoteStart(const wchar_t* name) {
  const ServiceRecord& record = Of(name);
  for (const std::wstring& started : startOrder_) {
    if (started == record.name) return;
  }
  startOrder_.push_back(record.name);
}

ResultCode SurveyServices(ServiceLedger* ledger) {
  return WithManager([&](os::Handle manager) { return SurveyWithManager(manager, ledger); });
}

ResultCode ControlNamedService(ServiceAction action, const wchar_t* serviceName, ServiceLedger* ledger) {
  if (action == kServiceStop) return StopAndNote(serviceName, ledger);
  return WithManager([&](os::Handle manager) { return StartServiceNamed(manager, serviceName, ledger); });
}

// Each worker writes g_status before releasing g_workerDone; the main thread
// reads it, and the ledger, only after its wait returns.
int32_t SurveyServicesWorker(void* ledger) {
  return FinishPhase(SurveyServices(static_cast<ServiceLedger*>(ledger)));
}

// The second service is left alone when the first one fails.
int32_t StopServicesWorker(void* ledger) {
  g_status = RC_UNKNOWN;
  auto* services = static_cast<ServiceLedger*>(ledger);
  ResultCode result = ControlNamedService(kServiceStop, kProductServices[0], services);
  g_status = result;
  if (result == RC_SUCCEED) result = ControlNamedService(kServiceStop, kProductServices[1], services);
  return FinishPhase(result);
}

int32_t StopAgainWorker(void* ledger) {
  auto* services = static_cast<ServiceLedger*>(ledger);
  std::vector<std::wstring> names(std::begin(kProductServices), std::end(kProductServices));
  for (const std::wstring& name : services->StopOrder()) {
    if (!IsProductService(name)) names.push_back(name);
  }
  ResultCode result = RC_SUCCEED;
  for (const std::wstring& name : names) {
    if (result != RC_SUCCEED) break;
    const bool again = WithManager([&](os::Handle manager) {
                         return IsRunningAgain(manager, name.c_str()) ? RC_RUN_SERVICE_FAILED : RC_SUCCEED;
                       }) != RC_SUCCEED;
    if (!again) continue;
    LogEvent(L"service %ls: not stopped when looked at again; stopping it again", name.c_str());
    result = StopAndNote(name.c_str(), services);
  }
  return FinishPhase(result);
}

int32_t StartServicesWorker(void* ledger) {
  auto* services = static_cast<ServiceLedger*>(ledger);
  ResultCode result = ControlNamedService(kServiceStart, kProductServices[0], services);
  if (result == RC_SUCCEED) result = ControlNamedService(kServiceStart, kProductServices[1], services);
  // Then the services that depend on them, which the stop phase stopped,
  // the last stopped first.
  const std::vector<std::wstring> stopped = services->StopOrder();
  for (auto it = stopped.rbegin(); it != stopped.rend() && result == RC_SUCCEED; ++it) {
    if (!IsProductService(*it)) result = ControlNamedService(kServiceStart, it->c_str(), services);
  }
  for (const std::wstring& name : services->Carried()) {
    if (result != RC_SUCCEED || IsProductService(name)) continue;
    bool stoppedHere = false;
    for (const std::wstring& other : stopped) stoppedHere = stoppedHere || SameIgnoringAsciiCase(other, name);
    if (!stoppedHere) result = ControlNamedService(kServiceStart, name.c_str(), services);
  }
  return FinishPhase(result);
}

int32_t AwaitStoppedWorker(void* ledger) {
  auto* services = static_cast<ServiceLedger*>(ledger);
  const std::vector<std::wstring> stopped = services->StopOrder();
  ResultCode result = RC_SUCCEED;
  for (auto it = stopped.begin(); it != stopped.end() && result == RC_SUCCEED; ++it) {
    if (services->Of(it->c_str()).stop != StopOutcome::kStillStopping) continue;
    result = WithManager([&](os::Handle manager) {
      os::Handle service = os::OpenServiceForControl(manager, it->c_str());
      if (service == nullptr) {
        LogFailure(os::LastError(), L"service %ls: cannot be opened", it->c_str());
        return RC_OPEN_SERVICE_FAILED;
      }
      LogEvent(L"service %ls: still stopping; waiting for it to stop", it->c_str());
      const ResultCode reached = AwaitState(service, it->c_str(), os::kServiceStopped, RC_STOP_SERVICE_FAILED);
      os::CloseServiceHandle(service);
      return reached;
    });
    if (result == RC_SUCCEED) services->NoteStop(it->c_str(), StopOutcome::kStopped);
  }
  return FinishPhase(result);
}

int32_t RestartStoppedServicesWorker(void* ledger) {
  auto* services = static_cast<ServiceLedger*>(ledger);
  // A start that fails on the way (the manager busy, a query refused) is
  // tried once more after the others: the put-back is what leaves the
  // product running.
  constexpr int kPasses = 2;
  std::vector<std::wstring> left(services->StopOrder().rbegin(), services->StopOrder().rend());
  ResultCode first = RC_SUCCEED;
  for (int pass = 0; pass < kPasses && !left.empty(); ++pass) {
    std::vector<std::wstring> failed;
    first = RC_SUCCEED;
    for (const std::wstring& name : left) {
      const ResultCode result = ControlNamedService(kServiceStart, name.c_str(), services);
      if (result == RC_SUCCEED) continue;
      failed.push_back(name);
      if (first == RC_SUCCEED) first = result;
    }
    left.swap(failed);
  }
  return FinishPhase(first);
}

int32_t StopStartedServicesWorker(void* ledger) {
  auto* services = static_cast<ServiceLedger*>(ledger);
  ResultCode first = RC_SUCCEED;
  const std::vector<std::wstring> started = services->StartOrder();
  for (auto it = started.rbegin(); it != started.rend(); ++it) {
    // What it started goes down again without counting as stopped by the
    // stop phase; a running dependent it has to stop first is noted as
    // stopped, and so goes back up with the others.
    const ResultCode result = WithManager([&](os::Handle manager) {
      StopOutcome outcome = StopOutcome::kNotAsked;
      return StopServiceNamed(manager, it->c_str(), Dependents::kStopFirst, services, &outcome);
    });
    if (first == RC_SUCCEED) first = result;
  }
  return FinishPhase(first);
}
