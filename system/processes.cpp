// Ending the product's user programs by image name.
#include <cwchar>

#include "shared/shared.h"
#include "system/system.h"

namespace {

// Copies `name` into `out` with ASCII letters folded to lower case. False,
// with `out` emptied, when the name does not fit: a cut name could equal
// another program's.
bool LowerCaseCopy(const wchar_t* name, wchar_t (&out)[kNameChars]) {
  for (int i = 0;; ++i) {
    if (i == kNameChars) {
      out[0] = 0;
      return false;
    }
    wchar_t c = name[i];
    out[i] = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    if (c == 0) return true;
  }
}

}  // namespace

int TerminateProcessByName(const wchar_t* imageName) {
  wchar_t sought[kNameChars] = {};
  if (!LowerCaseCopy(imageName, sought)) return 0;

  os::Handle snapshot = os::SnapshotProcesses();
  if (snapshot == nullptr) return 0;

  int found = 0;
  os::ProcessEntry entry = {};
  for (bool more = os::FirstProcess(snapshot, &entry); more;
       more = os::NextProcess(snapshot, &entry)) {
    wchar_t listed[kNameChars] = {};
    if (!LowerCaseCopy(entry.exeFile, listed) || std::wcscmp(listed, sought) != 0) continue;
    // Only the first match is ended. One that cannot be opened or ended
    // (already gone, no rights) still counts as found.
    found = 1;
    os::Handle process = os::OpenProcessForTerminate(entry.processId);
    if (process != nullptr) {
      os::TerminateProcessHandle(process, 0);
      os::CloseKernelHandle(process);
    }
    break;
  }
  os::CloseKernelHandle(snapshot);
  return found;
}

void EndProductPrograms() {
  for (const wchar_t* imageName : kProductProcesses) TerminateProcessByName(imageName);
}
