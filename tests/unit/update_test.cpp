// The apply mode from start to end against the stand-in machine.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "shared/file_steps.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"
#include "tests/unit/test_support.h"

namespace {

const std::wstring kStopLine = L"Stopping QL service, it maybe take several seconds, please wait...\r\n";
const std::wstring kUpdateLine = L"Updating QL...\r\n";
const std::wstring kRestartLine = L"Restarting Durirave, please wait...\r\n";
const std::wstring kExitLine = L"Press any key to exit.\r\n";

class UpdateTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddProductServices();
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
    fake::AddProcess(L"explorer.exe");
    WriteDescription(Description("03", {"core.dll", "profiles.dll"}));
    for (const char* module : {"core.dll", "profiles.dll"}) {
      WriteFile(install_ + "/" + module, std::string("old ") + module);
      WriteFile(work_ + "/" + module, std::string("new ") + module);
    }
  }

  ResultCode Apply() {
    wchar_t name[] = L"qlpatch.exe";
    wchar_t* argv[] = {name, nullptr};
    return RunEntry(1, argv);
  }

  ResultCode Query() {
    wchar_t name[] = L"qlpatch.exe", flag[] = L"-c", mode[] = L"patch";
    wchar_t* argv[] = {name, flag, mode, nullptr};
    return RunEntry(3, argv);
  }

  ResultCode Undo() {
    wchar_t name[] = L"qlpatch.exe", flag[] = L"-c", mode[] = L"undo";
    wchar_t* argv[] = {name, flag, mode, nullptr};
    return RunEntry(3, argv);
  }

  int Ended() {
    int n = 0;
    for (const auto& p : fake::Processes()) n += p.terminated ? 1 : 0;
    return n;
  }

  void ExpectNothingTouched() {
    EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
    EXPECT_EQ(fake::FindService(L"QlProfileSvc")->stopRequests, 0);
    EXPECT_EQ(Ended(), 0);
    EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
    EXPECT_EQ(BackupRootEntries(), (std::vector<std::string>{"qlpatch.log"})) << "only the run log";
  }

  // The product as the run found it: the originals installed, no backup
  // copies, no record, both services running.
  void ExpectProductAsFound() {
    for (const char* module : {"core.dll", "profiles.dll"}) {
      EXPECT_EQ(ReadFile(install_ + "/" + module), std::string("old ") + module);
      EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo"));
    }
    EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
    EXPECT_FALSE(Exists(recordPath_));
    for (const wchar_t* service : kProductServices) {
      EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
    }
    EXPECT_EQ(fake::OpenKeys() + fake::OpenServiceHandles() + fake::OpenKernelHandles(), 0);
  }

  std::vector<std::string> BackupRootEntries() {
    std::vector<std::string> names;
    if (!Exists(install_ + "/UpdateBackup")) return names;
    for (const auto& entry : std::filesystem::directory_iterator(install_ + "/UpdateBackup")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string RunLog() { return ReadFile(install_ + "/UpdateBackup/qlpatch.log"); }
};

TEST_F(UpdateTest, FullSuccess) {
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(fake::Output(), kStopLine + kUpdateLine + kRestartLine +
                                L"Update patch succeed!!\r\n" + kExitLine);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "new profiles.dll");
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/core.dll"), "old core.dll");
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/profiles.dll"), "old profiles.dll");
  EXPECT_NE(ReadFile(recordPath_).find("<CurVersion>03</CurVersion>"), std::string::npos);
  for (const wchar_t* name : kProductServices) {
    EXPECT_EQ(fake::FindService(name)->state, os::kServiceRunning) << name;
  }
  EXPECT_EQ(Ended(), 8) << "each product program, and nothing else";
  EXPECT_FALSE(fake::Processes().back().terminated);
  // Two stops of one 10 s poll each; two starts that run at the first poll.
  EXPECT_EQ(fake::Sleeps(), (std::vector<uint32_t>{10000, 10000}));
  EXPECT_EQ(fake::OpenKeys() + fake::OpenServiceHandles() + fake::OpenKernelHandles(), 0);
  EXPECT_EQ(fake::CallCount("QueryKeyValue"), 3) << "each install value read once";

  // The order of the phases: stop, end programs, move files, start, record.
  const auto& log = fake::CallLog();
  auto first = [&](const std::string& call) {
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i] == call) return i;
    return log.size();
  };
  EXPECT_LT(first("RequestServiceStop"), first("TerminateProcessHandle"));
  EXPECT_LT(first("TerminateProcessHandle"), first("MoveFileTo"));
  EXPECT_LT(first("CopyFileOver"), first("RequestServiceStart"));
  // The record is the last file moved in place.
  size_t lastReplace = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == "ReplaceFileAtomically") lastReplace = i;
  }
  EXPECT_LT(first("RequestServiceStart"), lastReplace);

  // Asked again, the tool answers that the patch is in place.
  fake::Reset();
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  wchar_t name[] = L"qlpatch.exe", c[] = L"-c", patch[] = L"patch";
  wchar_t* argv[] = {name, c, patch, nullptr};
  EXPECT_EQ(RunEntry(3, argv), RC_PATCH_IS_LATEST);
}

TEST_F(UpdateTest, AlreadyLatestTouchesNothing) {
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>03</CurVersion></QL4.20></UpdateQL>");
  EXPECT_EQ(Apply(), RC_PATCH_IS_LATEST);
  EXPECT_EQ(fake::Output(), L"Patch is latest!\r\n" + kExitLine);
  EXPECT_EQ(fake::CallCount("OpenServiceManager"), 0);
  EXPECT_EQ(Ended(), 0);
}

TEST_F(UpdateTest, VersionMismatchTouchesNothing) {
  fake::SetMachineValue(kInstallKey, L"Version", L"4.10");
  EXPECT_EQ(Apply(), RC_VERSION_MISMATCH);
  EXPECT_EQ(fake::Output(), L"QL version unmatch!\r\n" + kExitLine);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup")) << "nothing written for another product, not even the log";
}

TEST_F(UpdateTest, FirstServiceNeverStopping) {
  fake::FindService(L"QlSvc")->afterRequest = {fake::kStopPending};
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::Output(), kStopLine + L"stop service error!\r\n" + kExitLine);
  // Eight stop polls; then the put-back waits for it to stop, by the start
  // wait's rules, and once more after the others, before it gives up on
  // starting it again.
  const std::vector<uint32_t> sleeps = fake::Sleeps();
  ASSERT_GE(sleeps.size(), 8u);
  EXPECT_EQ(std::vector<uint32_t>(sleeps.begin(), sleeps.begin() + 8), std::vector<uint32_t>(8, 10000));
  EXPECT_EQ(fake::NowMs(), 80000 + 2 * kStartWaitMinMs);
  EXPECT_EQ(fake::FindService(L"QlSvc")->startRequests, 0);
  EXPECT_EQ(fake::FindService(L"QlProfileSvc")->stopRequests, 0);
  EXPECT_EQ(Ended(), 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
}

// A stop whose handler answers after the manager's wait (1053) was taken:
// the run waits on through the polls, and patches once the service has
// stopped.
TEST_F(UpdateTest, StopAnsweredAfterTheManagersWaitIsWaitedFor) {
  fake::Service* profiles = fake::FindService(L"QlProfileSvc");
  profiles->stopTimesOut = true;
  profiles->stopTakesMs = 45000;
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "new profiles.dll");
  EXPECT_EQ(profiles->state, os::kServiceRunning);
  EXPECT_NE(RunLog().find("QlProfileSvc: the stop was not answered in time; waiting on"), std::string::npos);
}

TEST_F(UpdateTest, FailingCopyPutsTheProductBackAsItWasAndLogsWhy) {
  fake::FailCall("CopyFileOver", 2);
  EXPECT_EQ(Apply(), RC_COPY_FILE_FAILED);
  EXPECT_EQ(fake::Output(), kStopLine + kUpdateLine + L"copy file error!\r\n" + kExitLine);
  ExpectProductAsFound();
  const std::string log = RunLog();
  EXPECT_NE(log.find("module profiles.dll: the new copy cannot be copied in beside it and written through (1 tries): "
                     "error 31"),
            std::string::npos) << log;
  EXPECT_NE(log.find("put back: replace core.dll"), std::string::npos) << log;
  EXPECT_NE(log.find("outcome: 14 (copy file error!)"), std::string::npos) << log;
}

// A program list that cannot be read, or read to its end, is said in the log.
TEST_F(UpdateTest, AProgramListThatCannotBeReadIsLogged) {
  fake::FailCall("SnapshotProcesses", 1);
  fake::FailCall("NextProcess", fake::CallCount("NextProcess") + 1);
  EXPECT_EQ(Apply(), RC_SUCCEED);
  const std::string log = RunLog();
  EXPECT_NE(log.find("the running programs cannot be listed; any instance is left running: error 31"),
            std::string::npos) << log;
  EXPECT_NE(log.find("the list of running programs cannot be read to its end"), std::string::npos) << log;
}

TEST_F(UpdateTest, ServiceThatWillNotStartGetsTheOriginalsBack) {
  fake::FailCall("RequestServiceStart", 2);  // the second service on the new modules; the originals start
  EXPECT_EQ(Apply(), RC_RUN_SERVICE_FAILED);
  EXPECT_EQ(fake::Output(), kStopLine + kUpdateLine + kRestartLine + L"run service error!\r\n" + kExitLine);
  ExpectProductAsFound();
}

// Another program's lock on the record's bytes fails each read after the
// open: what was read is neither the record nor a blank one to lay anew.
TEST_F(UpdateTest, RecordWhoseBytesAreLockedIsNeitherTakenAsBlankNorReplaced) {
  MakeDirs(install_ + "/UpdateBackup");
  const std::string record = "<UpdateQL><QL4.10><CurVersion>07</CurVersion></QL4.10></UpdateQL>";
  WriteFile(recordPath_, record);
  fake::LockBytes(recordPath_);
  EXPECT_EQ(Query(), RC_XML_LOAD_FAILED);
  EXPECT_EQ(Apply(), RC_XML_LOAD_FAILED);
  EXPECT_EQ(ReadFile(recordPath_), record);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
}

// A record that cannot be written is no success: fleet detection would
// never see the patch. The modules stay replaced and the product runs; the
// next run finds the patch still to apply. A record another program keeps
// shut from the start may list a later patch: nothing is touched.
TEST_F(UpdateTest, RecordThatCannotBeWrittenEndsWithTwo) {
  MakeDirs(install_ + "/UpdateBackup");
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>05</CurVersion></QL4.20></UpdateQL>");
  fake::HoldFile(recordPath_, -1);
  EXPECT_EQ(Apply(), RC_XML_LOAD_FAILED);
  EXPECT_EQ(fake::Output(), L"load xml fail!\r\n" + kExitLine);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
  EXPECT_EQ(Query(), RC_XML_LOAD_FAILED);
  fake::HoldFile(recordPath_, 0);
  EXPECT_EQ(Query(), RC_PATCH_IS_LATEST);

  std::filesystem::remove(recordPath_);
  fake::HoldFile(recordPath_, -1);
  const size_t before = fake::Output().size();
  EXPECT_EQ(Apply(), RC_XML_LOAD_FAILED);
  EXPECT_EQ(fake::Output().substr(before), kStopLine + kUpdateLine + kRestartLine + L"load xml fail!\r\n" + kExitLine);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  fake::HoldFile(recordPath_, 0);
  wchar_t path[kPathChars] = {};
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_RECORD_MISSING);
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_PATCH_IS_LATEST);
}

// Windows refuses to write, flush, replace or delete a read-only file, and
// CopyFileW gives the copy the source's attributes; an antivirus scan holds
// a fresh file for a moment.
TEST_F(UpdateTest, ReadOnlyFilesAndPassingLocksDoNotStopTheApply) {
  fake::SetFileAttributesOf(work_ + "/core.dll", os::kAttributeReadOnly | os::kAttributeHidden);
  fake::SetFileAttributesOf(install_ + "/profiles.dll", os::kAttributeReadOnly | os::kAttributeSystem);
  fake::HoldFile(install_ + "/core.dll", 3);
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  uint32_t attributes = 0;
  ASSERT_TRUE(os::ReadFileAttributes(Wide(install_ + "/core.dll").c_str(), &attributes));
  EXPECT_EQ(attributes, 0u) << "the installed copy carries none of the source's attributes";
  // Seen held when the run began, read again once the product is stopped,
  // the hold waited out with growing pauses after the two stop polls.
  EXPECT_NE(RunLog().find("module core.dll: held open by another program; read again"), std::string::npos)
      << RunLog();
  EXPECT_NE(RunLog().find("module core.dll: its original kept as"), std::string::npos);
  EXPECT_EQ(std::vector<uint32_t>(fake::Sleeps().begin() + 2, fake::Sleeps().begin() + 4),
            (std::vector<uint32_t>{100, 200}));
}

// A file held open for good is given up after 30 s of tries, and the run
// puts back what it did.
// A module held open past the retries: the product runs whole on its
// originals again, the whole patch waits for the restart (3010), and the
// log names who held it. Until the restart an apply stops nothing and an
// undo takes the swap back, keeping other programs' renames; the restart
// puts the patch in place.
TEST_F(UpdateTest, ModuleHeldOpenForGoodIsPutInPlaceWholeAtTheRestart) {
  // Given with a closing separator, the install folder is written into the
  // renames without it: the tool still knows them for its own.
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_ + "\\"));
  const std::wstring other[] = {L"\\??\\C:\\Other\\a.tmp", L""};
  fake::AddPendingRename(other[0], other[1]);
  const std::wstring othersOnly = fake::PendingRenames();
  for (bool undoFirst : {true, false}) {
    fake::HoldFile(install_ + "/profiles.dll", -1);
    fake::SetFileHolders(install_ + "/profiles.dll", {{4242, 1, 2, L"Indexer"}});
    EXPECT_EQ(Apply(), RC_SWAP_AT_RESTART);
    uint64_t waited = 0;
    for (uint32_t sleep : fake::Sleeps()) waited += sleep;
    EXPECT_GE(waited, kFileRetryBudgetMs) << "the tries come first";
    for (const char* module : {"core.dll", "profiles.dll"}) {
      EXPECT_EQ(ReadFile(install_ + "/" + module), std::string("old ") + module);
    }
    for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
    EXPECT_NE(RunLog().find("held open by process 4242 (Indexer), session 1"), std::string::npos) << RunLog();
    const int stops = fake::FindService(L"QlSvc")->stopRequests;
    EXPECT_EQ(Apply(), RC_SWAP_AT_RESTART);
    EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, stops) << "nothing stopped before the restart";
    if (undoFirst) {
      wchar_t name[] = L"qlpatch.exe", option[] = L"-c", command[] = L"undo";
      wchar_t* argv[] = {name, option, command, nullptr};
      // Another patch's tool leaves this patch's swap as it is.
      const std::wstring waiting = fake::PendingRenames();
      WriteDescription(Description("04", {"core.dll", "profiles.dll"}));
      EXPECT_EQ(Apply(), RC_MOVE_FILE_FAILED);
      EXPECT_EQ(RunEntry(3, argv), RC_MOVE_FILE_FAILED);
      EXPECT_EQ(fake::PendingRenames(), waiting);
      WriteDescription(Description("03", {"core.dll", "profiles.dll"}));
      // An installer adds a rename of its own while the undo takes the swap back.
      static bool added;
      added = false;
      fake::SetCallObserver([](const std::string& function) {
        if (function == "WritePendingRenames" && !added) fake::AddPendingRename(L"\\??\\C:\\Other\\b.tmp", L"");
        added = added || function == "WritePendingRenames";
      });
      EXPECT_EQ(RunEntry(3, argv), RC_SUCCEED);
      fake::SetCallObserver(nullptr);
      std::wstring kept = othersOnly;
      kept.pop_back();
      kept.append(L"\\??\\C:\\Other\\b.tmp").append(3, L'\0');
      EXPECT_EQ(fake::PendingRenames(), kept)
          << "only the tool's own renames go";
      EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03/core.dll.qlswap"));
      EXPECT_FALSE(Exists(install_ + "/UpdateBackup/QlPatch.xml.qlswap"));
      fake::Restart();
      ExpectProductAsFound();
      continue;
    }
    fake::Restart();
    for (const char* module : {"core.dll", "profiles.dll"}) {
      EXPECT_EQ(ReadFile(install_ + "/" + module), std::string("new ") + module);
      EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/" + module), std::string("old ") + module);
    }
    EXPECT_NE(ReadFile(recordPath_).find("<CurVersion>03</CurVersion>"), std::string::npos);
    EXPECT_EQ(Apply(), RC_PATCH_IS_LATEST);
    EXPECT_NE(RunLog().find("put in place by the restart"), std::string::npos);
    EXPECT_FALSE(Exists(install_ + "/UpdateBackup/qlpatch.journal"));
  }
}

// Renames written before one fails, and that cannot be taken back, keep
// what they name, and the next run takes them back before anything else.
TEST_F(UpdateTest, RenamesThatCannotBeTakenBackKeepWhatTheyName) {
  fake::HoldFile(install_ + "/profiles.dll", -1);
  fake::FailCall("ScheduleRenameAtRestart", fake::CallCount("ScheduleRenameAtRestart") + 3);
  fake::FailCallsFrom("WritePendingRenames", fake::CallCount("WritePendingRenames") + 1);
  EXPECT_EQ(Apply(), RC_MOVE_FILE_FAILED);
  fake::FailCallsFrom("WritePendingRenames", 1 << 30);
  const std::wstring pending = fake::PendingRenames();
  ASSERT_FALSE(pending.empty() || pending == std::wstring(1, L'\0'));
  for (size_t at = 0; at < pending.size() && pending[at] != 0;) {
    const std::wstring from = pending.substr(at, pending.find(L'\0', at) - at);
    std::string path;
    for (wchar_t c : from.substr(4)) path.push_back(c == L'\\' ? '/' : static_cast<char>(c));
    EXPECT_TRUE(Exists(path)) << path << " waits to be moved at the restart";
    at = pending.find(L'\0', pending.find(L'\0', at) + 1) + 1;
  }
  fake::HoldFile(install_ + "/profiles.dll", 0);
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(fake::PendingRenames().find(L"Qorlink"), std::wstring::npos);
}

// Held for good over the mix a cut-off run left (core.dll new, its
// original backed up): until the restart the product runs on originals
// alone, never on the mix.
TEST_F(UpdateTest, HeldForGoodOverAnEarlierRunsMixRunsOnOriginalsUntilTheRestart) {
  WriteFile(install_ + "/UpdateBackup/Patch03/core.dll", "old core.dll");
  WriteFile(install_ + "/core.dll", "new core.dll");
  fake::HoldFile(install_ + "/profiles.dll", -1);
  EXPECT_EQ(Apply(), RC_SWAP_AT_RESTART);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "old profiles.dll");
  fake::Restart();
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "new profiles.dll");
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/core.dll"), "old core.dll");
}

// The record held open past the retries once the product runs on the new
// modules: the record alone is written at the restart (3010, not 2).
TEST_F(UpdateTest, RecordHeldOpenForGoodIsWrittenAtTheRestart) {
  WriteFile(recordPath_, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.20>\n"
                         "        <CurVersion>02</CurVersion>\n    </QL4.20>\n</UpdateQL>\n");
  fake::HoldFileLettingRead(recordPath_);
  EXPECT_EQ(Apply(), RC_SWAP_AT_RESTART);
  EXPECT_EQ(ReadFile(install_ + "/profiles.dll"), "new profiles.dll");
  EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceRunning);
  EXPECT_NE(RunLog().find("QlPatch.xml: who holds it open cannot be told"), std::string::npos) << RunLog();
  fake::Restart();
  EXPECT_NE(ReadFile(recordPath_).find("<CurVersion>03</CurVersion>"), std::string::npos) << ReadFile(recordPath_);
  EXPECT_EQ(Apply(), RC_PATCH_IS_LATEST);
}

// A backup folder, a per-patch folder, a module, a lock or a log that is a
// link (a user's junction or symbolic link) is never written through: the
// run refuses (24) or cannot have the lock (1618), and where the link points
// stays as it was.
TEST_F(UpdateTest, NothingIsWrittenThroughALink) {
  const std::string elsewhere = root_ + "/elsewhere";
  MakeDirs(elsewhere);
  WriteFile(elsewhere + "/keep.txt", "keep");
  const auto untouched = [&](const std::string& when) {
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(elsewhere)) entries += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, 1u) << when;
    EXPECT_EQ(ReadFile(elsewhere + "/keep.txt"), "keep") << when;
    EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0) << when;
    EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll") << when;
  };
  std::filesystem::create_directory_symlink(elsewhere, install_ + "/UpdateBackup");
  EXPECT_EQ(Apply(), RC_LINK_REFUSED);
  untouched("the backup folder a link");
  std::filesystem::remove(install_ + "/UpdateBackup");
  MakeDirs(install_ + "/UpdateBackup");
  std::filesystem::create_directory_symlink(elsewhere, install_ + "/UpdateBackup/Patch03");
  EXPECT_EQ(Apply(), RC_LINK_REFUSED);
  untouched("the per-patch folder a link");
  EXPECT_NE(RunLog().find("Patch03 is a link"), std::string::npos) << RunLog();
  std::filesystem::remove(install_ + "/UpdateBackup/Patch03");
  std::filesystem::create_symlink(elsewhere + "/keep.txt", install_ + "/UpdateBackup/qlpatch.lock");
  EXPECT_EQ(Apply(), RC_ANOTHER_RUN_IN_PROGRESS);
  untouched("the lock a link");
  std::filesystem::remove(install_ + "/UpdateBackup/qlpatch.lock");
  std::filesystem::remove(install_ + "/UpdateBackup/qlpatch.log");
  std::filesystem::create_symlink(elsewhere + "/keep.txt", install_ + "/UpdateBackup/qlpatch.log");
  std::filesystem::rename(install_ + "/profiles.dll", elsewhere + "/profiles.dll");
  std::filesystem::create_symlink(elsewhere + "/profiles.dll", install_ + "/profiles.dll");
  EXPECT_EQ(Apply(), RC_LINK_REFUSED);
  EXPECT_EQ(ReadFile(elsewhere + "/keep.txt"), "keep") << "the log a link";
  EXPECT_EQ(ReadFile(elsewhere + "/profiles.dll"), "old profiles.dll") << "a module a link";
  std::filesystem::remove(install_ + "/profiles.dll");
  std::filesystem::rename(elsewhere + "/profiles.dll", install_ + "/profiles.dll");
  std::filesystem::remove(install_ + "/UpdateBackup/qlpatch.log");
  std::filesystem::create_symlink(elsewhere + "/keep.txt", install_ + "/UpdateBackup/QlPatch.xml.tmp");
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(elsewhere + "/keep.txt"), "keep") << "the record's temporary name a link";
}

// The backup folder is the tool's own: made so that only administrators may
// change it, whoever may change the install folder. One that someone else
// owns or may write to is neither read nor written, not even the log (25).
TEST_F(UpdateTest, ABackupFolderUsersMayChangeIsNeverUsed) {
  const std::string backup = install_ + "/UpdateBackup";
  MakeDirs(backup);
  os::FolderSecurity userOwned = fake::InstalledFolderSecurity();
  userOwned.ownerSid = L"S-1-5-21-1-2-3-1001";
  // Writing a folder's attributes is enough to make it, empty, a mount point.
  os::FolderSecurity usersWriteAttributes = fake::InstalledFolderSecurity();
  usersWriteAttributes.allowed.push_back({L"S-1-5-32-545", 0x100, false});
  for (const os::FolderSecurity& security : {fake::OpenToUsersSecurity(), userOwned, usersWriteAttributes}) {
    fake::SetFolderSecurity(backup, security);
    EXPECT_EQ(Apply(), RC_BACKUP_OPEN_TO_USERS);
    EXPECT_EQ(Undo(), RC_BACKUP_OPEN_TO_USERS);
    EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
    EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
    EXPECT_TRUE(std::filesystem::is_empty(backup));
  }
  // The same for a per-patch folder a user made before the backup folder
  // was given back to administrators.
  fake::SetFolderSecurity(backup, fake::ToolFolderSecurity());
  MakeDirs(backup + "/Patch03");
  fake::SetFolderSecurity(backup + "/Patch03", userOwned);
  EXPECT_EQ(Apply(), RC_BACKUP_OPEN_TO_USERS);
  EXPECT_EQ(Undo(), RC_BACKUP_OPEN_TO_USERS);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_TRUE(std::filesystem::is_empty(backup + "/Patch03"));
  std::filesystem::remove_all(backup);
  fake::SetFolderSecurity(backup, fake::InstalledFolderSecurity());
  fake::SetFolderSecurity(install_, fake::OpenToUsersSecurity());
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_NE(RunLog().find("may be changed by S-1-5-11 (Authenticated Users): rights 0x001301bf"),
            std::string::npos) << RunLog();
  os::Handle folder = nullptr;
  os::FolderSecurity made;
  ASSERT_EQ(os::HoldFolder(Wide(backup).c_str(), &folder), os::FolderOpen::kHeld);
  EXPECT_TRUE(os::ReadFolderSecurity(folder, &made));
  os::LetGoOfFolder(folder);
  for (const os::AllowedAccess& allowed : made.allowed) EXPECT_NE(allowed.sid, L"S-1-5-11");
}

// An installed module that is not there, with no original in the backup,
// is refused before anything is stopped.
TEST_F(UpdateTest, InstalledModuleMissingIsRefusedBeforeAnythingIsStopped) {
  std::filesystem::remove(install_ + "/profiles.dll");
  EXPECT_EQ(Apply(), RC_MOVE_FILE_FAILED);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
  EXPECT_FALSE(Exists(install_ + "/profiles.dll"));
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  EXPECT_NE(RunLog().find("module profiles.dll: not installed, and the backup holds no original of it"),
            std::string::npos)
      << RunLog();
}

TEST_F(UpdateTest, NoSemaphoreMeansNoWaitAndNothingTouched) {
  fake::FailCall("CreateCountingSemaphore", 1);
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::CallCount("WaitWithoutTimeout"), 0);
  EXPECT_EQ(fake::CallCount("StartThread"), 0);
  ExpectNothingTouched();
}

TEST_F(UpdateTest, WorkerThatCannotStartEndsThePhase) {
  fake::FailCall("StartThread", 1);
  EXPECT_EQ(Apply(), RC_STOP_SERVICE_FAILED);
  EXPECT_EQ(fake::CallCount("WaitWithoutTimeout"), 0);
  ExpectNothingTouched();

  fake::FailThreadsOf(StartServicesWorker);
  EXPECT_EQ(Apply(), RC_START_SERVICE_FAILED);
  ExpectProductAsFound();
}

TEST_F(UpdateTest, NoModulesStillRecordsThePatch) {
  // No module makes no backup folder; the record's folder is made for it,
  // or every later run would apply the patch again.
  WriteDescription(Description("03"));
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  wchar_t path[kPathChars] = {};
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), path), RC_PATCH_IS_LATEST);
}

TEST_F(UpdateTest, UnrecordablePatchIdentityTouchesNothing) {
  for (const char* patch : {"", "3 hotfix", "03\\..\\..\\qlvictim"}) {
    SCOPED_TRACE(patch);
    WriteDescription(Description(patch, {"core.dll", "profiles.dll"}));
    const size_t printed = fake::Output().size();
    EXPECT_EQ(Apply(), RC_XML_ELEMENT_MISSING);
    EXPECT_EQ(fake::Output().substr(printed), L"unknow xml evelment!\r\n" + kExitLine);
    ExpectNothingTouched();
  }
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20 SP1");
  std::string description = Description("03", {"core.dll"});
  description.replace(description.find("4.20"), 4, "4.20 SP1");
  WriteDescription(description);
  EXPECT_EQ(Apply(), RC_XML_ELEMENT_MISSING);
  ExpectNothingTouched();
}

// One apply at a time: a run that finds another holding the lock says so,
// touches nothing and ends with the code fleet tools retry. A holder that
// ends (or is killed) frees it; a lock file left by a power cut is taken
// over. The query takes no lock. The lock is a file beside the record, and
// no lock file is left behind.
TEST_F(UpdateTest, AnotherRunHoldingTheLockMeansComeBackLater) {
  const std::string lockFile = install_ + "/UpdateBackup/qlpatch.lock";
  MakeDirs(install_ + "/UpdateBackup");
  fake::SetLockFileHolder(lockFile, fake::LockFileHolder::kOtherProcess);
  EXPECT_EQ(Apply(), RC_ANOTHER_RUN_IN_PROGRESS);
  EXPECT_EQ(fake::Output(), L"another update is running!\r\n" + kExitLine);
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0);
  EXPECT_EQ(Ended(), 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll");
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  EXPECT_EQ(fake::CallCount("QueryKeyValue"), 3) << "only the install values were read, once: no checks";
  EXPECT_EQ(fake::CallCount("CreateCountingSemaphore"), 0);

  wchar_t name[] = L"qlpatch.exe", option[] = L"-c", command[] = L"patch";
  wchar_t* query[] = {name, option, command, nullptr};
  EXPECT_EQ(RunEntry(3, query), RC_RECORD_MISSING);
  EXPECT_EQ(fake::CallCount("OpenLockFile"), 1) << "only the apply asked for the lock";

  fake::SetLockFileHolder(lockFile, fake::LockFileHolder::kNone);
  WriteFile(lockFile, "");  // left by a run that lost power
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_FALSE(fake::LockFileHeld(lockFile)) << "released at the end of the run";
  EXPECT_FALSE(Exists(lockFile)) << "deleted when closed";
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
  EXPECT_EQ(Apply(), RC_PATCH_IS_LATEST) << "the next run takes it again";
  EXPECT_FALSE(Exists(lockFile));
}

// The lock is made in the install folder's backup folder, which the run
// makes when missing and takes away again when it leaves nothing in it. An
// install folder that is not there ends the run as unusable install
// values do, without waiting on a lock; an unreadable one too.
TEST_F(UpdateTest, TheLockNeedsTheInstallFolder) {
  fake::SetMachineValue(kInstallKey, L"Version", L"4.10");
  EXPECT_EQ(Apply(), RC_VERSION_MISMATCH);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup")) << "another product's folder gets nothing";
  EXPECT_EQ(fake::OpenKernelHandles(), 0);

  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(root_ + "/NotThere"));
  const int lockCalls = fake::CallCount("OpenLockFile");
  EXPECT_EQ(Apply(), RC_REGISTRY_READ_FAILED);
  EXPECT_EQ(fake::CallCount("OpenLockFile"), lockCalls);
  EXPECT_FALSE(Exists(root_ + "/NotThere"));
  EXPECT_EQ(fake::FindService(L"QlSvc")->stopRequests, 0) << "the product was left running";

  fake::SetMachineValue(kInstallKey, L"Path", Wide(root_ + "/" + std::string(300, 'x')));
  EXPECT_EQ(Apply(), RC_REGISTRY_READ_FAILED);
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  EXPECT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/qlpatch.lock"));
}

}  // namespace
