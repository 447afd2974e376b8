// Starting and stopping one service, and the two phase workers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/fake_platform.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"

namespace {

using Sleeps = std::vector<uint32_t>;
using Names = std::vector<std::wstring>;
constexpr uint32_t kStopped = os::kServiceStopped;
constexpr uint32_t kRunning = os::kServiceRunning;

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    ledger_ = ServiceLedger();
  }
  void TearDown() override { EXPECT_EQ(fake::OpenServiceHandles(), 0); }

  // fake::AddService hands back a reference that the next AddService may
  // move, so each test sets up one service through this.
  static fake::Service& Service(uint32_t state, std::vector<uint32_t> afterRequest = {}) {
    fake::Service& s = fake::AddService(L"QlSvc");
    s.state = state;
    s.afterRequest = std::move(afterRequest);
    return s;
  }

  ServiceLedger ledger_;
};

TEST_F(ServiceControlTest, StopWaitsTenSecondsPerPollUntilStopped) {
  struct Case {
    std::vector<uint32_t> afterRequest;
    ResultCode result;
    Sleeps sleeps;
  };
  const Case cases[] = {
      {{}, RC_SUCCEED, Sleeps(1, 10000)},                        // stopped at the first poll
      {{fake::kStopPending, kStopped}, RC_SUCCEED, Sleeps(2, 10000)},  // at the second
      {{fake::kStopPending}, RC_STOP_SERVICE_FAILED, Sleeps(8, 10000)},  // never
  };
  for (const Case& c : cases) {
    fake::Reset();
    fake::Service& s = Service(kRunning, c.afterRequest);
    EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), c.result);
    EXPECT_EQ(s.stopRequests, 1);
    EXPECT_EQ(fake::Sleeps(), c.sleeps);
    EXPECT_EQ(fake::OpenServiceHandles(), 0);
  }
}

// Windows lets a running module be renamed, so any state but STOPPED must
// be brought to STOPPED before the modules are touched.
TEST_F(ServiceControlTest, StopBringsTheServiceToStoppedWhateverStateItIsFoundIn) {
  struct Case {
    const char* what;
    std::vector<uint32_t> found;  // states of the queries before any request
    std::vector<uint32_t> afterStop;
    ResultCode result;
    int stopRequests;
    size_t sleeps;
    bool listed;  // brought down by this run
  };
  const uint32_t pausePending = os::kServicePausePending, paused = os::kServicePaused;
  const Case cases[] = {
      {"stopped", {kStopped}, {}, RC_SUCCEED, 0, 0, false},
      {"stopping", {fake::kStopPending, fake::kStopPending, kStopped}, {}, RC_SUCCEED, 0, 2, false},
      {"stopping for good", {fake::kStopPending}, {}, RC_STOP_SERVICE_FAILED, 0, 8, false},
      {"starting", {fake::kStartPending, kRunning}, {fake::kStopPending, kStopped}, RC_SUCCEED, 1, 3, true},
      {"paused", {paused}, {kStopped}, RC_SUCCEED, 1, 1, true},
      {"pausing", {pausePending, paused}, {kStopped}, RC_SUCCEED, 1, 2, true},
      {"starting, then stopping for good", {fake::kStartPending, kRunning}, {fake::kStopPending},
       RC_STOP_SERVICE_FAILED, 1, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    ledger_ = ServiceLedger();
    fake::Service& s = Service(c.found[0], c.afterStop);
    s.beforeRequest = c.found;
    EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), c.result);
    EXPECT_EQ(s.stopRequests, c.stopRequests);
    EXPECT_EQ(fake::Sleeps(), Sleeps(c.sleeps, 10000));
    EXPECT_EQ(ledger_.StopOrder(), c.listed ? Names{L"QlSvc"} : Names{});
    if (c.result == RC_SUCCEED) {
      EXPECT_EQ(s.state, kStopped);
    }
  }
}

// A service that reports STOPPED may keep its process a while longer,
// holding its files: the stop waits (at most 30 s) for a process of its own.
TEST_F(ServiceControlTest, StopWaitsForTheServicesOwnProcessToEnd) {
  struct Case {
    uint32_t lingerMs;  // after STOPPED, which the first poll sees 10 s later
    bool shared;
    uint64_t endMs;     // when the stop step is over
    bool ended;
  };
  const Case cases[] = {
      {0, false, 10000, true},
      {35000, false, 35000, true},
      {60000, false, 40000, false},  // waited for 30 s, then the run goes on
      {60000, true, 10000, false},   // a shared process is not waited for
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lingerMs);
    fake::Reset();
    fake::Service& s = Service(kRunning);
    s.processId = fake::AddProcess(L"qlsvc.exe");
    s.processLingerMs = c.lingerMs;
    s.sharedProcess = c.shared;
    const uint32_t process = s.processId;
    EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), RC_SUCCEED);
    EXPECT_EQ(fake::NowMs(), c.endMs);
    EXPECT_EQ(fake::Running(process), !c.ended);
    EXPECT_EQ(fake::CallCount("OpenProcessForWait"), c.shared ? 0 : 1);
    EXPECT_EQ(fake::OpenKernelHandles(), 0);
  }

  // The process is held from the first query that names it, and let go on
  // every way out, a failed stop included.
  fake::Reset();
  fake::Service& stuck = Service(kRunning, {fake::kStopPending});
  stuck.processId = fake::AddProcess(L"qlsvc.exe");
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::CallCount("OpenProcessForWait"), 1);
  EXPECT_EQ(fake::CallCount("WaitForProcessEnd"), 0);
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
}
TEST_F(ServiceControlTest, RefusedStopGivesNineWithoutWaiting) {
  Service(kRunning).refuseStop = true;
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_TRUE(fake::Sleeps().empty());
}

TEST_F(ServiceControlTest, StartSleepsTheHintBetweenOneAndTenSeconds) {
  struct Case {
    uint32_t hint;
    uint32_t sleep;
  };
  for (const Case& c : {Case{0, 1000}, Case{300, 1000}, Case{2500, 2500}, Case{0xFFFFFFFFu, 10000}}) {
    SCOPED_TRACE(c.hint);
    fake::Reset();
    fake::Service& s = Service(kStopped, {fake::kStartPending, fake::kStartPending, kRunning});
    s.waitHint = c.hint;
    EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
    EXPECT_EQ(s.startRequests, 1);
    EXPECT_EQ(fake::Sleeps(), Sleeps(2, c.sleep));  // none once it runs
  }
}

// StartServiceW returns while the service still starts, often with a hint
// of 0. The wait gives up only when the service has shown no progress for
// eight hints, never sooner than 30 s, and always at ten minutes.
TEST_F(ServiceControlTest, StartWaitsWhileTheServiceMakesProgress) {
  struct Case {
    const char* what;
    uint32_t hint;
    bool checkPointAdvances;
    int pendingQueries;  // queries that still see START_PENDING
    ResultCode result;
    uint64_t waitedMs;
  };
  const Case cases[] = {
      {"hint 0, up after 25 s", 0, false, 25, RC_SUCCEED, 25000},
      {"hint 0, no progress", 0, false, 1000, RC_START_SERVICE_FAILED, 30000},
      {"hint 0, checkpoint advancing for 5 minutes", 0, true, 300, RC_SUCCEED, 300000},
      {"hint 0, checkpoint advancing for ever", 0, true, 100000, RC_START_SERVICE_FAILED, 600000},
      {"hint 2.5 s, no progress", 2500, false, 1000, RC_START_SERVICE_FAILED, 30000},
      {"hint 10.001 s, no progress", 10001, false, 1000, RC_START_SERVICE_FAILED, 80008},
      {"hint 30 s, up after 100 s", 30000, false, 10, RC_SUCCEED, 100000},
      {"hint 30 s, no progress", 30000, false, 1000, RC_START_SERVICE_FAILED, 240000},
      {"hint 49 days, no progress", 0xFFFFFFFFu, false, 1000, RC_START_SERVICE_FAILED, 600000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    std::vector<uint32_t> states(c.pendingQueries, fake::kStartPending);
    states.push_back(kRunning);
    fake::Service& s = Service(kStopped, states);
    s.waitHint = c.hint;
    s.checkPointAdvances = c.checkPointAdvances;
    EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), c.result);
    EXPECT_EQ(fake::NowMs(), c.waitedMs);
    for (uint32_t sleep : fake::Sleeps()) EXPECT_LE(sleep, 10000u);
    EXPECT_GE(fake::Sleeps().size(), 8u);
  }

  // A service that falls back to STOPPED will not start by itself.
  fake::Reset();
  Service(kStopped, {fake::kStartPending, kStopped});
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_START_SERVICE_FAILED);
  EXPECT_EQ(fake::NowMs(), 2000u);
}

TEST_F(ServiceControlTest, StartLeavesARunningOrPendingServiceAlone) {
  for (uint32_t state : {kRunning, fake::kStartPending}) {
    fake::Reset();
    fake::Service& s = Service(state);
    EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
    EXPECT_EQ(s.startRequests, 0);
    EXPECT_TRUE(fake::Sleeps().empty());
  }
  // One still stopping is not started: it is waited for, then started.
  fake::Reset();
  fake::Service& stopping = Service(fake::kStopPending);
  stopping.stopTakesMs = 1;
  stopping.stopsAtMs = 45000;
  stopping.waitHint = 20000;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_EQ(stopping.startRequests, 1);
  EXPECT_EQ(stopping.state, kRunning);
  EXPECT_GE(fake::NowMs(), 45000u);
  // One that never stops is given up after the start wait, not started.
  fake::Reset();
  fake::Service& stuck = Service(fake::kStopPending);
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(stuck.startRequests, 0);
  EXPECT_EQ(fake::NowMs(), kStartWaitMinMs);
}

// Started by something else between the query and the request: started.
// Disabled: left as the admin set it when it was not running before this
// run; a failure when this run stopped it.
TEST_F(ServiceControlTest, StartCountsAlreadyRunningAndLeavesADisabledServiceTheRunFoundStopped) {
  fake::Service& raced = Service(kStopped);
  raced.startedByOther = true;
  ledger_ = ServiceLedger();
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_EQ(raced.state, kRunning);
  EXPECT_EQ(ledger_.StartOrder(), Names{});  // not this run's doing

  fake::Reset();
  ledger_ = ServiceLedger();
  fake::Service& disabled = Service(kStopped);
  disabled.disabled = true;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_EQ(disabled.state, kStopped);
  EXPECT_EQ(disabled.startRequests, 1);

  fake::Reset();
  fake::Service& disabledSince = Service(kRunning);
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), RC_SUCCEED);
  disabledSince.disabled = true;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_RUN_SERVICE_FAILED);
  ledger_ = ServiceLedger();
}

// A start that timed out (a loaded machine) is asked again; one that keeps
// timing out gives 10 after three requests.
TEST_F(ServiceControlTest, TimedOutStartIsAskedAgainThenGivesTen) {
  fake::Service& slow = Service(kStopped);
  slow.startTimeouts = 2;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_EQ(slow.state, kRunning);
  EXPECT_EQ(slow.startRequests, 3);

  fake::Reset();
  fake::Service& never = Service(kStopped);
  never.startTimeouts = fake::kAlways;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(never.startRequests, 3);
  EXPECT_EQ(never.state, kStopped);

  // A manager busy starting another service is asked again for a minute.
  fake::Reset();
  fake::Service& locked = Service(kStopped);
  locked.lockedStarts = 5;
  locked.startTimeouts = 2;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_EQ(locked.state, kRunning);

  fake::Reset();
  fake::Service& lockedForGood = Service(kStopped);
  lockedForGood.lockedStarts = fake::kAlways;
  const uint64_t before = fake::NowMs();
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(lockedForGood.state, kStopped);
  EXPECT_GE(fake::NowMs() - before, kLockedStartWaitMs);
}

TEST_F(ServiceControlTest, ManagerOrServiceMissing) {
  Service(kRunning);
  EXPECT_EQ(ControlNamedService(kServiceStop, L"NoSuchSvc", &ledger_), RC_OPEN_SERVICE_FAILED);
  EXPECT_EQ(fake::OpenServiceHandles(), 0);

  fake::SetServiceManagerAvailable(false);
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), RC_OPEN_SCM_FAILED);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
}

TEST_F(ServiceControlTest, FirstQueryFailingGivesEightWithoutARequest) {
  for (ServiceAction action : {kServiceStart, kServiceStop}) {
    fake::Reset();
    fake::Service& s = Service(action == kServiceStart ? kStopped : kRunning);
    s.failQueriesFrom = 0;
    EXPECT_EQ(ControlNamedService(action, L"QlSvc", &ledger_), RC_QUERY_SERVICE_FAILED);
    EXPECT_EQ(s.startRequests + s.stopRequests, 0);
    EXPECT_EQ(fake::OpenServiceHandles(), 0);
  }
}

TEST_F(ServiceControlTest, QueryFailingWhilePollingEndsTheWaitWithZero) {
  // Query 0 is the state check, 1 the first poll (still pending), 2 fails.
  fake::Service& stopping = Service(kRunning, {fake::kStopPending});
  stopping.failQueriesFrom = 2;
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_EQ(fake::Sleeps(), Sleeps(1, 10000));
  EXPECT_EQ(fake::OpenServiceHandles(), 0);

  fake::Reset();
  fake::Service& starting = Service(kStopped, {fake::kStartPending});
  starting.failQueriesFrom = 1;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc", &ledger_), RC_SUCCEED);
  EXPECT_TRUE(fake::Sleeps().empty());
}

// ---- workers ----

class ServiceWorkerTest : public ServiceControlTest {
 protected:
  void SetUp() override {
    ServiceControlTest::SetUp();
    fake::AddService(L"QlSvc");
    fake::AddService(L"QlProfileSvc");
    g_status = 42;
    releases_ = 0;
    g_workerDone = os::CreateCountingSemaphore(0, 97005083);
    ASSERT_NE(g_workerDone, nullptr);
  }
  void TearDown() override {
    os::CloseKernelHandle(g_workerDone);
    g_workerDone = nullptr;
    EXPECT_EQ(fake::OpenKernelHandles(), 0);
    ServiceControlTest::TearDown();
  }
  static inline int releases_ = 0;
  static fake::Service& First() { return *fake::FindService(L"QlSvc"); }
  static fake::Service& Second() { return *fake::FindService(L"QlProfileSvc"); }

  // The worker's result also sits in g_status, and the semaphore was
  // released exactly once.
  static void ExpectFinished(ResultCode returned, ResultCode expected) {
    EXPECT_EQ(returned, expected);
    EXPECT_EQ(g_status.load(), expected);
    EXPECT_EQ(fake::CallCount("ReleaseSemaphoreOnce"), ++releases_);
    EXPECT_TRUE(os::WaitWithoutTimeout(g_workerDone));
  }
};

TEST_F(ServiceWorkerTest, StopWorkerStopsBothInOrder) {
  static ResultCode statusAtStart;
  fake::SetCallObserver([](const std::string& function) {
    if (function == "OpenServiceManager" && fake::CallCount(function) == 1) statusAtStart = g_status;
  });
  ExpectFinished(StopServicesWorker(&ledger_), RC_SUCCEED);
  fake::SetCallObserver(nullptr);
  EXPECT_EQ(statusAtStart, RC_UNKNOWN);
  EXPECT_EQ(First().state, kStopped);
  EXPECT_EQ(Second().state, kStopped);
  EXPECT_EQ(fake::Sleeps(), Sleeps(2, 10000));
}

TEST_F(ServiceWorkerTest, StopWorkerLeavesTheSecondAloneWhenTheFirstFails) {
  First().refuseStop = true;
  ExpectFinished(StopServicesWorker(&ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(Second().stopRequests, 0);
  EXPECT_EQ(Second().state, kRunning);
}

TEST_F(ServiceWorkerTest, StopWorkerReportsTheSecondServicesFailure) {
  Second().refuseStop = true;
  ExpectFinished(StopServicesWorker(&ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(First().state, kStopped);
}

TEST_F(ServiceWorkerTest, StartWorkerStartsBoth) {
  First().state = kStopped;
  Second().state = kStopped;
  ExpectFinished(StartServicesWorker(&ledger_), RC_SUCCEED);
  EXPECT_EQ(First().state, kRunning);
  EXPECT_EQ(Second().state, kRunning);
}

TEST_F(ServiceWorkerTest, StartWorkerLeavesTheSecondAloneWhenTheFirstFails) {
  First().state = kStopped;
  First().startTimeouts = fake::kAlways;
  Second().state = kStopped;
  ExpectFinished(StartServicesWorker(&ledger_), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(Second().startRequests, 0);
  EXPECT_EQ(Second().state, kStopped);
}

TEST_F(ServiceWorkerTest, StartWorkerReportsTheSecondServicesFailure) {
  First().state = kStopped;
  Second().state = kStopped;
  Second().startTimeouts = fake::kAlways;
  ExpectFinished(StartServicesWorker(&ledger_), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(First().state, kRunning);
}

// Running services that depend on QlSvc make Windows refuse its stop: they
// are stopped first (deepest first) and started again after the product's
// services; a dependent that was not running is left alone.
TEST_F(ServiceWorkerTest, DependentsAreStoppedFirstAndStartedAfterTheProduct) {
  fake::Service& direct = fake::AddService(L"QlVpnSvc");
  direct.dependsOn = {L"QlSvc"};
  fake::Service& indirect = fake::AddService(L"QlVpnUi");
  indirect.dependsOn = {L"qlvpnsvc"};
  fake::Service& idle = fake::AddService(L"QlIdleSvc");
  idle.dependsOn = {L"QlSvc"};
  idle.state = kStopped;

  ExpectFinished(StopServicesWorker(&ledger_), RC_SUCCEED);
  EXPECT_EQ(ledger_.StopOrder(), (Names{L"QlVpnUi", L"QlVpnSvc", L"QlSvc", L"QlProfileSvc"}));
  for (const wchar_t* name : {L"QlSvc", L"QlProfileSvc", L"QlVpnSvc", L"QlVpnUi"}) {
    EXPECT_EQ(fake::FindService(name)->state, kStopped) << name;
  }
  EXPECT_EQ(fake::CallCount("ListActiveDependents"), 1);
  EXPECT_EQ(First().stopRequests, 2);  // refused, then taken

  ExpectFinished(StartServicesWorker(&ledger_), RC_SUCCEED);
  EXPECT_EQ(ledger_.StartOrder(), (Names{L"QlSvc", L"QlProfileSvc", L"QlVpnSvc", L"QlVpnUi"}));
  EXPECT_EQ(fake::FindService(L"QlVpnUi")->state, kRunning);
  EXPECT_EQ(fake::FindService(L"QlIdleSvc")->startRequests, 0);
  EXPECT_LT(fake::FindService(L"QlVpnSvc")->lastStartOrder, fake::FindService(L"QlVpnUi")->lastStartOrder);
}

TEST_F(ServiceWorkerTest, DependentsThatCannotBeListedOrStoppedFailTheStop) {
  fake::AddService(L"QlVpnSvc").dependsOn = {L"QlSvc"};
  fake::FailCall("ListActiveDependents", 1);
  ExpectFinished(StopServicesWorker(&ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(First().state, kRunning);
  EXPECT_EQ(ledger_.StopOrder(), Names{});

  fake::FindService(L"QlVpnSvc")->refuseStop = true;
  g_status = 42;
  ExpectFinished(StopServicesWorker(&ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(First().state, kRunning);
  EXPECT_EQ(Second().stopRequests, 0);
}

// A dependent the survey did not see, running but disabled, is not stopped:
// nothing could start it again.
TEST_F(ServiceWorkerTest, AnUnsurveyedDisabledDependentIsNotStopped) {
  fake::Service& vpn = fake::AddService(L"QlVpnSvc");
  vpn.dependsOn = {L"QlSvc"};
  vpn.disabled = true;
  ExpectFinished(StopServicesWorker(&ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::FindService(L"QlVpnSvc")->stopRequests, 0);
  EXPECT_EQ(First().state, kRunning);
}

// A found-stopped or found-stopping service is not this run's to start again.
TEST_F(ServiceWorkerTest, StopWorkerListsOnlyWhatItBroughtDown) {
  First().state = fake::kStopPending;
  First().beforeRequest = {fake::kStopPending, kStopped};
  ExpectFinished(StopServicesWorker(&ledger_), RC_SUCCEED);
  EXPECT_EQ(ledger_.StopOrder(), Names{L"QlProfileSvc"});
}

// The put-back after a failure: every service the stop phase brought down
// is started again, the last stopped first, each whatever the others gave.
TEST_F(ServiceWorkerTest, RestartStoppedTriesEveryServiceInReverseOrder) {
  fake::AddService(L"QlVpnSvc").dependsOn = {L"QlSvc"};
  ExpectFinished(StopServicesWorker(&ledger_), RC_SUCCEED);
  ASSERT_EQ(ledger_.StopOrder(), (Names{L"QlVpnSvc", L"QlSvc", L"QlProfileSvc"}));
  Second().startTimeouts = fake::kAlways;
  g_status = 42;
  ExpectFinished(RestartStoppedServicesWorker(&ledger_), RC_RUN_SERVICE_FAILED);
  fake::Service& dependent = *fake::FindService(L"QlVpnSvc");
  EXPECT_EQ(Second().startRequests, 2 * kStartRequestTries) << "tried once more after the others";
  EXPECT_EQ(First().state, kRunning);
  EXPECT_EQ(dependent.state, kRunning);
  EXPECT_LT(First().lastStartOrder, dependent.lastStartOrder);
  EXPECT_LT(dependent.lastStartOrder, Second().lastStartOrder);
}

TEST_F(ServiceWorkerTest, StopStartedStopsWhatTheStartPhaseStartedInReverseOrder) {
  First().state = kStopped;
  Second().state = kStopped;
  ExpectFinished(StartServicesWorker(&ledger_), RC_SUCCEED);
  ASSERT_EQ(ledger_.StartOrder(), (Names{L"QlSvc", L"QlProfileSvc"}));
  Second().refuseStop = true;
  g_status = 42;
  ExpectFinished(StopStartedServicesWorker(&ledger_), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(Second().state, kRunning);
  EXPECT_EQ(First().state, kStopped);  // tried although the other failed
  EXPECT_LT(Second().lastStopOrder, First().lastStopOrder);
}

// What an admin reads afterwards: for each service its state before, what
// was asked, what came back (the Windows error and its text) and how long
// it took; for each program whether it ended within the wait.
TEST_F(ServiceWorkerTest, TheRunLogTellsWhatEachServiceAndProgramDid) {
  char pattern[] = "/tmp/qlpatch-log-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  BeginRunLog();
  AttachRunLog(std::wstring(folder.begin(), folder.end()).c_str());

  First().state = os::kServicePaused;
  First().processId = fake::AddProcess(L"qlsvc.exe");
  First().processLingerMs = 50000;
  Second().state = kStopped;
  ExpectFinished(StopServicesWorker(&ledger_), RC_SUCCEED);
  const uint32_t tray = fake::AddProcess(L"qltray.exe");
  fake::FindProcess(tray)->exitDelayMs = 20000;
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 1);
  First().disabled = true;
  ExpectFinished(StartServicesWorker(&ledger_), RC_RUN_SERVICE_FAILED);
  EndRunLog();

  std::ifstream in(folder + "/qlpatch.log", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string log = text.str();
  std::filesystem::remove_all(folder);
  for (const char* line : {
           "service QlSvc: paused before the stop\r\n",
           "service QlSvc: stop asked\r\n",
           "service QlSvc: stopped after 1 polls\r\n",
           "service QlSvc: its process 100 still runs 30000 ms after the service stopped; going on\r\n",
           "service QlSvc: stop gave 0, took 40000 ms\r\n",
           "service QlProfileSvc: stopped before the stop\r\n",
           "program qltray.exe (process 104): still running 10000 ms after it was ended; going on\r\n",
           "service QlSvc: the start was refused: error 1058 (The service cannot be started, either because it "
           "is disabled or because it has no enabled devices associated with it.)\r\n",
           "service QlSvc: start gave 10, took 0 ms\r\n",
       }) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nnot in:\n" << log;
  }
}

}  // namespace
