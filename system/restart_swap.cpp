#include "system/restart_swap.h"

#include <cwchar>

#include "platform/platform.h"
#include "shared/file_steps.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/module_restore.h"

namespace {

wchar_t Fold(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// A path in the form Windows writes into the value, for comparing: "/" read
// as "\\", a run of separators as one (an install folder given as
// "C:\Qorlink\" is "C:\Qorlink" there), upper case.
std::wstring Comparable(const std::wstring& path) {
  std::wstring out;
  for (wchar_t c : path) {
    c = c == L'/' ? L'\\' : Fold(c);
    if (c == L'\\' && !out.empty() && out.back() == L'\\') continue;
    out.push_back(c);
  }
  if (out.size() > 1 && out.back() == L'\\') out.pop_back();
  return out;
}

// A path as PendingFileRenameOperations holds it, without "!" and "\??\".
std::wstring Bare(std::wstring text) {
  if (!text.empty() && text[0] == L'!') text.erase(0, 1);
  if (text.compare(0, 4, L"\\??\\") == 0) text.erase(0, 4);
  return text;
}

bool Inside(const std::wstring& path, const wchar_t* folder) {
  const std::wstring inner = Comparable(path), outer = Comparable(folder);
  return inner.size() > outer.size() && inner[outer.size()] == L'\\' && inner.compare(0, outer.size(), outer) == 0;
}

// The value's strings, in order (the closing zero ends the list).
std::vector<std::wstring> Strings(const std::wstring& value) {
  std::vector<std::wstring> strings;
  for (size_t start = 0; start < value.size();) {
    size_t end = value.find(L'\0', start);
    if (end == std::wstring::npos) end = value.size();
    strings.push_back(value.substr(start, end - start));
    start = end + 1;
  }
  // The closing zero reads as one more, empty string after the last pair.
  if (strings.size() % 2 == 1 && strings.back().empty()) strings.pop_back();
  return strings;
}

bool IsOwnPair(const std::wstring& from, const std::wstring& to, const wchar_t* backupRoot) {
  return Inside(Bare(from), backupRoot) || Inside(Bare(to), backupRoot);
}

// A staged copy's name or path: it ends with kStagedSuffix.
bool IsStaged(const std::wstring& name) {
  const size_t suffix = std::wcslen(kStagedSuffix);
  return name.size() > suffix && name.compare(name.size() - suffix, suffix, kStagedSuffix) == 0;
}

bool StagedPath(const wchar_t* path, wchar_t (&staged)[kPathChars]) {
  if (std::wcslen(path) + std::wcslen(kStagedSuffix) >= static_cast<size_t>(kPathChars)) return false;
  os::FormatWide(staged, kPathChars, L"%ls%ls", path, kStagedSuffix);
  return true;
}

void RemoveStaged(const wchar_t* staged) {
  FileStep remove;
  if (!DeleteRetrying(staged, &remove)) {
    LogFailure(remove.error, L"the staged copy %ls stays (%d tries to remove it)", staged, remove.tries);
  }
}

// The record as the patch leaves it, staged: the record's bytes (or a
// fresh record), with the patch recorded.
bool StageRecord(const PatchDescription& description, ResultCode patchState, const wchar_t* recordPath,
                 const wchar_t* staged) {
  FileStep step;
  if (patchState == RC_RECORD_MISSING && RecordAbsentOrBlank(recordPath)) {
    DeleteRetrying(staged, &step);
    CreatePatchRecord(staged);
  } else if (!CopyWrittenThrough(recordPath, staged, &step)) {
    LogFailure(step.error, L"the record cannot be copied to %ls", staged);
    return false;
  }
  return RecordPatch(description, staged) == RC_SUCCEED;
}

}  // namespace

void LogFileHolders(const wchar_t* path) {
  constexpr int kMostHolders = 16;
  os::FileHolder holders[kMostHolders] = {};
  int count = 0;
  if (!os::ListFileHolders(path, holders, kMostHolders, &count)) {
    LogFailure(os::LastError(), L"%ls: who holds it open cannot be told (Restart Manager gives no answer)", path);
    return;
  }
  if (count == 0) LogEvent(L"%ls: Restart Manager names no process that holds it open (it cannot tell)", path);
  for (int i = 0; i < count && i < kMostHolders; ++i) {
    const std::wstring image = holders[i].image[0] != 0 ? std::wstring(L", ") + holders[i].image : L"";
    LogEvent(L"%ls: held open by process %ls (%ls%ls), session %ls, application type %ls", path,
             std::to_wstring(holders[i].processId).c_str(), holders[i].name, image.c_str(),
             std::to_wstring(holders[i].sessionId).c_str(), std::to_wstring(holders[i].appType).c_str());
  }
  if (count > kMostHolders) {
    LogEvent(L"%ls: processes that also hold it open, not named here: %ls", path,
             std::to_wstring(count - kMostHolders).c_str());
  }
}

ResultCode StageSwapAtRestart(const std::vector<ModulePlan>& modules, const PatchDescription& description,
                              ResultCode patchState, const wchar_t* recordPath, StagedSwap* staged) {
  *staged = StagedSwap();
  for (const ModulePlan& module : modules) {
    wchar_t stagedPath[kPathChars] = {};
    FileStep copy;
    if ((!os::MakeDirectory(module.paths.patchFolder) && os::LastError() != os::kErrorAlreadyExists) ||
        !StagedPath(module.paths.backup, stagedPath) || !CopyWrittenThrough(module.name.c_str(), stagedPath, &copy)) {
      LogFailure(copy.error, L"module %ls: its new copy cannot be staged for the restart", module.name.c_str());
      if (stagedPath[0] != 0) RemoveStaged(stagedPath);
      DropStagedSwap(*staged);
      return RC_COPY_FILE_FAILED;
    }
    staged->modules.push_back(stagedPath);
  }
  wchar_t stagedRecord[kPathChars] = {};
  if (!StagedPath(recordPath, stagedRecord) || !StageRecord(description, patchState, recordPath, stagedRecord)) {
    LogEvent(L"the record as the patch leaves it cannot be staged for the restart");
    if (stagedRecord[0] != 0) RemoveStaged(stagedRecord);
    DropStagedSwap(*staged);
    return RC_COPY_FILE_FAILED;
  }
  staged->record = stagedRecord;
  return RC_SUCCEED;
}

MixLeft MakeEarlierMixWhole(const std::vector<ModulePlan>& modules, WholeOn whole) {
  const auto original = [](const ModulePlan& module) {
    return PutOriginalInPlace(module.name.c_str(), module.paths.backup, module.paths.installed);
  };
  const auto newCopy = [](const ModulePlan& module) {
    return PutNewCopyInPlace(module.name.c_str(), module.paths.installed);
  };
  const auto toChange = [whole](const ModulePlan& module) {
    if (module.read != ModuleRead::kRead) return false;
    return whole == WholeOn::kOriginals
               ? module.found == ModuleFound::kCutShort ||
                     (module.found == ModuleFound::kNew && module.backup != BackupFound::kNone)
               : module.found == ModuleFound::kOriginal && module.backup == BackupFound::kSameAsInstalled;
  };
  const auto alreadyThere = [whole](const ModulePlan& module) {
    if (module.read != ModuleRead::kRead) return whole == WholeOn::kOriginals && module.backup == BackupFound::kNone;
    return whole == WholeOn::kOriginals
               ? module.found == ModuleFound::kOriginal && module.backup != BackupFound::kOther
               : module.found == ModuleFound::kNew;
  };
  // Nothing is changed unless the product comes out whole.
  for (const ModulePlan& module : modules) {
    if (alreadyThere(module) || toChange(module)) continue;
    LogEvent(L"module %ls: the mix cannot be made whole on the %ls", module.name.c_str(),
             whole == WholeOn::kOriginals ? L"originals" : L"new copies");
    return MixLeft::kAsFound;
  }
  // An earlier run's new copy keeps a second name beside it while its
  // original goes in (as an undo's step does), so that going back needs no
  // room on the disk; an earlier undo's original goes back from the backup.
  std::vector<std::pair<const ModulePlan*, ModuleChange>> done;
  const auto goBack = [whole, &original](const ModulePlan& module, const ModuleChange& change) {
    return whole == WholeOn::kOriginals ? PutModuleBackAsFound(module, change) : original(module);
  };
  for (const ModulePlan& module : modules) {
    if (!toChange(module)) continue;
    ModuleChange change;
    const ResultCode result =
        whole == WholeOn::kOriginals ? RestoreModule(module, &change, KeptCopy::kRequired) : newCopy(module);
    if (result != RC_SUCCEED) {
      // Part-way, the product would run on a mix: this one and those done
      // get what they had again, newest first.
      bool asFound = whole == WholeOn::kNewCopies || goBack(module, change) == RC_SUCCEED;
      for (auto back = done.rbegin(); back != done.rend(); ++back) {
        asFound = goBack(*back->first, back->second) == RC_SUCCEED && asFound;
      }
      return asFound ? MixLeft::kAsFound : MixLeft::kNeither;
    }
    done.emplace_back(&module, change);
  }
  // A second name that cannot be removed now goes at the next restart,
  // which no run needs it past.
  for (const auto& module : done) {
    RemoveKeptCopy(*module.first);
    wchar_t kept[kPathChars] = {};
    if (BesidePath(module.first->paths.installed, BesideCopy::kNewCopy, kept) && os::PathExists(kept) &&
        os::ScheduleRenameAtRestart(kept, nullptr)) {
      LogEvent(L"module %ls: %ls goes at the next restart", module.first->name.c_str(), kept);
    }
  }
  return MixLeft::kWhole;
}

void DropStagedSwap(const StagedSwap& staged) {
  for (const std::wstring& path : staged.modules) {
    if (!path.empty()) RemoveStaged(path.c_str());
  }
  if (!staged.record.empty()) RemoveStaged(staged.record.c_str());
}

namespace {

// A swap that cannot be scheduled whole goes: renames already written that
// cannot be taken back keep their staged copies, so that the restart, or
// the next run, still finds what they name.
ResultCode TakeBackSwap(const StagedSwap& staged, const wchar_t* backupRoot) {
  if (CancelPendingSwap(backupRoot)) {
    DropStagedSwap(staged);
  } else {
    LogEvent(L"the renames written so far cannot be taken back: their staged copies stay");
  }
  return RC_MOVE_FILE_FAILED;
}

}  // namespace

ResultCode ScheduleSwapAtRestart(const std::vector<ModulePlan>& modules, const StagedSwap& staged,
                                 const wchar_t* recordPath, const wchar_t* backupRoot) {
  std::vector<std::pair<std::wstring, std::wstring>> renames;
  for (size_t i = 0; i < modules.size() && i < staged.modules.size(); ++i) {
    if (staged.modules[i].empty()) continue;
    // An original already in the per-patch folder (an earlier run's) is
    // the one to keep: the installed file is then an earlier new copy.
    if (!os::PathExists(modules[i].paths.backup)) {
      renames.emplace_back(modules[i].paths.installed, modules[i].paths.backup);
    }
    renames.emplace_back(staged.modules[i], modules[i].paths.installed);
  }
  renames.emplace_back(staged.record, recordPath);
  for (const auto& rename : renames) {
    if (os::ScheduleRenameAtRestart(rename.first.c_str(), rename.second.c_str())) continue;
    LogFailure(os::LastError(), L"%ls cannot be scheduled to move to %ls at the restart", rename.first.c_str(),
               rename.second.c_str());
    return TakeBackSwap(staged, backupRoot);
  }
  // On disk before the run counts on them: the registry writes them only
  // lazily otherwise, and a power cut meanwhile would lose them.
  if (!os::FlushPendingRenames()) {
    LogFailure(os::LastError(), L"the renames scheduled for the restart cannot be written to disk");
    return TakeBackSwap(staged, backupRoot);
  }
  for (const auto& rename : renames) {
    LogEvent(L"at the restart: %ls moves to %ls", rename.first.c_str(), rename.second.c_str());
  }
  return RC_SUCCEED;
}

ResultCode ScheduleRecordAtRestart(const PatchDescription& description, ResultCode patchState,
                                   const wchar_t* recordPath, const wchar_t* backupRoot) {
  StagedSwap staged;
  wchar_t stagedRecord[kPathChars] = {};
  if (!StagedPath(recordPath, stagedRecord) || !StageRecord(description, patchState, recordPath, stagedRecord)) {
    LogEvent(L"the record as the patch leaves it cannot be staged for the restart");
    if (stagedRecord[0] != 0) RemoveStaged(stagedRecord);
    return RC_COPY_FILE_FAILED;
  }
  staged.record = stagedRecord;
  return ScheduleSwapAtRestart({}, staged, recordPath, backupRoot);
}

PendingSwap FindPendingSwap(const wchar_t* backupRoot) {
  std::wstring value;
  if (!os::ReadPendingRenames(&value)) return PendingSwap::kUnknown;
  const std::vector<std::wstring> strings = Strings(value);
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    if (IsOwnPair(strings[i], strings[i + 1], backupRoot)) return PendingSwap::kWaiting;
  }
  return PendingSwap::kNone;
}

bool CancelPendingSwap(const wchar_t* backupRoot) {
  std::vector<std::wstring> staged;
  // Another program may add a rename between the read and the write: the
  // write is then refused, and the value read again.
  os::PendingRenamesWrite written = os::PendingRenamesWrite::kChanged;
  for (int attempt = 0; attempt < 8 && written == os::PendingRenamesWrite::kChanged; ++attempt) {
    std::wstring value;
    if (!os::ReadPendingRenames(&value)) {
      LogFailure(os::LastError(), L"the renames waiting for the restart cannot be read");
      return false;
    }
    const std::vector<std::wstring> strings = Strings(value);
    std::wstring kept;
    staged.clear();
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      const std::wstring from = Bare(strings[i]);
      if (!IsOwnPair(strings[i], strings[i + 1], backupRoot)) {
        kept.append(strings[i]).push_back(L'\0');
        kept.append(strings[i + 1]).push_back(L'\0');
      } else if (IsStaged(from)) {
        staged.push_back(from);
      }
    }
    if (!kept.empty()) kept.push_back(L'\0');
    written = kept.size() == value.size() ? os::PendingRenamesWrite::kWritten : os::WritePendingRenames(value, kept);
  }
  if (written != os::PendingRenamesWrite::kWritten) {
    LogFailure(written == os::PendingRenamesWrite::kFailed ? os::LastError() : 0,
               L"the renames waiting for the restart cannot be written back%ls",
               written == os::PendingRenamesWrite::kChanged ? L": other programs kept changing them" : L"");
    return false;
  }
  for (const std::wstring& path : staged) RemoveStaged(path.c_str());
  LogEvent(L"the swap that waited for the restart is taken back: %d staged copies removed, every other program's "
           L"renames kept", static_cast<int>(staged.size()));
  return true;
}

namespace {

void CollectStaged(void* context, const wchar_t* name, bool isFolder) {
  if (!isFolder && IsStaged(name)) {
    static_cast<std::vector<std::wstring>*>(context)->push_back(name);
  }
}

}  // namespace

void RemoveStagedCopies(const wchar_t* backupRoot, const std::wstring& patch) {
  wchar_t folder[kPathChars] = {}, path[kPathChars] = {};
  std::vector<std::wstring> names;
  if (BuildPath(folder, backupRoot, patch.c_str()) && os::PathExists(folder)) {
    os::ListFolder(folder, CollectStaged, &names);
  }
  for (const std::wstring& name : names) {
    if (BuildPath(path, folder, name.c_str())) RemoveStaged(path);
  }
  wchar_t record[kPathChars] = {};
  if (BuildPath(record, backupRoot, kRecordFileName) && StagedPath(record, path) && os::PathExists(path)) {
    RemoveStaged(path);
  }
}
