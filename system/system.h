// System operations: the product's services and programs, and its modules.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "driver/result_codes.h"
#include "shared/shared.h"

enum ServiceAction { kServiceStart = 0, kServiceStop = 1 };

constexpr int kServicePollLimit = 8;  // stop polls per service
constexpr uint32_t kStopPollMs = 10000;
// A start poll sleeps the service's wait hint, at least kStartPollMinMs and
// at most kStartPollCapMs. The start gives up when the service has shown no
// progress (state or checkpoint) for eight hints, but never sooner than
// kStartWaitMinMs, and in any case after kStartWaitLimitMs.
constexpr uint32_t kStartPollMinMs = 1000;
constexpr uint32_t kStartPollCapMs = 10000;
constexpr uint64_t kStartWaitMinMs = 30000;
constexpr uint64_t kStartWaitLimitMs = 600000;
// How long a service's own process may take to end after it reported
// STOPPED, and a program after it was ended.
constexpr uint32_t kServiceProcessWaitMs = 30000;
constexpr uint32_t kProgramEndWaitMs = 10000;
// The most running services that may depend on a product service.
constexpr int kMaxDependentServices = 64;
constexpr uint32_t kWorkerStackBytes = 51200;

// The services the last stop phase brought down (from running or paused to
// stopped), in the order it stopped them: dependents before the service
// they depend on. A service found stopped or stopping is not in it.
extern std::vector<std::wstring> g_servicesStopped;
// The services the last start phase started (its start request accepted),
// in order.
extern std::vector<std::wstring> g_servicesStarted;

// Starts or stops one service and waits for it. 0, 6, 7, 8, 9, 10 or 11.
// A stop brings the service to STOPPED whatever state it is in (stopping
// the running services that depend on it first), waits for its own process
// to end, and adds what it brought down to g_servicesStopped. A start adds
// the service to g_servicesStarted once its start request is accepted.
ResultCode ControlNamedService(ServiceAction action, const wchar_t* serviceName);
// Worker bodies: each leaves its result in g_status, releases g_workerDone
// once and returns the result.
// Stops QlSvc, then QlProfileSvc; g_servicesStopped lists what it stopped.
int32_t StopServicesWorker();
// Starts QlSvc, then QlProfileSvc, then the other services the stop phase
// stopped (dependents), up to the first failure; fills g_servicesStarted.
int32_t StartServicesWorker();
// Starts every service in g_servicesStopped again, the last stopped first;
// each is tried whatever the others gave. The first failure's code, or 0.
int32_t RestartStoppedServicesWorker();
// Stops every service in g_servicesStarted, the last started first; each is
// tried whatever the others gave. The first failure's code, or 0.
int32_t StopStartedServicesWorker();

// Ends the first running process with this image name and waits (at most
// kProgramEndWaitMs) for it to end. 1 when one was found.
int TerminateProcessByName(const wchar_t* imageName);

// Ends each of the product's programs, in order (the first instance of each).
void EndProductPrograms();

// One step over one listed module; 0 or the step's code.
using ModuleStep = ResultCode (*)(const wchar_t* installFolder, const wchar_t* moduleName);
// Reads the install folder and every listed module's name, then makes the
// step for each, in index order, up to the first that fails. 0, 1, 2, 3, 18
// or the step's code.
ResultCode ForEachListedModule(ModuleStep step);
// Backs up and replaces every module the description file lists.
ResultCode ReplaceModules();
// The install folder and the listed modules' names, in index order. 0, 1,
// 2, 3 or 18.
ResultCode ReadListedModules(wchar_t (&installFolder)[kPathChars], std::vector<std::wstring>* modules);
// A module the apply can replace: a name the tool accepts, paths that fit
// and a new copy beside the tool. 0, 12, 13 or 14; nothing is changed.
ResultCode CheckModuleCanBeReplaced(const wchar_t* installFolder, const wchar_t* moduleName);
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
// The new copy from the patch folder put back over the installed file the
// same way (0, 13 or 14): a failed undo's put-back.
ResultCode RestoreNewCopy(const wchar_t* installFolder, const wchar_t* moduleName);
// A failed apply's put-back of one module: the original, when the backup
// holds it, goes back over the installed file and its backup copy goes.
// 0 also when nothing was moved aside; 13 or 14 when it cannot be put back.
ResultCode PutOriginalBack(const wchar_t* installFolder, const wchar_t* moduleName);
// The module names the per-patch backup holds originals of (files in it and
// its subfolders, as relative paths). 0, 1, or 13 when it cannot be read or
// holds a name the apply would have refused.
ResultCode ListBackedUpModules(std::vector<std::wstring>* modules);
// The per-patch backup folder of this run's patch. False when unknown.
bool PatchBackupFolder(wchar_t (&patchFolder)[kPathChars]);
// Removes the per-patch backup folder when it is empty.
void RemovePatchBackupFolder();
