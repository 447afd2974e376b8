// System operations: the product's services and programs, and its modules.
#pragma once

#include <cstddef>

#include "driver/result_codes.h"
#include "shared/shared.h"

enum ServiceAction { kServiceStart = 0, kServiceStop = 1 };

constexpr int kServicePollLimit = 8;
constexpr uint32_t kStopPollMs = 10000;
constexpr uint32_t kStartPollCapMs = 10000;  // a start poll never sleeps longer
// A start waits as long as its eight polls' hints add up to, but never longer.
constexpr uint64_t kStartWaitLimitMs = 600000;
constexpr uint32_t kWorkerStackBytes = 51200;

// Starts or stops one service and waits for it. 0, 6, 7, 8, 9, 10 or 11.
ResultCode ControlNamedService(ServiceAction action, const wchar_t* serviceName);
// Worker bodies: leave the result in g_status and release g_workerDone once.
int32_t StopServicesWorker();
int32_t StartServicesWorker();

// Ends the first running process with this image name. 1 when one was found.
int TerminateProcessByName(const wchar_t* imageName);

// Ends each of the product's programs, in order (the first instance of each).
void EndProductPrograms();

// One step over one listed module; 0 or the step's code.
using ModuleStep = ResultCode (*)(const wchar_t* installFolder, const wchar_t* moduleName);
// Reads the install folder and the listed modules and makes the step for
// each, in index order, up to the first that fails. 0, 1, 2, 3, 18 or the
// step's code.
ResultCode ForEachListedModule(ModuleStep step);
// Backs up and replaces every module the description file lists.
ResultCode ReplaceModules();
// WerNum of the description file as a number. 0, 2, 3 or 18.
ResultCode ReadModuleCount(int32_t* count);
// "WER" + index: the name of the index-th module element.
constexpr size_t kModuleElementNameBytes = 16;
void FormatModuleElementName(int32_t index, char* elementName, size_t bytes);
// The UpdateModule text of the index-th module element, widened into
// kNameChars characters (empty when there is none). 0, 2 or 3.
ResultCode ReadModuleName(int32_t index, wchar_t* moduleName);
// Why the tool refuses a module name, if it does.
enum class ModuleNameProblem {
  kNone,
  kEmpty,
  kLeavesFolder,  // a drive ("C:"), a root or UNC start ('\' or '/'), a ".." step up
  kDeviceName,    // a step Windows takes for a device (CON, NUL, COM1, LPT1 ...)
  kBackupFolder,  // inside the backup root, where the originals are kept
};
ModuleNameProblem ClassifyModuleName(const wchar_t* name);
// A module name the tool works with: ClassifyModuleName gives kNone.
bool IsSafeModuleName(const wchar_t* name);
// Every listed module's element and name, read and checked before any is
// touched: 0, 2, 3, 18, or 13 for a name the tool refuses.
ResultCode CheckListedModuleNames();
// Where a module lies: installed, and backed up in the per-patch folder.
struct ModulePaths {
  wchar_t installed[kPathChars];
  wchar_t backup[kPathChars];
  wchar_t backupRoot[kPathChars];
  wchar_t patchFolder[kPathChars];
};
// 0, 12 (no usable backup folder name or path) or 13 (a module name the
// tool refuses, or a path too long).
ResultCode BuildModulePaths(const wchar_t* installFolder, const wchar_t* moduleName, ModulePaths* paths);
ResultCode BackupAndReplaceModule(const wchar_t* installFolder, const wchar_t* moduleName);

// Undoing a patch, a step per module (ModuleStep):
// the original is in the per-patch backup folder and can be put back (0 or 13);
ResultCode CheckModuleBackup(const wchar_t* installFolder, const wchar_t* moduleName);
// the original is put back over the installed copy in one step (0, 13 or 14);
ResultCode RestoreModule(const wchar_t* installFolder, const wchar_t* moduleName);
// its backup copy is removed (always 0).
ResultCode RemoveModuleBackup(const wchar_t* installFolder, const wchar_t* moduleName);
// Removes the per-patch backup folder when it is empty.
void RemovePatchBackupFolder();
