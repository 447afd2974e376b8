#include "driver/folder_trust.h"

#include <string>

#include "shared/run_log.h"

namespace {

// Rights that change a folder or what is in it: FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY,
// FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES (enough to make an empty folder a
// mount point), DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_ALL, GENERIC_WRITE.
constexpr uint32_t kChangingRights =
    0x2 | 0x4 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000;

struct RightName {
  uint32_t bit;
  const wchar_t* name;
};
constexpr RightName kRightNames[] = {
    {0x2, L"add files"},        {0x4, L"add folders"},       {0x40, L"delete inside"},
    {0x100, L"write attributes"},
    {0x10000, L"delete"},       {0x40000, L"change rights"}, {0x80000, L"take ownership"},
    {0x10000000, L"generic all"}, {0x40000000, L"generic write"}};

// Accounts that may change the tool's folders as a matter of course.
// CREATOR OWNER stands for whoever makes something inside: by itself it
// gives nobody anything.
bool IsTrusted(const std::wstring& sid, const std::wstring& account) {
  return sid == L"S-1-5-18" || sid == L"S-1-5-32-544" || sid == L"S-1-3-0" ||
         sid == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" ||
         (!account.empty() && sid == account);
}

const wchar_t* WellKnownName(const std::wstring& sid) {
  if (sid == L"S-1-5-32-545") return L"Users";
  if (sid == L"S-1-5-11") return L"Authenticated Users";
  if (sid == L"S-1-1-0") return L"Everyone";
  if (sid == L"S-1-5-4") return L"INTERACTIVE";
  return L"an account";
}

std::wstring RightsText(uint32_t mask) {
  std::wstring text;
  for (const RightName& right : kRightNames) {
    if ((mask & right.bit) == 0) continue;
    if (!text.empty()) text += L", ";
    text += right.name;
  }
  return text;
}

}  // namespace

FolderTrust CheckFolderTrust(os::Handle folder, const wchar_t* path, TrustFindings findings) {
  os::FolderSecurity security;
  if (!os::ReadFolderSecurity(folder, &security)) {
    if (findings == TrustFindings::kLog) {
      LogFailure(os::LastError(), L"who may change %ls cannot be read", path);
    }
    return FolderTrust::kUnknown;
  }
  const std::wstring account = os::RunningAccountSid();
  const bool log = findings == TrustFindings::kLog;
  FolderTrust trust = FolderTrust::kAdminsOnly;
  if (!IsTrusted(security.ownerSid, account)) {
    trust = FolderTrust::kOpenToUsers;
    if (log) {
      LogEvent(L"%ls is owned by %ls (%ls), who may give himself any right to it", path,
               security.ownerSid.c_str(), WellKnownName(security.ownerSid));
    }
  }
  if (security.nullDacl) {
    trust = FolderTrust::kOpenToUsers;
    if (log) LogEvent(L"%ls has no DACL: everyone may change it", path);
  }
  for (const os::AllowedAccess& allowed : security.allowed) {
    if ((allowed.mask & kChangingRights) == 0 || IsTrusted(allowed.sid, account)) continue;
    trust = FolderTrust::kOpenToUsers;
    if (log) {
      LogEvent(L"%ls may be changed by %ls (%ls): rights 0x%08x (%ls)%ls", path, allowed.sid.c_str(),
               WellKnownName(allowed.sid), allowed.mask, RightsText(allowed.mask).c_str(),
               allowed.inheritOnly ? L", on what is made inside it" : L"");
    }
  }
  return trust;
}

ResultCode RefuseUntrustedFolder(os::FolderOpen open, os::Handle held, const wchar_t* path) {
  if (open == os::FolderOpen::kLink) {
    LogEvent(L"%ls is a link (a junction, a symbolic link or a mount point): nothing is written through it", path);
    return RC_LINK_REFUSED;
  }
  if (CheckFolderTrust(held, path, TrustFindings::kLog) == FolderTrust::kAdminsOnly) return RC_SUCCEED;
  LogEvent(L"nothing is read from or written to %ls: only administrators and SYSTEM may be able to change it "
           L"(remove it, or give it and each folder in it back to Administrators with their rights alone)", path);
  return RC_BACKUP_OPEN_TO_USERS;
}

bool MayWriteInFolder(const wchar_t* path) {
  os::Handle folder = nullptr;
  const os::FolderOpen open = os::HoldFolder(path, &folder);
  if (open != os::FolderOpen::kHeld) return false;
  const bool mayWrite = CheckFolderTrust(folder, path, TrustFindings::kKeep) == FolderTrust::kAdminsOnly;
  os::LetGoOfFolder(folder);
  return mayWrite;
}
