// Putting a module file back in place: the original from the per-patch
// backup (an undo, or the put-back of a failed apply) or the new copy from
// the patch folder (the put-back of a failed undo). And what the per-patch
// backup holds.
#include <cwchar>
#include <string>
#include <vector>

#include "patchdata/patchdata.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "shared/file_steps.h"
#include "system/system.h"

namespace {

// The file put back is first copied in beside the installed file under
// this suffix, then moved over it.
constexpr const wchar_t* kRestoreSuffix = L".qlundo";

// The copy made beside an installed file. False when it would not fit.
bool BesidePath(const wchar_t* installed, wchar_t (&beside)[kPathChars]) {
  if (std::wcslen(installed) + std::wcslen(kRestoreSuffix) >= static_cast<size_t>(kPathChars)) return false;
  os::FormatWide(beside, kPathChars, L"%ls%ls", installed, kRestoreSuffix);
  return true;
}

// The paths of one module. False when the name or a path, also that of
// the copy made beside the installed file, cannot be used.
bool RestorePaths(const wchar_t* installFolder, const wchar_t* moduleName, ModulePaths* paths) {
  wchar_t beside[kPathChars] = {};
  return BuildModulePaths(installFolder, moduleName, paths) == RC_SUCCEED && BesidePath(paths->installed, beside);
}

// Puts `source` in the installed file's place. The copy is whole on the
// disk before it takes the installed file's place in one step: at every
// moment one whole copy or the other is installed, never neither, and
// `source` stays as it is. 0, 13 (the installed file cannot be replaced:
// held open, for one) or 14 (the copy cannot be made).
ResultCode PutInPlace(const wchar_t* moduleName, const wchar_t* source, const wchar_t* installed,
                      const wchar_t* what) {
  wchar_t beside[kPathChars] = {};
  if (!BesidePath(installed, beside)) return RC_MOVE_FILE_FAILED;
  FileStep copy;
  if (!CopyWrittenThrough(source, beside, &copy)) {
    LogFailure(copy.error, L"module %ls: the %ls cannot be copied in beside it (%d tries)", moduleName, what,
               copy.tries);
    FileStep cleanUp;
    DeleteRetrying(beside, &cleanUp);
    return RC_COPY_FILE_FAILED;
  }
  FileStep replace;
  if (!ReplaceRetrying(beside, installed, &replace)) {
    LogFailure(replace.error, L"module %ls: the installed copy cannot be replaced by the %ls (%d tries)",
               moduleName, what, replace.tries);
    FileStep cleanUp;
    DeleteRetrying(beside, &cleanUp);
    return RC_MOVE_FILE_FAILED;
  }
  uint64_t size = 0;
  os::FileSizeAt(installed, &size);
  LogEvent(L"module %ls: the %ls of %u bytes put back (%d tries to copy, %d to move in place)", moduleName, what,
           static_cast<unsigned>(size), copy.tries, replace.tries);
  return RC_SUCCEED;
}

}  // namespace

ResultCode CheckModuleBackup(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  if (!RestorePaths(installFolder, moduleName, &paths)) return RC_MOVE_FILE_FAILED;
  return os::FileExists(paths.backup) ? RC_SUCCEED : RC_MOVE_FILE_FAILED;
}

ResultCode RestoreModule(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  if (!RestorePaths(installFolder, moduleName, &paths)) return RC_MOVE_FILE_FAILED;
  return PutInPlace(moduleName, paths.backup, paths.installed, L"original");
}

ResultCode RestoreNewCopy(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  if (!RestorePaths(installFolder, moduleName, &paths)) return RC_MOVE_FILE_FAILED;
  return PutInPlace(moduleName, moduleName, paths.installed, L"new copy");
}

ResultCode PutOriginalBack(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  if (!RestorePaths(installFolder, moduleName, &paths)) return RC_MOVE_FILE_FAILED;
  // Nothing was moved aside: the installed module was never touched by
  // this run, also when it was missing before the run.
  if (!os::FileExists(paths.backup)) return RC_SUCCEED;
  const ResultCode result = PutInPlace(moduleName, paths.backup, paths.installed, L"original");
  if (result == RC_SUCCEED) RemoveModuleBackup(installFolder, moduleName);
  return result;
}

ResultCode RemoveModuleBackup(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  if (BuildModulePaths(installFolder, moduleName, &paths) != RC_SUCCEED) return RC_SUCCEED;
  FileStep remove;
  if (!DeleteRetrying(paths.backup, &remove)) {
    LogFailure(remove.error, L"module %ls: its backup copy %ls stays (%d tries to remove it)", moduleName,
               paths.backup, remove.tries);
  }
  return RC_SUCCEED;
}

bool PatchBackupFolder(wchar_t (&patchFolder)[kPathChars]) {
  wchar_t installFolder[kPathChars] = {};
  return g_backupFolderName[0] != 0 && ReadInstallValue(L"Path", installFolder, kPathChars) == RC_SUCCEED &&
         BuildPath(patchFolder, installFolder, kBackupRootName, g_backupFolderName);
}

namespace {

struct Listing {
  std::vector<std::wstring> files;
  std::vector<std::wstring> folders;
};

void Collect(void* context, const wchar_t* name, bool isFolder) {
  auto* listing = static_cast<Listing*>(context);
  (isFolder ? listing->folders : listing->files).push_back(name);
}

// Walks `folder`\`relative`: files and folders below it, by their paths
// relative to `folder`, folders before what they hold. False when a folder
// cannot be read or a path would not fit.
bool Walk(const wchar_t* folder, const std::wstring& relative, std::vector<std::wstring>* files,
          std::vector<std::wstring>* folders, int depth) {
  constexpr int kDeepest = 32;
  wchar_t path[kPathChars] = {};
  if (depth > kDeepest) return false;
  if (relative.empty()) {
    std::wcsncpy(path, folder, kPathChars - 1);
  } else if (!BuildPath(path, folder, relative.c_str())) {
    return false;
  }
  Listing listing;
  if (!os::ListFolder(path, Collect, &listing)) return false;
  for (const std::wstring& file : listing.files) {
    if (files != nullptr) files->push_back(relative.empty() ? file : relative + L"\\" + file);
  }
  for (const std::wstring& sub : listing.folders) {
    const std::wstring inner = relative.empty() ? sub : relative + L"\\" + sub;
    folders->push_back(inner);
    if (!Walk(folder, inner, files, folders, depth + 1)) return false;
  }
  return true;
}

}  // namespace

void RemovePatchBackupFolder() {
  wchar_t patchFolder[kPathChars] = {};
  if (!PatchBackupFolder(patchFolder)) return;
  // Anything else left in it (not the tool's, or a subfolder an admin made
  // for modules in subfolders) keeps it.
  os::RemoveFolder(patchFolder);
}

ResultCode ListBackedUpModules(std::vector<std::wstring>* modules) {
  modules->clear();
  wchar_t patchFolder[kPathChars] = {};
  if (!PatchBackupFolder(patchFolder)) return RC_REGISTRY_READ_FAILED;
  if (!os::PathExists(patchFolder)) return RC_SUCCEED;
  std::vector<std::wstring> files, folders;
  if (!Walk(patchFolder, L"", &files, &folders, 0)) return RC_MOVE_FILE_FAILED;
  for (const std::wstring& file : files) {
    if (file == kPreviousCurrentName) continue;
    // A name the apply would refuse was never put there by it.
    if (!IsSafeModuleName(file.c_str()) || file.size() >= static_cast<size_t>(kNameChars)) return RC_MOVE_FILE_FAILED;
    modules->push_back(file);
  }
  return RC_SUCCEED;
}
