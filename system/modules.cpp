// Module replacement: each listed module is moved into the per-patch backup
// folder and the new copy from the working folder is put in its place.
#include <cstdio>
#include <cwchar>

#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "shared/run_log.h"
#include "shared/file_steps.h"
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
  // The name under which the per-patch backup keeps the record's earlier
  // CurVersion is not a module's.
  if (!IsSafeModuleName(moduleName) || std::wcscmp(moduleName, kPreviousCurrentName) == 0 ||
      !BuildPath(paths->installed, installFolder, moduleName) ||
      !BuildPath(paths->backup, paths->patchFolder, moduleName)) {
    return RC_MOVE_FILE_FAILED;
  }
  return RC_SUCCEED;
}

ResultCode BackupAndReplaceModule(const wchar_t* installFolder, const wchar_t* moduleName) {
  // Every path is built and every input checked before the machine is
  // touched, so a refused module leaves the install folder as it was.
  const ResultCode usable = CheckModuleCanBeReplaced(installFolder, moduleName);
  if (usable != RC_SUCCEED) return usable;
  ModulePaths paths = {};
  BuildModulePaths(installFolder, moduleName, &paths);  // it could, just above
  const wchar_t* installedFile = paths.installed;
  const wchar_t* backupFile = paths.backup;

  if (!MakeFolder(paths.backupRoot) || !MakeFolder(paths.patchFolder)) {
    LogFailure(os::LastError(), L"module %ls: the backup folder %ls cannot be made", moduleName,
               paths.patchFolder);
    return RC_CREATE_BACKUP_DIR_FAILED;
  }

  // Moving rather than copying lets a module still held open be replaced.
  // A backup left by an earlier run of the same patch is kept as it is: the
  // move then fails with "already exists" and the installed file stays. An
  // earlier run that was cut off between its move and its copy left the
  // module only in the backup folder; the new copy goes in then too, or the
  // product would stay without the module on every later run.
  FileStep move;
  if (MoveFileRetrying(installedFile, backupFile, &move)) {
    LogEvent(L"module %ls: moved to %ls (%d tries)", moduleName, backupFile, move.tries);
  } else {
    const bool earlierBackup = move.error == os::kErrorAlreadyExists ||
                               (!os::FileExists(installedFile) && os::FileExists(backupFile));
    if (!earlierBackup) {
      LogFailure(move.error, L"module %ls: cannot be moved to %ls (%d tries)", moduleName, backupFile,
                 move.tries);
      return RC_MOVE_FILE_FAILED;
    }
    LogEvent(L"module %ls: the original kept by an earlier run of this patch stays in %ls", moduleName,
             backupFile);
  }
  // The new copy is written through to the disk before the run goes on:
  // the record written after the modules must never claim a patch whose
  // module a power cut could still leave holding zeros. When it fails, the
  // run's put-back brings the original back from the backup.
  FileStep copy;
  if (!CopyWrittenThrough(moduleName, installedFile, &copy)) {
    LogFailure(copy.error, L"module %ls: the new copy cannot be copied in and written through (%d tries)",
               moduleName, copy.tries);
    return RC_COPY_FILE_FAILED;
  }
  uint64_t size = 0;
  os::FileSizeAt(installedFile, &size);
  LogEvent(L"module %ls: new copy of %u bytes copied in and written through (%d tries)", moduleName,
           static_cast<unsigned>(size), copy.tries);
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
  std::vector<std::wstring> modules;
  ResultCode result = ReadListedModules(installFolder, &modules);
  if (result != RC_SUCCEED) return result;
  // Strictly in index order, each module done before the next.
  for (const std::wstring& module : modules) {
    result = step(installFolder, module.c_str());
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}

ResultCode ReplaceModules() {
  // A list the tool cannot use all the way is refused before any module is moved.
  const ResultCode names = CheckListedModuleNames();
  if (names != RC_SUCCEED) return names;
  return ForEachListedModule(BackupAndReplaceModule);
}

ResultCode ReadListedModules(wchar_t (&installFolder)[kPathChars], std::vector<std::wstring>* modules) {
  modules->clear();
  if (ReadInstallValue(L"Path", installFolder, kPathChars) != RC_SUCCEED) return RC_REGISTRY_READ_FAILED;
  int32_t count = 0;
  ResultCode result = ReadModuleCount(&count);
  if (result != RC_SUCCEED) return result;
  for (int64_t index = 1; index <= count; ++index) {
    wchar_t moduleName[kNameChars] = {};
    result = ReadModuleName(static_cast<int32_t>(index), moduleName);
    if (result != RC_SUCCEED) return result;
    modules->push_back(moduleName);
  }
  return RC_SUCCEED;
}

ResultCode CheckModuleCanBeReplaced(const wchar_t* installFolder, const wchar_t* moduleName) {
  ModulePaths paths = {};
  const ResultCode built = BuildModulePaths(installFolder, moduleName, &paths);
  if (built != RC_SUCCEED) {
    LogEvent(L"module %ls: refused (a name the tool does not accept, or a path too long)", moduleName);
    return built;
  }
  // Without a new copy the module would be moved away and not replaced.
  if (!NewCopyReadable(moduleName)) {
    LogFailure(os::LastError(), L"module %ls: the new copy beside the tool cannot be read", moduleName);
    return RC_COPY_FILE_FAILED;
  }
  return RC_SUCCEED;
}
