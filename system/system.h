// System operations: the product's services and programs, and its modules.
#pragma once

#include <cstddef>

#include "driver/result_codes.h"

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
// A module name must stay inside the install folder: not empty, no drive
// ("C:"), no root or UNC start ('\' or '/'), no ".." step up.
bool IsSafeModuleName(const wchar_t* name);
ResultCode BackupAndReplaceModule(const wchar_t* installFolder, const wchar_t* moduleName);
