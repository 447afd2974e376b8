// Ending the product's user programs by image name.
#include <cwchar>

#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/processes.h"

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

// True when the program at `path` is `sought` (lower case), by the last
// part of its path.
bool IsImage(const wchar_t* path, const wchar_t* sought) {
  const wchar_t* name = path;
  for (const wchar_t* c = path; *c != 0; ++c) {
    if (*c == L'\\' || *c == L'/') name = c + 1;
  }
  wchar_t listed[kNameChars] = {};
  return LowerCaseCopy(name, listed) && std::wcscmp(listed, sought) == 0;
}

// Ends the process and waits for it: TerminateProcess only begins ending
// it, and until it has ended it may still hold the product's files. One
// that outlives the wait is logged and left to the module step's retries.
// The list was read before the waits for the instances before it: the id
// may be another program's by now, and what the handle opened is looked at
// before it is ended.
void EndProcess(const wchar_t* imageName, const wchar_t* sought, uint32_t processId) {
  os::Handle process = os::OpenProcessForTerminate(processId);
  if (process == nullptr) {
    LogFailure(os::LastError(), L"program %ls (process %u): cannot be opened to end it", imageName, processId);
    return;
  }
  wchar_t image[kPathChars] = {};
  const bool read = os::ReadProcessImage(process, image, kPathChars);
  if (!read || !IsImage(image, sought)) {
    if (read) {
      LogEvent(L"program %ls (process %u): its id is another program's now (%ls); left alone", imageName, processId,
               image);
    } else {
      LogFailure(os::LastError(), L"program %ls (process %u): what it runs cannot be read; left alone", imageName,
                 processId);
    }
    os::CloseKernelHandle(process);
    return;
  }
  const uint64_t startMs = os::TickMs();
  if (!os::TerminateProcessHandle(process, 0)) {
    // Already ending, mostly: the wait below tells.
    LogFailure(os::LastError(), L"program %ls (process %u): TerminateProcess failed", imageName, processId);
  }
  switch (os::WaitForProcessEnd(process, kProgramEndWaitMs)) {
    case os::ProcessWait::kEnded:
      LogEvent(L"program %ls (process %u): ended, took %u ms", imageName, processId, MsSince(startMs));
      break;
    case os::ProcessWait::kTimedOut:
      LogEvent(L"program %ls (process %u): still running %u ms after it was ended; going on", imageName,
               processId, MsSince(startMs));
      break;
    case os::ProcessWait::kFailed:
      LogFailure(os::LastError(), L"program %ls (process %u): waiting for it to end failed", imageName,
                 processId);
      break;
  }
  os::CloseKernelHandle(process);
}

}  // namespace

int TerminateProcessByName(const wchar_t* imageName) {
  wchar_t sought[kNameChars] = {};
  if (!LowerCaseCopy(imageName, sought)) return 0;

  // A list that cannot be read is taken as no instance running, but said:
  // one left running keeps the old modules' code running beside the new.
  os::Handle snapshot = os::SnapshotProcesses();
  if (snapshot == nullptr) {
    LogFailure(os::LastError(), L"program %ls: the running programs cannot be listed; any instance is left running",
               imageName);
    return 0;
  }

  int found = 0;
  os::ProcessEntry entry = {};
  for (bool more = os::FirstProcess(snapshot, &entry); more;
       more = os::NextProcess(snapshot, &entry)) {
    wchar_t listed[kNameChars] = {};
    if (!LowerCaseCopy(entry.exeFile, listed) || std::wcscmp(listed, sought) != 0) continue;
    // Every instance is ended (one per signed-in user on a shared machine):
    // one left running would keep the old modules' code running beside the
    // new. One that cannot be opened or ended (already gone, no rights)
    // still counts as found.
    found = 1;
    EndProcess(imageName, sought, entry.processId);
  }
  if (os::LastError() != os::kErrorNoMoreFiles) {
    LogFailure(os::LastError(), L"program %ls: the list of running programs cannot be read to its end; any "
               L"instance not read is left running", imageName);
  }
  os::CloseKernelHandle(snapshot);
  return found;
}

void EndProductPrograms() {
  for (const wchar_t* imageName : kProductProcesses) TerminateProcessByName(imageName);
}
