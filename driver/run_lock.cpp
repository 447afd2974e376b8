// The single-instance lock. It lives where only administrators and SYSTEM
// can create files: in the install folder's backup folder, beside the
// record. A name in the global object namespace would not do: any user may
// create one first, hold it or deny everyone access to it, and so stop
// every apply and undo for good.
#include "driver/run_lock.h"

#include "driver/folder_trust.h"
#include "shared/run_log.h"


namespace {

// The install folder is the product installer's choice: who may change it
// is logged for the admin, and the run goes on (those users may change the
// modules themselves, whatever the tool does).
void LogWhoMayChangeInstallFolder(const wchar_t* installFolder) {
  os::Handle folder = nullptr;
  if (os::HoldFolder(installFolder, &folder) != os::FolderOpen::kHeld) return;
  CheckFolderTrust(folder, installFolder, TrustFindings::kLog);
  os::LetGoOfFolder(folder);
}

// Holds the backup folder, made by this run when missing, for the rest of
// the run: while held it cannot be renamed, removed or made a link.
ResultCode HoldBackupFolder(RunLock* lock) {
  os::FolderOpen open = os::HoldFolder(lock->folder, &lock->heldFolder);
  if (open == os::FolderOpen::kMissing) {
    if (os::MakeDirectory(lock->folder)) {
      lock->madeFolder = true;
    } else if (os::LastError() == os::kErrorPathNotFound) {
      // No install folder where the install values say: the product is
      // not usable, and nothing would be found to patch.
      return RC_REGISTRY_READ_FAILED;
    }
    open = os::HoldFolder(lock->folder, &lock->heldFolder);
  }
  if (open == os::FolderOpen::kMissing || open == os::FolderOpen::kFailed) {
    LogFailure(os::LastError(), L"the backup folder %ls cannot be opened", lock->folder);
    return RC_ANOTHER_RUN_IN_PROGRESS;
  }
  // A link would take the lock, the log, the record and the backups
  // wherever it points: refused, nothing written.
  return RefuseUntrustedFolder(open, lock->heldFolder, lock->folder);
}

}  // namespace

ResultCode TakeRunLock(const InstallInfo& install, RunLock* lock) {
  *lock = RunLock{};
  if (!install.folderRead) return RC_REGISTRY_READ_FAILED;
  wchar_t path[kPathChars] = {};
  // A path too long for the lock is too long for the record beside it.
  if (!BuildPath(lock->folder, install.folder, kBackupRootName) ||
      !BuildPath(path, lock->folder, kRunLockFileName)) {
    return RC_REGISTRY_READ_FAILED;
  }
  LogWhoMayChangeInstallFolder(install.folder);
  const ResultCode held = HoldBackupFolder(lock);
  if (held != RC_SUCCEED) {
    ReleaseRunLock(lock);
    return held;
  }
  if (os::OpenLockFile(path, &lock->file) == os::LockTake::kOwned) return RC_SUCCEED;
  // Held by another run, or not to be had at all: retrying later is safe,
  // going on without it is not. The log says which.
  LogFailure(os::LastError(), L"the lock %ls cannot be had%ls", path,
             os::LastError() == os::kErrorSharingViolation ? L": another run holds it" : L"");
  lock->file = nullptr;
  ReleaseRunLock(lock);
  return RC_ANOTHER_RUN_IN_PROGRESS;
}

void ReleaseRunLock(RunLock* lock) {
  if (lock->file != nullptr) os::CloseLockFile(lock->file);
  lock->file = nullptr;
  os::LetGoOfFolder(lock->heldFolder);
  lock->heldFolder = nullptr;
  // Only an empty folder can be removed: one holding backups or the record stays.
  if (lock->madeFolder) os::RemoveFolder(lock->folder);
  lock->madeFolder = false;
}
