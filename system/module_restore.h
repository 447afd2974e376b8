// Putting a module file back in place in one step, and what the per-patch
// backup holds.
#pragma once

#include <string>
#include <vector>

#include "shared/result_codes.h"
#include "shared/shared.h"

// The copies made beside an installed file before they take its place in
// one step: `.qlnew` for the new copy, `.qlundo` for what a put-back puts
// back. False when the path would not fit.
enum class BesideCopy { kNewCopy, kPutBack };
bool BesidePath(const wchar_t* installed, BesideCopy copy, wchar_t (&beside)[kPathChars]);
// Removes both copies beside an installed file, left by a run that was cut
// off; neither is ever needed again.
void RemoveBesideCopies(const wchar_t* moduleName, const wchar_t* installed);
// Puts `source` in the installed file's place. The copy is whole on the
// disk before it takes the installed file's place in one step: at every
// moment one whole copy or the other is installed, never neither, and
// `source` stays as it is. On the same volume the copy is a second name of
// `source` (a hard link), which needs no room on the disk; elsewhere, or
// where the volume has no hard links, a copy written through. `what`
// names the copy in the log. 0, 13 (the installed file cannot be
// replaced: held open, for one) or 14 (the copy cannot be made).
ResultCode PutInPlace(const wchar_t* moduleName, const wchar_t* source, const wchar_t* installed,
                      const wchar_t* what);
// Removes a module's backup copy; a copy that stays is logged.
void RemoveModuleBackup(const wchar_t* moduleName, const wchar_t* backup);
// The module names the per-patch backup folder holds originals of (files
// in it and its subfolders, as relative paths). 0, or 13 when it cannot be
// read or holds a name the apply would have refused.
ResultCode ListBackedUpModules(const wchar_t* patchFolder, std::vector<std::wstring>* modules);
// Removes the per-patch backup folder when it is empty.
void RemovePatchBackupFolder(const wchar_t* patchFolder);
