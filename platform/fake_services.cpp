// Stand-in service control manager.
#include "platform/fake_machine.h"

using namespace fake_internal;

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
  if (!s) return false;
  int index = s->queries++;
  if (s->failQueriesFrom >= 0 && index >= s->failQueriesFrom) {
    t_lastError = 5;
    return false;
  }
  if (s->queriesSinceRequest >= 0) {
    if (!s->afterRequest.empty()) {
      size_t i = std::min<size_t>(s->queriesSinceRequest, s->afterRequest.size() - 1);
      s->state = s->afterRequest[i];
    }
    ++s->queriesSinceRequest;
  }
  status->currentState = s->state;
  status->waitHint = s->waitHint;
  return true;
}

bool RequestServiceStart(Handle service) {
  if (Call("RequestServiceStart")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) return false;
  ++s->startRequests;
  if (s->refuseStart || s->state != kServiceStopped) {
    t_lastError = s->refuseStart ? 1053 : 1056;  // no response / already running
    return false;
  }
  s->queriesSinceRequest = 0;
  if (s->afterRequest.empty()) s->state = kServiceRunning;
  return true;
}

bool RequestServiceStop(Handle service) {
  if (Call("RequestServiceStop")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) return false;
  ++s->stopRequests;
  if (s->refuseStop || s->state != kServiceRunning) {
    t_lastError = s->refuseStop ? 1051 : 1062;  // dependent services / not active
    return false;
  }
  s->queriesSinceRequest = 0;
  if (s->afterRequest.empty()) s->state = kServiceStopped;
  return true;
}

void CloseServiceHandle(Handle handle) {
  Call("CloseServiceHandle");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* h = static_cast<FakeServiceHandle*>(handle);
  if (M().serviceHandles.erase(h)) delete h;
}

}  // namespace os

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
