// Linux stand-in for the platform. In-memory registry, service manager and
// process list; real files (with '\' read as '/'); a virtual clock; code
// pages 1252 (ANSI) and 437 (OEM) through iconv. A test double only.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/fake_platform.h"

namespace {

std::wstring Lower(std::wstring text) {
  for (auto& c : text) {
    if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
  }
  return text;
}

struct FakeKey {
  std::wstring subKey;
};
struct FakeServiceHandle {
  bool isManager;
  std::wstring service;
};
struct KernelObject {
  virtual ~KernelObject() = default;
};
struct FakeSnapshot : KernelObject {
  std::vector<fake::Process> entries;
  size_t next = 0;
};
struct FakeProcessHandle : KernelObject {
  explicit FakeProcessHandle(uint32_t id) : processId(id) {}
  uint32_t processId;
};
struct FakeMutex : KernelObject {
  std::wstring name;
};
struct FakeSemaphore : KernelObject {
  std::mutex mutex;
  std::condition_variable released;
  int32_t count;
  int32_t maximum;
};

struct Machine {
  std::map<std::wstring, std::map<std::wstring, std::wstring>> registry;  // lower-case key
  std::vector<fake::Service> services;
  bool managerAvailable = true;
  std::vector<fake::Process> processes;
  uint32_t nextProcessId = 100;
  std::set<FakeKey*> keys;
  std::set<FakeServiceHandle*> serviceHandles;
  std::set<KernelObject*> kernelHandles;
  uint64_t nowMs = 0;
  std::vector<uint32_t> sleeps;
  int year = 0, month = 0, day = 0;
  std::wstring output;
  std::map<std::string, std::set<int>> failOnce;
  std::map<std::string, int> failFrom;
  std::map<std::string, int> callCounts;
  std::vector<std::string> callLog;
  void (*observer)(const std::string&) = nullptr;
  // Named mutexes: who holds each one besides this process.
  std::map<std::wstring, fake::MutexHolder> mutexHolders;
  std::set<std::wstring> mutexesOwned;
  // Files (by path) written since they were last flushed; a power cut
  // takes their data.
  std::set<std::string> unflushed;
  std::map<std::FILE*, std::string> openedForWriting;
};

Machine& M() {
  static Machine machine;
  return machine;
}

std::mutex g_machineMutex;  // the worker thread and the main thread share the machine
thread_local uint32_t t_lastError = 0;

// Logs the call and answers whether it is to fail.
bool Call(const char* function) {
  void (*observer)(const std::string&) = nullptr;
  bool fail = false;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    Machine& m = M();
    int n = ++m.callCounts[function];
    m.callLog.push_back(function);
    auto once = m.failOnce.find(function);
    auto from = m.failFrom.find(function);
    fail = (once != m.failOnce.end() && once->second.count(n)) ||
           (from != m.failFrom.end() && n >= from->second);
    observer = m.observer;
  }
  if (observer) observer(function);
  if (fail) t_lastError = 5;  // ERROR_ACCESS_DENIED
  return fail;
}

fake::Service* Find(const std::wstring& name) {
  for (auto& s : M().services) {
    if (Lower(s.name) == Lower(name)) return &s;
  }
  return nullptr;
}

// ---- files ----
std::string ToUtf8(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) {
    uint32_t c = static_cast<uint32_t>(*text);
    if (c == L'\\') c = '/';
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

uint32_t ErrnoToWin32(int error) {
  switch (error) {
    case EEXIST:
    case ENOTEMPTY:
      return os::kErrorAlreadyExists;
    case ENOENT:
      return 2;  // ERROR_FILE_NOT_FOUND
    case ENOTDIR:
      return 3;  // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EISDIR:
      return 5;  // ERROR_ACCESS_DENIED
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

bool Fail(int error) {
  t_lastError = ErrnoToWin32(error);
  return false;
}

void MarkUnflushed(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().unflushed.insert(path);
}

void MarkFlushed(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().unflushed.erase(path);
}

// A rename carries the file's unwritten data with it; the file it replaces
// is gone.
void MoveUnflushed(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const bool pending = M().unflushed.erase(from) > 0;
  M().unflushed.erase(to);
  if (pending) M().unflushed.insert(to);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- code pages ----
struct CodePageTable {
  wchar_t toWide[256];
};

CodePageTable BuildTable(const char* name) {
  CodePageTable table;
  iconv_t cd = iconv_open("WCHAR_T", name);
  for (int b = 0; b < 256; ++b) {
    wchar_t w = static_cast<wchar_t>(b);  // a byte without a mapping stands for itself
    if (cd != reinterpret_cast<iconv_t>(-1)) {
      char in = static_cast<char>(b);
      char* inPtr = &in;
      size_t inLeft = 1;
      wchar_t out = 0;
      char* outPtr = reinterpret_cast<char*>(&out);
      size_t outLeft = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
          outLeft == 0) {
        w = out;
      }
    }
    table.toWide[b] = w;
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return table;
}

const CodePageTable& Table(os::CodePage page) {
  static const CodePageTable ansi = BuildTable("WINDOWS-1252");
  static const CodePageTable oem = BuildTable("CP437");
  return page == os::kAnsiCodePage ? ansi : oem;
}

}  // namespace

namespace os {

uint32_t LastError() { return t_lastError; }

// ---- registry ----
Handle OpenMachineKeyForRead(const wchar_t* subKey) {
  if (Call("OpenMachineKeyForRead")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  std::wstring key = Lower(subKey);
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  if (!M().registry.count(key)) {
    t_lastError = 2;
    return nullptr;
  }
  auto* handle = new FakeKey{key};
  M().keys.insert(handle);
  return handle;
}

bool QueryKeyValue(Handle key, const wchar_t* name, wchar_t* buffer, uint32_t bufferBytes) {
  if (Call("QueryKeyValue")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* handle = static_cast<FakeKey*>(key);
  if (!M().keys.count(handle)) return false;
  auto& values = M().registry[handle->subKey];
  auto found = values.find(name);
  if (found == values.end()) {
    t_lastError = 2;
    return false;
  }
  const std::wstring& value = found->second;
  if ((value.size() + 1) * sizeof(wchar_t) > bufferBytes) {  // the value with its terminator
    t_lastError = 234;                         // ERROR_MORE_DATA
    return false;
  }
  std::copy(value.begin(), value.end(), buffer);
  buffer[value.size()] = 0;
  return true;
}

void CloseKey(Handle key) {
  Call("CloseKey");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* handle = static_cast<FakeKey*>(key);
  if (M().keys.erase(handle)) delete handle;
}

// ---- services ----
Handle OpenServiceManager() {
  if (Call("OpenServiceManager")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (!M().managerAvailable) {
    t_lastError = 5;
    return nullptr;
  }
  auto* handle = new FakeServiceHandle{true, L""};
  M().serviceHandles.insert(handle);
  return handle;
}

Handle OpenServiceForControl(Handle manager, const wchar_t* name) {
  if (Call("OpenServiceForControl")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* owner = static_cast<FakeServiceHandle*>(manager);
  if (!M().serviceHandles.count(owner) || !owner->isManager) return nullptr;
  if (!Find(name)) {
    t_lastError = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
    return nullptr;
  }
  auto* handle = new FakeServiceHandle{false, name};
  M().serviceHandles.insert(handle);
  return handle;
}

static fake::Service* ServiceOf(Handle handle) {
  auto* h = static_cast<FakeServiceHandle*>(handle);
  if (!M().serviceHandles.count(h) || h->isManager) return nullptr;
  return Find(h->service);
}

bool QueryServiceState(Handle service, ServiceStatus* status) {
  if (Call("QueryServiceState")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) return false;
  int index = s->queries++;
  if (s->failQueriesFrom >= 0 && index >= s->failQueriesFrom) {
    t_lastError = 5;
    return false;
  }
  if (s->queriesSinceRequest >= 0) {
    if (!s->afterRequest.empty()) {
      size_t i = std::min<size_t>(s->queriesSinceRequest, s->afterRequest.size() - 1);
      s->state = s->afterRequest[i];
    }
    ++s->queriesSinceRequest;
  }
  status->currentState = s->state;
  status->waitHint = s->waitHint;
  return true;
}

bool RequestServiceStart(Handle service) {
  if (Call("RequestServiceStart")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) return false;
  ++s->startRequests;
  if (s->refuseStart || s->state != kServiceStopped) {
    t_lastError = s->refuseStart ? 1053 : 1056;  // no response / already running
    return false;
  }
  s->queriesSinceRequest = 0;
  if (s->afterRequest.empty()) s->state = kServiceRunning;
  return true;
}

bool RequestServiceStop(Handle service) {
  if (Call("RequestServiceStop")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Service* s = ServiceOf(service);
  if (!s) return false;
  ++s->stopRequests;
  if (s->refuseStop || s->state != kServiceRunning) {
    t_lastError = s->refuseStop ? 1051 : 1062;  // dependent services / not active
    return false;
  }
  s->queriesSinceRequest = 0;
  if (s->afterRequest.empty()) s->state = kServiceStopped;
  return true;
}

void CloseServiceHandle(Handle handle) {
  Call("CloseServiceHandle");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* h = static_cast<FakeServiceHandle*>(handle);
  if (M().serviceHandles.erase(h)) delete h;
}

// ---- processes ----
Handle SnapshotProcesses() {
  if (Call("SnapshotProcesses")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* snapshot = new FakeSnapshot;
  for (const auto& p : M().processes) {
    if (!p.terminated) snapshot->entries.push_back(p);
  }
  M().kernelHandles.insert(snapshot);
  return snapshot;
}

static bool NextEntry(Handle snapshot, ProcessEntry* entry) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* s = static_cast<FakeSnapshot*>(snapshot);
  if (!M().kernelHandles.count(s) || s->next >= s->entries.size()) {
    t_lastError = 18;  // ERROR_NO_MORE_FILES
    return false;
  }
  const fake::Process& p = s->entries[s->next++];
  entry->processId = p.processId;
  size_t n = std::min<size_t>(p.exeFile.size(), 259);  // szExeFile holds MAX_PATH
  std::copy(p.exeFile.begin(), p.exeFile.begin() + n, entry->exeFile);
  entry->exeFile[n] = 0;
  return true;
}

bool FirstProcess(Handle snapshot, ProcessEntry* entry) {
  if (Call("FirstProcess")) return false;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    auto* s = static_cast<FakeSnapshot*>(snapshot);
    if (M().kernelHandles.count(s)) s->next = 0;
  }
  return NextEntry(snapshot, entry);
}

bool NextProcess(Handle snapshot, ProcessEntry* entry) {
  if (Call("NextProcess")) return false;
  return NextEntry(snapshot, entry);
}

Handle OpenProcessForTerminate(uint32_t processId) {
  if (Call("OpenProcessForTerminate")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  for (const auto& p : M().processes) {
    if (p.processId == processId && !p.terminated && !p.refuseOpen) {
      auto* handle = new FakeProcessHandle(processId);
      M().kernelHandles.insert(handle);
      return handle;
    }
  }
  t_lastError = 5;
  return nullptr;
}

bool TerminateProcessHandle(Handle process, uint32_t) {
  if (Call("TerminateProcessHandle")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (!process || !M().kernelHandles.count(static_cast<KernelObject*>(process))) {
    t_lastError = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  uint32_t id = static_cast<FakeProcessHandle*>(process)->processId;
  for (auto& p : M().processes) {
    if (p.processId == id) p.terminated = true;
  }
  return true;
}

void CloseKernelHandle(Handle handle) {
  Call("CloseKernelHandle");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* object = static_cast<KernelObject*>(handle);
  if (M().kernelHandles.erase(object)) delete object;
}

// ---- files ----
bool MakeDirectory(const wchar_t* path) {
  if (Call("MakeDirectory")) return false;
  if (mkdir(ToUtf8(path).c_str(), 0777) != 0) return Fail(errno == ENOENT ? ENOTDIR : errno);
  return true;
}

bool RemoveFolder(const wchar_t* path) {
  if (Call("RemoveFolder")) return false;
  if (rmdir(ToUtf8(path).c_str()) != 0) return Fail(errno);
  return true;
}

bool MoveFileTo(const wchar_t* from, const wchar_t* to) {
  if (Call("MoveFileTo")) return false;
  // MoveFileW never replaces an existing target.
  if (renameat2(AT_FDCWD, ToUtf8(from).c_str(), AT_FDCWD, ToUtf8(to).c_str(), RENAME_NOREPLACE) != 0)
    return Fail(errno);
  MoveUnflushed(ToUtf8(from), ToUtf8(to));
  return true;
}

bool CopyFileOver(const wchar_t* from, const wchar_t* to) {
  if (Call("CopyFileOver")) return false;
  std::string source = ToUtf8(from), target = ToUtf8(to);
  if (IsDirectory(source) || IsDirectory(target)) return Fail(EACCES);
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail(errno);
  int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    int error = errno;
    close(in);
    return Fail(error);
  }
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || write(out, buffer, static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
  }
  int error = errno;
  close(in);
  if (close(out) != 0) ok = false;
  MarkUnflushed(target);
  return ok ? true : Fail(error);
}

bool FileExists(const wchar_t* path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const wchar_t* path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0;
}

bool DeleteFileAt(const wchar_t* path) {
  if (Call("DeleteFileAt")) return false;
  if (unlink(ToUtf8(path).c_str()) != 0) return Fail(errno);
  MarkFlushed(ToUtf8(path));
  return true;
}

bool SetWorkingFolder(const wchar_t* path) {
  if (Call("SetWorkingFolder")) return false;
  if (chdir(ToUtf8(path).c_str()) != 0) return Fail(errno);
  return true;
}

std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode) {
  if (Call("OpenFile")) return nullptr;
  std::string narrowMode = ToUtf8(mode);
  std::string target = ToUtf8(path);
  if (IsDirectory(target)) {
    Fail(EACCES);
    return nullptr;
  }
  std::FILE* file = std::fopen(target.c_str(), narrowMode.c_str());
  if (!file) {
    Fail(errno);
  } else if (narrowMode.find_first_of("wa+") != std::string::npos) {
    MarkUnflushed(target);
    std::lock_guard<std::mutex> lock(g_machineMutex);
    M().openedForWriting[file] = target;
  }
  return file;
}

bool FlushToDisk(std::FILE* file) {
  if (Call("FlushToDisk")) return false;
  // Durability is the power-cut model's (PowerCut): the disk itself is not
  // waited for.
  if (std::fflush(file) != 0) return false;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    auto found = M().openedForWriting.find(file);
    if (found != M().openedForWriting.end()) path = found->second;
  }
  MarkFlushed(path);
  return true;
}

bool FlushFileAt(const wchar_t* path) {
  if (Call("FlushFileAt")) return false;
  const std::string target = ToUtf8(path);
  int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);  // as the real one opens it for writing
  if (fd < 0) return Fail(errno);
  close(fd);
  MarkFlushed(target);
  return true;
}

bool ReplaceFileAtomically(const wchar_t* source, const wchar_t* target) {
  if (Call("ReplaceFileAtomically")) return false;
  if (rename(ToUtf8(source).c_str(), ToUtf8(target).c_str()) != 0) return Fail(errno);
  MoveUnflushed(ToUtf8(source), ToUtf8(target));
  return true;
}

// ---- one run at a time ----
MutexTake TakeMachineMutex(const wchar_t* name, Handle* mutex) {
  *mutex = nullptr;
  if (Call("TakeMachineMutex")) return MutexTake::kFailed;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  Machine& m = M();
  auto holder = m.mutexHolders.find(name);
  if (holder != m.mutexHolders.end() && holder->second == fake::MutexHolder::kOtherProcess) {
    return MutexTake::kHeldElsewhere;
  }
  if (m.mutexesOwned.count(name)) return MutexTake::kHeldElsewhere;  // another run of this process
  m.mutexHolders.erase(name);  // free, or abandoned by a killed owner
  m.mutexesOwned.insert(name);
  auto* handle = new FakeMutex;
  handle->name = name;
  m.kernelHandles.insert(handle);
  *mutex = handle;
  return MutexTake::kOwned;
}

void ReleaseMachineMutex(Handle mutex) {
  Call("ReleaseMachineMutex");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* object = static_cast<KernelObject*>(mutex);
  if (!M().kernelHandles.erase(object)) return;
  M().mutexesOwned.erase(static_cast<FakeMutex*>(object)->name);
  delete object;
}

// ---- threads, semaphore, clock ----
Handle CreateCountingSemaphore(int32_t initialCount, int32_t maximumCount) {
  if (Call("CreateCountingSemaphore")) return nullptr;
  auto* semaphore = new FakeSemaphore;
  semaphore->count = initialCount;
  semaphore->maximum = maximumCount;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().kernelHandles.insert(semaphore);
  return semaphore;
}

bool ReleaseSemaphoreOnce(Handle semaphore) {
  if (Call("ReleaseSemaphoreOnce")) return false;
  auto* s = static_cast<FakeSemaphore*>(semaphore);
  if (!s) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (s->count >= s->maximum) return false;
  ++s->count;
  s->released.notify_one();
  return true;
}

bool WaitWithoutTimeout(Handle semaphore) {
  if (Call("WaitWithoutTimeout")) return false;
  auto* s = static_cast<FakeSemaphore*>(semaphore);
  if (!s) return false;
  std::unique_lock<std::mutex> lock(s->mutex);
  s->released.wait(lock, [s] { return s->count > 0; });
  --s->count;
  return true;
}

bool StartThread(int32_t (*body)(), uint32_t) {
  if (Call("StartThread")) return false;
  std::thread(body).detach();
  return true;
}

void SleepMs(uint32_t milliseconds) {
  Call("SleepMs");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().nowMs += milliseconds;
  M().sleeps.push_back(milliseconds);
}

void LocalDate(int* year, int* month, int* day) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (M().year == 0) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    *year = local.tm_year + 1900;
    *month = local.tm_mon + 1;
    *day = local.tm_mday;
    return;
  }
  *year = M().year;
  *month = M().month;
  *day = M().day;
}

// ---- text ----
int WidenText(CodePage page, const char* text, wchar_t* out, int outChars) {
  if (Call("WidenText")) return 0;
  const CodePageTable& table = Table(page);
  int needed = static_cast<int>(std::strlen(text)) + 1;
  if (outChars == 0) return needed;
  if (outChars < needed) {
    t_lastError = 122;  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  for (int i = 0; i < needed; ++i) out[i] = table.toWide[static_cast<unsigned char>(text[i])];
  return needed;
}

int NarrowText(CodePage page, const wchar_t* text, char* out, int outBytes) {
  if (Call("NarrowText")) return 0;
  const CodePageTable& table = Table(page);
  int needed = static_cast<int>(std::wcslen(text)) + 1;
  if (outBytes == 0) return needed;
  if (outBytes < needed) {
    t_lastError = 122;
    return 0;
  }
  for (int i = 0; i < needed; ++i) {
    char byte = '?';  // the default character for what the code page lacks
    for (int b = 0; b < 256; ++b) {
      if (table.toWide[b] == text[i]) {
        byte = static_cast<char>(b);
        break;
      }
    }
    out[i] = byte;
  }
  return needed;
}

bool ParseDecimal(const wchar_t* text, int32_t* value) {
  while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
  bool negative = false;
  if (*text == L'-' || *text == L'+') negative = *text++ == L'-';
  if (*text < L'0' || *text > L'9') return false;
  uint32_t number = 0;  // wraps past 32 bits, as the platform's conversion does
  for (; *text >= L'0' && *text <= L'9'; ++text) number = number * 10u + static_cast<uint32_t>(*text - L'0');
  *value = static_cast<int32_t>(negative ? 0u - number : number);
  return true;
}

void FormatWide(wchar_t* out, int capacity, const wchar_t* format, ...) {
  if (capacity <= 0) return;
  wchar_t scratch[4096];
  va_list args;
  va_start(args, format);
  int n = std::vswprintf(scratch, sizeof scratch / sizeof scratch[0], format, args);
  va_end(args);
  if (n < 0) n = 0;
  int keep = std::min(n, capacity - 1);
  std::copy(scratch, scratch + keep, out);
  out[keep] = 0;
}

void PrintWide(const wchar_t* format, ...) {
  wchar_t scratch[4096];
  va_list args;
  va_start(args, format);
  int n = std::vswprintf(scratch, sizeof scratch / sizeof scratch[0], format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (n > 0) M().output.append(scratch, static_cast<size_t>(n));
}

}  // namespace os

namespace fake {

void Reset() {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  Machine& m = M();
  for (auto* k : m.keys) delete k;
  for (auto* h : m.serviceHandles) delete h;
  for (auto* h : m.kernelHandles) delete h;
  m = Machine();
  t_lastError = 0;
}

void SetMachineValue(const std::wstring& subKey, const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  std::wstring key = Lower(subKey);
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  M().registry[key][name] = value;
}

Service& AddService(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().services.push_back(Service());
  M().services.back().name = name;
  return M().services.back();
}

Service* FindService(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return Find(name);
}

void SetServiceManagerAvailable(bool available) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().managerAvailable = available;
}

uint32_t AddProcess(const std::wstring& exeFile) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  Process p;
  p.processId = M().nextProcessId;
  M().nextProcessId += 4;
  p.exeFile = exeFile;
  M().processes.push_back(p);
  return p.processId;
}

const std::vector<Process>& Processes() { return M().processes; }

int OpenKeys() { return static_cast<int>(M().keys.size()); }
int OpenServiceHandles() { return static_cast<int>(M().serviceHandles.size()); }
int OpenKernelHandles() { return static_cast<int>(M().kernelHandles.size()); }

uint64_t NowMs() { return M().nowMs; }
const std::vector<uint32_t>& Sleeps() { return M().sleeps; }

void SetLocalDate(int year, int month, int day) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().year = year;
  M().month = month;
  M().day = day;
}

std::wstring Output() {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return M().output;
}

void SetMutexHolder(const std::wstring& name, MutexHolder holder) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().mutexHolders[name] = holder;
}

bool MutexOwned(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return M().mutexesOwned.count(name) > 0;
}

void PowerCut() {
  std::set<std::string> lost;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    lost.swap(M().unflushed);
  }
  for (const std::string& path : lost) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::vector<char> zeros(static_cast<size_t>(st.st_size), 0);
    if (!zeros.empty() && write(fd, zeros.data(), zeros.size()) < 0) {
      // The file is left as it is; the check after the cut sees it.
    }
    close(fd);
  }
}

void FailCall(const std::string& function, int occurrence) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().failOnce[function].insert(occurrence);
}

void FailCallsFrom(const std::string& function, int occurrence) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().failFrom[function] = occurrence;
}

int CallCount(const std::string& function) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto found = M().callCounts.find(function);
  return found == M().callCounts.end() ? 0 : found->second;
}

const std::vector<std::string>& CallLog() { return M().callLog; }

void SetCallObserver(void (*observer)(const std::string& function)) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().observer = observer;
}

}  // namespace fake
