// Stopping and starting the product's services, and the worker bodies that
// run each phase off the main thread.
#include "shared/shared.h"
#include "system/system.h"

namespace {

// How long a poll sleeps: a fixed pause while stopping; while starting, the
// service's own hint, cut to kStartPollCapMs so that a nonsensical hint
// cannot hold the update for days.
uint32_t PollPause(ServiceAction action, const os::ServiceStatus& status) {
  if (action == kServiceStop) return kStopPollMs;
  return status.waitHint < kStartPollCapMs ? status.waitHint : kStartPollCapMs;
}

// Waits for the service to reach `wanted`. Each poll queries, sleeps, and only
// then tests the state from that query. A query that fails ends the wait as
// if the service had got there; the later steps find out if it has not.
ResultCode AwaitState(os::Handle service, ServiceAction action, uint32_t wanted,
                      ResultCode gaveUp) {
  for (int polls = 0; polls < kServicePollLimit; ++polls) {
    os::ServiceStatus status = {};
    if (!os::QueryServiceState(service, &status)) return RC_SUCCEED;
    os::SleepMs(PollPause(action, status));
    if (status.currentState == wanted) return RC_SUCCEED;
  }
  return gaveUp;
}

// Everything after the service is open; the caller closes the handles.
ResultCode ControlOpenService(ServiceAction action, os::Handle service) {
  os::ServiceStatus status = {};
  if (!os::QueryServiceState(service, &status)) return RC_QUERY_SERVICE_FAILED;

  if (action == kServiceStart) {
    // Running or on its way somewhere: counts as started.
    if (status.currentState != os::kServiceStopped) return RC_SUCCEED;
    if (!os::RequestServiceStart(service)) return RC_RUN_SERVICE_FAILED;
    return AwaitState(service, action, os::kServiceRunning, RC_START_SERVICE_FAILED);
  }

  if (status.currentState != os::kServiceRunning) return RC_SUCCEED;
  if (!os::RequestServiceStop(service)) return RC_STOP_SERVICE_FAILED;
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
    result = ControlOpenService(action, service);
    os::CloseServiceHandle(service);
  }
  os::CloseServiceHandle(manager);
  return result;
}

// Each worker writes g_status before releasing g_workerDone; the main thread
// reads it only after its wait returns. The second service is left alone
// when the first one fails.
int32_t StopServicesWorker() {
  g_status = RC_UNKNOWN;
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
  ResultCode result = ControlNamedService(kServiceStart, kProductServices[0]);
  if (result == RC_SUCCEED) result = ControlNamedService(kServiceStart, kProductServices[1]);
  g_status = result;
  ReportPhaseDone();
  return result;
}
