// System operations: the product's services and programs, and its modules.
#pragma once

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
ResultCode BackupAndReplaceModule(const wchar_t* installFolder, const wchar_t* moduleName);
