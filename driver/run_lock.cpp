// The single-instance lock. It lives where only administrators and SYSTEM
// can create files: in the install folder's backup folder, beside the
// record. A name in the global object namespace would not do: any user may
// create one first, hold it or deny everyone access to it, and so stop
// every apply and undo for good.
#include "driver/run_lock.h"


ResultCode TakeRunLock(const InstallInfo& install, RunLock* lock) {
  *lock = RunLock{};
  if (!install.folderRead) return RC_REGISTRY_READ_FAILED;
  wchar_t path[kPathChars] = {};
  // A path too long for the lock is too long for the record beside it.
  if (!BuildPath(lock->folder, install.folder, kBackupRootName) ||
      !BuildPath(path, lock->folder, kRunLockFileName)) {
    return RC_REGISTRY_READ_FAILED;
  }
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
  // going on without it is not.
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
