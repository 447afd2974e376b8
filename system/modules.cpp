// Module replacement: each listed module is moved into the per-patch backup
// folder and the new copy from the working folder is put in its place.
#include <cstdio>
#include <cwchar>

#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "system/system.h"

namespace {

// Creates one folder level; a folder that is already there is fine.
bool MakeFolder(const wchar_t* path) {
  return os::MakeDirectory(path) || os::LastError() == os::kErrorAlreadyExists;
}

// The new copy lies under the module's own name in the working folder.
bool NewCopyReadable(const wchar_t* moduleName) {
  std::FILE* file = os::OpenFile(moduleName, L"rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

ResultCode BuildModulePaths(const wchar_t* installFolder, const wchar_t* moduleName, ModulePaths* paths) {
  if (g_backupFolderName[0] == 0 ||
      !BuildPath(paths->backupRoot, installFolder, kBackupRootName) ||
      !BuildPath(paths->patchFolder, installFolder, kBackupRootName, g_backupFolderName)) {
    return RC_CREATE_BACKUP_DIR_FAILED;
  }
  if (!IsSafeModuleName(moduleName) || !BuildPath(paths->installed, installFolder, moduleName) ||
      !BuildPath(paths->backup, paths->patchFolder, moduleName)) {
    return RC_MOVE_FILE_FAILED;
  }
  return RC_SUCCEED;
}

ResultCode BackupAndReplaceModule(const wchar_t* installFolder, const wchar_t* moduleName) {
  // Every path is built and every input checked before the machine is
  // touched, so a refused module leaves the install folder as it was.
  ModulePaths paths = {};
  const ResultCode built = BuildModulePaths(installFolder, moduleName, &paths);
  if (built != RC_SUCCEED) return built;
  const wchar_t* installedFile = paths.installed;
  const wchar_t* backupFile = paths.backup;
  // Without a new copy the module would be moved away and not replaced.
  if (!NewCopyReadable(moduleName)) return RC_COPY_FILE_FAILED;

  if (!MakeFolder(paths.backupRoot) || !MakeFolder(paths.patchFolder)) return RC_CREATE_BACKUP_DIR_FAILED;

  // Moving rather than copying lets a module still held open be replaced.
  // A backup left by an earlier run of the same patch is kept as it is: the
  // move then fails with "already exists" and the installed file stays. An
  // earlier run that was cut off between its move and its copy left the
  // module only in the backup folder; the new copy goes in then too, or the
  // product would stay without the module on every later run.
  const bool moved = os::MoveFileTo(installedFile, backupFile);
  if (!moved) {
    const uint32_t error = os::LastError();
    const bool earlierBackup = error == os::kErrorAlreadyExists ||
                               (!os::FileExists(installedFile) && os::FileExists(backupFile));
    if (!earlierBackup) return RC_MOVE_FILE_FAILED;
  }
  // The new copy is written through to the disk before the run goes on:
  // the record written after the modules must never claim a patch whose
  // module a power cut could still leave holding zeros.
  if (!os::CopyFileOver(moduleName, installedFile) || !os::FlushFileAt(installedFile)) {
    // The product must not be left without this module: what this run moved
    // aside goes back in place of whatever the failed copy left.
    if (moved) {
      os::DeleteFileAt(installedFile);
      os::MoveFileTo(backupFile, installedFile);
    }
    return RC_COPY_FILE_FAILED;
  }
  return RC_SUCCEED;
}

ResultCode ReadModuleCount(int32_t* count) {
  char countText[kValueBytes] = {};
  ResultCode result = ReadDataValue(kDataFileName, "WerNum", countText, sizeof countText);
  if (result != RC_SUCCEED) return result;
  wchar_t wideCount[kNameChars] = {};
  os::WidenText(os::kAnsiCodePage, countText, wideCount, kNameChars);
  return os::ParseDecimal(wideCount, count) ? RC_SUCCEED : RC_DECIMAL_CONVERSION_FAILED;
}

void FormatModuleElementName(int32_t index, char* elementName, size_t bytes) {
  std::snprintf(elementName, bytes, "WER%d", static_cast<int>(index));
}

ResultCode ReadModuleName(int32_t index, wchar_t* moduleName) {
  char elementName[kModuleElementNameBytes] = {};
  FormatModuleElementName(index, elementName, sizeof elementName);
  char moduleText[kValueBytes] = {};
  ResultCode result = ReadNestedDataValue(kDataFileName, elementName, "UpdateModule", moduleText,
                                          sizeof moduleText);
  if (result != RC_SUCCEED) return result;
  os::WidenText(os::kAnsiCodePage, moduleText, moduleName, kNameChars);
  return RC_SUCCEED;
}

ResultCode ForEachListedModule(ModuleStep step) {
  wchar_t installFolder[kPathChars] = {};
  if (ReadInstallValue(L"Path", installFolder, kPathChars) != RC_SUCCEED) return RC_REGISTRY_READ_FAILED;

  int32_t count = 0;
  ResultCode result = ReadModuleCount(&count);
  if (result != RC_SUCCEED) return result;

  // Strictly in index order, each module done before the next.
  for (int64_t index = 1; index <= count; ++index) {
    wchar_t moduleName[kNameChars] = {};
    result = ReadModuleName(static_cast<int32_t>(index), moduleName);
    if (result != RC_SUCCEED) return result;
    result = step(installFolder, moduleName);
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}

ResultCode ReplaceModules() { return ForEachListedModule(BackupAndReplaceModule); }
