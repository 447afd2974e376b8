// Program driver: the two modes and their option scanner.
#pragma once

#include "driver/result_codes.h"

// Option scanner state, kept between calls of ScanOption.
extern int32_t g_optionIndex;
extern const char* g_optionArgument;

constexpr int kMaxArgumentSlots = 32;

// Query mode (`-c patch`): answers the patch state; prints nothing.
ResultCode RunCommandLine(int argc, wchar_t** argv);
// Returns the next option letter, '?' for an argument it cannot accept, or
// -1 when the scan is over.
int ScanOption(int argc, char** arguments, const char* options);

// Apply mode: runs PerformUpdate and prints its outcome.
ResultCode RunInteractiveUpdate();
ResultCode PerformUpdate();

// `-c undo`: puts the originals of the current patch back and takes it off
// the record. Prints nothing.
ResultCode PerformUndo();
// The undo under the single-instance lock, with its run log.
ResultCode RunUndo();

// Runs a sequence that changes the machine while holding the machine-wide
// single-instance lock, with g_workerDone made for its service phases.
// 1618 when another run holds the lock.
ResultCode RunExclusively(ResultCode (*sequence)());
// Runs one service phase on a worker thread and waits for it; `cannotRun`
// when no worker can be started.
ResultCode RunServicePhase(int32_t (*worker)(), ResultCode cannotRun);

// The process entry's body: picks the mode from the argument count.
ResultCode RunEntry(int argc, wchar_t** argv);
