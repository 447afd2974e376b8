// Stand-in service control manager: services move between states as each
// test scripts them, refuse controls as Windows does (dependents running,
// pending, disabled, already running), and run in processes that may
// outlive their STOPPED.
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace {

bool IsPending(uint32_t state) {
  return state == os::kServiceStartPending || state == os::kServiceStopPending ||
         state == os::kServiceContinuePending || state == os::kServicePausePending;
}

bool DependsOn(const fake::Service& service, const std::wstring& name) {
  for (const std::wstring& dependency : service.dependsOn) {
    if (Lower(dependency) == Lower(name)) return true;
  }
  return false;
}

// Every service that depends on `name`, directly or not, those further
// down the chain first (the order in which Windows lists them: the one
// started last first).
void CollectDependents(const std::wstring& name, std::vector<const fake::Service*>* out) {
  for (const fake::Service& s : M().services) {
    if (!DependsOn(s, name)) continue;
    CollectDependents(s.name, out);
    if (std::find(out->begin(), out->end(), &s) == out->end()) out->push_back(&s);
  }
}

// The service has just come to `state`: a stopped service's own process
// ends a moment later, a starting one gets a process.
void EnterState(fake::Service* s, uint32_t state) {
  const uint32_t before = s->state;
  s->state = state;
  if (s->processId == 0 || s->sharedProcess) return;
  fake::Process* process = FindProcessLocked(s->processId);
  if (state == os::kServiceStopped && before != os::kServiceStopped) {
    if (process != nullptr && process->endsAtMs == fake::kNever) {
      process->endsAtMs = M().nowMs + s->processLingerMs;
    }
  } else if (state != os::kServiceStopped && (process == nullptr || !RunningLocked(*process))) {
    const std::wstring image = process != nullptr ? process->exeFile : s->name + L".exe";
    s->processId = AddProcessLocked(image);
  }
}

}  // namespace

namespace os {

// ---- services ----
Handle OpenServiceManager() {
  if (Call("OpenServiceManager")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (!M().managerAvailable) {
    t_lastError = 5;
    return nullptr;
  }
  auto* handle = new FakeServiceHandle{true, L""};
  M().serviceHandles.insert(handle);
  return handle;
}

Handle OpenServiceForControl(Handle manager, const wchar_t* name) {
  if (Call("OpenServiceForControl")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* owner = static_cast<FakeServiceHandle*>(manager);
  if (!M().serviceHandles.count(owner) || !owner->isManager) return nullptr;
  if (!Find(name)) {
    t_lastError = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
    return nullptr;
  }
  auto* handle = new FakeServiceHandle{false, name};
  M().serviceHandles.insert(handle);
  return handle;
}

static fake::Service* ServiceOf(Handle handle) {
  auto* h = static_cast<FakeServiceHandle*>(handle);
  if (!M().serviceHandles.count(h) || h->isManager) return nullptr;
  return Find(h->service);
}

bool QueryServiceState(Handle service, ServiceStatus* status) {
  if (Call("QueryServiceState")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) {
    t_lastError = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  int index = s->queries++;
  if (s->failQueriesFrom >= 0 && index >= s->failQueriesFrom) {
    t_lastError = 5;
    return false;
  }
  const std::vector<uint32_t>& script = s->queriesSinceRequest >= 0 ? s->afterRequest : s->beforeRequest;
  if (s->state == kServiceStopPending && s->stopTakesMs > 0) {
    if (M().nowMs >= s->stopsAtMs) EnterState(s, kServiceStopped);
  } else if (!script.empty()) {
    const int step = s->queriesSinceRequest >= 0 ? s->queriesSinceRequest : index;
    EnterState(s, script[std::min<size_t>(static_cast<size_t>(step), script.size() - 1)]);
  }
  if (s->queriesSinceRequest >= 0) ++s->queriesSinceRequest;
  if (s->checkPointAdvances && IsPending(s->state)) ++s->checkPoint;
  status->currentState = s->state;
  status->waitHint = s->waitHint;
  status->checkPoint = IsPending(s->state) ? s->checkPoint : 0;
  status->processId = s->state == kServiceStopped ? 0 : s->processId;
  status->sharesProcess = s->sharedProcess;
  return true;
}

bool ReadServiceStartType(Handle manager, const wchar_t* name, uint32_t* startType) {
  if (Call("ReadServiceStartType")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* owner = static_cast<FakeServiceHandle*>(manager);
  if (!M().serviceHandles.count(owner) || !owner->isManager) {
    t_lastError = 6;
    return false;
  }
  const fake::Service* s = Find(name);
  if (s == nullptr) {
    t_lastError = 1060;
    return false;
  }
  *startType = s->disabled ? kServiceDisabled : 2;  // SERVICE_AUTO_START
  return true;
}

bool RequestServiceStart(Handle service) {
  if (Call("RequestServiceStart")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) {
    t_lastError = 6;
    return false;
  }
  ++s->startRequests;
  s->lastStartOrder = ++M().serviceRequests;
  if (s->disabled) {
    t_lastError = kErrorServiceDisabled;
    return false;
  }
  if (s->lockedStarts > 0) {
    --s->lockedStarts;
    t_lastError = kErrorServiceDatabaseLocked;
    return false;
  }
  if (s->startedByOther && s->state == kServiceStopped) EnterState(s, kServiceRunning);
  if (s->state != kServiceStopped) {
    t_lastError = kErrorServiceAlreadyRunning;
    return false;
  }
  if (s->startTimeouts > 0) {
    --s->startTimeouts;
    M().nowMs += fake::kRequestTimeoutMs;
    t_lastError = kErrorServiceRequestTimeout;
    return false;
  }
  s->queriesSinceRequest = 0;
  EnterState(s, s->afterRequest.empty() ? kServiceRunning : kServiceStartPending);
  return true;
}

bool RequestServiceStop(Handle service) {
  if (Call("RequestServiceStop")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) {
    t_lastError = 6;
    return false;
  }
  ++s->stopRequests;
  s->lastStopOrder = ++M().serviceRequests;
  if (s->refuseStop) {
    t_lastError = 1052;  // ERROR_INVALID_SERVICE_CONTROL
    return false;
  }
  if (s->state == kServiceStopped) {
    t_lastError = kErrorServiceNotActive;
    return false;
  }
  if (s->state == kServiceStartPending || s->state == kServiceStopPending) {
    t_lastError = kErrorServiceCannotAcceptControl;
    return false;
  }
  for (const fake::Service& other : M().services) {
    if (DependsOn(other, s->name) && other.state != kServiceStopped) {
      t_lastError = kErrorDependentServicesRunning;
      return false;
    }
  }
  s->queriesSinceRequest = 0;
  s->stopsAtMs = M().nowMs + s->stopTakesMs;
  EnterState(s, s->afterRequest.empty() && s->stopTakesMs == 0 ? kServiceStopped : kServiceStopPending);
  if (s->stopTimesOut) {
    M().nowMs += fake::kRequestTimeoutMs;
    t_lastError = kErrorServiceRequestTimeout;
    return false;
  }
  return true;
}

void CloseServiceHandle(Handle handle) {
  Call("CloseServiceHandle");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* h = static_cast<FakeServiceHandle*>(handle);
  if (M().serviceHandles.erase(h)) delete h;
}

bool ListActiveDependents(Handle manager, const wchar_t* name, ServiceName* names, int capacity, int* count) {
  *count = 0;
  if (Call("ListActiveDependents")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* owner = static_cast<FakeServiceHandle*>(manager);
  if (!M().serviceHandles.count(owner) || !owner->isManager) {
    t_lastError = 6;
    return false;
  }
  if (!Find(name)) {
    t_lastError = 1060;
    return false;
  }
  std::vector<const fake::Service*> dependents;
  CollectDependents(name, &dependents);
  int n = 0;
  for (const fake::Service* d : dependents) {
    if (d->state == kServiceStopped) continue;
    if (n == capacity) {
      t_lastError = 234;  // ERROR_MORE_DATA
      *count = 0;
      return false;
    }
    const size_t chars = std::min<size_t>(d->name.size(), kServiceNameChars - 1);
    std::copy(d->name.begin(), d->name.begin() + chars, names[n].name);
    names[n].name[chars] = 0;
    ++n;
  }
  *count = n;
  return true;
}

}  // namespace os

namespace fake_internal {

void StartTriggeredServices(const char* function, int occurrence) {
  for (fake::Service& s : M().services) {
    if (s.startAgainOn == function && s.startAgainOccurrence == occurrence && s.state == os::kServiceStopped) {
      s.queriesSinceRequest = -1;
      ++s.startsByTrigger;
      EnterState(&s, os::kServiceRunning);
    }
  }
}

}  // namespace fake_internal

namespace fake {

Service& AddService(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().services.push_back(Service());
  M().services.back().name = name;
  return M().services.back();
}

Service* FindService(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return Find(name);
}

void SetServiceManagerAvailable(bool available) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().managerAvailable = available;
}

}  // namespace fake
