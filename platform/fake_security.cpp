// The stand-in's owners and DACLs, and its held folders.
#include "platform/fake_machine.h"
#include "platform/fake_platform.h"

using namespace fake_internal;

namespace {

constexpr uint32_t kAllRights = 0x1f01ff;          // FILE_ALL_ACCESS
constexpr uint32_t kReadAndRun = 0x1200a9;         // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
constexpr uint32_t kModify = 0x1301bf;             // icacls' M

struct FakeHeldFolder : KernelObject {
  std::string path;
};

os::FolderSecurity SecurityOf(std::string at) {
  for (;;) {
    const auto found = M().folderSecurity.find(at);
    if (found != M().folderSecurity.end()) return found->second;
    const size_t slash = at.find_last_of('/');
    if (at == "/" || slash == std::string::npos) return fake::InstalledFolderSecurity();
    at = slash == 0 ? "/" : at.substr(0, slash);
  }
}

}  // namespace

namespace fake {

os::FolderSecurity InstalledFolderSecurity() {
  return os::FolderSecurity{L"S-1-5-32-544", false,
                            {{L"S-1-5-18", kAllRights, false}, {L"S-1-5-32-544", kAllRights, false},
                             {L"S-1-5-32-545", kReadAndRun, false}}};
}

os::FolderSecurity ToolFolderSecurity() { return InstalledFolderSecurity(); }

os::FolderSecurity OpenToUsersSecurity() {
  os::FolderSecurity security = InstalledFolderSecurity();
  security.allowed.push_back({L"S-1-5-11", kModify, true});
  return security;
}

void SetFolderSecurity(const std::string& path, const os::FolderSecurity& security) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().folderSecurity[PathKey(path)] = security;
}

}  // namespace fake

namespace fake_internal {

void MarkToolFolder(const std::string& path) { M().folderSecurity[PathKey(path)] = fake::ToolFolderSecurity(); }

}  // namespace fake_internal

namespace os {

FolderOpen HoldFolder(const wchar_t* path, Handle* folder) {
  *folder = nullptr;
  if (Call("HoldFolder")) return FolderOpen::kFailed;
  const std::string target = ToUtf8(path);
  struct stat found;
  if (lstat(target.c_str(), &found) != 0) {
    const int error = errno;
    Fail(error);
    return error == ENOENT || error == ENOTDIR ? FolderOpen::kMissing : FolderOpen::kFailed;
  }
  if (!S_ISDIR(found.st_mode)) {
    t_lastError = kErrorReparsePointEncountered;
    return FolderOpen::kLink;
  }
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* held = new FakeHeldFolder;
  held->path = PathKey(target);
  M().kernelHandles.insert(held);
  *folder = held;
  return FolderOpen::kHeld;
}

bool ReadFolderSecurity(Handle folder, FolderSecurity* security) {
  if (Call("ReadFolderSecurity")) return false;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* held = dynamic_cast<FakeHeldFolder*>(static_cast<KernelObject*>(folder));
  if (held == nullptr || !M().kernelHandles.count(held)) return Fail(EBADF);
  *security = SecurityOf(held->path);
  return true;
}

void LetGoOfFolder(Handle folder) {
  if (folder == nullptr) return;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto* object = static_cast<KernelObject*>(folder);
  if (M().kernelHandles.erase(object)) delete object;
}

std::wstring RunningAccountSid() { return M().accountSid; }

}  // namespace os
