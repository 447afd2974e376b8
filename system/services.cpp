// Stopping and starting the product's services, and the worker bodies that
// run each phase off the main thread.
#include <algorithm>
#include <cstdint>

#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/system.h"

std::vector<std::wstring> g_servicesStopped;
std::vector<std::wstring> g_servicesStarted;

namespace {

using NameList = std::vector<std::wstring>;

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

bool SameName(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == 0;
}

bool Listed(const NameList& list, const wchar_t* name) {
  for (const std::wstring& entry : list) {
    if (SameName(entry, name)) return true;
  }
  return false;
}

bool IsProductService(const std::wstring& name) {
  for (const wchar_t* product : kProductServices) {
    if (SameName(name, product)) return true;
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

void NoteProcess(const wchar_t* name, const os::ServiceStatus& status, ServiceProcess* process) {
  if (process->tried || status.processId == 0 || status.inSystemProcess) return;
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

ResultCode StopServiceNamed(os::Handle manager, const wchar_t* name, bool stopDependents, NameList* stopped);

// Stops the running services that depend on `name`, in the order Windows
// lists them (the one started last first).
ResultCode StopDependents(os::Handle manager, const wchar_t* name, NameList* stopped) {
  // On the heap: the worker's stack is small.
  std::vector<os::ServiceName> dependents(kMaxDependentServices);
  int count = 0;
  if (!os::ListActiveDependents(manager, name, dependents.data(), kMaxDependentServices, &count)) {
    LogFailure(os::LastError(), L"service %ls: the services that depend on it cannot be listed", name);
    return RC_STOP_SERVICE_FAILED;
  }
  LogEvent(L"service %ls: %d running services depend on it; stopping them first", name, count);
  for (int i = 0; i < count; ++i) {
    const ResultCode result = StopServiceNamed(manager, dependents[i].name, false, stopped);
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}

// Brings an open service to STOPPED from whatever state it is in: a
// pending state is waited through, a running or paused service is sent the
// stop control. Each poll queries, sleeps kStopPollMs and only then tests
// the state from that query; kServicePollLimit polls bound the service.
// *broughtDown tells whether this run's stop control stopped it.
ResultCode StopOpenService(os::Handle manager, os::Handle service, const wchar_t* name, bool stopDependents,
                           NameList* stopped, ServiceProcess* process, bool* broughtDown) {
  os::ServiceStatus status = {};
  if (!os::QueryServiceState(service, &status)) {
    LogFailure(os::LastError(), L"service %ls: its state cannot be read", name);
    return RC_QUERY_SERVICE_FAILED;
  }
  LogEvent(L"service %ls: %ls before the stop", name, StateName(status.currentState));
  NoteProcess(name, status, process);
  bool stopSent = false;
  bool dependentsStopped = false;
  for (int polls = 0;;) {
    if (status.currentState == os::kServiceStopped) {
      *broughtDown = stopSent;
      if (polls > 0) LogEvent(L"service %ls: stopped after %d polls", name, polls);
      return RC_SUCCEED;
    }
    if (!stopSent && (status.currentState == os::kServiceRunning || status.currentState == os::kServicePaused)) {
      if (os::RequestServiceStop(service)) {
        stopSent = true;
        LogEvent(L"service %ls: stop asked", name);
      } else {
        const uint32_t error = os::LastError();
        if (error == os::kErrorDependentServicesRunning && stopDependents && !dependentsStopped) {
          dependentsStopped = true;
          const ResultCode result = StopDependents(manager, name, stopped);
          if (result != RC_SUCCEED) return result;
          continue;  // and ask again
        }
        // Refused for good, unless the service has just moved on by itself
        // (pending: no control accepted now; stopped: not active).
        if (error != os::kErrorServiceCannotAcceptControl && error != os::kErrorServiceNotActive) {
          LogFailure(error, L"service %ls: the stop was refused", name);
          return RC_STOP_SERVICE_FAILED;
        }
        LogFailure(error, L"service %ls: the stop was not taken; waiting on", name);
      }
    }
    if (polls == kServicePollLimit) {
      LogEvent(L"service %ls: still %ls after %d polls of %u ms", name, StateName(status.currentState), polls,
               kStopPollMs);
      return RC_STOP_SERVICE_FAILED;
    }
    if (!os::QueryServiceState(service, &status)) {
      const uint32_t error = os::LastError();
      if (!stopSent) {
        LogFailure(error, L"service %ls: its state cannot be read", name);
        return RC_QUERY_SERVICE_FAILED;
      }
      // After a stop request a failed query ends the wait: the later steps
      // find out if the service is not stopped.
      LogFailure(error, L"service %ls: its state cannot be read while it stops; taken as stopped", name);
      *broughtDown = true;
      return RC_SUCCEED;
    }
    NoteProcess(name, status, process);
    os::SleepMs(kStopPollMs);
    ++polls;
  }
}

// Opens the service by name on an open manager, stops it, waits for its
// process, and adds it to `stopped` when this run brought it down.
ResultCode StopServiceNamed(os::Handle manager, const wchar_t* name, bool stopDependents, NameList* stopped) {
  const uint64_t startMs = os::TickMs();
  os::Handle service = os::OpenServiceForControl(manager, name);
  if (service == nullptr) {
    LogFailure(os::LastError(), L"service %ls: cannot be opened", name);
    return RC_OPEN_SERVICE_FAILED;
  }
  ServiceProcess process;
  bool broughtDown = false;
  const ResultCode result = StopOpenService(manager, service, name, stopDependents, stopped, &process, &broughtDown);
  if (result == RC_SUCCEED) {
    if (broughtDown) stopped->push_back(name);
    AwaitProcessEnd(name, &process);
  }
  CloseProcess(&process);
  os::CloseServiceHandle(service);
  LogEvent(L"service %ls: stop gave %d, took %u ms", name, result, MsSince(startMs));
  return result;
}

// Waits for a service whose start request was accepted to run. Each poll
// queries and, unless the service runs, sleeps its hint (kStartPollMinMs to
// kStartPollCapMs) and then tests the state from that query. A state or
// checkpoint that moves is progress.
ResultCode AwaitStart(os::Handle service, const wchar_t* name) {
  const uint64_t startMs = os::TickMs();
  uint64_t progressMs = startMs;
  uint32_t lastState = os::kServiceStartPending;
  uint32_t lastCheckPoint = 0;
  for (int polls = 1;; ++polls) {
    os::ServiceStatus status = {};
    if (!os::QueryServiceState(service, &status)) {
      // As after a stop request: the wait ends; the product's own checks
      // find a service that does not run.
      LogFailure(os::LastError(), L"service %ls: its state cannot be read while it starts; taken as started",
                 name);
      return RC_SUCCEED;
    }
    if (status.currentState == os::kServiceRunning) {
      LogEvent(L"service %ls: running after %d polls, took %u ms", name, polls, MsSince(startMs));
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
    if (status.currentState == os::kServiceStopped) {
      LogEvent(L"service %ls: stopped again while starting, after %u ms", name, MsSince(startMs));
      return RC_START_SERVICE_FAILED;
    }
    if (os::TickMs() >= deadline) {
      LogEvent(L"service %ls: still %ls after %d polls and %u ms (checkpoint %u, hint %u ms)", name,
               StateName(status.currentState), polls, MsSince(startMs), status.checkPoint, status.waitHint);
      return RC_START_SERVICE_FAILED;
    }
  }
}

// Starts a service by name on an open manager and waits for it; adds it to
// `started` (when given) once its start request is accepted.
ResultCode StartServiceNamed(os::Handle manager, const wchar_t* name, NameList* started) {
  const uint64_t startMs = os::TickMs();
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
  } else if (status.currentState != os::kServiceStopped) {
    // Running or on its way somewhere: counts as started.
    LogEvent(L"service %ls: %ls before the start; counts as started", name, StateName(status.currentState));
  } else if (!os::RequestServiceStart(service)) {
    const uint32_t error = os::LastError();
    if (error == os::kErrorServiceAlreadyRunning) {
      // Something else (a watchdog, a delayed start) was first.
      LogFailure(error, L"service %ls: stopped before the start, then started by something else", name);
    } else if (error == os::kErrorServiceDisabled && !Listed(g_servicesStopped, name)) {
      // It did not run before this run either: left as the admin set it.
      LogFailure(error, L"service %ls: stopped and disabled before this run; left so", name);
    } else {
      LogFailure(error, L"service %ls: the start was refused", name);
      result = RC_RUN_SERVICE_FAILED;
    }
  } else {
    LogEvent(L"service %ls: stopped before the start; start asked", name);
    if (started != nullptr) started->push_back(name);
    result = AwaitStart(service, name);
  }
  os::CloseServiceHandle(service);
  LogEvent(L"service %ls: start gave %d, took %u ms", name, result, MsSince(startMs));
  return result;
}

ResultCode WithManager(ServiceAction action, const wchar_t* name, NameList* list) {
  os::Handle manager = os::OpenServiceManager();
  if (manager == nullptr) {
    LogFailure(os::LastError(), L"service manager: cannot be opened");
    return RC_OPEN_SCM_FAILED;
  }
  const ResultCode result =
      action == kServiceStop ? StopServiceNamed(manager, name, true, list) : StartServiceNamed(manager, name, list);
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

}  // namespace

ResultCode ControlNamedService(ServiceAction action, const wchar_t* serviceName) {
  return WithManager(action, serviceName, action == kServiceStop ? &g_servicesStopped : &g_servicesStarted);
}

// Each worker writes g_status before releasing g_workerDone; the main thread
// reads it, and the lists, only after its wait returns. The second service
// is left alone when the first one fails.
int32_t StopServicesWorker() {
  g_status = RC_UNKNOWN;
  g_servicesStopped.clear();
  ResultCode result = ControlNamedService(kServiceStop, kProductServices[0]);
  g_status = result;
  if (result == RC_SUCCEED) result = ControlNamedService(kServiceStop, kProductServices[1]);
  return FinishPhase(result);
}

int32_t StartServicesWorker() {
  g_servicesStarted.clear();
  ResultCode result = ControlNamedService(kServiceStart, kProductServices[0]);
  if (result == RC_SUCCEED) result = ControlNamedService(kServiceStart, kProductServices[1]);
  // Then the services that depend on them, which the stop phase stopped,
  // the last stopped first.
  const NameList stopped = g_servicesStopped;
  for (auto it = stopped.rbegin(); it != stopped.rend() && result == RC_SUCCEED; ++it) {
    if (!IsProductService(*it)) result = ControlNamedService(kServiceStart, it->c_str());
  }
  return FinishPhase(result);
}

int32_t RestartStoppedServicesWorker() {
  ResultCode first = RC_SUCCEED;
  const NameList stopped = g_servicesStopped;
  for (auto it = stopped.rbegin(); it != stopped.rend(); ++it) {
    const ResultCode result = WithManager(kServiceStart, it->c_str(), nullptr);
    if (first == RC_SUCCEED) first = result;
  }
  return FinishPhase(first);
}

int32_t StopStartedServicesWorker() {
  ResultCode first = RC_SUCCEED;
  const NameList started = g_servicesStarted;
  for (auto it = started.rbegin(); it != started.rend(); ++it) {
    NameList stopped;
    const ResultCode result = WithManager(kServiceStop, it->c_str(), &stopped);
    if (first == RC_SUCCEED) first = result;
    // Running services it had to stop first go back with the others.
    for (const std::wstring& name : stopped) {
      if (!Listed(started, name.c_str()) && !Listed(g_servicesStopped, name.c_str())) {
        g_servicesStopped.insert(g_servicesStopped.begin(), name);
      }
    }
  }
  return FinishPhase(first);
}
