// Undoing a patch's module replacement: each listed module's original is
// put back from the per-patch backup folder, and the folder removed once the
// record no longer lists the patch.
#include <cwchar>

#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "system/system.h"

namespace {

// The original is first copied in beside the installed file under this
// suffix, then moved over it.
constexpr const wchar_t* kRestoreSuffix = L".qlundo";

// The paths of one module and of the copy made beside it. False when the
// name or a path cannot be used.
bool RestorePaths(const wchar_t* installFolder, const wchar_t* moduleName, ModulePaths* paths,
                  wchar_t (&beside)[kPathChars]) {
  if (BuildModulePaths(installFolder, moduleName, paths) != RC_SUCCEED) return false;
  if (std::wcslen(paths->installed) + std::wcslen(kRestoreSuffix) >= static_cast<size_t>(kPathChars)) {
    return false;
  }
  os::FormatWide(beside, kPathChars, L"%ls%ls", paths->installed, kRestoreSuffix);
  return true;
}

}  // namespace

ResultCode CheckModuleBackup(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  wchar_t beside[kPathChars] = {};
  if (!RestorePaths(installFolder, moduleName, &paths, beside)) return RC_MOVE_FILE_FAILED;
  return os::FileExists(paths.backup) ? RC_SUCCEED : RC_MOVE_FILE_FAILED;
}

ResultCode RestoreModule(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  wchar_t beside[kPathChars] = {};
  if (!RestorePaths(installFolder, moduleName, &paths, beside)) return RC_MOVE_FILE_FAILED;
  // The copy is whole on the disk before it takes the installed file's
  // place in one step: at every moment the new module or the original is
  // installed, never neither, and the backup copy stays as it is.
  if (!os::CopyFileOver(paths.backup, beside) || !os::FlushFileAt(beside)) {
    os::DeleteFileAt(beside);
    return RC_COPY_FILE_FAILED;
  }
  if (!os::ReplaceFileAtomically(beside, paths.installed)) {  // held open, for one
    os::DeleteFileAt(beside);
    return RC_MOVE_FILE_FAILED;
  }
  return RC_SUCCEED;
}

ResultCode RemoveModuleBackup(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  if (BuildModulePaths(installFolder, moduleName, &paths) == RC_SUCCEED) os::DeleteFileAt(paths.backup);
  return RC_SUCCEED;
}

void RemovePatchBackupFolder() {
  wchar_t installFolder[kPathChars] = {};
  wchar_t patchFolder[kPathChars] = {};
  if (g_backupFolderName[0] == 0 || ReadInstallValue(L"Path", installFolder, kPathChars) != RC_SUCCEED ||
      !BuildPath(patchFolder, installFolder, kBackupRootName, g_backupFolderName)) {
    return;
  }
  // Anything else left in it (not the tool's) keeps it.
  os::RemoveFolder(patchFolder);
}
