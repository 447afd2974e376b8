// The single-instance lock. It lives where only administrators and SYSTEM
// can create files: in the install folder's backup folder, beside the
// record. A name in the global object namespace would not do: any user may
// create one first, hold it or deny everyone access to it, and so stop
// every apply and undo for good.
#include "driver/run_lock.h"

#include "shared/run_log.h"


ResultCode TakeRunLock(const InstallInfo& install, RunLock* lock) {
  *lock = RunLock{};
  if (!install.folderRead) return RC_REGISTRY_READ_FAILED;
  wchar_t path[kPathChars] = {};
  // A path too long for the lock is too long for the record beside it.
  if (!BuildPath(lock->folder, install.folder, kBackupRootName) ||
      !BuildPath(path, lock->folder, kRunLockFileName)) {
    return RC_REGISTRY_READ_FAILED;
  }
  // A backup folder that is a link would take the lock, the log, the
  // record and the backups wherever it points: refused, nothing written.
  if (os::IsReparsePoint(lock->folder)) return RC_LINK_REFUSED;
  if (os::MakeDirectory(lock->folder)) {
    lock->madeFolder = true;
  } else if (os::LastError() == os::kErrorPathNotFound) {
    // No install folder where the install values say: the product is not
    // usable, and nothing would be found to patch.
    return RC_REGISTRY_READ_FAILED;
  }
  // Otherwise the folder is there already, mostly; opening the file tells.
  if (os::OpenLockFile(path, &lock->file) == os::LockTake::kOwned) return RC_SUCCEED;
  // Held by another run, or not to be had at all: retrying later is safe,
  // going on without it is not. The log says which.
  LogFailure(os::LastError(), L"the lock %ls cannot be had%ls", path,
             os::LastError() == os::kErrorSharingViolation ? L": another run holds it" : L"");
  lock->file = nullptr;
  if (lock->madeFolder) os::RemoveFolder(lock->folder);
  lock->madeFolder = false;
  return RC_ANOTHER_RUN_IN_PROGRESS;
}

void ReleaseRunLock(RunLock* lock) {
  if (lock->file != nullptr) os::CloseLockFile(lock->file);
  lock->file = nullptr;
  // Only an empty folder can be removed: one holding backups or the record stays.
  if (lock->madeFolder) os::RemoveFolder(lock->folder);
  lock->madeFolder = false;
}
