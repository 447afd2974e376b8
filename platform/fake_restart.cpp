// The stand-in's renames at the next restart, the restart itself, and
// Restart Manager's answer.
#include <cstdio>
#include <filesystem>

#include "platform/fake_machine.h"
#include "platform/fake_platform.h"

using namespace fake_internal;

namespace {

// A path as PendingFileRenameOperations holds it, back to the stand-in's own.
std::string FromPending(std::wstring text) {
  if (!text.empty() && text[0] == L'!') text.erase(0, 1);
  if (text.compare(0, 4, L"\\??\\") == 0) text.erase(0, 4);
  return ToUtf8(text.c_str());
}

// A path as MoveFileExW writes it: its full path name, with "/" read as
// "\\" and a run of separators as one.
std::wstring FullPathName(const wchar_t* path) {
  std::wstring full;
  for (const wchar_t* c = path; *c; ++c) {
    const wchar_t next = *c == L'/' ? L'\\' : *c;
    if (next == L'\\' && !full.empty() && full.back() == L'\\') continue;
    full.push_back(next);
  }
  return full;
}

// Adds one pair before the value's closing zero.
void AppendPair(std::wstring* value, const std::wstring& from, const std::wstring& to) {
  if (!value->empty()) value->pop_back();
  value->append(from).push_back(L'\0');
  value->append(to).push_back(L'\0');
  value->push_back(L'\0');
}

}  // namespace

namespace os {

bool ScheduleRenameAtRestart(const wchar_t* from, const wchar_t* to) {
  if (Call("ScheduleRenameAtRestart")) return false;
  if (!std::filesystem::exists(ToUtf8(from))) return Fail(ENOENT);
  std::lock_guard<std::mutex> lock(g_machineMutex);
  AppendPair(&M().pendingRenames, L"\\??\\" + FullPathName(from),
             to == nullptr ? std::wstring() : L"!\\??\\" + FullPathName(to));
  return true;
}

bool ReadPendingRenames(std::wstring* value) {
  if (Call("ReadPendingRenames")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  *value = M().pendingRenames;
  return true;
}

PendingRenamesWrite WritePendingRenames(const std::wstring& expected, const std::wstring& value) {
  if (Call("WritePendingRenames")) return PendingRenamesWrite::kFailed;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (M().pendingRenames != expected) return PendingRenamesWrite::kChanged;
  M().pendingRenames = value;
  M().pendingRenamesOnDisk = value;
  return PendingRenamesWrite::kWritten;
}

bool FlushPendingRenames() {
  if (Call("FlushPendingRenames")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().pendingRenamesOnDisk = M().pendingRenames;
  return true;
}

bool ListFileHolders(const wchar_t* path, FileHolder* holders, int capacity, int* count) {
  *count = 0;
  if (Call("ListFileHolders")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto found = M().holders.find(PathKey(ToUtf8(path)));
  if (found == M().holders.end()) {
    t_lastError = kErrorAccessDenied;
    return false;
  }
  for (const FileHolder& holder : found->second) {
    if (*count < capacity) holders[*count] = holder;
    ++*count;
  }
  return true;
}

}  // namespace os

namespace fake {

void SetFileHolders(const std::string& path, const std::vector<os::FileHolder>& holders) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().holders[PathKey(path)] = holders;
}

void AddPendingRename(const std::wstring& from, const std::wstring& to) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  AppendPair(&M().pendingRenames, from, to);
  M().pendingRenamesOnDisk = M().pendingRenames;
}

std::wstring PendingRenames() {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return M().pendingRenames;
}

void SetPendingRenames(const std::wstring& value) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().pendingRenames = value;
  M().pendingRenamesOnDisk = value;
}

void Restart() {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  Machine& m = M();
  std::vector<std::wstring> strings;
  for (size_t start = 0; start < m.pendingRenames.size();) {
    const size_t end = m.pendingRenames.find(L'\0', start);
    if (end == std::wstring::npos) break;
    strings.push_back(m.pendingRenames.substr(start, end - start));
    start = end + 1;
  }
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    const std::string from = FromPending(strings[i]);
    std::error_code error;
    if (strings[i + 1].empty()) {
      std::filesystem::remove(from, error);
    } else {
      std::filesystem::rename(from, FromPending(strings[i + 1]), error);
    }
    m.unflushed.erase(PathKey(from));
  }
  m.pendingRenames.clear();
  m.pendingRenamesOnDisk.clear();
  m.holds.clear();
  m.readableHolds.clear();
  m.holders.clear();
  m.lockFilesHeld.clear();
  m.lockFilesHeldElsewhere.clear();
  for (Process& process : m.processes) process.endsAtMs = 0;
  for (Service& service : m.services) {
    service.state = os::kServiceRunning;
    service.queriesSinceRequest = -1;
  }
}

}  // namespace fake
