// Shared state of the Linux stand-in for the platform: the one in-memory
// machine that the area files (registry, services, processes, files, system)
// serve the platform calls from, and the helpers they share. A test double
// only; nothing outside platform/fake_*.cpp includes it.
#pragma once

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

namespace fake_internal {

inline std::wstring Lower(std::wstring text) {
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
struct FakeAppendFile : KernelObject {
  int fd = -1;
  ~FakeAppendFile() override;
};
struct FakeLockFile : KernelObject {
  int fd = -1;
  std::string path;
  ~FakeLockFile() override;
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
  int serviceRequests = 0;  // start and stop requests so far
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
  int32_t (*failThreadsOf)(void*) = nullptr;
  uint64_t diskRoom = ~0ull;  // bytes CopyFileOver may still write (fake::kNever: no limit)
  uint64_t diskRoomShown = ~0ull;  // what FreeBytesAt reports (fake::kNever: diskRoom)
  // 8.3 aliases: folder path + "/" + alias in upper case -> the long name.
  std::map<std::string, std::string> shortNames;
  std::map<std::string, int> failFrom;
  std::map<std::string, int> callCounts;
  std::vector<std::string> callLog;
  void (*observer)(const std::string&) = nullptr;
  // Lock files (by path) held open without sharing, by this process and by others.
  std::set<std::string> lockFilesHeld;
  std::set<std::string> lockFilesHeldElsewhere;
  // Files (by path) written since they were last flushed; a power cut
  // takes their data.
  std::set<std::string> unflushed;
  // A written-through append under way: a power cut during it leaves its
  // bytes as zeros at the end of the file (the size written, the data not).
  int appendingFd = -1;
  uint32_t appendingBytes = 0;
  std::map<std::FILE*, std::string> openedForWriting;
  // Windows file attributes (kAttributeReadOnly ...) by path; none when absent.
  std::map<std::string, uint32_t> attributes;
  // Pairs of names (by path) a hard link gave one file: its attributes
  // are the file's, so a change through one name shows through the other.
  std::vector<std::pair<std::string, std::string>> hardLinks;
  // Files another program holds open: how many more operations on each
  // fail with a sharing violation (-1: for good).
  std::map<std::string, int> holds;
  std::set<std::string> readableHolds;  // held paths whose holder lets others read
  std::set<std::string> lockedBytes;    // paths whose bytes another program has locked (fake::LockBytes)
  std::map<std::string, int> sharingViolations;  // operations a hold refused, by path
  // PendingFileRenameOperations as Windows stores it (see os::ReadPendingRenames),
  // and as the registry's hive on disk holds it: a power cut goes back to that.
  std::wstring pendingRenames;
  std::wstring pendingRenamesOnDisk;
  // Who Restart Manager says holds a file, by path; a path not here it cannot tell.
  std::map<std::string, std::vector<os::FileHolder>> holders;
  // Owners and DACLs set on folders, by path; a folder without one has its
  // nearest parent's, as inherited (fake::kInstalledFolderSecurity at the top).
  std::map<std::string, os::FolderSecurity> folderSecurity;
  std::wstring accountSid = L"S-1-5-18";  // the tool runs as SYSTEM
};

Machine& M();

extern std::mutex g_machineMutex;  // the worker thread and the main thread share the machine
extern thread_local uint32_t t_lastError;


// Logs the call and answers whether it is to fail.
bool Call(const char* function);
fake::Service* Find(const std::wstring& name);
// Services whose trigger is this call of this function start by themselves.
void StartTriggeredServices(const char* function, int occurrence);
std::string ToUtf8(const wchar_t* text);
// Attributes, holds and holders are kept by absolute path, as the tool names
// a new copy by a path relative to its working folder.
std::string PathKey(const std::string& path);
std::wstring FromUtf8(const std::string& text);
uint32_t ErrnoToWin32(int error);
bool Fail(int error);
void MarkUnflushed(const std::string& path);
void MarkFlushed(const std::string& path);
void MoveUnflushed(const std::string& from, const std::string& to);
bool IsDirectory(const std::string& path);
// A folder the tool made: its owner and DACL are the tool's own. The caller
// holds g_machineMutex.
void MarkToolFolder(const std::string& path);
// The process list; the caller holds g_machineMutex.
fake::Process* FindProcessLocked(uint32_t processId);
bool RunningLocked(const fake::Process& process);
uint32_t AddProcessLocked(const std::wstring& exeFile);

}  // namespace fake_internal
