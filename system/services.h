// The product's services: brought down before its modules are replaced and
// started again after, each phase on a worker thread. What the run found of
// each service and what it did to it is kept in the run's ServiceLedger;
// the start phase and the put-back work from it, never from what the
// services look like later.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "shared/result_codes.h"

enum ServiceAction { kServiceStart = 0, kServiceStop = 1 };

constexpr int kServicePollLimit = 8;  // stop polls per service
constexpr uint32_t kStopPollMs = 10000;
// A start poll sleeps the service's wait hint, at least kStartPollMinMs and
// at most kStartPollCapMs. The wait gives up when the service has shown no
// progress (state or checkpoint) for eight hints, but never sooner than
// kStartWaitMinMs, and in any case after kStartWaitLimitMs. The put-back
// waits for a service still stopping by the same rules.
constexpr uint32_t kStartPollMinMs = 1000;
constexpr uint32_t kStartPollCapMs = 10000;
constexpr uint64_t kStartWaitMinMs = 30000;
constexpr uint64_t kStartWaitLimitMs = 600000;
// Start requests per service when they time out: the manager waited its
// pipe timeout (30 s) for the service's process, which a loaded machine (a
// boot, a scan) can outlast once.
constexpr int kStartRequestTries = 3;
// A start the manager refuses as locked (ERROR_SERVICE_DATABASE_LOCKED: it
// is starting another service, as at a boot or a delayed automatic start)
// is asked again every kStartPollMinMs for up to kLockedStartWaitMs.
constexpr uint64_t kLockedStartWaitMs = 60000;
// How long a service's own process may take to end after it reported
// STOPPED.
constexpr uint32_t kServiceProcessWaitMs = 30000;
// The most running services that may depend on a product service.
constexpr int kMaxDependentServices = 64;
constexpr uint32_t kWorkerStackBytes = 51200;

// How this run's stop request for a service ended.
enum class StopOutcome {
  kNotAsked,       // this run sent it no stop (found stopped or stopping, or not reached)
  kStopped,        // sent a stop, and it reached STOPPED
  kStillStopping,  // sent a stop, and it had not stopped when its polls ran out
};

// One service as the run found it, and what the run did to it.
struct ServiceRecord {
  std::wstring name;
  uint32_t stateFound = 0;      // its state when the run first looked (0: never looked)
  uint32_t startTypeFound = 0;  // its start type then (os::kServiceDisabled ...)
  StopOutcome stop = StopOutcome::kNotAsked;
};

// The services one run deals with: the product's, and the services that
// depend on them.
class ServiceLedger {
 public:
  // The record of `name`, made (nothing found yet) when there is none. It
  // stays where it is while others are added.
  ServiceRecord& Of(const wchar_t* name);
  // A stop this run sent to `name` and how it ended, in the order sent.
  void NoteStop(const wchar_t* name, StopOutcome outcome);
  void NoteStart(const wchar_t* name);
  // A run that was cut off found `name` running and sent it a stop. This
  // run, which finishes that run's work, starts it with the others once it
  // has done so; its put-back leaves it as this run found it.
  void Carry(const wchar_t* name);
  const std::vector<std::wstring>& Carried() const { return carried_; }
  // The carried services count as found running and stopped by this run:
  // its put-back starts them again too.
  void TakeCarriedAsStopped();
  const std::deque<ServiceRecord>& Records() const { return records_; }
  // Names in the order this run sent them a stop / had a start accepted.
  const std::vector<std::wstring>& StopOrder() const { return stopOrder_; }
  const std::vector<std::wstring>& StartOrder() const { return startOrder_; }
  // Told just before a stop is sent to a service: a run cut off after it
  // must have it named where the next run reads what to start again.
  void OnStopping(std::function<void(const wchar_t* name)> notice) { stopping_ = std::move(notice); }
  void NoteStopping(const wchar_t* name) const {
    if (stopping_) stopping_(name);
  }

 private:
  std::function<void(const wchar_t* name)> stopping_;
  std::deque<ServiceRecord> records_;
  std::vector<std::wstring> stopOrder_;
  std::vector<std::wstring> startOrder_;
  std::vector<std::wstring> carried_;
};

// Reads the state and start type of each product service, and of each
// running service that depends on one, into `ledger`, changing nothing.
// 0, 6, 7 or 8; 9 for a service that runs while its start type is
// disabled: once stopped, no start could bring it back.
ResultCode SurveyServices(ServiceLedger* ledger);

// Starts or stops one service and waits for it. 0, 6, 7, 8, 9, 10 or 11.
// A stop brings the service to STOPPED whatever state it is in (stopping
// the running services that depend on it first), and waits for its own
// process to end. A start of a service still stopping waits for it to
// stop first; one the run found stopped and disabled is left so. Both
// note in `ledger` what they sent.
ResultCode ControlNamedService(ServiceAction action, const wchar_t* serviceName, ServiceLedger* ledger);

// Worker bodies, each given the run's ServiceLedger: each leaves its result
// in g_status, releases g_workerDone once and returns the result.
// SurveyServices.
int32_t SurveyServicesWorker(void* ledger);
// Stops QlSvc, then QlProfileSvc.
int32_t StopServicesWorker(void* ledger);
// Looks again: a product service, or one this run stopped, that runs again
// (started by a trigger, or by a dependent's start) is stopped again.
int32_t StopAgainWorker(void* ledger);
// Starts QlSvc, then QlProfileSvc, then the other services the stop phase
// stopped (dependents), the last stopped first, then those carried from a
// run that was cut off, up to the first failure.
int32_t StartServicesWorker(void* ledger);
// Waits, by the put-back's rules, for every service this run sent a stop
// that was still stopping when its polls ran out; one that gets there is
// noted as stopped. The first that does not gives 9, or a query's code.
int32_t AwaitStoppedWorker(void* ledger);
// Put-back of the stop phase: every service this run sent a stop is started
// again once it has stopped, the last stopped first; each is tried whatever
// the others gave. The first failure's code, or 0.
int32_t RestartStoppedServicesWorker(void* ledger);
// Put-back of the start phase: every service the start phase started is
// stopped, the last started first. The first failure's code, or 0.
int32_t StopStartedServicesWorker(void* ledger);
