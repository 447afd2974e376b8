// Control panel of the Linux stand-in for the platform: tests set up the
// registry, services and processes here, make calls fail, and read back the
// virtual clock, the printed output and the handles still open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

constexpr uint32_t kStartPending = os::kServiceStartPending;
constexpr uint32_t kStopPending = os::kServiceStopPending;
constexpr uint64_t kNever = ~0ull;
constexpr int kAlways = 1 << 30;
constexpr uint32_t kRequestTimeoutMs = 30000;  // the manager's pipe timeout

struct Service {
  std::wstring name;
  uint32_t state = os::kServiceRunning;
  uint32_t waitHint = 0;
  // This many start requests time out (ERROR_SERVICE_REQUEST_TIMEOUT, 1053):
  // the manager waits kRequestTimeoutMs on the virtual clock for the process
  // to reach it, and the service stays stopped. kAlways: every one.
  int startTimeouts = 0;
  // This many start requests find the manager locked, busy starting another
  // service (ERROR_SERVICE_DATABASE_LOCKED, 1055); kAlways: every one.
  int lockedStarts = 0;
  bool refuseStop = false;   // ControlService: ERROR_INVALID_SERVICE_CONTROL (1052)
  // ControlService fails with ERROR_SERVICE_REQUEST_TIMEOUT (1053) after
  // the manager's kRequestTimeoutMs on the virtual clock, its handler busy
  // past that wait, and the service stops all the same (`stopTakesMs`
  // after the request).
  bool stopTimesOut = false;
  bool disabled = false;     // start type SERVICE_DISABLED: StartServiceW gives ERROR_SERVICE_DISABLED
  // A stop request leaves it STOP_PENDING (hint `waitHint`) for this long
  // on the virtual clock before it reports STOPPED (0: `afterRequest` says).
  uint32_t stopTakesMs = 0;
  uint64_t stopsAtMs = 0;
  // Started again by something else (a trigger, a dependent's start) when
  // the `startAgainOccurrence`-th call of the named platform function is
  // made, if it is stopped then. Empty: never.
  std::string startAgainOn;
  int startAgainOccurrence = 1;
  int startsByTrigger = 0;  // times that start came
  // Something else (a watchdog, a delayed start) starts the service just
  // before the tool's start request, which then fails with
  // ERROR_SERVICE_ALREADY_RUNNING.
  bool startedByOther = false;
  // States reported by the queries made before any start or stop request,
  // one per query; the last one repeats. Empty: `state` as it is.
  std::vector<uint32_t> beforeRequest;
  // States reported by the queries that follow a start or stop request, one
  // per query; the last one repeats. Empty: the wanted state at once.
  std::vector<uint32_t> afterRequest;
  // Each query that reports a pending state advances the checkpoint.
  bool checkPointAdvances = false;
  uint32_t checkPoint = 0;
  // The services this one depends on: while it runs, they refuse the stop
  // control with ERROR_DEPENDENT_SERVICES_RUNNING.
  std::vector<std::wstring> dependsOn;
  // The process it runs in (fake::AddProcess; 0: none reported). Once the
  // service reports STOPPED its process ends processLingerMs later; a start
  // gives it a fresh process of the same image. A shared process
  // (SERVICE_WIN32_SHARE_PROCESS) is never ended by the service.
  uint32_t processId = 0;
  bool sharedProcess = false;
  uint32_t processLingerMs = 0;
  // Queries from this index on (0-based, counted over the service's life) fail.
  int failQueriesFrom = -1;
  int queries = 0;
  int startRequests = 0;
  int stopRequests = 0;
  // Machine-wide order (1, 2 ...) of its last start and stop request.
  int lastStartOrder = 0;
  int lastStopOrder = 0;
  int queriesSinceRequest = -1;  // -1: no request yet
};

struct Process {
  uint32_t processId;
  std::wstring exeFile;
  bool terminated = false;  // TerminateProcess was called on it
  bool refuseOpen = false;
  // TerminateProcess only begins ending it: it ends this much later.
  uint32_t exitDelayMs = 0;
  // The virtual time it ends at (kNever: running).
  uint64_t endsAtMs = kNever;
};

// Forgets everything: registry, services, processes, clock, output, faults.
void Reset();

// Waits for every thread the stand-in started (the runs' workers) to end.
// Call it before a fork: a thread still ending may hold a lock of the
// allocator's, which the child would then wait for for ever.
void JoinThreads();

// Registry (HKEY_LOCAL_MACHINE); key names compare case-insensitively.
void SetMachineValue(const std::wstring& subKey, const std::wstring& name,
                     const std::wstring& value);

// Services and the manager.
Service& AddService(const std::wstring& name);
Service* FindService(const std::wstring& name);
void SetServiceManagerAvailable(bool available);

// Processes, in list order.
uint32_t AddProcess(const std::wstring& exeFile);
Process* FindProcess(uint32_t processId);
// The process ends and another program's process is given its id, as
// Windows may once no handle to the ended one is left.
void ReuseProcessId(uint32_t processId, const std::wstring& exeFile);
// Still running at the virtual time now.
bool Running(uint32_t processId);
const std::vector<Process>& Processes();

// Handles of each kind still open.
int OpenKeys();
int OpenServiceHandles();  // manager and services
int OpenKernelHandles();   // snapshots, processes, semaphores

// Virtual clock (sleeps and waits on processes move it).
uint64_t NowMs();
const std::vector<uint32_t>& Sleeps();
void SetLocalDate(int year, int month, int day);

// Everything PrintWide wrote.
std::wstring Output();

// The run's lock file, by its Linux path: another process may hold it open
// without sharing (the file is there while it does); kNone ends that holder,
// and the file goes with its handle, as when the holder is killed. A file
// left with no holder (a power cut) is simply written by the test.
enum class LockFileHolder { kNone, kOtherProcess };
void SetLockFileHolder(const std::string& path, LockFileHolder holder);
bool LockFileHeld(const std::string& path);  // by this process

// Windows attributes of a file (os::kAttributeReadOnly ...), by its Linux
// path; 0 clears them.
void SetFileAttributesOf(const std::string& path, uint32_t attributes);

// Another program holds the file open without sharing it: the next `tries`
// operations on it (moves, copies, replaces, deletes, opens and flushes, as
// source or target) fail with a sharing violation; -1 holds it for good, 0
// lets it go.
void HoldFile(const std::string& path, int tries);
// Another program holds the file open for good, sharing reading but not
// deleting (FILE_SHARE_READ alone): it can be read and copied, never
// renamed, replaced, deleted or written.
void HoldFileLettingRead(const std::string& path);
// Another program, sharing read, write and delete, holds an exclusive
// lock on all the file's bytes (LockFileEx): it opens, but each read fails
// with ERROR_LOCK_VIOLATION.
void LockBytes(const std::string& path);
// Operations on the file that a hold refused since Reset.
int SharingViolations(const std::string& path);

// Restart Manager's answer for a file held open (by its Linux path):
// without one it cannot tell who holds it.
void SetFileHolders(const std::string& path, const std::vector<os::FileHolder>& holders);
// Another program's rename waiting for the restart (Windows paths as it
// wrote them, `to` empty for a delete).
void AddPendingRename(const std::wstring& from, const std::wstring& to);
// PendingFileRenameOperations as it stands, and set as a whole (as on disk).
std::wstring PendingRenames();
void SetPendingRenames(const std::wstring& value);
// A restart: the waiting renames are carried out in order on the files
// (a source that is gone is passed over, as Windows does), every program
// and every hold on a file ends, the lock files go and the services run.
void Restart();

// Power cut: file data written and not yet flushed (FlushToDisk,
// FlushFileAt) is lost: such a file keeps its size and holds zeros, as a
// file system that journals its metadata but not the data leaves it. A
// written-through append the cut lands on (its AppendBytes call) leaves its
// bytes as zeros, line end included. Renames scheduled for the restart
// since the registry was last flushed (os::WritePendingRenames,
// os::FlushPendingRenames) are lost. Folders, renames and deletions are
// kept. Call it, then end the process; then save what the machine keeps.
void PowerCut();
// The process is ended without closing its handles (killed): the system
// closes them, so a lock file it holds, opened delete-on-close, is
// deleted. Call it, then end the process. (A power cut closes nothing.)
void ProcessKilled();

// Fault injection: the `occurrence`-th call (1-based, counted since Reset) of
// the named platform function fails. Names are the functions' own
// ("MoveFileTo", "QueryServiceState" ...).
void FailCall(const std::string& function, int occurrence);
// The room left on the disk for copies (CopyFileOver): a copy that does
// not fit writes what fits and fails with ERROR_DISK_FULL, cut short.
// kNever: no limit.
void SetDiskRoom(uint64_t bytes);
// What FreeBytesAt reports from now on, whatever the room is (kNever: the
// room itself): another program fills the disk after the tool looked.
void SetDiskRoomShown(uint64_t bytes);
// `alias` is the 8.3 name of the file or folder at `path` (a Linux path):
// LongPathOf reads it as the long name. The stand-in's other calls do not
// know it, as the tool never uses an alias once resolved.
void SetShortName(const std::string& path, const std::string& alias);
// Every thread that would run `body` (a phase's worker) cannot be started.
void FailThreadsOf(int32_t (*body)(void*));
// Every call of the named function from the `occurrence`-th on fails.
void FailCallsFrom(const std::string& function, int occurrence);
int CallCount(const std::string& function);
// Every platform call made since Reset, in order.
const std::vector<std::string>& CallLog();
// Called by the stand-in before each platform call, after it has been
// logged; lets a test observe the machine at that moment.
void SetCallObserver(void (*observer)(const std::string& function));

// Owners and DACLs. A folder's own, by its Linux path; a folder without
// one has its nearest parent's, as if inherited. Folders the tool makes
// (os::MakeDirectory) get ToolFolderSecurity(), as on Windows.
void SetFolderSecurity(const std::string& path, const os::FolderSecurity& security);
// What the product's installer leaves: Administrators own it, SYSTEM and
// Administrators may do anything, Users read and run.
os::FolderSecurity InstalledFolderSecurity();
os::FolderSecurity ToolFolderSecurity();
// Where a folder at the root of C: inherits its rights from: Authenticated
// Users may modify what is made inside it.
os::FolderSecurity OpenToUsersSecurity();

}  // namespace fake
