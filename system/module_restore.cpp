// Putting a module file back in place: the original from the per-patch
// backup (an undo, or a put-back) or the new copy from the patch folder (the
// put-back of a failed undo). And what the per-patch backup holds.
#include "system/module_restore.h"

#include <cwchar>

#include "patchdata/module_names.h"
#include "shared/file_steps.h"
#include "shared/run_log.h"

namespace {

const wchar_t* SuffixOf(BesideCopy copy) { return copy == BesideCopy::kNewCopy ? L".qlnew" : L".qlundo"; }

}  // namespace

bool BesidePath(const wchar_t* installed, BesideCopy copy, wchar_t (&beside)[kPathChars]) {
  const wchar_t* suffix = SuffixOf(copy);
  if (std::wcslen(installed) + std::wcslen(suffix) >= static_cast<size_t>(kPathChars)) return false;
  os::FormatWide(beside, kPathChars, L"%ls%ls", installed, suffix);
  return true;
}

void RemoveBesideCopies(const wchar_t* moduleName, const wchar_t* installed) {
  for (BesideCopy copy : {BesideCopy::kNewCopy, BesideCopy::kPutBack}) {
    wchar_t beside[kPathChars] = {};
    if (!BesidePath(installed, copy, beside) || !os::PathExists(beside)) continue;
    FileStep remove;
    if (DeleteRetrying(beside, &remove)) {
      LogEvent(L"module %ls: %ls, left by a run that was cut off, removed", moduleName, beside);
    } else {
      LogFailure(remove.error, L"module %ls: %ls, left by a run that was cut off, stays", moduleName, beside);
    }
  }
}

namespace {

enum class SecondName { kMayLink, kCopyOnly };

ResultCode PutInPlace(const wchar_t* moduleName, const wchar_t* source, const wchar_t* installed,
                      SecondName secondName) {
  const wchar_t* what = secondName == SecondName::kMayLink ? L"original" : L"new copy";
  wchar_t beside[kPathChars] = {};
  if (!BesidePath(installed, BesideCopy::kPutBack, beside)) return RC_MOVE_FILE_FAILED;
  FileStep copy;
  // A second name of the source, whole at once (one try: a link refused
  // for any reason leaves the copy to find out); or a copy.
  const bool linked = secondName == SecondName::kMayLink && os::LinkFile(source, beside);
  if (!linked && !CopyWrittenThrough(source, beside, &copy)) {
    LogFailure(copy.error, L"module %ls: the %ls cannot be copied in beside it (%d tries)", moduleName, what,
               copy.tries);
    FileStep cleanUp;
    DeleteRetrying(beside, &cleanUp);
    return RC_COPY_FILE_FAILED;
  }
  FileStep replace;
  if (!ReplaceRetrying(beside, installed, &replace)) {
    LogFailure(replace.error, L"module %ls: the installed copy cannot be replaced by the %ls (%d tries)",
               moduleName, what, replace.tries);
    FileStep cleanUp;
    DeleteRetrying(beside, &cleanUp);
    return RC_MOVE_FILE_FAILED;
  }
  // Nothing put in place stays read-only, hidden or system, as a copy's
  // attributes would not.
  if (linked) ClearBlockingAttributes(installed);
  uint64_t size = 0;
  os::FileSizeAt(installed, &size);
  LogEvent(L"module %ls: the %ls of %u bytes put back (%ls, %d tries to move in place)", moduleName, what,
           static_cast<unsigned>(size), linked ? L"a second name of it" : L"copied", replace.tries);
  return RC_SUCCEED;
}

}  // namespace

ResultCode PutOriginalInPlace(const wchar_t* moduleName, const wchar_t* backup, const wchar_t* installed) {
  return PutInPlace(moduleName, backup, installed, SecondName::kMayLink);
}

ResultCode PutNewCopyInPlace(const wchar_t* moduleName, const wchar_t* installed) {
  return PutInPlace(moduleName, moduleName, installed, SecondName::kCopyOnly);
}

void RemoveModuleBackup(const wchar_t* moduleName, const wchar_t* backup) {
  FileStep remove;
  if (!DeleteRetrying(backup, &remove)) {
    LogFailure(remove.error, L"module %ls: its backup copy %ls stays (%d tries to remove it)", moduleName, backup,
               remove.tries);
  }
}

namespace {

struct Listing {
  std::vector<std::wstring> files;
  std::vector<std::wstring> folders;
};

void Collect(void* context, const wchar_t* name, bool isFolder) {
  auto* listing = static_cast<Listing*>(context);
  (isFolder ? listing->folders : listing->files).push_back(name);
}

// Walks `folder`\`relative`: files and folders below it, by their paths
// relative to `folder`, folders before what they hold. False when a folder
// cannot be read or a path would not fit.
bool Walk(const wchar_t* folder, const std::wstring& relative, std::vector<std::wstring>* files,
          std::vector<std::wstring>* folders, int depth) {
  constexpr int kDeepest = 32;
  wchar_t path[kPathChars] = {};
  if (depth > kDeepest) return false;
  if (relative.empty()) {
    std::wcsncpy(path, folder, kPathChars - 1);
  } else if (!BuildPath(path, folder, relative.c_str())) {
    return false;
  }
  Listing listing;
  if (!os::ListFolder(path, Collect, &listing)) return false;
  for (const std::wstring& file : listing.files) {
    if (files != nullptr) files->push_back(relative.empty() ? file : relative + L"\\" + file);
  }
  for (const std::wstring& sub : listing.folders) {
    const std::wstring inner = relative.empty() ? sub : relative + L"\\" + sub;
    folders->push_back(inner);
    if (!Walk(folder, inner, files, folders, depth + 1)) return false;
  }
  return true;
}

}  // namespace

void RemovePatchBackupFolder(const wchar_t* patchFolder) {
  // Anything else left in it (not the tool's, or a subfolder an admin made
  // for modules in subfolders) keeps it.
  os::RemoveFolder(patchFolder);
}

ResultCode ListBackedUpModules(const wchar_t* patchFolder, std::vector<std::wstring>* modules) {
  modules->clear();
  if (!os::PathExists(patchFolder)) return RC_SUCCEED;
  std::vector<std::wstring> files, folders;
  if (!Walk(patchFolder, L"", &files, &folders, 0)) return RC_MOVE_FILE_FAILED;
  for (const std::wstring& file : files) {
    // The record's earlier CurVersion, and copies staged for a restart.
    if (file == kPreviousCurrentName || (file.size() > 7 && file.compare(file.size() - 7, 7, L".qlswap") == 0)) {
      continue;
    }
    // A name the apply would refuse was never put there by it.
    if (!IsSafeModuleName(file.c_str()) || file.size() >= static_cast<size_t>(kNameChars)) return RC_MOVE_FILE_FAILED;
    modules->push_back(file);
  }
  return RC_SUCCEED;
}
