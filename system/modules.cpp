// Module replacement: each listed module is moved into the per-patch backup
// folder and the new copy from the working folder is put in its place; and
// the put-back that returns a module to what the run found.
#include "system/modules.h"

#include <cstdio>
#include <cwchar>

#include "patchdata/module_names.h"
#include "shared/file_steps.h"
#include "shared/run_log.h"
#include "system/module_restore.h"

namespace {

// Creates one folder level; a folder that is already there is fine.
bool MakeFolder(const wchar_t* path) {
  return os::MakeDirectory(path) || os::LastError() == os::kErrorAlreadyExists;
}

const wchar_t* FoundName(ModuleFound found) {
  switch (found) {
    case ModuleFound::kOriginal: return L"installed";
    case ModuleFound::kNew: return L"already the new copy";
    case ModuleFound::kCutShort: return L"not installed whole, its original in the backup";
    case ModuleFound::kMissing: return L"missing";
  }
  return L"";
}

}  // namespace

ResultCode BuildModulePaths(const wchar_t* installFolder, const wchar_t* moduleName, ModulePaths* paths) {
  if (g_backupFolderName[0] == 0 || !BuildPath(paths->backupRoot, installFolder, kBackupRootName) ||
      !BuildPath(paths->patchFolder, installFolder, kBackupRootName, g_backupFolderName)) {
    return RC_CREATE_BACKUP_DIR_FAILED;
  }
  wchar_t beside[kPathChars] = {};
  if (!IsSafeModuleName(moduleName) ||
      !BuildPath(paths->installed, installFolder, moduleName) ||
      !BuildPath(paths->backup, paths->patchFolder, moduleName) || !BesidePath(paths->installed, BesideCopy::kPutBack, beside) ||
      !BesidePath(paths->installed, BesideCopy::kNewCopy, beside)) {
    return RC_MOVE_FILE_FAILED;
  }
  return RC_SUCCEED;
}

namespace {

bool IsHeldError(uint32_t error) {
  return error == os::kErrorSharingViolation || error == os::kErrorLockViolation;
}

// Compares two files; one held open by another program is waited out or
// left for later, as `held` says (kHeld then).
enum class Comparison { kSame, kDifferent, kHeld, kUnreadable };
Comparison CompareModuleFiles(const wchar_t* first, const wchar_t* second, HeldModule held) {
  FileComparison result = FileComparison::kSame;
  const auto compare = [&] {
    result = CompareFiles(first, second);
    return result == FileComparison::kSame || result == FileComparison::kDifferent;
  };
  if (held == HeldModule::kWaitOut) {
    FileStep step;
    RetryFileOperation(compare, &step);
  } else {
    compare();
  }
  if (result == FileComparison::kSame) return Comparison::kSame;
  if (result == FileComparison::kDifferent) return Comparison::kDifferent;
  return held == HeldModule::kReadLater && IsHeldError(os::LastError()) ? Comparison::kHeld : Comparison::kUnreadable;
}

bool NewCopyReadable(const wchar_t* moduleName) {
  std::FILE* file = os::OpenFile(moduleName, L"rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

ResultCode ReadModulePlan(const wchar_t* installFolder, const wchar_t* moduleName, HeldModule held,
                          ModulePlan* plan) {
  *plan = ModulePlan();
  plan->installFolder = installFolder;
  plan->name = moduleName;
  const ResultCode built = BuildModulePaths(installFolder, moduleName, &plan->paths);
  if (built != RC_SUCCEED) {
    LogEvent(L"module %ls: refused (a name the tool does not accept, or a path too long)", moduleName);
    return built;
  }
  const ModulePaths& paths = plan->paths;
  // A module, or its backup, that is a link would be replaced or kept
  // wherever it points.
  if (os::IsReparsePoint(paths.installed) || os::IsReparsePoint(paths.backup)) {
    LogEvent(L"module %ls: it or its backup is a link (a symbolic link or a mount point); refused", moduleName);
    return RC_LINK_REFUSED;
  }
  // Without a new copy the module would be moved away and not replaced.
  if (!NewCopyReadable(moduleName)) {
    LogFailure(os::LastError(), L"module %ls: the new copy beside the tool cannot be read", moduleName);
    return RC_COPY_FILE_FAILED;
  }
  const bool installed = os::PathExists(paths.installed);
  const bool backedUp = os::PathExists(paths.backup);
  if (!installed) {
    plan->found = backedUp ? ModuleFound::kCutShort : ModuleFound::kMissing;
    plan->backup = backedUp ? BackupFound::kOther : BackupFound::kNone;
  } else {
    os::ReadFileAttributes(paths.installed, &plan->attributes);
    Comparison installedVsNew = CompareModuleFiles(paths.installed, moduleName, held);
    Comparison backupVsInstalled = Comparison::kDifferent;
    if (backedUp && installedVsNew != Comparison::kHeld && installedVsNew != Comparison::kUnreadable) {
      backupVsInstalled = CompareModuleFiles(paths.backup, paths.installed, held);
    }
    if (installedVsNew == Comparison::kUnreadable || backupVsInstalled == Comparison::kUnreadable) {
      if (IsHeldError(os::LastError())) plan->read = ModuleRead::kHeldOpen;  // and still held
      LogFailure(os::LastError(), L"module %ls: the installed file or its backup cannot be read", moduleName);
      return RC_MOVE_FILE_FAILED;
    }
    if (installedVsNew == Comparison::kHeld || backupVsInstalled == Comparison::kHeld) {
      plan->read = ModuleRead::kHeldOpen;
      LogFailure(os::LastError(), L"module %ls: held open by another program; read again once the product "
                 L"is stopped", moduleName);
    }
    plan->found = installedVsNew == Comparison::kSame ? ModuleFound::kNew : ModuleFound::kOriginal;
    if (backedUp) {
      plan->backup = backupVsInstalled == Comparison::kSame ? BackupFound::kSameAsInstalled : BackupFound::kOther;
    }
    // Neither the new copy nor the backup's original: what a cut-off copy
    // of the new module leaves.
    if (plan->found == ModuleFound::kOriginal && plan->backup == BackupFound::kOther &&
        plan->read == ModuleRead::kRead) {
      plan->found = ModuleFound::kCutShort;
    }
  }
  LogEvent(L"module %ls: %ls%ls (attributes %u)", moduleName, FoundName(plan->found),
           plan->backup == BackupFound::kNone ? L"" : L"; a backup of it is kept", plan->attributes);
  return RC_SUCCEED;
}

ResultCode CheckModuleCanBeReplaced(const ModulePlan& plan) {
  if (plan.read == ModuleRead::kHeldOpen) return RC_SUCCEED;  // looked at once the product is stopped
  if (plan.found == ModuleFound::kMissing) {
    LogEvent(L"module %ls: not installed, and the backup holds no original of it", plan.name.c_str());
    return RC_MOVE_FILE_FAILED;
  }
  return RC_SUCCEED;
}

namespace {

// One try: a link refused for any reason (held open, no hard links on the
// volume) leaves the move to find out, with its retries.
bool LinkOriginal(const ModulePaths& paths) { return os::LinkFile(paths.installed, paths.backup); }

}  // namespace

bool LeavesInstalledAsFound(const ModulePlan& plan, ModuleAction action) {
  if (action == ModuleAction::kReplace) return plan.found == ModuleFound::kNew;
  return plan.found == ModuleFound::kOriginal && plan.backup == BackupFound::kSameAsInstalled;
}

ResultCode BackupAndReplaceModule(const ModulePlan& plan, ModuleChange* change) {
  *change = ModuleChange();
  change->action = ModuleAction::kReplace;
  const wchar_t* name = plan.name.c_str();
  const ModulePaths& paths = plan.paths;
  RemoveBesideCopies(name, paths.installed);
  if (plan.found == ModuleFound::kMissing) {
    LogEvent(L"module %ls: not installed, and no backup of it", name);
    return RC_MOVE_FILE_FAILED;
  }
  if (os::IsReparsePoint(paths.backupRoot) || os::IsReparsePoint(paths.patchFolder)) {
    LogEvent(L"module %ls: the backup folder %ls is a link now; nothing is written through it", name,
             paths.patchFolder);
    return RC_LINK_REFUSED;
  }
  if (!MakeFolder(paths.backupRoot) || !MakeFolder(paths.patchFolder)) {
    LogFailure(os::LastError(), L"module %ls: the backup folder %ls cannot be made", name, paths.patchFolder);
    return RC_CREATE_BACKUP_DIR_FAILED;
  }
  if (LeavesInstalledAsFound(plan, ModuleAction::kReplace)) {
    // A module a patch ships unchanged from an earlier one: left as it is,
    // and kept in the backup by a second name like any module found, so
    // that the undo finds every listed module there (and still refuses
    // when a backup it needs was lost).
    if (plan.backup == BackupFound::kNone && LinkOriginal(paths)) {
      change->linkedToBackup = true;
      LogEvent(L"module %ls: already the new copy; left as it is, and kept as %ls", name, paths.backup);
    } else {
      LogEvent(L"module %ls: already the new copy; left as it is", name);
    }
    return RC_SUCCEED;
  }
  // The new copy is made whole beside the module first, and written
  // through: a copy that fails (a full disk) leaves the module as found,
  // and the record written after the modules never claims a patch whose
  // module a power cut could still leave holding zeros.
  wchar_t beside[kPathChars] = {};
  BesidePath(paths.installed, BesideCopy::kNewCopy, beside);  // it fits: BuildModulePaths checked
  FileStep copy;
  if (!CopyWrittenThrough(name, beside, &copy)) {
    LogFailure(copy.error, L"module %ls: the new copy cannot be copied in beside it and written through (%d tries)",
               name, copy.tries);
    change->held = IsHeldError(copy.error);
    FileStep cleanUp;
    DeleteRetrying(beside, &cleanUp);
    return RC_COPY_FILE_FAILED;
  }
  // The original gets a second name in the per-patch folder (a hard link:
  // nothing copied, no room needed), and the new copy then takes the
  // module's name in one step: the name never stands empty. Where the
  // volume has no hard links (FAT), the original is moved there instead,
  // and a cut between the move and the replace leaves the name empty until
  // the next run, its original in the backup. A backup that holds these
  // very bytes (an earlier run's) is kept as it is; one cut short by an
  // earlier run gets its new copy, or the product would stay without the
  // module on every later run.
  if (plan.found == ModuleFound::kOriginal && plan.backup == BackupFound::kNone && LinkOriginal(paths)) {
    change->movedToBackup = true;
    change->linkedToBackup = true;
    LogEvent(L"module %ls: its original kept as %ls (a second name, nothing copied)", name, paths.backup);
  } else if (plan.found == ModuleFound::kOriginal && plan.backup == BackupFound::kNone) {
    FileStep move;
    if (!MoveFileRetrying(paths.installed, paths.backup, &move)) {
      LogFailure(move.error, L"module %ls: cannot be moved to %ls (%d tries)", name, paths.backup, move.tries);
      change->held = IsHeldError(move.error);
      FileStep cleanUp;
      DeleteRetrying(beside, &cleanUp);
      return RC_MOVE_FILE_FAILED;
    }
    change->movedToBackup = true;
    LogEvent(L"module %ls: moved to %ls (%d tries)", name, paths.backup, move.tries);
  } else {
    LogEvent(L"module %ls: the original kept by an earlier run of this patch stays in %ls", name, paths.backup);
  }
  FileStep replace;
  if (!ReplaceRetrying(beside, paths.installed, &replace)) {
    LogFailure(replace.error, L"module %ls: the new copy cannot be moved in place (%d tries)", name, replace.tries);
    // MoveFileEx answers ERROR_ACCESS_DENIED, not a sharing violation, for
    // a target another program holds open without sharing deletion.
    change->held = IsHeldError(replace.error) || replace.error == os::kErrorAccessDenied;
    FileStep cleanUp;
    DeleteRetrying(beside, &cleanUp);
    return RC_COPY_FILE_FAILED;
  }
  change->installedWritten = true;
  uint64_t size = 0;
  os::FileSizeAt(paths.installed, &size);
  LogEvent(L"module %ls: new copy of %u bytes copied in beside it, written through and moved in place (%d tries "
           L"to copy, %d to move in place)",
           name, static_cast<unsigned>(size), copy.tries, replace.tries);
  return RC_SUCCEED;
}

ResultCode RestoreModule(const ModulePlan& plan, ModuleChange* change, KeptCopy keep) {
  *change = ModuleChange();
  change->action = ModuleAction::kRestoreOriginal;
  RemoveBesideCopies(plan.name.c_str(), plan.paths.installed);
  if (LeavesInstalledAsFound(plan, ModuleAction::kRestoreOriginal)) {
    LogEvent(L"module %ls: already the original", plan.name.c_str());
    return RC_SUCCEED;
  }
  // What is installed keeps a second name beside it (a hard link: nothing
  // copied, no room needed) until the undo is done, so that a put-back is
  // one rename however full the disk is by then. Where the volume has no
  // hard links, the put-back copies the new copy in again.
  wchar_t kept[kPathChars] = {};
  const bool installed = os::FileExists(plan.paths.installed);
  if (installed && BesidePath(plan.paths.installed, BesideCopy::kNewCopy, kept) &&
      os::LinkFile(plan.paths.installed, kept)) {
    change->keptBeside = true;
  } else if (installed && keep == KeptCopy::kRequired) {
    LogFailure(os::LastError(), L"module %ls: what is installed cannot keep a second name beside it: it stays",
               plan.name.c_str());
    return RC_MOVE_FILE_FAILED;
  }
  const ResultCode result = PutOriginalInPlace(plan.name.c_str(), plan.paths.backup, plan.paths.installed);
  change->installedWritten = result == RC_SUCCEED;
  return result;
}

void RemoveKeptCopy(const ModulePlan& plan) {
  wchar_t kept[kPathChars] = {};
  if (!BesidePath(plan.paths.installed, BesideCopy::kNewCopy, kept) || !os::PathExists(kept)) return;
  FileStep remove;
  if (!DeleteRetrying(kept, &remove)) {
    LogFailure(remove.error, L"module %ls: %ls stays (%d tries to remove it); the next run removes it",
               plan.name.c_str(), kept, remove.tries);
  }
}

namespace {

ResultCode PutBack(const ModulePlan& plan, const ModuleChange& change) {
  const wchar_t* name = plan.name.c_str();
  const ModulePaths& paths = plan.paths;
  if (change.linkedToBackup && !change.installedWritten) {
    // The installed name still holds the original: its second name goes.
    FileStep remove;
    if (!DeleteRetrying(paths.backup, &remove)) {
      LogFailure(remove.error, L"module %ls: its second name %ls stays (%d tries)", name, paths.backup, remove.tries);
    }
    return RC_SUCCEED;
  }
  if (change.movedToBackup) {
    // The original goes back over whatever the step left, in one step.
    FileStep replace;
    if (!ReplaceRetrying(paths.backup, paths.installed, &replace)) {
      LogFailure(replace.error, L"module %ls: the original cannot be moved back (%d tries)", name, replace.tries);
      return RC_MOVE_FILE_FAILED;
    }
    LogEvent(L"module %ls: the original moved back (%d tries)", name, replace.tries);
    return RC_SUCCEED;
  }
  if (change.keptBeside) {
    wchar_t kept[kPathChars] = {};
    BesidePath(paths.installed, BesideCopy::kNewCopy, kept);  // it fits: the step made it
    FileStep replace;
    if (!change.installedWritten) {
      // Still installed by its own name: the second name goes.
      RemoveKeptCopy(plan);
      return RC_SUCCEED;
    }
    if (ReplaceRetrying(kept, paths.installed, &replace)) {
      LogEvent(L"module %ls: the copy it replaced moved back (%d tries)", name, replace.tries);
      return RC_SUCCEED;
    }
    LogFailure(replace.error, L"module %ls: the copy it replaced cannot be moved back (%d tries)", name,
               replace.tries);
  }
  if (!change.installedWritten) return RC_SUCCEED;
  if (change.action == ModuleAction::kRestoreOriginal) return PutNewCopyInPlace(name, paths.installed);
  // The original kept by an earlier run, for a module found original or
  // cut short.
  return PutOriginalInPlace(name, paths.backup, paths.installed);
}

}  // namespace

ResultCode PutModuleBackAsFound(const ModulePlan& plan, const ModuleChange& change) {
  const ResultCode result = PutBack(plan, change);
  // What the step cleared to move the module (read-only, hidden, system)
  // comes back with it. Cleared through one name of the original, it was
  // cleared through its other name in the backup too.
  if (result != RC_SUCCEED || (plan.attributes & kBlockingAttributes) == 0) return result;
  uint32_t now = 0;
  const uint32_t found = plan.attributes & kBlockingAttributes;
  if (os::ReadFileAttributes(plan.paths.installed, &now) && (now & kBlockingAttributes) == found) return result;
  if (!os::RestoreFileAttributes(plan.paths.installed, plan.attributes)) {
    LogFailure(os::LastError(), L"module %ls: put back, but without its attributes %u", plan.name.c_str(),
               plan.attributes);
  }
  return result;
}
