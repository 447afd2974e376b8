// `-c undo`: the current patch taken back, and every case in which it is not.
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/journal.h"
#include "driver/run_plan.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "shared/run_log.h"
#include "tests/unit/test_support.h"

namespace {

const std::vector<std::string> kModules = {"core.dll", "profiles.dll"};
const char kEmptyRecord[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL />\n";

class UndoTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddProductServices();
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
    WriteDescription(Description("03", kModules));
    for (const std::string& module : kModules) {
      WriteFile(install_ + "/" + module, "old " + module);
      WriteFile(work_ + "/" + module, "new " + module);
    }
  }

  static ResultCode Run(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"qlpatch.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return RunEntry(static_cast<int>(arguments.size()), argv.data());
  }
  static ResultCode Apply() { return Run({}); }
  static ResultCode Undo() { return Run({L"-c", L"undo"}); }
  static ResultCode Query() { return Run({L"-c", L"patch"}); }

  std::string Installed(const std::string& module) { return ReadFile(install_ + "/" + module); }
  std::string Backup(const std::string& module) { return ReadFile(install_ + "/UpdateBackup/Patch03/" + module); }
  static int StopRequests() {
    return fake::FindService(L"QlSvc")->stopRequests + fake::FindService(L"QlProfileSvc")->stopRequests;
  }

  // An undo refused with `code` changes nothing: no service stopped, the
  // modules, backups and record as they were.
  void ExpectRefused(ResultCode code, const std::string& why) {
    const std::string record = ReadFile(recordPath_);
    const int stops = StopRequests();
    std::vector<std::string> installed, backups;
    for (const std::string& module : kModules) {
      installed.push_back(Installed(module));
      backups.push_back(Backup(module));
    }
    EXPECT_EQ(Undo(), code) << why;
    EXPECT_EQ(StopRequests(), stops) << why;
    EXPECT_EQ(ReadFile(recordPath_), record) << why;
    for (size_t i = 0; i < kModules.size(); ++i) {
      EXPECT_EQ(Installed(kModules[i]), installed[i]) << why;
      EXPECT_EQ(Backup(kModules[i]), backups[i]) << why;
    }
  }
};

TEST_F(UndoTest, UndoPutsTheOriginalsBackAndThePatchCanBeAppliedAgain) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const size_t printed = fake::Output().size();
  const int registryReads = fake::CallCount("QueryKeyValue");
  EXPECT_EQ(Undo(), RC_SUCCEED);
  EXPECT_EQ(fake::Output().size(), printed) << "the undo prints nothing";
  EXPECT_EQ(fake::CallCount("QueryKeyValue") - registryReads, 3) << "each install value read once";
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03")) << "the per-patch backup goes";
  EXPECT_FALSE(Exists(install_ + "/core.dll.qlundo"));
  EXPECT_EQ(ReadFile(recordPath_), kEmptyRecord) << "the version element goes with its last patch";
  EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceRunning);
  EXPECT_EQ(fake::FindService(L"QlProfileSvc")->state, os::kServiceRunning);
  EXPECT_EQ(StopRequests(), 4) << "stopped by the apply and by the undo";
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/qlpatch.lock"));
  EXPECT_EQ(fake::OpenKernelHandles(), 0);
  EXPECT_EQ(Query(), RC_NOT_PATCHED);

  EXPECT_EQ(Apply(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "new " + module);
  EXPECT_EQ(Query(), RC_PATCH_IS_LATEST);
}

TEST_F(UndoTest, TheLastPatchLeftBecomesCurrentAgain) {
  MakeDirs(install_ + "/UpdateBackup");
  WriteFile(recordPath_,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.10>\n        <CurVersion>07</CurVersion>\n"
            "    </QL4.10>\n    <QL4.20>\n        <CurVersion>02</CurVersion>\n        <Patch01 />\n"
            "        <Patch02>\n            <PatchVersion>02</PatchVersion>\n        </Patch02>\n    </QL4.20>\n</UpdateQL>\n");
  ASSERT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  EXPECT_NE(record.find("<CurVersion>02</CurVersion>\n        <Patch01 />\n        <Patch02>"), std::string::npos)
      << record;
  EXPECT_EQ(record.find("Patch03"), std::string::npos) << record;
  EXPECT_NE(record.find("<CurVersion>07</CurVersion>"), std::string::npos) << "another version's entry stays";
  EXPECT_EQ(Query(), RC_NOT_PATCHED);
}

TEST_F(UndoTest, RefusalsTouchNothing) {
  ExpectRefused(RC_RECORD_MISSING, "no record: not applied");
  MakeDirs(install_ + "/UpdateBackup");
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>02</CurVersion></QL4.20></UpdateQL>");
  ExpectRefused(RC_NOT_PATCHED, "an earlier patch only");

  std::filesystem::remove(recordPath_);
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string applied = ReadFile(recordPath_);
  std::string later = applied;
  later.replace(later.find("<CurVersion>03<"), 15, "<CurVersion>4<");
  WriteFile(recordPath_, later);
  ExpectRefused(RC_LATER_PATCH_APPLIED, "a later patch is current");

  WriteFile(recordPath_, applied);
  std::filesystem::remove(install_ + "/UpdateBackup/Patch03/profiles.dll");
  ExpectRefused(RC_MOVE_FILE_FAILED, "an original missing from the backup");
  WriteFile(install_ + "/UpdateBackup/Patch03/profiles.dll", "old profiles.dll");

  fake::SetLockFileHolder(install_ + "/UpdateBackup/qlpatch.lock", fake::LockFileHolder::kOtherProcess);
  ExpectRefused(RC_ANOTHER_RUN_IN_PROGRESS, "another run holds the lock");
  fake::SetLockFileHolder(install_ + "/UpdateBackup/qlpatch.lock", fake::LockFileHolder::kNone);
  EXPECT_EQ(Undo(), RC_SUCCEED);
}

TEST_F(UndoTest, ModuleHeldOpenPutsTheNewCopiesBackAndKeepsRecordAndBackup) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  // The second original cannot take the installed file's place.
  fake::FailCall("ReplaceFileAtomically", fake::CallCount("ReplaceFileAtomically") + 2);
  EXPECT_EQ(Undo(), RC_MOVE_FILE_FAILED);
  for (const std::string& module : kModules) {
    EXPECT_EQ(Installed(module), "new " + module) << "all new again";
    EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo"));
    EXPECT_EQ(Backup(module), "old " + module);
  }
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  EXPECT_EQ(ReadFile(recordPath_), record) << "the record as it was";
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
}

// Held open for good, as a loaded module is: the installed file is still the
// new copy, so the put-back does not try it again in vain, and the product
// runs again on the new copies.
TEST_F(UndoTest, ModuleHeldOpenForGoodLeavesItNewAndStartsTheProduct) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  fake::HoldFile(install_ + "/profiles.dll", -1);
  // More holders than the log names: it says how many it left out.
  std::vector<os::FileHolder> holders(17, {78, 1, 2, L"Indexer", L""});
  holders[0] = {77, 1, 2, L"Viewer", L"C:\\Tools\\viewer.exe"};
  fake::SetFileHolders(install_ + "/profiles.dll", holders);
  EXPECT_EQ(Undo(), RC_MOVE_FILE_FAILED);
  const std::string log = ReadFile(install_ + "/UpdateBackup/qlpatch.log");
  EXPECT_NE(log.find("profiles.dll: processes that also hold it open, not named here: 1"), std::string::npos) << log;
  const size_t holder = log.find("held open by process 77 (Viewer, C:\\Tools\\viewer.exe), session 1");
  EXPECT_NE(holder, std::string::npos) << log;
  EXPECT_LT(holder, log.rfind("start asked")) << "named while the product is still stopped";
  for (const std::string& module : kModules) {
    EXPECT_EQ(Installed(module), "new " + module);
    EXPECT_FALSE(Exists(install_ + "/" + module + ".qlundo"));
    EXPECT_EQ(Backup(module), "old " + module);
  }
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  EXPECT_EQ(ReadFile(recordPath_), record);
  fake::HoldFile(install_ + "/profiles.dll", 0);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
}

}  // namespace

namespace {

// The backup is the list of what the apply replaced: a re-issued
// description that lists fewer modules still gets every original back.
TEST_F(UndoTest, TheBackupNotTheDescriptionSaysWhatGoesBack) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  WriteDescription(Description("03", {"core.dll"}));
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));

  // A listed module the backup lacks is still refused, touching nothing.
  ASSERT_EQ(Apply(), RC_SUCCEED);
  WriteDescription(Description("03", {"core.dll", "profiles.dll", "help.dll"}));
  WriteFile(work_ + "/help.dll", "new help.dll");
  ExpectRefused(RC_MOVE_FILE_FAILED, "help.dll was never backed up");

  // A module the patch ships unchanged, found new by the apply, stays new.
  WriteDescription(Description("03", {"core.dll"}));
  ASSERT_EQ(Undo(), RC_SUCCEED);
  WriteDescription(Description("03", {"core.dll", "help.dll"}));
  WriteFile(install_ + "/help.dll", "new help.dll");
  ASSERT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  EXPECT_EQ(Installed("help.dll"), "new help.dll");
  EXPECT_EQ(Installed("core.dll"), "old core.dll");
}

// A record that names the earlier patch only through CurVersion keeps it
// after this patch is applied and taken back; while it cannot be kept,
// the patch is not recorded (2), and the next run records it.
TEST_F(UndoTest, ACurVersionWithoutItsPatchElementComesBack) {
  MakeDirs(install_ + "/UpdateBackup");
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>02</CurVersion></QL4.20></UpdateQL>");
  MakeDirs(install_ + "/UpdateBackup/Patch03/CurVersion.qlprev");  // in the way of the file
  EXPECT_EQ(Apply(), RC_XML_LOAD_FAILED);
  EXPECT_EQ(ReadFile(recordPath_).find("03"), std::string::npos) << ReadFile(recordPath_);
  std::filesystem::remove(install_ + "/UpdateBackup/Patch03/CurVersion.qlprev");
  ASSERT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/CurVersion.qlprev"), "02");
  EXPECT_EQ(Undo(), RC_SUCCEED);
  EXPECT_NE(ReadFile(recordPath_).find("<CurVersion>02</CurVersion>"), std::string::npos) << ReadFile(recordPath_);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  WriteDescription(Description("02", kModules));
  EXPECT_EQ(Query(), RC_PATCH_IS_LATEST) << "patch 02 is still in place";
}

// A read-only original: its copy beside the module can be written through
// and its backup copy removed; nothing the undo leaves is read-only, and
// its other attributes (archive) stay.
TEST_F(UndoTest, AReadOnlyOriginalIsPutBackAndItsBackupRemoved) {
  constexpr uint32_t kArchive = 0x20;
  fake::SetFileAttributesOf(install_ + "/core.dll", os::kAttributeReadOnly | kArchive);
  ASSERT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  EXPECT_EQ(Installed("core.dll"), "old core.dll");
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  EXPECT_FALSE(Exists(install_ + "/core.dll.qlundo"));
  uint32_t attributes = 1;
  ASSERT_TRUE(os::ReadFileAttributes(Wide(install_ + "/core.dll").c_str(), &attributes));
  EXPECT_EQ(attributes, kArchive);
}

// The record changes and the backup goes only once the product runs on the
// originals: a start that fails puts the new copies back.
TEST_F(UndoTest, AStartThatFailsPutsTheNewCopiesBackAndARerunFinishes) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string record = ReadFile(recordPath_);
  fake::FailCall("RequestServiceStart", fake::CallCount("RequestServiceStart") + 2);
  EXPECT_EQ(Undo(), RC_RUN_SERVICE_FAILED);
  for (const std::string& module : kModules) {
    EXPECT_EQ(Installed(module), "new " + module);
    EXPECT_EQ(Backup(module), "old " + module);
  }
  EXPECT_EQ(ReadFile(recordPath_), record);
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  EXPECT_EQ(Query(), RC_NOT_PATCHED);
}

// Over the mix an unfinished undo left, a start that fails stops what it
// started and makes the product whole the way the record has it before
// going back: it runs whole on the new copies, never on the mix.
TEST_F(UndoTest, AStartThatFailsOverAnUnfinishedUndoLeavesTheProductWholeAndRunning) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  fake::FailCallsFrom("ReplaceFileAtomically", fake::CallCount("ReplaceFileAtomically") + 2);
  EXPECT_NE(Undo(), RC_SUCCEED);
  fake::FailCallsFrom("ReplaceFileAtomically", 1 << 30);
  ASSERT_EQ(Installed("core.dll"), "old core.dll");
  ASSERT_EQ(Installed("profiles.dll"), "new profiles.dll");
  fake::FailCall("RequestServiceStart", fake::CallCount("RequestServiceStart") + 2);
  EXPECT_EQ(Undo(), RC_RUN_SERVICE_FAILED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "new " + module);
  for (const wchar_t* service : kProductServices) EXPECT_EQ(fake::FindService(service)->state, os::kServiceRunning);
  EXPECT_EQ(Query(), RC_PATCH_IS_LATEST);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
}

// An apply cut off before it recorded the patch is taken back too: the
// originals the backup holds go back and the product runs.
TEST_F(UndoTest, AnApplyThatDidNotFinishIsTakenBack) {
  MakeDirs(install_ + "/UpdateBackup/Patch03");
  std::filesystem::rename(install_ + "/core.dll", install_ + "/UpdateBackup/Patch03/core.dll");
  WriteFile(install_ + "/core.dll", "new core.dll");
  fake::FindService(L"QlSvc")->state = os::kServiceStopped;
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/Patch03"));
  EXPECT_FALSE(Exists(recordPath_));
  EXPECT_EQ(Query(), RC_RECORD_MISSING);
  // With nothing in the backup there is nothing to take back.
  ExpectRefused(RC_RECORD_MISSING, "nothing applied, nothing backed up");
}

// Every apply and undo appends to the run log; past 1 MB it is moved aside
// first, one older log kept. The query writes none.
TEST_F(UndoTest, TheRunLogIsAppendedAndMovedAsideWhenFull) {
  const std::string log = install_ + "/UpdateBackup/qlpatch.log";
  ASSERT_EQ(Apply(), RC_SUCCEED);
  ASSERT_EQ(Undo(), RC_SUCCEED);
  const std::string both = ReadFile(log);
  EXPECT_NE(both.find("qlpatch 1.1.0, apply"), std::string::npos) << both;
  EXPECT_NE(both.find("patch: Version 4.20, BuildID 0137, PatchVersion 03; record "), std::string::npos) << both;
  EXPECT_NE(both.find("qlpatch 1.1.0, undo"), std::string::npos) << both;
  EXPECT_LT(both.find(", apply"), both.find(", undo"));
  EXPECT_EQ(both.substr(0, 11), "2020-03-15 ");
  EXPECT_EQ(both.substr(both.size() - 2), "\r\n");
  EXPECT_EQ(Query(), RC_NOT_PATCHED);
  EXPECT_EQ(ReadFile(log), both) << "the query logs nothing";

  WriteFile(log, std::string(kRunLogLimitBytes + 1, 'x'));
  WriteFile(log + ".1", "oldest");
  // A full log held by another run cannot be moved: the older one stays.
  fake::HoldFile(log, -1);
  ASSERT_EQ(Apply(), RC_SUCCEED);
  fake::HoldFile(log, 0);
  EXPECT_EQ(ReadFile(log + ".1"), "oldest");
  ASSERT_EQ(Undo(), RC_SUCCEED);
  EXPECT_EQ(ReadFile(log + ".1").size(), kRunLogLimitBytes + 1);
  EXPECT_EQ(ReadFile(log).find("qlpatch 1.1.0, undo"), 24u);
}

// Names the file system reads as the same file are one module for the
// apply and the undo alike; two entries for one file are refused.
TEST_F(UndoTest, ListedNamesMeanTheSameFileToTheApplyAndTheUndo) {
  WriteDescription(Description("03", {".\\core.dll", "./profiles.dll."}));
  ASSERT_EQ(Apply(), RC_SUCCEED);
  EXPECT_EQ(Installed("profiles.dll"), "new profiles.dll");
  ASSERT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  WriteDescription(Description("03", {"core.dll", "profiles.dll", ".\\CORE.DLL"}));
  const int stops = StopRequests();
  EXPECT_EQ(Apply(), RC_MOVE_FILE_FAILED);
  EXPECT_EQ(StopRequests(), stops) << "refused before the stop";
  EXPECT_EQ(Installed("core.dll"), "old core.dll");
}

// Not room enough for the new copies: refused before the stop.
TEST_F(UndoTest, TooLittleRoomForTheCopiesIsRefusedBeforeTheStop) {
  fake::SetDiskRoom(kRoomMarginBytes + 10);  // the new copies hold 32 bytes
  EXPECT_EQ(Apply(), RC_COPY_FILE_FAILED);
  EXPECT_EQ(StopRequests(), 0);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
  fake::SetDiskRoom(kRoomMarginBytes + 32);
  EXPECT_EQ(Apply(), RC_SUCCEED);
}

// An undo whose put-back cannot finish leaves a mix, the services stopped
// and its journal: the query does not answer 19 over it, an apply that
// cannot finish it leaves it so, and one that can finishes the undo and
// applies the patch again.
TEST_F(UndoTest, AnUnfinishedUndoIsNotAnsweredAsAppliedAndTheApplyFinishesIt) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  const std::string applied = ReadFile(recordPath_);
  // core.dll's original goes in; profiles.dll's does not, nor core.dll's new copy back.
  fake::FailCallsFrom("ReplaceFileAtomically", fake::CallCount("ReplaceFileAtomically") + 2);
  EXPECT_NE(Undo(), RC_SUCCEED);
  fake::FailCallsFrom("ReplaceFileAtomically", 1 << 30);
  ASSERT_EQ(Installed("core.dll"), "old core.dll");
  ASSERT_EQ(Installed("profiles.dll"), "new profiles.dll");
  ASSERT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceStopped);
  EXPECT_EQ(Query(), RC_NOT_PATCHED);

  fake::HoldFile(install_ + "/profiles.dll", -1);
  // Whichever write fails, the journal of the undo stays with it.
  for (int write = 1; write <= 40; ++write) {
    fake::FailCall("AppendBytes", fake::CallCount("AppendBytes") + write);
    EXPECT_NE(Apply(), RC_SUCCEED);
    ASSERT_EQ(Query(), RC_NOT_PATCHED) << "write " << write;
  }
  EXPECT_EQ(Apply(), RC_MOVE_FILE_FAILED);
  EXPECT_EQ(Installed("profiles.dll"), "new profiles.dll");
  EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceStopped) << "not started on a mix";
  EXPECT_EQ(Query(), RC_NOT_PATCHED);

  fake::HoldFile(install_ + "/profiles.dll", 0);
  EXPECT_EQ(Apply(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "new " + module);
  EXPECT_EQ(ReadFile(recordPath_), applied);
  EXPECT_FALSE(Exists(install_ + "/UpdateBackup/qlpatch.journal"));
  EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceRunning);
  EXPECT_EQ(fake::FindService(L"QlProfileSvc")->state, os::kServiceRunning);
  EXPECT_EQ(Query(), RC_PATCH_IS_LATEST);
}

}  // namespace

// An undo cut off while it stopped the product, its modules untouched,
// met by runs refused before the stop (no room for the undo's copies): the
// product is whole, and the services that undo stopped run again.
TEST_F(UndoTest, ServicesACutOffUndoStoppedRunAgainWhenTheNextRunIsRefused) {
  ASSERT_EQ(Apply(), RC_SUCCEED);
  {
    ServiceLedger found;
    for (const wchar_t* service : kProductServices) found.Of(service).stateFound = os::kServiceRunning;
    std::vector<ModulePlan> modules(kModules.size());
    for (size_t i = 0; i < kModules.size(); ++i) modules[i].name = Wide(kModules[i]);
    Journal cutOff;
    ASSERT_TRUE(cutOff.Begin(Wide(install_ + "/UpdateBackup/qlpatch.journal").c_str(), RunMode::kUndo, L"Patch03",
                             found, modules));
  }
  fake::FindService(L"QlSvc")->state = os::kServiceStopped;
  fake::SetDiskRoom(kRoomMarginBytes);
  for (auto run : {&UndoTest::Apply, &UndoTest::Undo}) {
    EXPECT_EQ(run(), RC_COPY_FILE_FAILED);
    EXPECT_EQ(fake::FindService(L"QlSvc")->state, os::kServiceRunning);
    EXPECT_EQ(Query(), RC_NOT_PATCHED) << "the undo is still to be finished";
  }
  fake::SetDiskRoom(1ull << 30);
  EXPECT_EQ(Undo(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "old " + module);
}

namespace {

std::string g_journal, g_journalKept;

// The journal as it stands when its deletion is asked for: what a power cut
// that undoes the deletion brings back.
void KeepJournalBeforeItsDeletion(const std::string& function) {
  if (function == "DeleteFileAt" && std::filesystem::exists(g_journal)) {
    std::filesystem::copy_file(g_journal, g_journalKept, std::filesystem::copy_options::overwrite_existing);
  }
}

}  // namespace

// What power cuts leave of the journal: a line cut short, zeros to its line
// end, before the next run's heading; and, after a run that ended whole,
// the journal whose deletion was undone.
TEST_F(UndoTest, AJournalAsPowerCutsLeaveItIsReadForWhatItSays) {
  g_journal = install_ + "/UpdateBackup/qlpatch.journal";
  g_journalKept = root_ + "/journal.kept";
  fake::SetCallObserver(KeepJournalBeforeItsDeletion);
  ASSERT_EQ(Apply(), RC_SUCCEED);
  fake::SetCallObserver(nullptr);
  ASSERT_FALSE(Exists(g_journal));
  std::filesystem::copy_file(g_journalKept, g_journal);
  WriteDescription(Description("04", kModules));
  EXPECT_EQ(Query(), RC_NOT_PATCHED) << "another patch's tool is not kept out";
  EXPECT_EQ(Apply(), RC_SUCCEED);
  for (const std::string& module : kModules) EXPECT_EQ(Installed(module), "new " + module);

  ServiceLedger found;
  for (const wchar_t* service : kProductServices) found.Of(service).stateFound = os::kServiceRunning;
  std::vector<ModulePlan> modules(kModules.size());
  for (size_t i = 0; i < kModules.size(); ++i) modules[i].name = Wide(kModules[i]);
  {
    Journal cutOff;
    ASSERT_TRUE(cutOff.Begin(Wide(g_journal).c_str(), RunMode::kApply, L"Patch04", found, modules));
  }
  WriteFile(g_journal, ReadFile(g_journal) + std::string(24, '\0'));
  {
    Journal cutOff;
    ASSERT_TRUE(cutOff.Begin(Wide(g_journal).c_str(), RunMode::kUndo, L"Patch04", found, modules));
  }
  EXPECT_EQ(Query(), RC_NOT_PATCHED) << "an undo cut off is to be finished";
  EXPECT_EQ(Undo(), RC_SUCCEED);
  EXPECT_NE(ReadFile(recordPath_).find("<CurVersion>03</CurVersion>"), std::string::npos) << "back to patch 03";
}
