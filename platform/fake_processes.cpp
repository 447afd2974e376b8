// Stand-in process list: snapshots, opening, ending and waiting for
// processes. TerminateProcess only begins ending a process, as on Windows:
// it ends exitDelayMs of virtual time later, and a wait moves the clock.
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace fake_internal {

// The newest process with the id: an id an ended process had may be given
// again (fake::ReuseProcessId).
fake::Process* FindProcessLocked(uint32_t processId) {
  for (auto p = M().processes.rbegin(); p != M().processes.rend(); ++p) {
    if (p->processId == processId) return &*p;
  }
  return nullptr;
}

bool RunningLocked(const fake::Process& process) { return process.endsAtMs > M().nowMs; }

uint32_t AddProcessLocked(const std::wstring& exeFile) {
  fake::Process p;
  p.processId = M().nextProcessId;
  M().nextProcessId += 4;
  p.exeFile = exeFile;
  M().processes.push_back(p);
  return p.processId;
}

}  // namespace fake_internal

namespace os {

// ---- processes ----
Handle SnapshotProcesses() {
  if (Call("SnapshotProcesses")) return nullptr;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* snapshot = new FakeSnapshot;
  for (const auto& p : M().processes) {
    if (RunningLocked(p)) snapshot->entries.push_back(p);
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

// A handle to a running process. The handle outlives the process (it can
// still be waited on), as a Windows process handle does.
static Handle OpenProcessHandle(uint32_t processId) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const fake::Process* p = FindProcessLocked(processId);
  if (p == nullptr || !RunningLocked(*p)) {
    t_lastError = 87;  // ERROR_INVALID_PARAMETER: no such process
    return nullptr;
  }
  if (p->refuseOpen) {
    t_lastError = 5;
    return nullptr;
  }
  auto* handle = new FakeProcessHandle(processId);
  M().kernelHandles.insert(handle);
  return handle;
}

Handle OpenProcessForTerminate(uint32_t processId) {
  if (Call("OpenProcessForTerminate")) return nullptr;
  return OpenProcessHandle(processId);
}

Handle OpenProcessForWait(uint32_t processId) {
  if (Call("OpenProcessForWait")) return nullptr;
  return OpenProcessHandle(processId);
}

static fake::Process* ProcessOf(Handle process) {
  if (!process || !M().kernelHandles.count(static_cast<KernelObject*>(process))) return nullptr;
  return FindProcessLocked(static_cast<FakeProcessHandle*>(process)->processId);
}

bool ReadProcessImage(Handle process, wchar_t* path, uint32_t chars) {
  if (Call("ReadProcessImage")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const fake::Process* p = ProcessOf(process);
  const std::wstring image = L"C:\\Program Files\\Qorlink\\" + (p != nullptr ? p->exeFile : L"");
  if (p == nullptr || image.size() >= chars) {
    t_lastError = p == nullptr ? 6 : 122;  // ERROR_INVALID_HANDLE, ERROR_INSUFFICIENT_BUFFER
    return false;
  }
  std::copy(image.begin(), image.end(), path);
  path[image.size()] = 0;
  return true;
}

bool TerminateProcessHandle(Handle process, uint32_t) {
  if (Call("TerminateProcessHandle")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Process* p = ProcessOf(process);
  if (p == nullptr) {
    t_lastError = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  if (!RunningLocked(*p) || p->terminated) {
    t_lastError = 5;  // ending, or ended: Windows answers access denied
    return false;
  }
  p->terminated = true;
  p->endsAtMs = std::min(p->endsAtMs, M().nowMs + p->exitDelayMs);
  return true;
}

ProcessWait WaitForProcessEnd(Handle process, uint32_t timeoutMs) {
  if (Call("WaitForProcessEnd")) return ProcessWait::kFailed;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  fake::Process* p = ProcessOf(process);
  if (p == nullptr) {
    t_lastError = 6;
    return ProcessWait::kFailed;
  }
  if (!RunningLocked(*p)) return ProcessWait::kEnded;
  if (p->endsAtMs - M().nowMs <= timeoutMs) {
    M().nowMs = p->endsAtMs;
    return ProcessWait::kEnded;
  }
  M().nowMs += timeoutMs;
  return ProcessWait::kTimedOut;
}

void CloseKernelHandle(Handle handle) {
  Call("CloseKernelHandle");
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* object = static_cast<KernelObject*>(handle);
  if (M().kernelHandles.erase(object)) delete object;
}

}  // namespace os

namespace fake {

uint32_t AddProcess(const std::wstring& exeFile) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return AddProcessLocked(exeFile);
}

void ReuseProcessId(uint32_t processId, const std::wstring& exeFile) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  Process* old = FindProcessLocked(processId);
  if (old != nullptr) old->endsAtMs = std::min(old->endsAtMs, M().nowMs);
  Process p;
  p.processId = processId;
  p.exeFile = exeFile;
  M().processes.push_back(p);
}

Process* FindProcess(uint32_t processId) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  return FindProcessLocked(processId);
}

bool Running(uint32_t processId) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const Process* p = FindProcessLocked(processId);
  return p != nullptr && RunningLocked(*p);
}

const std::vector<Process>& Processes() { return M().processes; }

}  // namespace fake
