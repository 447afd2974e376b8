// Stand-in registry: HKEY_LOCAL_MACHINE values set by tests.
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace os {

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

}  // namespace os

namespace fake {

void SetMachineValue(const std::wstring& subKey, const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  std::wstring key = Lower(subKey);
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  M().registry[key][name] = value;
}

}  // namespace fake
