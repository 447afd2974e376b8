// Who may change a folder, and the folders the tool makes, served by the
// Win32 security API.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace os {

namespace {

// SYSTEM and Administrators: everything; Users: read and run (FILE_GENERIC_READ
// | FILE_GENERIC_EXECUTE); each for the folder, its subfolders and files. "P":
// nothing inherited from the parent, whoever may change that.
constexpr const wchar_t* kToolFolderSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return std::wstring();
  std::wstring result(text);
  ::LocalFree(text);
  return result;
}

}  // namespace

bool MakeDirectory(const wchar_t* path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kToolFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  const BOOL made = ::CreateDirectoryW(path, &attributes);
  const DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  ::SetLastError(error);
  return made != FALSE;
}

FolderOpen HoldFolder(const wchar_t* path, Handle* folder) {
  *folder = nullptr;
  // Listing access makes the handle count in the sharing checks: a handle
  // with only READ_CONTROL and attribute access would let anyone with DELETE
  // rename the folder whatever its share mode says.
  HANDLE handle = ::CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FolderOpen::kMissing
                                                                          : FolderOpen::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(handle, &information)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(error);
    return FolderOpen::kFailed;
  }
  // By name as well: Wine shows a link to a folder there only.
  const DWORD byName = ::GetFileAttributesW(path);
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (byName != INVALID_FILE_ATTRIBUTES && (byName & FILE_ATTRIBUTE_REPARSE_POINT))) {
    ::CloseHandle(handle);
    ::SetLastError(kErrorReparsePointEncountered);
    return FolderOpen::kLink;
  }
  *folder = handle;
  return FolderOpen::kHeld;
}

bool ReadFolderSecurity(Handle folder, FolderSecurity* security) {
  *security = FolderSecurity{};
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = ::GetSecurityInfo(static_cast<HANDLE>(folder), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                         &dacl, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(status);
    return false;
  }
  security->ownerSid = SidText(owner);
  security->nullDacl = dacl == nullptr;
  for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!::GetAce(dacl, index, &entry)) continue;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    // A conditional allow entry grants its rights as a plain one does
    // whenever its condition holds, and an object entry may grant them
    // too: each is read as granting them.
    AllowedAccess access;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
      access.sid = SidText(const_cast<DWORD*>(&allowed->SidStart));
      access.mask = allowed->Mask;
    } else if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
               header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
      // Its two GUIDs are there only when its flags say so, and the SID
      // follows what is there.
      const ACCESS_ALLOWED_OBJECT_ACE* allowed = static_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(entry);
      size_t sidOffset = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
      if (allowed->Flags & ACE_OBJECT_TYPE_PRESENT) sidOffset += sizeof(GUID);
      if (allowed->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sidOffset += sizeof(GUID);
      if (sidOffset + sizeof(SID) > header->AceSize) continue;
      access.sid = SidText(reinterpret_cast<BYTE*>(entry) + sidOffset);
      access.mask = allowed->Mask;
    } else {
      continue;
    }
    access.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    security->allowed.push_back(access);
  }
  ::LocalFree(descriptor);
  return true;
}

void LetGoOfFolder(Handle folder) {
  if (folder != nullptr) ::CloseHandle(static_cast<HANDLE>(folder));
}

std::wstring RunningAccountSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } buffer = {};
  DWORD size = 0;
  std::wstring result;
  if (::GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size)) result = SidText(buffer.user.User.Sid);
  ::CloseHandle(token);
  return result;
}

}  // namespace os
