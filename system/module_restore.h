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
// Put in the installed file's place in one step: the copy is whole on the
// disk before it takes the installed file's place, so that at every moment
// one whole copy or the other is installed, never neither. 0, 13 (the
// installed file cannot be replaced: held open, for one) or 14 (the copy
// cannot be made).
//
// The original kept in the per-patch backup `backup`, which stays as it
// is. On the same volume the copy is a second name of it (a hard link),
// which needs no room on the disk; elsewhere, or where the volume has no
// hard links, a copy written through.
ResultCode PutOriginalInPlace(const wchar_t* moduleName, const wchar_t* backup, const wchar_t* installed);
// The new copy from the patch folder (`moduleName`, relative to it), always
// a copy written through: never a second name of a file in a folder that
// others than administrators may be able to change, which would let them
// change the installed module through it.
ResultCode PutNewCopyInPlace(const wchar_t* moduleName, const wchar_t* installed);
// Removes a module's backup copy; a copy that stays is logged.
void RemoveModuleBackup(const wchar_t* moduleName, const wchar_t* backup);
// The module names the per-patch backup folder holds originals of (files
// in it and its subfolders, as relative paths). 0, or 13 when it cannot be
// read or holds a name the apply would have refused.
ResultCode ListBackedUpModules(const wchar_t* patchFolder, std::vector<std::wstring>* modules);
// Removes the per-patch backup folder when it is empty.
void RemovePatchBackupFolder(const wchar_t* patchFolder);
