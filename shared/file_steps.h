// File operations on a module, a backup copy or the record, made the way
// Windows needs them made: an antivirus or backup agent that has the file
// open for a moment is waited out, and read-only, hidden or system
// attributes never stand in the way of the tool's own files nor stay on
// what it writes.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/platform.h"

// A file operation refused by a sharing or lock violation, or access
// denied, is made again after growing pauses, for up to this long per file.
constexpr uint32_t kFileRetryBudgetMs = 30000;
constexpr uint32_t kFirstRetryPauseMs = 100;
constexpr uint32_t kLongestRetryPauseMs = 5000;

// What one retried file step came to.
struct FileStep {
  int tries = 0;        // operations made
  uint32_t error = 0;   // the last failure's Windows error (0: none)
};

// Makes `operation` until it succeeds, fails for a reason no waiting mends,
// or the pauses between tries have added up to kFileRetryBudgetMs.
bool RetryFileOperation(const std::function<bool()>& operation, FileStep* step);

// The attributes that keep a file from being written, replaced or deleted.
constexpr uint32_t kBlockingAttributes = os::kAttributeReadOnly | os::kAttributeHidden | os::kAttributeSystem;
// Clears read-only, hidden and system from a file that carries them. True
// when the file has none of them now (or is not there).
bool ClearBlockingAttributes(const wchar_t* path);
// MoveFileW, retried. Never replaces an existing target.
bool MoveFileRetrying(const wchar_t* from, const wchar_t* to, FileStep* step);
// Copies `from` over `to` and writes it through to the disk; the copy ends
// up without the attributes CopyFileW takes from the source.
bool CopyWrittenThrough(const wchar_t* from, const wchar_t* to, FileStep* step);
// Moves `from` over `to` in one step, written through; a read-only `to`
// is replaced too.
bool ReplaceRetrying(const wchar_t* from, const wchar_t* to, FileStep* step);
// Deletes a file, read-only or not. True when it is gone (or was not there).
bool DeleteRetrying(const wchar_t* path, FileStep* step);

// Whether two files hold the same bytes. When one cannot be opened,
// LastError tells why.
enum class FileComparison { kSame, kDifferent, kFirstUnreadable, kSecondUnreadable };
FileComparison CompareFiles(const wchar_t* first, const wchar_t* second);
