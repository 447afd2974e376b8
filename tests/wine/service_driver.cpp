// service_driver.exe COMMAND [NAME]: runs the tool's service and process
// operations on their own, and looks at services and processes for the
// Wine tests.
//   stop | start       runs StopServicesWorker / StartServicesWorker on a
//                      worker thread as the update does; prints
//                      "status=N released=N" (the times g_workerDone was
//                      released) and exits with g_status.
//   terminate NAME     TerminateProcessByName(NAME); exits with its answer.
//   terminate-product  TerminateProcessByName for each of the product's
//                      programs in order; prints "NAME=answer" lines.
//   count NAME         exits with the number of running processes of that
//                      image name, compared without regard to case.
//   state NAME         exits with the service's current state (1 stopped,
//                      3 stop pending, 4 running), -1 when it cannot be read.
//   wait NAME STATE SECONDS
//                      polls the state every 20 ms until it is STATE (-1:
//                      the service is gone); exits 0 then, 1 after SECONDS.
//   wait-not NAME STATE SECONDS
//                      the same, until the state is another than STATE.
//   disable NAME       sets the service's start type to disabled
//                      (ChangeServiceConfigW; `sc config` has no effect
//                      under Wine); exits 0 when done.
//   start-type NAME    exits with the service's start type as the service
//                      manager gives it (2 automatic, 3 demand, 4 disabled),
//                      -1 when it cannot be read (Wine has no `sc qc`).
//   dependents NAME    prints the running services that depend on NAME, one
//                      a line, as the tool lists them; exits with their
//                      number, -1 when they cannot be listed.
//   process NAME       prints "pid=N shared=0|1" as QueryServiceStatusEx
//                      gives them; exits 0, -1 when it cannot be read.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "shared/shared.h"
#include "patchdata/module_names.h"
#include "system/modules.h"
#include "system/processes.h"
#include "system/services.h"

namespace {

constexpr int32_t kSemaphoreMaximum = 97005083;

int RunWorker(int32_t (*worker)(void*)) {
  ServiceLedger ledger;
  g_workerDone = os::CreateCountingSemaphore(0, kSemaphoreMaximum);
  if (g_workerDone == nullptr) {
    std::fwprintf(stderr, L"service_driver: no semaphore\n");
    return -2;
  }
  g_status = RC_UNKNOWN;
  int released = 0;
  if (!os::StartThread(worker, &ledger, kWorkerStackBytes)) {
    std::fwprintf(stderr, L"service_driver: no worker thread\n");
    os::CloseKernelHandle(g_workerDone);
    return -2;
  }
  if (os::WaitWithoutTimeout(g_workerDone)) ++released;
  // A second release would show here (the worker has released by now).
  while (::WaitForSingleObject(g_workerDone, 200) == WAIT_OBJECT_0) ++released;
  const ResultCode status = g_status;
  std::printf("status=%d released=%d\n", static_cast<int>(status), released);
  os::CloseKernelHandle(g_workerDone);
  g_workerDone = nullptr;
  return status;
}

int CountProcesses(const wchar_t* imageName) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (::lstrcmpiW(entry.szExeFile, imageName) == 0) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

int ServiceState(const wchar_t* serviceName) {
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
  if (manager == nullptr) return -1;
  int state = -1;
  SC_HANDLE service = ::OpenServiceW(manager, serviceName, SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    SERVICE_STATUS status = {};
    if (::QueryServiceStatus(service, &status)) state = static_cast<int>(status.dwCurrentState);
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return state;
}

enum class WaitUntil { kReached, kLeft };

int WaitForState(const wchar_t* serviceName, int state, WaitUntil until, int seconds) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  for (;;) {
    if ((ServiceState(serviceName) == state) == (until == WaitUntil::kReached)) return 0;
    if (::GetTickCount64() >= deadline) return 1;
    ::Sleep(20);
  }
}

int DisableService(const wchar_t* serviceName) {
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return -1;
  int result = -1;
  SC_HANDLE service = ::OpenServiceW(manager, serviceName, SERVICE_CHANGE_CONFIG);
  if (service != nullptr) {
    if (::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr)) {
      result = 0;
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return result;
}

int StartType(const wchar_t* serviceName) {
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return -1;
  int result = -1;
  SC_HANDLE service = ::OpenServiceW(manager, serviceName, SERVICE_QUERY_CONFIG);
  if (service != nullptr) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    if (::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      void* buffer = ::HeapAlloc(::GetProcessHeap(), 0, needed);
      auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(buffer);
      if (config != nullptr && ::QueryServiceConfigW(service, config, needed, &needed)) {
        result = static_cast<int>(config->dwStartType);
      }
      if (buffer != nullptr) ::HeapFree(::GetProcessHeap(), 0, buffer);
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return result;
}

int PrintDependents(const wchar_t* serviceName) {
  os::Handle manager = os::OpenServiceManager();
  if (manager == nullptr) return -1;
  static os::ServiceName names[kMaxDependentServices];
  int count = 0;
  const bool listed = os::ListActiveDependents(manager, serviceName, names, kMaxDependentServices, &count);
  os::CloseServiceHandle(manager);
  if (!listed) return -1;
  for (int i = 0; i < count; ++i) std::printf("%ls\n", names[i].name);
  return count;
}

int PrintProcess(const wchar_t* serviceName) {
  os::Handle manager = os::OpenServiceManager();
  if (manager == nullptr) return -1;
  int result = -1;
  os::Handle service = os::OpenServiceForControl(manager, serviceName);
  if (service != nullptr) {
    os::ServiceStatus status = {};
    if (os::QueryServiceState(service, &status)) {
      std::printf("pid=%u shared=%d\n", status.processId, status.sharesProcess ? 1 : 0);
      result = 0;
    }
    os::CloseServiceHandle(service);
  }
  os::CloseServiceHandle(manager);
  return result;
}

int Usage() {
  std::fwprintf(stderr, L"usage: service_driver.exe stop|start|terminate-product\n"
                        L"       service_driver.exe terminate|count|state|disable|start-type|dependents|process NAME\n"
                        L"       service_driver.exe wait|wait-not NAME STATE SECONDS\n");
  return -3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2) {
    if (std::wcscmp(argv[1], L"stop") == 0) return RunWorker(StopServicesWorker);
    if (std::wcscmp(argv[1], L"start") == 0) return RunWorker(StartServicesWorker);
    if (std::wcscmp(argv[1], L"terminate-product") == 0) {
      for (const wchar_t* imageName : kProductProcesses) {
        std::printf("%ls=%d\n", imageName, TerminateProcessByName(imageName));
      }
      return 0;
    }
  } else if (argc == 3) {
    if (std::wcscmp(argv[1], L"terminate") == 0) return TerminateProcessByName(argv[2]);
    if (std::wcscmp(argv[1], L"count") == 0) return CountProcesses(argv[2]);
    if (std::wcscmp(argv[1], L"state") == 0) return ServiceState(argv[2]);
    if (std::wcscmp(argv[1], L"disable") == 0) return DisableService(argv[2]);
    if (std::wcscmp(argv[1], L"start-type") == 0) return StartType(argv[2]);
    if (std::wcscmp(argv[1], L"dependents") == 0) return PrintDependents(argv[2]);
    if (std::wcscmp(argv[1], L"process") == 0) return PrintProcess(argv[2]);
  } else if (argc == 5) {
    const int state = _wtoi(argv[3]), seconds = _wtoi(argv[4]);
    if (std::wcscmp(argv[1], L"wait") == 0) return WaitForState(argv[2], state, WaitUntil::kReached, seconds);
    if (std::wcscmp(argv[1], L"wait-not") == 0) return WaitForState(argv[2], state, WaitUntil::kLeft, seconds);
  }
  return Usage();
}
