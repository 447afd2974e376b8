// The stand-in's one machine: call log, fault injection, clock, output,
// handles and the power-cut model shared by the area files.
#include <cctype>
#include <filesystem>
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace fake_internal {

Machine& M() {
  static Machine machine;
  return machine;
}

std::mutex g_machineMutex;
thread_local uint32_t t_lastError = 0;

bool Call(const char* function) {
  void (*observer)(const std::string&) = nullptr;
  bool fail = false;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    Machine& m = M();
    int n = ++m.callCounts[function];
    m.callLog.push_back(function);
    StartTriggeredServices(function, n);
    auto once = m.failOnce.find(function);
    auto from = m.failFrom.find(function);
    fail = (once != m.failOnce.end() && once->second.count(n)) ||
           (from != m.failFrom.end() && n >= from->second);
    observer = m.observer;
  }
  if (observer) observer(function);
  // A hard failure, which no retry gets past.
  if (fail) t_lastError = 31;  // ERROR_GEN_FAILURE
  return fail;
}

fake::Service* Find(const std::wstring& name) {
  for (auto& s : M().services) {
    if (Lower(s.name) == Lower(name)) return &s;
  }
  return nullptr;
}

// ---- files ----
std::string PathKey(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

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

std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    uint32_t c = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    for (++i; extra > 0 && i < text.size(); --extra, ++i) {
      c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    out += static_cast<wchar_t>(c);
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


}  // namespace fake_internal

namespace os {

uint32_t LastError() { return t_lastError; }

}  // namespace os

namespace fake {

void Reset() {
  // The last run's workers have ended (a run waits for its own); joined
  // here, they no longer hold their stacks for the rest of the process.
  JoinThreads();
  std::lock_guard<std::mutex> lock(g_machineMutex);
  Machine& m = M();
  for (auto* k : m.keys) delete k;
  for (auto* h : m.serviceHandles) delete h;
  for (auto* h : m.kernelHandles) delete h;
  m = Machine();
  t_lastError = 0;
}

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

void ProcessKilled() {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  for (const std::string& path : M().lockFilesHeld) unlink(path.c_str());
  M().lockFilesHeld.clear();
}

void PowerCut() {
  std::set<std::string> lost;
  int appendingFd = -1;
  uint32_t appendingBytes = 0;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    lost.swap(M().unflushed);
    std::swap(appendingFd, M().appendingFd);
    appendingBytes = M().appendingBytes;
    M().pendingRenames = M().pendingRenamesOnDisk;
  }
  if (appendingFd >= 0) {
    const std::vector<char> torn(appendingBytes, 0);
    if (!torn.empty() && write(appendingFd, torn.data(), torn.size()) < 0) {
      // Left as it is; the next run reads what is there.
    }
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

void SetDiskRoom(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().diskRoom = bytes;
}

void SetDiskRoomShown(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().diskRoomShown = bytes;
}

void SetShortName(const std::string& path, const std::string& alias) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const size_t slash = path.rfind('/');
  std::string upper = alias;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  M().shortNames[path.substr(0, slash) + "/" + upper] = path.substr(slash + 1);
}

void FailThreadsOf(int32_t (*body)(void*)) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().failThreadsOf = body;
}

void SetCallObserver(void (*observer)(const std::string& function)) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().observer = observer;
}

}  // namespace fake
