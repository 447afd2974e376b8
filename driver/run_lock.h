// The single-instance lock of the runs that change the machine (the apply
// and the undo): a file in the install folder's backup folder, held open
// by one run for itself alone.
#pragma once

#include "patchdata/patchdata.h"
#include "platform/platform.h"
#include "shared/result_codes.h"
#include "shared/shared.h"

constexpr const wchar_t* kRunLockFileName = L"qlpatch.lock";

struct RunLock {
  os::Handle file = nullptr;
  wchar_t folder[kPathChars] = {};  // the backup folder
  os::Handle heldFolder = nullptr;  // the backup folder, held while the lock is
  bool madeFolder = false;          // this run made it
};

// 0 when this run holds the lock; 1 when the install folder is unknown or
// not there; 24 when the backup folder is a link; 25 when someone other
// than administrators and SYSTEM owns it or may write to it; 1618 when
// another run holds it, or it cannot be had (a link in its place, say).
// Who may change the install folder is logged.
ResultCode TakeRunLock(const InstallInfo& install, RunLock* lock);
// Gives the lock back; the backup folder goes again when this run made it
// and left nothing in it.
void ReleaseRunLock(RunLock* lock);
