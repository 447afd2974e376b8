// Stopping and starting the product's services, and the worker bodies that
// run each phase off the main thread.
#include <algorithm>
#include <cstdint>

#include "shared/shared.h"
#include "system/system.h"

namespace {

// Waits for the service to reach `wanted`. Each poll queries, sleeps, and only
// then tests the state from that query. A query that fails ends the wait as
// if the service had got there; the later steps find out if it has not.
//
// A stop sleeps a fixed pause per poll and gives up after eight polls. A
// start sleeps the service's own hint per poll, cut to kStartPollCapMs so
// that the run keeps looking at a service that may be up long before its
// hint is over. The cut must not shorten the wait: a start gives up only
// when the sleeps add up to the eight polls' hints (at once for a hint of
// 0), and never past kStartWaitLimitMs, so that a nonsensical hint cannot
// hold the run for days. Polls beyond the eighth sleep what is left of
// that budget, at most kStartPollCapMs, so the wait always ends.
ResultCode AwaitState(os::Handle service, ServiceAction action, uint32_t wanted,
                      ResultCode gaveUp) {
  uint64_t budgetMs = 0;
  uint64_t sleptMs = 0;
  for (int polls = 0;; ++polls) {
    os::ServiceStatus status = {};
    if (!os::QueryServiceState(service, &status)) return RC_SUCCEED;
    uint32_t pause = kStopPollMs;
    if (action == kServiceStart) {
      if (polls < kServicePollLimit) {
        budgetMs += status.waitHint;
        pause = status.waitHint < kStartPollCapMs ? status.waitHint : kStartPollCapMs;
      } else {
        const uint64_t left = std::min(budgetMs, kStartWaitLimitMs) - sleptMs;
        pause = static_cast<uint32_t>(std::min<uint64_t>(left, kStartPollCapMs));
      }
    }
    os::SleepMs(pause);
    sleptMs += pause;
    if (status.currentState == wanted) return RC_SUCCEED;
    if (polls + 1 >= kServicePollLimit &&
        (action == kServiceStop || sleptMs >= std::min(budgetMs, kStartWaitLimitMs))) {
      return gaveUp;
    }
  }
}

// Everything after the service is open; the caller closes the handles.
ResultCode ControlOpenService(ServiceAction action, os::Handle service, const wchar_t* name) {
  os::ServiceStatus status = {};
  if (!os::QueryServiceState(service, &status)) return RC_QUERY_SERVICE_FAILED;

  if (action == kServiceStart) {
    // Running or on its way somewhere: counts as started.
    if (status.currentState != os::kServiceStopped) return RC_SUCCEED;
    if (!os::RequestServiceStart(service)) return RC_RUN_SERVICE_FAILED;
    g_servicesStarted.push_back(name);
    return AwaitState(service, action, os::kServiceRunning, RC_START_SERVICE_FAILED);
  }

  if (status.currentState != os::kServiceRunning) return RC_SUCCEED;
  if (!os::RequestServiceStop(service)) return RC_STOP_SERVICE_FAILED;
  g_servicesStopped.push_back(name);
  return AwaitState(service, action, os::kServiceStopped, RC_STOP_SERVICE_FAILED);
}

// Tells the waiting main thread that the phase is over. The main thread
// waits without a time-out, so a release the system refuses is tried again.
void ReportPhaseDone() {
  constexpr int kReleaseAttempts = 3;
  for (int attempt = 0; attempt < kReleaseAttempts; ++attempt) {
    if (os::ReleaseSemaphoreOnce(g_workerDone)) return;
  }
}

}  // namespace

ResultCode ControlNamedService(ServiceAction action, const wchar_t* serviceName) {
  os::Handle manager = os::OpenServiceManager();
  if (manager == nullptr) return RC_OPEN_SCM_FAILED;

  ResultCode result = RC_OPEN_SERVICE_FAILED;
  os::Handle service = os::OpenServiceForControl(manager, serviceName);
  if (service != nullptr) {
    result = ControlOpenService(action, service, serviceName);
    os::CloseServiceHandle(service);
  }
  os::CloseServiceHandle(manager);
  return result;
}

// Each worker writes g_status before releasing g_workerDone; the main thread
// reads it only after its wait returns. The second service is left alone
// when the first one fails.
std::vector<std::wstring> g_servicesStopped;
std::vector<std::wstring> g_servicesStarted;

int32_t StopServicesWorker() {
  g_status = RC_UNKNOWN;
  g_servicesStopped.clear();
  ResultCode result = ControlNamedService(kServiceStop, kProductServices[0]);
  g_status = result;
  if (result == RC_SUCCEED) {
    result = ControlNamedService(kServiceStop, kProductServices[1]);
    g_status = result;
  }
  ReportPhaseDone();
  return result;
}

int32_t StartServicesWorker() {
  g_servicesStarted.clear();
  ResultCode result = ControlNamedService(kServiceStart, kProductServices[0]);
  if (result == RC_SUCCEED) result = ControlNamedService(kServiceStart, kProductServices[1]);
  g_status = result;
  ReportPhaseDone();
  return result;
}

int32_t RestartStoppedServicesWorker() {
  ResultCode result = RC_SUCCEED;
  for (auto name = g_servicesStopped.rbegin(); name != g_servicesStopped.rend(); ++name) {
    const ResultCode started = ControlNamedService(kServiceStart, name->c_str());
    if (result == RC_SUCCEED) result = started;
  }
  g_status = result;
  ReportPhaseDone();
  return result;
}

int32_t StopStartedServicesWorker() {
  ResultCode result = RC_SUCCEED;
  const std::vector<std::wstring> started = g_servicesStarted;
  for (auto name = started.rbegin(); name != started.rend(); ++name) {
    const ResultCode stopped = ControlNamedService(kServiceStop, name->c_str());
    if (result == RC_SUCCEED) result = stopped;
  }
  g_status = result;
  ReportPhaseDone();
  return result;
}
