// The run log: every apply and every undo appends dated lines, one per
// event, to qlpatch.log in the record's folder, so that an admin can learn
// afterwards what a run met (which module, which Windows error, which
// service, how long each step took). Lines logged before the log's folder
// is known are held and written once it is. A log that cannot be written
// never changes what the run does or its outcome.
#pragma once

#include <cstdint>

constexpr const wchar_t* kRunLogName = L"qlpatch.log";
constexpr const wchar_t* kOlderRunLogName = L"qlpatch.log.1";
// Past this size the log is moved aside (one older log kept) before a run.
constexpr uint64_t kRunLogLimitBytes = 1024 * 1024;

// Starts a run's log: forgets any earlier run's lines and holds this run's
// until AttachRunLog.
void BeginRunLog();
// Opens `backupRoot`\qlpatch.log in a folder that is there, moves a full
// one aside first, and writes the lines held so far.
void AttachRunLog(const wchar_t* backupRoot);
// Closes the log; later lines are held again.
void EndRunLog();

// One line; the format uses only %ls, %d and %u.
void LogEvent(const wchar_t* format, ...);
// One line ending in the Windows error's number and the system's text for it.
void LogFailure(uint32_t error, const wchar_t* format, ...);
// Milliseconds since `startMs` (os::TickMs), for "took N ms".
uint32_t MsSince(uint64_t startMs);
