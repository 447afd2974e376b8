#include "shared/shared.h"

std::atomic<ResultCode> g_status{RC_UNKNOWN};
os::Handle g_workerDone = nullptr;
wchar_t g_backupFolderName[kBackupFolderNameChars] = {};

#include <cwchar>

bool BuildPath(wchar_t* out, const wchar_t* first, const wchar_t* second, const wchar_t* third) {
  wchar_t scratch[kPathChars * 4] = {};
  if (third == nullptr) {
    os::FormatWide(scratch, kPathChars * 4, L"%ls\\%ls", first, second);
  } else {
    os::FormatWide(scratch, kPathChars * 4, L"%ls\\%ls\\%ls", first, second, third);
  }
  size_t length = std::wcslen(scratch);
  if (length >= static_cast<size_t>(kPathChars) ||
      std::wcslen(first) + std::wcslen(second) + (third ? std::wcslen(third) + 1 : 0) + 1 != length) {
    out[0] = 0;
    return false;
  }
  std::wmemcpy(out, scratch, length + 1);
  return true;
}

bool SameIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}
