#include "driver/cut_off_run.h"

#include "shared/run_log.h"

namespace {

const wchar_t* ModeName(RunMode mode) { return mode == RunMode::kApply ? L"an apply" : L"an undo"; }

// What a mode's sequence ends with when the product is whole and nothing
// of the run that was cut off is left to do.
bool EndedWhole(RunMode mode, ResultCode result) {
  if (result == RC_SUCCEED) return true;
  if (mode == RunMode::kApply) return result == RC_PATCH_IS_LATEST;
  return result == RC_NOT_PATCHED || result == RC_RECORD_MISSING;
}

}  // namespace

ResultCode RunAfterCutOffRun(const InstallInfo& install, RunMode mode, ModeSequence apply, ModeSequence undo) {
  wchar_t path[kPathChars] = {};
  CutOffRun cutOff;
  JournalFound found = JournalPathOf(install, path) ? ReadJournal(path, &cutOff) : JournalFound::kNone;
  if (found == JournalFound::kBlank) {
    LogEvent(L"a journal cut off before a run's first change is removed: nothing was changed");
    RemoveJournal(path);
    found = JournalFound::kNone;
  }
  const CutOffRun* carried = nullptr;
  if (found == JournalFound::kCutOff) {
    LogEvent(L"%ls of %ls was cut off (its last step: %ls); it is finished first", ModeName(cutOff.mode),
             cutOff.patch.c_str(), cutOff.lastStep.empty() ? L"none" : cutOff.lastStep.c_str());
    if (cutOff.mode == mode) {
      carried = &cutOff;
    } else {
      const ResultCode finished = (cutOff.mode == RunMode::kApply ? apply : undo)(install, &cutOff);
      if (!EndedWhole(cutOff.mode, finished)) {
        LogEvent(L"the run that was cut off cannot be finished (%d); this run does nothing more", finished);
        return finished;
      }
      if (os::PathExists(path)) RemoveJournal(path);
      LogEvent(L"the run that was cut off is finished (%d); now %ls", finished, ModeName(mode));
    }
  }
  const ResultCode result = (mode == RunMode::kApply ? apply : undo)(install, carried);
  if (carried != nullptr && EndedWhole(mode, result) && os::PathExists(path)) RemoveJournal(path);
  return result;
}

ResultCode CheckCutOffPatch(const CutOffRun* cutOff) {
  if (cutOff == nullptr || SameIgnoringAsciiCase(cutOff->patch, g_backupFolderName)) return RC_SUCCEED;
  LogEvent(L"the run that was cut off was of %ls, not %ls: only that patch's tool can finish it",
           cutOff->patch.c_str(), g_backupFolderName);
  return RC_MOVE_FILE_FAILED;
}

void CarryCutOffServices(const CutOffRun* cutOff, ServiceLedger* ledger) {
  if (cutOff == nullptr) return;
  for (const std::wstring& name : cutOff->services) ledger->Carry(name.c_str());
}

ResultCode AnswerOverCutOffRun(const InstallInfo& install, ResultCode state) {
  if (state != RC_PATCH_IS_LATEST) return state;
  wchar_t path[kPathChars] = {};
  CutOffRun cutOff;
  if (!JournalPathOf(install, path) || ReadJournal(path, &cutOff) != JournalFound::kCutOff) return state;
  if (cutOff.mode == RunMode::kApply && SameIgnoringAsciiCase(cutOff.patch, g_backupFolderName)) return state;
  return RC_NOT_PATCHED;
}
