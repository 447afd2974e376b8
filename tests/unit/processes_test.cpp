// Ending the product's programs by image name.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/fake_platform.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"

namespace {

class ProcessTerminationTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override { EXPECT_EQ(fake::OpenKernelHandles(), 0); }

  static bool Ended(uint32_t processId) {
    for (const fake::Process& p : fake::Processes()) {
      if (p.processId == processId) return p.terminated;
    }
    ADD_FAILURE() << "no process " << processId;
    return false;
  }
  static int EndedCount() {
    int count = 0;
    for (const fake::Process& p : fake::Processes()) count += p.terminated ? 1 : 0;
    return count;
  }
};

TEST_F(ProcessTerminationTest, NamesMatchWhateverTheirCase) {
  uint32_t other = fake::AddProcess(L"explorer.exe");
  uint32_t tray = fake::AddProcess(L"qltray.exe");
  uint32_t agent = fake::AddProcess(L"SVCDESKAGENT.EXE");
  EXPECT_EQ(TerminateProcessByName(L"QLTRAY.EXE"), 1);
  EXPECT_TRUE(Ended(tray));
  EXPECT_EQ(TerminateProcessByName(L"SvcDeskAgent.exe"), 1);
  EXPECT_TRUE(Ended(agent));
  EXPECT_FALSE(Ended(other));
}

TEST_F(ProcessTerminationTest, EveryInstanceIsEnded) {
  uint32_t first = fake::AddProcess(L"qltray.exe");
  uint32_t other = fake::AddProcess(L"explorer.exe");
  uint32_t second = fake::AddProcess(L"QlTray.exe");
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 1);
  EXPECT_TRUE(Ended(first));
  EXPECT_TRUE(Ended(second));
  EXPECT_FALSE(Ended(other));
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 0);
}

// The list is read once; while the tool waits for the first instance to
// end, the second ends by itself and its id goes to another program, which
// is left running.
uint32_t g_reusedId = 0;
TEST_F(ProcessTerminationTest, AnIdGivenToAnotherProgramSinceTheListIsLeftAlone) {
  fake::FindProcess(fake::AddProcess(L"qltray.exe"))->exitDelayMs = 3000;
  g_reusedId = fake::AddProcess(L"qltray.exe");
  fake::SetCallObserver([](const std::string& function) {
    if (function == "WaitForProcessEnd" && g_reusedId != 0) {
      fake::ReuseProcessId(std::exchange(g_reusedId, 0), L"lsass.exe");
    }
  });
  const uint32_t reused = fake::Processes().back().processId;
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 1);
  fake::SetCallObserver(nullptr);
  EXPECT_TRUE(fake::Running(reused));
  EXPECT_EQ(EndedCount(), 1);
}

TEST_F(ProcessTerminationTest, NoMatchTouchesNothing) {
  fake::AddProcess(L"qltray.exe.bak");
  fake::AddProcess(L"tray.exe");
  fake::AddProcess(L"");
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 0);
  EXPECT_EQ(EndedCount(), 0);
  EXPECT_EQ(fake::CallCount("OpenProcessForTerminate"), 0);
}

TEST_F(ProcessTerminationTest, OverlongImageNamesNeverMatch) {
  // Cut to the 63 characters that fit, the long name would equal the short one.
  const std::wstring name63 = std::wstring(59, L'q') + L".exe";
  fake::AddProcess(name63 + L"x");
  fake::AddProcess(std::wstring(259, L'Q'));
  uint32_t exact = fake::AddProcess(name63);
  EXPECT_EQ(TerminateProcessByName(name63.c_str()), 1);
  EXPECT_TRUE(Ended(exact));
  EXPECT_EQ(EndedCount(), 1);

  // A sought name that does not fit is not looked for.
  const std::wstring name64 = name63 + L"x";
  EXPECT_EQ(TerminateProcessByName(name64.c_str()), 0);
  EXPECT_EQ(EndedCount(), 1);
}

TEST_F(ProcessTerminationTest, UnreadableProcessListGivesZero) {
  uint32_t tray = fake::AddProcess(L"qltray.exe");
  fake::FailCall("SnapshotProcesses", 1);
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 0);
  fake::FailCall("FirstProcess", 1);
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 0);
  EXPECT_FALSE(Ended(tray));
}

TEST_F(ProcessTerminationTest, AProcessThatCannotBeOpenedStillCountsAsFound) {
  fake::AddProcess(L"qltray.exe");
  // The stand-in has no setter for this; the list itself is not const.
  const_cast<fake::Process&>(fake::Processes().back()).refuseOpen = true;
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 1);
  EXPECT_EQ(EndedCount(), 0);
  EXPECT_EQ(fake::CallCount("TerminateProcessHandle"), 0);
}

// TerminateProcess only begins ending a process: the program is waited for
// (at most 10 s) before the modules it may hold are touched.
TEST_F(ProcessTerminationTest, EachProgramIsWaitedForUntilItHasEnded) {
  struct Case {
    uint32_t exitDelayMs;
    uint64_t waitedMs;
    bool ended;
  };
  for (const Case& c : {Case{0, 0, true}, Case{4000, 4000, true}, Case{60000, 10000, false}}) {
    SCOPED_TRACE(c.exitDelayMs);
    fake::Reset();
    const uint32_t tray = fake::AddProcess(L"qltray.exe");
    fake::FindProcess(tray)->exitDelayMs = c.exitDelayMs;
    EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 1);
    EXPECT_TRUE(Ended(tray));
    EXPECT_EQ(fake::NowMs(), c.waitedMs);
    EXPECT_EQ(fake::Running(tray), !c.ended);
    EXPECT_EQ(fake::OpenKernelHandles(), 0);
  }

  // A failed TerminateProcess (a process already ending) is waited for too.
  fake::Reset();
  const uint32_t ending = fake::AddProcess(L"qltray.exe");
  fake::FindProcess(ending)->exitDelayMs = 3000;
  fake::FailCall("TerminateProcessHandle", 1);
  EXPECT_EQ(TerminateProcessByName(L"qltray.exe"), 1);
  EXPECT_EQ(fake::CallCount("WaitForProcessEnd"), 1);
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
}

// Eight programs that each outlive their end by a minute cost 80 s at most.
TEST_F(ProcessTerminationTest, ProductProgramsAreEachWaitedForAtMostTenSeconds) {
  for (const wchar_t* name : kProductProcesses) fake::FindProcess(fake::AddProcess(name))->exitDelayMs = 60000;
  EndProductPrograms();
  EXPECT_EQ(fake::NowMs(), 8u * kProgramEndWaitMs);
  EXPECT_EQ(fake::CallCount("WaitForProcessEnd"), 8);
}

}  // namespace
