// The platform served by the Win32 API.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <wincrypt.h>
#include <process.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <io.h>

#include <cstdarg>
#include <algorithm>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace os {

uint32_t LastError() { return ::GetLastError(); }

// ---- registry ----
Handle OpenMachineKeyForRead(const wchar_t* subKey) {
  // The registry calls return their error rather than set it.
  HKEY key = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return nullptr;
  }
  return key;
}

bool QueryKeyValue(Handle key, const wchar_t* name, wchar_t* buffer, uint32_t bufferBytes) {
  // A string may be stored without its terminator, and RegQueryValueExW
  // then adds none: one is added here, and a value that leaves no room for
  // it does not fit.
  const DWORD chars = bufferBytes / sizeof(wchar_t);
  if (chars == 0) return false;
  DWORD size = chars * sizeof(wchar_t);
  const LSTATUS status =
      ::RegQueryValueExW(static_cast<HKEY>(key), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return false;
  }
  const DWORD read = size / sizeof(wchar_t);
  if (read > 0 && buffer[read - 1] == 0) return true;
  if (read >= chars) {
    ::SetLastError(ERROR_MORE_DATA);
    return false;
  }
  buffer[read] = 0;
  return true;
}

void CloseKey(Handle key) { ::RegCloseKey(static_cast<HKEY>(key)); }

// ---- services ----
Handle OpenServiceManager() { return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT); }

Handle OpenServiceForControl(Handle manager, const wchar_t* name) {
  return ::OpenServiceW(static_cast<SC_HANDLE>(manager), name,
                        SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
}

bool QueryServiceState(Handle service, ServiceStatus* status) {
  SERVICE_STATUS_PROCESS s = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(static_cast<SC_HANDLE>(service), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&s), sizeof s, &needed)) {
    return false;
  }
  status->currentState = s.dwCurrentState;
  status->waitHint = s.dwWaitHint;
  status->checkPoint = s.dwCheckPoint;
  status->processId = s.dwProcessId;
  status->sharesProcess = (s.dwServiceType & SERVICE_WIN32_SHARE_PROCESS) != 0;
  return true;
}

bool ReadServiceStartType(Handle manager, const wchar_t* name, uint32_t* startType) {
  SC_HANDLE service = ::OpenServiceW(static_cast<SC_HANDLE>(manager), name, SERVICE_QUERY_CONFIG);
  if (service == nullptr) return false;
  // The configuration's strings follow its fixed part, 8 KB at most in
  // all; one changed since the size was answered answers its new size.
  DWORD needed = 8 * 1024;
  bool read = false;
  DWORD error = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 3 && !read && error == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
      *startType = config->dwStartType;
      read = true;
    } else {
      error = ::GetLastError();
    }
  }
  ::CloseServiceHandle(service);
  if (!read) ::SetLastError(error);
  return read;
}

bool RequestServiceStart(Handle service) {
  return ::StartServiceW(static_cast<SC_HANDLE>(service), 0, nullptr) != FALSE;
}

bool RequestServiceStop(Handle service) {
  SERVICE_STATUS s = {};
  return ::ControlService(static_cast<SC_HANDLE>(service), SERVICE_CONTROL_STOP, &s) != FALSE;
}

void CloseServiceHandle(Handle handle) { ::CloseServiceHandle(static_cast<SC_HANDLE>(handle)); }

bool ListActiveDependents(Handle manager, const wchar_t* name, ServiceName* names, int capacity,
                          int* count) {
  *count = 0;
  SC_HANDLE service = ::OpenServiceW(static_cast<SC_HANDLE>(manager), name, SERVICE_ENUMERATE_DEPENDENTS);
  if (service == nullptr) return false;
  // Asked without a buffer, the call answers the size it needs (or that
  // there are none). The list can grow in between: ask a few times.
  bool listed = false;
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD needed = 0, returned = 0;
    if (::EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &returned)) {
      listed = true;
      break;
    }
    error = ::GetLastError();
    if (error != ERROR_MORE_DATA) break;
    auto* buffer = static_cast<ENUM_SERVICE_STATUSW*>(::HeapAlloc(::GetProcessHeap(), 0, needed));
    if (buffer == nullptr) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    const bool got = ::EnumDependentServicesW(service, SERVICE_ACTIVE, buffer, needed, &needed, &returned) != FALSE;
    error = got ? ERROR_MORE_DATA : ::GetLastError();  // got, but more than `capacity`
    if (got && returned <= static_cast<DWORD>(capacity)) {
      for (DWORD i = 0; i < returned; ++i) {
        wcsncpy(names[i].name, buffer[i].lpServiceName, kServiceNameChars - 1);
        names[i].name[kServiceNameChars - 1] = 0;
      }
      *count = static_cast<int>(returned);
      listed = true;
    }
    ::HeapFree(::GetProcessHeap(), 0, buffer);
    if (got || error != ERROR_MORE_DATA) break;
  }
  ::CloseServiceHandle(service);
  ::SetLastError(listed ? ERROR_SUCCESS : error);
  return listed;
}

// ---- processes ----
Handle SnapshotProcesses() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  return snapshot == INVALID_HANDLE_VALUE ? nullptr : snapshot;
}

static void CopyEntry(const PROCESSENTRY32W& from, ProcessEntry* to) {
  to->processId = from.th32ProcessID;
  wcsncpy(to->exeFile, from.szExeFile, 259);
  to->exeFile[259] = 0;
}

bool FirstProcess(Handle snapshot, ProcessEntry* entry) {
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  if (!::Process32FirstW(snapshot, &e)) return false;
  CopyEntry(e, entry);
  return true;
}

bool NextProcess(Handle snapshot, ProcessEntry* entry) {
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  if (!::Process32NextW(snapshot, &e)) return false;
  CopyEntry(e, entry);
  return true;
}

Handle OpenProcessForTerminate(uint32_t processId) {
  return ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
}

bool ReadProcessImage(Handle process, wchar_t* path, uint32_t chars) {
  DWORD size = chars;
  return ::QueryFullProcessImageNameW(process, 0, path, &size) != FALSE;
}

bool TerminateProcessHandle(Handle process, uint32_t exitCode) {
  return ::TerminateProcess(process, exitCode) != FALSE;
}

Handle OpenProcessForWait(uint32_t processId) { return ::OpenProcess(SYNCHRONIZE, FALSE, processId); }

ProcessWait WaitForProcessEnd(Handle process, uint32_t timeoutMs) {
  switch (::WaitForSingleObject(process, timeoutMs)) {
    case WAIT_OBJECT_0:
      return ProcessWait::kEnded;
    case WAIT_TIMEOUT:
      return ProcessWait::kTimedOut;
    default:
      return ProcessWait::kFailed;
  }
}

void CloseKernelHandle(Handle handle) { ::CloseHandle(handle); }

// ---- files ----
bool RemoveFolder(const wchar_t* path) { return ::RemoveDirectoryW(path) != FALSE; }

bool MoveFileTo(const wchar_t* from, const wchar_t* to) {
  // Written through: on a volume without a metadata journal (FAT) a move
  // out of the install folder could otherwise be lost by a power cut while
  // a later written-through move into it is kept. Windows documents the
  // flag only for a move done as a copy and a delete; a rename within an
  // NTFS volume is kept by the metadata journal, which the journal's next
  // written-through line flushes past it.
  return ::MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool LinkFile(const wchar_t* existing, const wchar_t* link) {
  return ::CreateHardLinkW(link, existing, nullptr) != FALSE;
}

bool CopyFileOver(const wchar_t* from, const wchar_t* to) {
  return ::CopyFileW(from, to, FALSE) != FALSE;
}

bool FileExists(const wchar_t* path) {
  DWORD attributes = ::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const wchar_t* path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool DeleteFileAt(const wchar_t* path) { return ::DeleteFileW(path) != FALSE; }

bool SetWorkingFolder(const wchar_t* path) { return ::SetCurrentDirectoryW(path) != FALSE; }

std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode) { return ::_wfopen(path, mode); }

bool FlushToDisk(std::FILE* file) {
  return std::fflush(file) == 0 && ::_commit(::_fileno(file)) == 0;
}

bool FlushFileAt(const wchar_t* path) {
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = ::FlushFileBuffers(file) != FALSE;
  ::CloseHandle(file);
  return flushed;
}

bool ReplaceFileAtomically(const wchar_t* source, const wchar_t* target) {
  return ::MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool ReadFileAttributes(const wchar_t* path, uint32_t* attributes) {
  const DWORD found = ::GetFileAttributesW(path);
  if (found == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = found;
  return true;
}

namespace {

// The attributes that keep a file from being written, replaced or deleted.
constexpr DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// Those SetFileAttributesW sets besides them (FILE_ATTRIBUTE_DIRECTORY and
// the like are read, never set). FILE_ATTRIBUTE_NORMAL is valid only alone:
// setting it clears all of these.
constexpr DWORD kOtherSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                           FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

bool SetSettableAttributes(const wchar_t* path, DWORD wanted) {
  return ::SetFileAttributesW(path, wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted) != FALSE;
}

}  // namespace

bool ClearFileAttributes(const wchar_t* path) {
  const DWORD current = ::GetFileAttributesW(path);
  if (current == INVALID_FILE_ATTRIBUTES) return false;
  if ((current & kBlockingAttributes) == 0) return true;
  return SetSettableAttributes(path, current & kOtherSettableAttributes);
}

bool RestoreFileAttributes(const wchar_t* path, uint32_t attributes) {
  const DWORD current = ::GetFileAttributesW(path);
  if (current == INVALID_FILE_ATTRIBUTES) return false;
  return SetSettableAttributes(path, (current & kOtherSettableAttributes) | (attributes & kBlockingAttributes));
}

bool ListFolder(const wchar_t* path, void (*visit)(void* context, const wchar_t* name, bool isFolder),
                void* context) {
  wchar_t pattern[MAX_PATH + 4] = {};
  if (::wcslen(path) + 3 > MAX_PATH) return false;
  ::wcscpy(pattern, path);
  ::wcscat(pattern, L"\\*");
  WIN32_FIND_DATAW found = {};
  HANDLE search = ::FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if (::wcscmp(found.cFileName, L".") == 0 || ::wcscmp(found.cFileName, L"..") == 0) continue;
    visit(context, found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (::FindNextFileW(search, &found));
  const bool complete = ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(search);
  return complete;
}

namespace {

// The file a handle was opened on is a reparse point (opened with
// FILE_FLAG_OPEN_REPARSE_POINT, the handle is the link's own).
bool HandleIsReparsePoint(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information = {};
  return !::GetFileInformationByHandle(file, &information) ||
         (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HANDLE OpenForFinalPath(const wchar_t* path) {
  return ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::wstring FinalPathOf(HANDLE file) {
  std::vector<wchar_t> path(MAX_PATH);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::wstring();
    if (length < path.size()) return std::wstring(path.data(), length);
    path.resize(length + 1);  // the size it needs, with its closing zero
  }
  return std::wstring();
}

// Whether the file at `path`, when there, is a link, or is reached through
// one: by its name's attributes, or because the path Windows opens it by
// (GetFinalPathNameByHandleW) is not its folder's and its own name. Some
// file systems, and Wine for a Unix symbolic link to a file, show such a
// link neither by name nor through a handle, and opening it follows it. It
// is looked at before the file is opened for writing or deleting; the
// folders the tool does so in are ones only administrators may change, so
// nothing can put a link there in between.
bool LinkInPlace(const wchar_t* path) {
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const wchar_t* name = std::wcsrchr(path, L'\\');
  if (!link && name != nullptr) {
    HANDLE file = OpenForFinalPath(path);
    HANDLE folder = OpenForFinalPath(std::wstring(path, name).c_str());
    if (file != INVALID_HANDLE_VALUE && folder != INVALID_HANDLE_VALUE) {
      const std::wstring reached = FinalPathOf(file);
      const std::wstring expected = FinalPathOf(folder) + name;
      link = !reached.empty() && ::CompareStringOrdinal(reached.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL;
    }
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    if (folder != INVALID_HANDLE_VALUE) ::CloseHandle(folder);
  }
  if (link) ::SetLastError(kErrorReparsePointEncountered);
  return link;
}

}  // namespace

bool IsReparsePoint(const wchar_t* path) {
  const DWORD byName = ::GetFileAttributesW(path);
  if (byName == INVALID_FILE_ATTRIBUTES) {
    // Only a name that is not there is not a link; one that cannot be
    // looked at is not to be trusted either.
    const DWORD error = ::GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }
  if (byName & FILE_ATTRIBUTE_REPARSE_POINT) return true;
  HANDLE file = ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;  // there, but not to be looked at: not to be trusted either
  const bool link = HandleIsReparsePoint(file);
  ::CloseHandle(file);
  return link;
}

Handle OpenAppendWriteThrough(const wchar_t* path) {
  if (LinkInPlace(path)) return nullptr;
  // Shared for writing too: a run refused while another holds the lock
  // appends its lines beside the other's (each write an atomic append).
  HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (HandleIsReparsePoint(file)) {
    ::CloseHandle(file);
    ::SetLastError(kErrorReparsePointEncountered);
    return nullptr;
  }
  return file;
}

bool AppendBytes(Handle file, const void* bytes, uint32_t count) {
  DWORD written = 0;
  return ::WriteFile(file, bytes, count, &written, nullptr) != FALSE && written == count;
}

bool FileSizeAt(const wchar_t* path, uint64_t* bytes) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  *bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool FreeBytesAt(const wchar_t* folder, uint64_t* bytes) {
  ULARGE_INTEGER available = {};
  if (!::GetDiskFreeSpaceExW(folder, &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

bool LongPathOf(const wchar_t* path, wchar_t* out, int outChars) {
  // The count is without the terminator on success, the size needed when
  // the buffer is too small, 0 on failure.
  const DWORD written = ::GetLongPathNameW(path, out, static_cast<DWORD>(outChars));
  return written > 0 && written < static_cast<DWORD>(outChars);
}

bool SameFileName(const wchar_t* a, const wchar_t* b) {
  return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// ---- one run at a time ----
LockTake OpenLockFile(const wchar_t* path, Handle* lock) {
  *lock = nullptr;
  if (LinkInPlace(path)) return LockTake::kFailed;
  // Share mode 0: while this handle is open no other open that asks to
  // read, write or delete the file succeeds, and every run asks DELETE,
  // which FILE_FLAG_DELETE_ON_CLOSE needs. Nothing is written to it: the
  // attributes are all it reads.
  // A link in its place is opened as itself, never followed: closing it
  // then deletes the link alone, not what it points to.
  HANDLE file = ::CreateFileW(path, FILE_READ_ATTRIBUTES | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (file != INVALID_HANDLE_VALUE && HandleIsReparsePoint(file)) {
    ::CloseHandle(file);
    ::SetLastError(kErrorReparsePointEncountered);
    return LockTake::kFailed;
  }
  if (file != INVALID_HANDLE_VALUE) {
    *lock = file;
    return LockTake::kOwned;
  }
  return ::GetLastError() == ERROR_SHARING_VIOLATION ? LockTake::kHeldElsewhere : LockTake::kFailed;
}

void CloseLockFile(Handle lock) { ::CloseHandle(lock); }

// ---- threads, semaphore, clock ----
Handle CreateCountingSemaphore(int32_t initialCount, int32_t maximumCount) {
  return ::CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr);
}

bool ReleaseSemaphoreOnce(Handle semaphore) {
  return ::ReleaseSemaphore(semaphore, 1, nullptr) != FALSE;
}

bool WaitWithoutTimeout(Handle semaphore) {
  return ::WaitForSingleObject(semaphore, INFINITE) == WAIT_OBJECT_0;
}

namespace {

struct ThreadStart {
  int32_t (*body)(void*);
  void* argument;
};

unsigned __stdcall ThreadEntry(void* start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return static_cast<unsigned>(what.body(what.argument));
}

}  // namespace

bool StartThread(int32_t (*body)(void*), void* argument, uint32_t stackBytes) {
  // The new thread owns `start` once it runs; until then, and when it
  // cannot be made, this one does.
  auto* start = new (std::nothrow) ThreadStart{body, argument};
  if (start == nullptr) return false;
  uintptr_t thread = ::_beginthreadex(nullptr, stackBytes, ThreadEntry, start, 0, nullptr);
  if (thread == 0) {
    delete start;
    return false;
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

void SleepMs(uint32_t milliseconds) { ::Sleep(milliseconds); }

void LocalDate(int* year, int* month, int* day) {
  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  *year = now.wYear;
  *month = now.wMonth;
  *day = now.wDay;
}

uint64_t TickMs() { return ::GetTickCount64(); }

void LocalDateTime(LocalTime* now) {
  SYSTEMTIME t = {};
  ::GetLocalTime(&t);
  *now = LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

void ErrorText(uint32_t error, wchar_t* out, int outChars) {
  if (outChars <= 0) return;
  out[0] = 0;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                             0, out, static_cast<DWORD>(outChars), nullptr);
  // The system's text ends in a line end.
  while (n > 0 && (out[n - 1] == L'\r' || out[n - 1] == L'\n' || out[n - 1] == L' ')) out[--n] = 0;
}

// ---- text ----
static UINT Win32CodePage(CodePage page) {
  return page == kAnsiCodePage ? CP_ACP : page == kOemCodePage ? CP_OEMCP : CP_UTF8;
}

int WidenText(CodePage page, const char* text, wchar_t* out, int outChars) {
  return ::MultiByteToWideChar(Win32CodePage(page), 0, text, -1, out, outChars);
}

int NarrowText(CodePage page, const wchar_t* text, char* out, int outBytes) {
  return ::WideCharToMultiByte(Win32CodePage(page), 0, text, -1, out, outBytes, nullptr, nullptr);
}

bool ParseDecimal(const wchar_t* text, int32_t* value) {
  int number = 0;
  if (!::StrToIntExW(text, STIF_DEFAULT, &number)) return false;
  *value = number;
  return true;
}

void FormatWide(wchar_t* out, int capacity, const wchar_t* format, ...) {
  if (capacity <= 0) return;
  va_list args;
  va_start(args, format);
  ::wvnsprintfW(out, capacity, format, args);
  va_end(args);
  out[capacity - 1] = 0;
}

void PrintWide(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::vwprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

// ---- file hashes ----
namespace {

struct Sha256Hash {
  HCRYPTPROV provider;
  HCRYPTHASH hash;
};

}  // namespace

Handle StartSha256() {
  HCRYPTPROV provider = 0;
  // A verify context: no key container is opened or made.
  if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return nullptr;
  HCRYPTHASH hash = 0;
  if (!::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    const DWORD error = ::GetLastError();
    ::CryptReleaseContext(provider, 0);
    ::SetLastError(error);
    return nullptr;
  }
  return new Sha256Hash{provider, hash};
}

bool HashBytes(Handle hash, const void* bytes, uint32_t count) {
  Sha256Hash* state = static_cast<Sha256Hash*>(hash);
  return ::CryptHashData(state->hash, static_cast<const BYTE*>(bytes), count, 0) != FALSE;
}

bool FinishSha256(Handle hash, uint8_t* digest) {
  Sha256Hash* state = static_cast<Sha256Hash*>(hash);
  bool done = digest == nullptr;
  if (digest != nullptr) {
    DWORD bytes = kSha256Bytes;
    done = ::CryptGetHashParam(state->hash, HP_HASHVAL, digest, &bytes, 0) != FALSE && bytes == kSha256Bytes;
  }
  const DWORD error = ::GetLastError();
  ::CryptDestroyHash(state->hash);
  ::CryptReleaseContext(state->provider, 0);
  delete state;
  ::SetLastError(error);
  return done;
}

// ---- whole lines on standard output ----
void PrintLine(const wchar_t* line) {
  std::fflush(stdout);  // what the C runtime holds goes first
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  std::wstring text(line);
  text += L"\r\n";
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) {
    // A console shows every character it has a glyph for, whatever its code page.
    for (size_t done = 0; done < text.size();) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 8192));
      if (!::WriteConsoleW(out, text.data() + done, chunk, &written, nullptr) || written == 0) return;
      done += written;
    }
    return;
  }
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
  for (size_t done = 0; done < utf8.size();) {
    DWORD written = 0;
    if (!::WriteFile(out, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written, nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

}  // namespace os
