// What waits for the next restart, and who holds a file, served by the
// Win32 API.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <restartmanager.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace os {

namespace {

constexpr const wchar_t* kSessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kPendingRenamesValue = L"PendingFileRenameOperations";

// The value through an open key (KEY_QUERY_VALUE): ERROR_SUCCESS, with an
// empty value when there is none, or the error.
LONG QueryPendingRenames(HKEY key, std::wstring* value) {
  value->clear();
  // The value may grow between the two calls: read again until it fits.
  DWORD type = 0, bytes = 0;
  LONG status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
    status = ::RegQueryValueExW(key, kPendingRenamesValue, nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) break;
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
    DWORD got = bytes;
    status = ::RegQueryValueExW(key, kPendingRenamesValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                &got);
    if (status == ERROR_SUCCESS) value->assign(buffer.data(), got / sizeof(wchar_t));
  }
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // nothing waits
  if (status == ERROR_SUCCESS && type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
  return status;
}

}  // namespace

bool ScheduleRenameAtRestart(const wchar_t* from, const wchar_t* to) {
  const DWORD flags =
      to == nullptr ? MOVEFILE_DELAY_UNTIL_REBOOT : MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;
  return ::MoveFileExW(from, to, flags) != FALSE;
}

bool ReadPendingRenames(std::wstring* value) {
  value->clear();
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key);
  if (status == ERROR_SUCCESS) {
    status = QueryPendingRenames(key, value);
    ::RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

PendingRenamesWrite WritePendingRenames(const std::wstring& expected, const std::wstring& value) {
  HKEY key = nullptr;
  // Query access too: to read it again, and RegFlushKey needs it.
  LONG status =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return PendingRenamesWrite::kFailed;
  }
  std::wstring now;
  status = QueryPendingRenames(key, &now);
  if (status == ERROR_SUCCESS && now != expected) {
    ::RegCloseKey(key);
    return PendingRenamesWrite::kChanged;
  }
  if (status == ERROR_SUCCESS) {
    if (value.empty()) {
      status = ::RegDeleteValueW(key, kPendingRenamesValue);
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
      status = ::RegSetValueExW(key, kPendingRenamesValue, 0, REG_MULTI_SZ,
                                reinterpret_cast<const BYTE*>(value.data()),
                                static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
  }
  if (status == ERROR_SUCCESS) status = ::RegFlushKey(key);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS ? PendingRenamesWrite::kWritten : PendingRenamesWrite::kFailed;
}

bool FlushPendingRenames() {
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key);
  if (status == ERROR_SUCCESS) {
    status = ::RegFlushKey(key);
    ::RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

bool ListFileHolders(const wchar_t* path, FileHolder* holders, int capacity, int* count) {
  *count = 0;
  // Not a KnownDLL: loaded from the system folder alone, never from the
  // folder the tool was started from.
  HMODULE library = ::LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return false;
  using StartSession = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
  using RegisterResources = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
  using GetList = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);
  using EndSession = DWORD(WINAPI*)(DWORD);
  auto start = reinterpret_cast<StartSession>(reinterpret_cast<void*>(::GetProcAddress(library, "RmStartSession")));
  auto add = reinterpret_cast<RegisterResources>(
      reinterpret_cast<void*>(::GetProcAddress(library, "RmRegisterResources")));
  auto list = reinterpret_cast<GetList>(reinterpret_cast<void*>(::GetProcAddress(library, "RmGetList")));
  auto end = reinterpret_cast<EndSession>(reinterpret_cast<void*>(::GetProcAddress(library, "RmEndSession")));
  // The Rm functions answer with their error rather than setting it.
  DWORD status = ERROR_PROC_NOT_FOUND;
  DWORD session = 0;
  WCHAR sessionKey[CCH_RM_SESSION_KEY + 1] = {};
  if (start != nullptr && add != nullptr && list != nullptr && end != nullptr) {
    status = start(&session, 0, sessionKey);
  }
  bool told = false;
  if (status == ERROR_SUCCESS) {
    LPCWSTR files[] = {path};
    UINT needed = 0, got = 0;
    DWORD reasons = 0;
    std::vector<RM_PROCESS_INFO> found;
    status = add(session, 1, files, 0, nullptr, 0, nullptr);
    if (status == ERROR_SUCCESS) {
      status = ERROR_MORE_DATA;
      for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
        found.resize(needed);
        got = needed;
        status = list(session, &needed, &got, found.empty() ? nullptr : found.data(), &reasons);
      }
      told = status == ERROR_SUCCESS;
    }
    end(session);
    for (UINT i = 0; told && i < got && static_cast<int>(i) < capacity; ++i) {
      FileHolder& holder = holders[i];
      holder.processId = found[i].Process.dwProcessId;
      holder.sessionId = found[i].TSSessionId;
      holder.appType = static_cast<uint32_t>(found[i].ApplicationType);
      std::wcsncpy(holder.name, found[i].strAppName, 259);
      holder.name[259] = 0;
      holder.image[0] = 0;
      // An id with its start time names one process: one that has ended
      // since may have left its id to another program, whose path is not
      // the holder's.
      HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, holder.processId);
      if (process != nullptr) {
        FILETIME created = {}, exited = {}, kernel = {}, user = {};
        DWORD chars = 260;
        if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
            ::CompareFileTime(&created, &found[i].Process.ProcessStartTime) != 0 ||
            !::QueryFullProcessImageNameW(process, 0, holder.image, &chars)) {
          holder.image[0] = 0;
        }
        ::CloseHandle(process);
      }
    }
    if (told) *count = static_cast<int>(got);
  }
  ::FreeLibrary(library);
  if (!told) ::SetLastError(status);
  return told;
}

}  // namespace os
