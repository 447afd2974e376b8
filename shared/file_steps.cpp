#include "shared/file_steps.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

bool PassesWithTime(uint32_t error) {
  return error == os::kErrorSharingViolation || error == os::kErrorLockViolation ||
         error == os::kErrorAccessDenied;
}

}  // namespace

bool RetryFileOperation(const std::function<bool()>& operation, FileStep* step) {
  uint32_t pause = kFirstRetryPauseMs;
  uint32_t slept = 0;
  for (;;) {
    ++step->tries;
    if (operation()) {
      step->error = 0;
      return true;
    }
    step->error = os::LastError();
    if (!PassesWithTime(step->error) || slept >= kFileRetryBudgetMs) return false;
    const uint32_t wait = pause < kFileRetryBudgetMs - slept ? pause : kFileRetryBudgetMs - slept;
    os::SleepMs(wait);
    slept += wait;
    pause = pause * 2 < kLongestRetryPauseMs ? pause * 2 : kLongestRetryPauseMs;
  }
}

bool ClearBlockingAttributes(const wchar_t* path) {
  uint32_t attributes = 0;
  if (!os::ReadFileAttributes(path, &attributes)) return true;  // not there
  if ((attributes & kBlockingAttributes) == 0) return true;
  FileStep step;
  return RetryFileOperation([path] { return os::ClearFileAttributes(path); }, &step);
}

bool MoveFileRetrying(const wchar_t* from, const wchar_t* to, FileStep* step) {
  return RetryFileOperation([from, to] { return os::MoveFileTo(from, to); }, step);
}

bool CopyWrittenThrough(const wchar_t* from, const wchar_t* to, FileStep* step) {
  // CopyFileW refuses to overwrite a read-only or hidden file, copies the
  // source's attributes, and a read-only copy cannot be opened to be
  // written through.
  if (!ClearBlockingAttributes(to)) {
    step->error = os::LastError();
    return false;
  }
  if (!RetryFileOperation([from, to] { return os::CopyFileOver(from, to); }, step)) return false;
  if (!ClearBlockingAttributes(to)) {
    step->error = os::LastError();
    return false;
  }
  return RetryFileOperation([to] { return os::FlushFileAt(to); }, step);
}

bool ReplaceRetrying(const wchar_t* from, const wchar_t* to, FileStep* step) {
  if (!ClearBlockingAttributes(to)) {
    step->error = os::LastError();
    return false;
  }
  return RetryFileOperation([from, to] { return os::ReplaceFileAtomically(from, to); }, step);
}

bool DeleteRetrying(const wchar_t* path, FileStep* step) {
  if (!os::PathExists(path)) return true;
  if (!ClearBlockingAttributes(path)) {
    step->error = os::LastError();
    return false;
  }
  return RetryFileOperation([path] { return os::DeleteFileAt(path); }, step) || !os::PathExists(path);
}

FileComparison CompareFiles(const wchar_t* first, const wchar_t* second) {
  // Opened one after the other, so that LastError tells why the one that
  // could not be opened was not.
  std::FILE* a = os::OpenFile(first, L"rb");
  if (a == nullptr) return FileComparison::kFirstUnreadable;
  std::FILE* b = os::OpenFile(second, L"rb");
  if (b == nullptr) {
    std::fclose(a);
    return FileComparison::kSecondUnreadable;
  }
  FileComparison result = FileComparison::kSame;
  // Only what fread fills is looked at: the buffers need no zeroing.
  constexpr size_t kChunk = 64 * 1024;
  const std::unique_ptr<char[]> left(new char[kChunk]), right(new char[kChunk]);
  for (;;) {
    const size_t l = std::fread(left.get(), 1, kChunk, a);
    const size_t r = std::fread(right.get(), 1, kChunk, b);
    // A read that failed tells nothing of the bytes.
    if (std::ferror(a) || std::ferror(b)) {
      result = std::ferror(a) ? FileComparison::kFirstUnreadable : FileComparison::kSecondUnreadable;
      break;
    }
    if (l != r || std::memcmp(left.get(), right.get(), l) != 0) {
      result = FileComparison::kDifferent;
      break;
    }
    if (l < kChunk) break;
  }
  std::fclose(a);
  std::fclose(b);
  return result;
}
