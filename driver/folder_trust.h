// Who, other than administrators, may change the folders a run acts in.
// The tool runs as SYSTEM: a folder a standard user may write to, or owns
// (and so may give himself any right to), may hold what that user planted.
#pragma once

#include "platform/platform.h"
#include "shared/result_codes.h"

enum class FolderTrust {
  kAdminsOnly,   // only SYSTEM, Administrators, TrustedInstaller and this run's account may change it
  kOpenToUsers,  // someone else owns it or may write to it
  kUnknown,      // its owner and DACL cannot be read
};
enum class TrustFindings { kLog, kKeep };

// Reads the held folder's owner and DACL. With kLog, a line of the run log
// names the folder, each other owner and each other SID that may write to
// it, with its rights.
FolderTrust CheckFolderTrust(os::Handle folder, const wchar_t* path, TrustFindings findings);

// A folder of the tool's as HoldFolder found it (kHeld or kLink): 0 for a
// plain folder that only administrators may change; 24 for a link; 25 for
// one that anyone else owns or may write to (who, and why it is not used,
// logged). The caller deals with kMissing and kFailed.
ResultCode RefuseUntrustedFolder(os::FolderOpen open, os::Handle held, const wchar_t* path);

// Whether the folder at `path` is one whose files the tool may write: a
// plain folder (not a link) that only administrators may change. One not
// there is not written in: only the run lock makes it, with its rights.
// Nothing is logged.
bool MayWriteInFolder(const wchar_t* path);
