// Stand-in system services: the single-instance lock file, semaphores, threads,
// the virtual clock and the code pages (1252 and 437, through iconv, and UTF-8).
#include <sys/stat.h>
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace {

// The threads started, until joined. Never destroyed: a thread still
// joinable when the process ends is no error.
std::mutex& ThreadsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::vector<std::thread>& Threads() {
  static auto* threads = new std::vector<std::thread>;
  return *threads;
}

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

// As MultiByteToWideChar reads UTF-8: a byte that does not begin a whole,
// shortest sequence of a character (no surrogate) is U+FFFD.
std::wstring DecodeUtf8(const char* text) {
  std::wstring out;
  const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != 0) {
    const int extra = *c >= 0xC2 && *c <= 0xDF ? 1 : *c >= 0xE0 && *c <= 0xEF ? 2 : *c >= 0xF0 && *c <= 0xF4 ? 3 : 0;
    uint32_t point = extra == 0 ? *c : *c & (0x3F >> extra);
    int taken = 1;
    for (; taken <= extra && (c[taken] & 0xC0) == 0x80; ++taken) point = (point << 6) | (c[taken] & 0x3F);
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    const bool whole = *c < 0x80 || (extra > 0 && taken == extra + 1 && point >= kLeast[extra] &&
                                     point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF));
    out += whole ? static_cast<wchar_t>(point) : L'\uFFFD';
    c += whole ? taken : 1;
  }
  return out;
}

const CodePageTable& Table(os::CodePage page) {
  static const CodePageTable ansi = BuildTable("WINDOWS-1252");
  static const CodePageTable oem = BuildTable("CP437");
  return page == os::kAnsiCodePage ? ansi : oem;
}

}  // namespace

namespace os {


// ---- one run at a time ----
LockTake OpenLockFile(const wchar_t* path, Handle* lock) {
  *lock = nullptr;
  if (Call("OpenLockFile")) return LockTake::kFailed;
  const std::string target = ToUtf8(path);
  const size_t slash = target.rfind('/');
  if (slash != std::string::npos && !IsDirectory(target.substr(0, slash))) {
    Fail(ENOTDIR);  // ERROR_PATH_NOT_FOUND: the folder is not there
    return LockTake::kFailed;
  }
  if (IsDirectory(target)) {
    Fail(EACCES);
    return LockTake::kFailed;
  }
  struct stat link;
  if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    t_lastError = kErrorReparsePointEncountered;
    return LockTake::kFailed;
  }
  std::lock_guard<std::mutex> guard(g_machineMutex);
  Machine& m = M();
  // Opened without sharing by another process, or by another run of this one.
  if (m.lockFilesHeldElsewhere.count(target) || m.lockFilesHeld.count(target)) {
    t_lastError = 32;  // ERROR_SHARING_VIOLATION
    return LockTake::kHeldElsewhere;
  }
  int fd = open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    t_lastError = ErrnoToWin32(errno);
    return LockTake::kFailed;
  }
  auto* file = new FakeLockFile;
  file->fd = fd;
  file->path = target;
  m.kernelHandles.insert(file);
  m.lockFilesHeld.insert(target);
  *lock = file;
  return LockTake::kOwned;
}

void CloseLockFile(Handle lock) {
  Call("CloseLockFile");  // closing a handle this process holds does not fail
  std::lock_guard<std::mutex> guard(g_machineMutex);
  auto* object = static_cast<KernelObject*>(lock);
  if (!M().kernelHandles.erase(object)) return;
  auto* file = static_cast<FakeLockFile*>(object);
  // Deleted on close.
  unlink(file->path.c_str());
  M().lockFilesHeld.erase(file->path);
  delete file;
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

bool StartThread(int32_t (*body)(void*), void* argument, uint32_t) {
  if (Call("StartThread")) return false;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    if (body == M().failThreadsOf) {
      t_lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(ThreadsMutex());
  Threads().emplace_back(body, argument);
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

uint64_t TickMs() {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return M().nowMs;
}

void LocalDateTime(LocalTime* now) {
  int year = 0, month = 0, day = 0;
  LocalDate(&year, &month, &day);
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const uint64_t ms = M().nowMs;
  *now = LocalTime{year, month, day, static_cast<int>(ms / 3600000 % 24), static_cast<int>(ms / 60000 % 60),
                   static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
}

void ErrorText(uint32_t error, wchar_t* out, int outChars) {
  // The few errors the tests meet, worded as Windows words them.
  static const std::map<uint32_t, const wchar_t*> kTexts = {
      {2, L"The system cannot find the file specified."},
      {3, L"The system cannot find the path specified."},
      {5, L"Access is denied."},
      {32, L"The process cannot access the file because it is being used by another process."},
      {33, L"The process cannot access the file because another process has locked a portion of the file."},
      {112, L"There is not enough space on the disk."},
      {183, L"Cannot create a file when that file already exists."},
      {1051, L"A stop control has been sent to a service that other running services are dependent on."},
      {1053, L"The service did not respond to the start or control request in a timely fashion."},
      {1056, L"An instance of the service is already running."},
      {112, L"There is not enough space on the disk."},
      {1058, L"The service cannot be started, either because it is disabled or because it has no enabled devices associated with it."},
      {1060, L"The specified service does not exist as an installed service."},
      {1062, L"The service has not been started."}};
  if (outChars <= 0) return;
  auto found = kTexts.find(error);
  const wchar_t* text = found == kTexts.end() ? L"" : found->second;
  std::wcsncpy(out, text, static_cast<size_t>(outChars - 1));
  out[outChars - 1] = 0;
}

// ---- text ----
int WidenText(CodePage page, const char* text, wchar_t* out, int outChars) {
  if (Call("WidenText")) return 0;
  std::wstring wide;
  if (page == kUtf8CodePage) {
    wide = DecodeUtf8(text);
  } else {
    const CodePageTable& table = Table(page);
    for (const char* c = text; *c != 0; ++c) wide += table.toWide[static_cast<unsigned char>(*c)];
  }
  const int needed = static_cast<int>(wide.size()) + 1;
  if (outChars == 0) return needed;
  if (outChars < needed) {
    t_lastError = 122;  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  std::copy(wide.c_str(), wide.c_str() + needed, out);
  return needed;
}

int NarrowText(CodePage page, const wchar_t* text, char* out, int outBytes) {
  if (Call("NarrowText")) return 0;
  std::string narrow;
  if (page == kUtf8CodePage) {
    narrow = ToUtf8(text);
  } else {
    const CodePageTable& table = Table(page);
    for (const wchar_t* c = text; *c != 0; ++c) {
      char byte = '?';  // the default character for what the code page lacks
      for (int b = 1; b < 256; ++b) {
        if (table.toWide[b] == *c) {
          byte = static_cast<char>(b);
          break;
        }
      }
      narrow += byte;
    }
  }
  const int needed = static_cast<int>(narrow.size()) + 1;
  if (outBytes == 0) return needed;
  if (outBytes < needed) {
    t_lastError = 122;
    return 0;
  }
  std::copy(narrow.c_str(), narrow.c_str() + needed, out);
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

void SetLockFileHolder(const std::string& path, LockFileHolder holder) {
  std::lock_guard<std::mutex> guard(g_machineMutex);
  if (holder == LockFileHolder::kOtherProcess) {
    // The holder's open made the file; it stays while the holder lives.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) close(fd);
    M().lockFilesHeldElsewhere.insert(path);
  } else if (M().lockFilesHeldElsewhere.erase(path)) {
    unlink(path.c_str());  // its handle closed, by the holder or by its end
  }
}

bool LockFileHeld(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_machineMutex);
  return M().lockFilesHeld.count(path) > 0;
}

}  // namespace fake

namespace fake_internal {

FakeLockFile::~FakeLockFile() {
  if (fd >= 0) close(fd);
}

}  // namespace fake_internal

namespace fake {

void JoinThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(ThreadsMutex());
    threads.swap(Threads());
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace fake
