// Stand-in process list: snapshots, opening and ending processes.
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace os {

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

}  // namespace os

namespace fake {

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

}  // namespace fake
