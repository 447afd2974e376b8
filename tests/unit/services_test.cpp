// Starting and stopping one service, and the two phase workers.
#include <gtest/gtest.h>

#include <vector>

#include "platform/fake_platform.h"
#include "shared/shared.h"
#include "system/system.h"

namespace {

using Sleeps = std::vector<uint32_t>;
constexpr uint32_t kStopped = os::kServiceStopped;
constexpr uint32_t kRunning = os::kServiceRunning;

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override { EXPECT_EQ(fake::OpenServiceHandles(), 0); }

  // fake::AddService hands back a reference that the next AddService may
  // move, so each test sets up one service through this.
  static fake::Service& Service(uint32_t state, std::vector<uint32_t> afterRequest = {}) {
    fake::Service& s = fake::AddService(L"QlSvc");
    s.state = state;
    s.afterRequest = std::move(afterRequest);
    return s;
  }
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
    EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc"), c.result);
    EXPECT_EQ(s.stopRequests, 1);
    EXPECT_EQ(fake::Sleeps(), c.sleeps);
    EXPECT_EQ(fake::OpenServiceHandles(), 0);
  }
}

TEST_F(ServiceControlTest, StopLeavesAServiceThatIsNotRunningAlone) {
  for (uint32_t state : {kStopped, fake::kStopPending, fake::kStartPending}) {
    fake::Reset();
    fake::Service& s = Service(state);
    EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc"), RC_SUCCEED);
    EXPECT_EQ(s.stopRequests, 0);
    EXPECT_TRUE(fake::Sleeps().empty());
  }
}

TEST_F(ServiceControlTest, RefusedStopGivesNineWithoutWaiting) {
  Service(kRunning).refuseStop = true;
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc"), RC_STOP_SERVICE_FAILED);
  EXPECT_TRUE(fake::Sleeps().empty());
}

TEST_F(ServiceControlTest, StartSleepsTheHintAndGivesUpAfterEightPolls) {
  fake::Service& s = Service(kStopped, {fake::kStartPending});
  s.waitHint = 2500;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), RC_START_SERVICE_FAILED);
  EXPECT_EQ(s.startRequests, 1);
  EXPECT_EQ(fake::Sleeps(), Sleeps(8, 2500));

  fake::Reset();
  fake::Service& quick = Service(kStopped);
  quick.waitHint = 300;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), RC_SUCCEED);
  EXPECT_EQ(fake::Sleeps(), Sleeps(1, 300));
}

TEST_F(ServiceControlTest, StartPollNeverSleepsLongerThanTenSeconds) {
  fake::Service& s = Service(kStopped, {fake::kStartPending, fake::kStartPending, kRunning});
  s.waitHint = 0xFFFFFFFFu;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), RC_SUCCEED);
  EXPECT_EQ(fake::Sleeps(), Sleeps(3, 10000));

  // The cut polls do not shorten the wait: it ends when the sleeps add up
  // to the eight hints, or at ten minutes.
  struct Case {
    uint32_t hint;
    int pendingQueries;  // queries that still see START_PENDING
    ResultCode result;
    uint64_t waitedMs;
  };
  const Case cases[] = {
      {10001, 1000, RC_START_SERVICE_FAILED, 80008},
      {30000, 10, RC_SUCCEED, 110000},  // a healthy service that needs 100 s
      {30000, 1000, RC_START_SERVICE_FAILED, 240000},
      {0xFFFFFFFFu, 1000, RC_START_SERVICE_FAILED, 600000},
      {0, 1000, RC_START_SERVICE_FAILED, 0},  // eight polls at once
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hint);
    fake::Reset();
    std::vector<uint32_t> states(c.pendingQueries, fake::kStartPending);
    states.push_back(kRunning);
    fake::Service& slow = Service(kStopped, states);
    slow.waitHint = c.hint;
    EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), c.result);
    EXPECT_EQ(fake::NowMs(), c.waitedMs);
    for (uint32_t sleep : fake::Sleeps()) EXPECT_LE(sleep, 10000u);
    EXPECT_GE(fake::Sleeps().size(), 8u);
  }
}

TEST_F(ServiceControlTest, StartLeavesARunningOrPendingServiceAlone) {
  for (uint32_t state : {kRunning, fake::kStartPending, fake::kStopPending}) {
    fake::Reset();
    fake::Service& s = Service(state);
    EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), RC_SUCCEED);
    EXPECT_EQ(s.startRequests, 0);
    EXPECT_TRUE(fake::Sleeps().empty());
  }
}

TEST_F(ServiceControlTest, RefusedStartGivesTen) {
  Service(kStopped).refuseStart = true;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), RC_RUN_SERVICE_FAILED);
  EXPECT_TRUE(fake::Sleeps().empty());
}

TEST_F(ServiceControlTest, ManagerOrServiceMissing) {
  Service(kRunning);
  EXPECT_EQ(ControlNamedService(kServiceStop, L"NoSuchSvc"), RC_OPEN_SERVICE_FAILED);
  EXPECT_EQ(fake::OpenServiceHandles(), 0);

  fake::SetServiceManagerAvailable(false);
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc"), RC_OPEN_SCM_FAILED);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
}

TEST_F(ServiceControlTest, FirstQueryFailingGivesEightWithoutARequest) {
  for (ServiceAction action : {kServiceStart, kServiceStop}) {
    fake::Reset();
    fake::Service& s = Service(action == kServiceStart ? kStopped : kRunning);
    s.failQueriesFrom = 0;
    EXPECT_EQ(ControlNamedService(action, L"QlSvc"), RC_QUERY_SERVICE_FAILED);
    EXPECT_EQ(s.startRequests + s.stopRequests, 0);
    EXPECT_EQ(fake::OpenServiceHandles(), 0);
  }
}

TEST_F(ServiceControlTest, QueryFailingWhilePollingEndsTheWaitWithZero) {
  // Query 0 is the state check, 1 the first poll (still pending), 2 fails.
  fake::Service& stopping = Service(kRunning, {fake::kStopPending});
  stopping.failQueriesFrom = 2;
  EXPECT_EQ(ControlNamedService(kServiceStop, L"QlSvc"), RC_SUCCEED);
  EXPECT_EQ(fake::Sleeps(), Sleeps(1, 10000));
  EXPECT_EQ(fake::OpenServiceHandles(), 0);

  fake::Reset();
  fake::Service& starting = Service(kStopped, {fake::kStartPending});
  starting.failQueriesFrom = 1;
  EXPECT_EQ(ControlNamedService(kServiceStart, L"QlSvc"), RC_SUCCEED);
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
    g_workerDone = os::CreateCountingSemaphore(0, 97005083);
    ASSERT_NE(g_workerDone, nullptr);
  }
  void TearDown() override {
    os::CloseKernelHandle(g_workerDone);
    g_workerDone = nullptr;
    EXPECT_EQ(fake::OpenKernelHandles(), 0);
    ServiceControlTest::TearDown();
  }
  static fake::Service& First() { return *fake::FindService(L"QlSvc"); }
  static fake::Service& Second() { return *fake::FindService(L"QlProfileSvc"); }

  // The worker's result also sits in g_status, and the semaphore was
  // released exactly once.
  static void ExpectFinished(ResultCode returned, ResultCode expected) {
    EXPECT_EQ(returned, expected);
    EXPECT_EQ(g_status.load(), expected);
    EXPECT_EQ(fake::CallCount("ReleaseSemaphoreOnce"), 1);
    EXPECT_TRUE(os::WaitWithoutTimeout(g_workerDone));
  }
};

TEST_F(ServiceWorkerTest, StopWorkerStopsBothInOrder) {
  static ResultCode statusAtStart;
  fake::SetCallObserver([](const std::string& function) {
    if (function == "OpenServiceManager" && fake::CallCount(function) == 1) statusAtStart = g_status;
  });
  ExpectFinished(StopServicesWorker(), RC_SUCCEED);
  fake::SetCallObserver(nullptr);
  EXPECT_EQ(statusAtStart, RC_UNKNOWN);
  EXPECT_EQ(First().state, kStopped);
  EXPECT_EQ(Second().state, kStopped);
  EXPECT_EQ(fake::Sleeps(), Sleeps(2, 10000));
}

TEST_F(ServiceWorkerTest, StopWorkerLeavesTheSecondAloneWhenTheFirstFails) {
  First().refuseStop = true;
  ExpectFinished(StopServicesWorker(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(Second().stopRequests, 0);
  EXPECT_EQ(Second().state, kRunning);
}

TEST_F(ServiceWorkerTest, StopWorkerReportsTheSecondServicesFailure) {
  Second().refuseStop = true;
  ExpectFinished(StopServicesWorker(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(First().state, kStopped);
}

TEST_F(ServiceWorkerTest, StartWorkerStartsBoth) {
  First().state = kStopped;
  Second().state = kStopped;
  ExpectFinished(StartServicesWorker(), RC_SUCCEED);
  EXPECT_EQ(First().state, kRunning);
  EXPECT_EQ(Second().state, kRunning);
}

TEST_F(ServiceWorkerTest, StartWorkerLeavesTheSecondAloneWhenTheFirstFails) {
  First().state = kStopped;
  First().refuseStart = true;
  Second().state = kStopped;
  ExpectFinished(StartServicesWorker(), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(Second().startRequests, 0);
  EXPECT_EQ(Second().state, kStopped);
}

TEST_F(ServiceWorkerTest, StartWorkerReportsTheSecondServicesFailure) {
  First().state = kStopped;
  Second().state = kStopped;
  Second().refuseStart = true;
  ExpectFinished(StartServicesWorker(), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(First().state, kRunning);
}

}  // namespace
