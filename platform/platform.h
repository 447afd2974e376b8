// The one doorway from the tool's logic to the operating system.
//
// platform_win32.cpp serves these calls with the Win32 API; platform_fake.cpp
// serves them on Linux with an in-memory registry, service manager and process
// list that tests set up (see fake_platform.h), real files, a virtual clock and
// iconv for code page conversion. Nothing else in the tool includes a system
// header for these jobs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace os {

using Handle = void*;  // opaque; null means "no handle"

// ---- errors -------------------------------------------------------------
constexpr uint32_t kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS
uint32_t LastError();                          // GetLastError

// ---- registry: HKEY_LOCAL_MACHINE, KEY_QUERY_VALUE, the process's own view
Handle OpenMachineKeyForRead(const wchar_t* subKey);
// Reads a string value into `buffer` of `bufferBytes` bytes, always
// terminated, also when it was stored without its terminator. False when
// the value is missing or does not fit with its terminator (LastError
// tells which). The value's type is not looked at.
bool QueryKeyValue(Handle key, const wchar_t* name, wchar_t* buffer, uint32_t bufferBytes);
void CloseKey(Handle key);

// ---- service control manager ---------------------------------------------
constexpr uint32_t kServiceStopped = 1;         // SERVICE_STOPPED
constexpr uint32_t kServiceStartPending = 2;    // SERVICE_START_PENDING
constexpr uint32_t kServiceStopPending = 3;     // SERVICE_STOP_PENDING
constexpr uint32_t kServiceRunning = 4;         // SERVICE_RUNNING
constexpr uint32_t kServiceContinuePending = 5; // SERVICE_CONTINUE_PENDING
constexpr uint32_t kServicePausePending = 6;    // SERVICE_PAUSE_PENDING
constexpr uint32_t kServicePaused = 7;          // SERVICE_PAUSED
constexpr uint32_t kErrorDependentServicesRunning = 1051;    // ERROR_DEPENDENT_SERVICES_RUNNING
constexpr uint32_t kErrorServiceRequestTimeout = 1053;       // ERROR_SERVICE_REQUEST_TIMEOUT
constexpr uint32_t kErrorServiceDatabaseLocked = 1055;       // ERROR_SERVICE_DATABASE_LOCKED
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;       // ERROR_SERVICE_ALREADY_RUNNING
constexpr uint32_t kErrorServiceDisabled = 1058;             // ERROR_SERVICE_DISABLED
constexpr uint32_t kErrorServiceCannotAcceptControl = 1061;  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
constexpr uint32_t kErrorServiceNotActive = 1062;            // ERROR_SERVICE_NOT_ACTIVE
// SERVICE_STATUS_PROCESS, as QueryServiceStatusEx (SC_STATUS_PROCESS_INFO) fills it.
struct ServiceStatus {
  uint32_t currentState;
  uint32_t waitHint;     // milliseconds
  uint32_t checkPoint;   // advanced by the service while it is pending
  uint32_t processId;    // 0 while stopped
  bool sharesProcess;    // dwServiceType has SERVICE_WIN32_SHARE_PROCESS: its process hosts others
};
Handle OpenServiceManager();                                        // SC_MANAGER_CONNECT
Handle OpenServiceForControl(Handle manager, const wchar_t* name);  // QUERY_STATUS|START|STOP
bool QueryServiceState(Handle service, ServiceStatus* status);      // QueryServiceStatusEx
// The service's start type (SERVICE_AUTO_START ...), read through a handle
// of its own opened with SERVICE_QUERY_CONFIG alone (QueryServiceConfigW).
constexpr uint32_t kServiceDisabled = 4;  // SERVICE_DISABLED
bool ReadServiceStartType(Handle manager, const wchar_t* name, uint32_t* startType);
bool RequestServiceStart(Handle service);  // StartServiceW, no arguments
bool RequestServiceStop(Handle service);   // ControlService(SERVICE_CONTROL_STOP)
void CloseServiceHandle(Handle handle);
// The services that depend on `name`, directly or not, and are not stopped
// (EnumDependentServicesW, SERVICE_ACTIVE, through a handle of its own
// opened with SERVICE_ENUMERATE_DEPENDENTS alone), in the order to stop
// them: the one started last first. False when they cannot be listed or
// are more than `capacity`.
constexpr int kServiceNameChars = 257;  // a service name has at most 256 characters
struct ServiceName {
  wchar_t name[kServiceNameChars];
};
bool ListActiveDependents(Handle manager, const wchar_t* name, ServiceName* names, int capacity,
                          int* count);

// ---- process list ----------------------------------------------------------
struct ProcessEntry {
  uint32_t processId;
  wchar_t exeFile[260];  // image file name, no path
};
Handle SnapshotProcesses();  // null on failure
// False at the end of the list (ERROR_NO_MORE_FILES) or on failure.
bool FirstProcess(Handle snapshot, ProcessEntry* entry);
bool NextProcess(Handle snapshot, ProcessEntry* entry);
constexpr uint32_t kErrorNoMoreFiles = 18;
// PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, not
// inheritable. An id is given to another process once its own has ended
// and no handle to it is left: what the handle opened is read back with
// ReadProcessImage.
Handle OpenProcessForTerminate(uint32_t processId);
// The full path of the program the process runs (QueryFullProcessImageNameW).
// False when it cannot be read or does not fit in `chars`.
bool ReadProcessImage(Handle process, wchar_t* path, uint32_t chars);
// TerminateProcess only begins ending a process: WaitForProcessEnd tells
// when it has ended and let go of its files.
bool TerminateProcessHandle(Handle process, uint32_t exitCode);
Handle OpenProcessForWait(uint32_t processId);  // SYNCHRONIZE, not inheritable
enum class ProcessWait { kEnded, kTimedOut, kFailed };
ProcessWait WaitForProcessEnd(Handle process, uint32_t timeoutMs);  // WaitForSingleObject
void CloseKernelHandle(Handle handle);  // snapshots, processes, semaphores

// ---- files and folders -------------------------------------------------------
// Paths use '\' as separator, as on Windows.
// CreateDirectoryW. Every folder the tool makes is one of its own (the
// backup folder and what is inside it), so each is made with a protected
// DACL, nothing inherited from its parent: SYSTEM and Administrators may do
// anything, Users may read and run, for the folder, its subfolders and files.
// Its owner is the token's default: Administrators or SYSTEM.
bool MakeDirectory(const wchar_t* path);
bool RemoveFolder(const wchar_t* path);                      // RemoveDirectoryW: an empty folder
// MoveFileExW(MOVEFILE_WRITE_THROUGH): never over an existing file.
bool MoveFileTo(const wchar_t* from, const wchar_t* to);
// CreateHardLinkW: `link` becomes a second name of `existing`'s data, on
// the same volume, nothing copied. NTFS only: false on FAT and exFAT, for
// a `link` that exists, and where the file cannot be opened.
bool LinkFile(const wchar_t* existing, const wchar_t* link);
bool CopyFileOver(const wchar_t* from, const wchar_t* to);   // CopyFileW, overwrite
bool FileExists(const wchar_t* path);                        // a file, not a folder
bool PathExists(const wchar_t* path);                        // a file or a folder
bool DeleteFileAt(const wchar_t* path);
// Makes `path` the process's current folder, where files opened by a
// relative name are looked for.
bool SetWorkingFolder(const wchar_t* path);                  // SetCurrentDirectoryW
// Opens with the C runtime's mode string ("rb", "w" ...); "w" is text mode,
// so line ends become CR LF on Windows.
std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode);
bool FlushToDisk(std::FILE* file);  // flush the stream and the OS buffers
// Writes a closed file's data through to the disk (FlushFileBuffers on a
// handle opened for writing). Until then a power cut may leave the file
// holding zeros where its data should be.
bool FlushFileAt(const wchar_t* path);
// Moves `source` over `target` in one step, replacing it, written through.
bool ReplaceFileAtomically(const wchar_t* source, const wchar_t* target);
// File attributes that stand in the way of writing, replacing or deleting
// a file, or hide it (FILE_ATTRIBUTE_*).
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeHidden = 0x2;
constexpr uint32_t kAttributeSystem = 0x4;
// GetFileAttributesW; false when the path cannot be looked at.
bool ReadFileAttributes(const wchar_t* path, uint32_t* attributes);
// SetFileAttributesW without read-only, hidden and system, every other
// attribute (archive, not indexed) kept: the file can be written, replaced
// and deleted again.
bool ClearFileAttributes(const wchar_t* path);
// SetFileAttributesW: gives a file back the read-only, hidden and system
// attributes of `attributes` (as ReadFileAttributes read them; the others
// are left as they are).
bool RestoreFileAttributes(const wchar_t* path, uint32_t attributes);
// Errors a file operation meets while another program (an antivirus or
// backup agent, mostly) has the file open for a moment.
constexpr uint32_t kErrorAccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr uint32_t kErrorSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr uint32_t kErrorLockViolation = 33;     // ERROR_LOCK_VIOLATION
constexpr uint32_t kErrorDiskFull = 112;         // ERROR_DISK_FULL
// Calls `visit` for each entry of a folder (not "." and ".."), with its
// name and whether it is a folder. False when the folder cannot be read.
bool ListFolder(const wchar_t* path, void (*visit)(void* context, const wchar_t* name, bool isFolder),
                void* context);
// A file opened for appending whose every write goes through to the disk
// (the run log, the journal); made when missing, others may read it
// meanwhile. A link in its place is never followed: null
// (kErrorReparsePointEncountered). Closed
// with CloseKernelHandle. Null on failure.
Handle OpenAppendWriteThrough(const wchar_t* path);
bool AppendBytes(Handle file, const void* bytes, uint32_t count);
// The size of a file in bytes; false when it cannot be read.
bool FileSizeAt(const wchar_t* path, uint64_t* bytes);
// The bytes this process may still write on the volume that holds
// `folder` (GetDiskFreeSpaceExW, what is free to the caller, quotas
// counted). False when it cannot be read.
bool FreeBytesAt(const wchar_t* folder, uint64_t* bytes);
// The path of what exists at `path` with every step by its long name, as
// the file system spells it (GetLongPathNameW): an 8.3 alias ("UPDA~ZCN")
// becomes its long name, a step typed in another case keeps the case it
// was typed in on Windows. False when nothing is there or it does not fit
// in `outChars`.
bool LongPathOf(const wchar_t* path, wchar_t* out, int outChars);
// Whether two names or paths name one file to the file system: equal but
// for the case of any letter, as NTFS compares names (CompareStringOrdinal,
// ignoring case: "\u00C4x.dll" is "\u00E4x.dll"). Separators compare as typed.
bool SameFileName(const wchar_t* a, const wchar_t* b);

// ---- links: what the tool never acts through ---------------------------------
// ERROR_REPARSE_POINT_ENCOUNTERED: a file of the tool's own turned out to
// be a link, and was not used.
constexpr uint32_t kErrorReparsePointEncountered = 4395;
// Whether `path` is a reparse point (a junction, a symbolic link, a mount
// point), which would take what is written through it somewhere else: its
// attributes read through a handle opened with FILE_READ_ATTRIBUTES alone
// and FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS
// (GetFileInformationByHandle), and by name (GetFileAttributesW) as well;
// either one saying so is enough. False when nothing is there; true when
// what is there cannot be looked at.
bool IsReparsePoint(const wchar_t* path);

// ---- who may change a folder ---------------------------------------------------
// One allowing entry of a DACL (ACCESS_ALLOWED_ACE_TYPE, or the conditional
// ACCESS_ALLOWED_CALLBACK_ACE_TYPE, read as if its condition held); denying
// entries only take rights away and are not listed.
struct AllowedAccess {
  std::wstring sid;    // in string form: "S-1-5-32-545"
  uint32_t mask = 0;   // ACCESS_MASK, generic rights included as stored
  bool inheritOnly = false;  // INHERIT_ONLY_ACE: for what is made inside, not the folder
};
struct FolderSecurity {
  std::wstring ownerSid;
  bool nullDacl = false;  // no DACL at all: everyone may do anything
  std::vector<AllowedAccess> allowed;
};
enum class FolderOpen { kHeld, kMissing, kLink, kFailed };
// Opens the folder at `path` with READ_CONTROL | FILE_READ_ATTRIBUTES |
// FILE_LIST_DIRECTORY and FILE_FLAG_OPEN_REPARSE_POINT |
// FILE_FLAG_BACKUP_SEMANTICS, shared for reading and writing but not for
// deleting, so that while the handle is held the folder cannot be renamed,
// removed or swapped for a link (a handle without data access would not
// count in the sharing checks); what is inside may still be made, renamed
// and deleted. Its attributes are read through that handle
// (GetFileInformationByHandle): a reparse point, or a file, is let go and
// answered kLink. kMissing when nothing is there; kFailed otherwise, and
// when the attributes cannot be read (LastError tells why).
FolderOpen HoldFolder(const wchar_t* path, Handle* folder);
// The owner and DACL of a held folder, read through its handle
// (GetSecurityInfo, OWNER and DACL). False when they cannot be read.
bool ReadFolderSecurity(Handle folder, FolderSecurity* security);
void LetGoOfFolder(Handle folder);  // CloseHandle
// The SID of the account this process runs as (its token's user), in
// string form; empty when it cannot be read.
std::wstring RunningAccountSid();

// ---- one run at a time: a lock file in a folder only administrators write ----
constexpr uint32_t kErrorPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
enum class LockTake {
  kOwned,          // this process holds it now (also a file left by a run that lost power)
  kHeldElsewhere,  // another process holds it open (ERROR_SHARING_VIOLATION)
  kFailed,         // it could not be opened or made (LastError tells why)
};
// Opens the file at `path`, made when missing, for this process alone: no
// sharing, deleted when its handle is closed, which Windows also does for a
// process that is killed. A link in its place is never followed: kFailed
// (kErrorReparsePointEncountered). With kOwned, *lock is the handle to give to CloseLockFile.
LockTake OpenLockFile(const wchar_t* path, Handle* lock);
void CloseLockFile(Handle lock);  // CloseHandle: the file goes

// ---- what waits for the next restart, and who holds a file ----------------------
// MoveFileExW(from, to, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING):
// the rename is added to PendingFileRenameOperations, and Windows carries
// the renames out in the order added, early in the next start, before any
// service starts. Only administrators may; both paths on one volume. With
// `to` null, MoveFileExW(from, NULL, MOVEFILE_DELAY_UNTIL_REBOOT): `from`
// is deleted at the restart.
bool ScheduleRenameAtRestart(const wchar_t* from, const wchar_t* to);
// PendingFileRenameOperations (in HKLM, SYSTEM\CurrentControlSet\Control\Session
// Manager, REG_MULTI_SZ) as it is stored: pairs of a source
// ("\??\C:\a") and a target ("\??\C:\b", "!\??\C:\b" to replace, empty
// to delete), each ended by a zero. Empty when there is none. False when it
// cannot be read, or is not a REG_MULTI_SZ (LastError tells why).
bool ReadPendingRenames(std::wstring* value);
// Every program that schedules a rename for the restart adds to this one
// value, and Windows has no lock on it: the value is written only while it
// still reads `expected` (read again through the key opened to write it,
// just before the write), so that a rename another program added since
// `expected` was read is not written over. kChanged then, nothing written:
// read it again and start over. The window left is the one between that
// read and the write. Written as given (an empty one removes it), flushed
// to disk (RegFlushKey) before it returns kWritten; kFailed when it cannot
// be read or written (LastError tells why).
enum class PendingRenamesWrite { kWritten, kChanged, kFailed };
PendingRenamesWrite WritePendingRenames(const std::wstring& expected, const std::wstring& value);
// RegFlushKey on the Session Manager key: the renames scheduled so far are
// on disk when it returns. The registry otherwise writes them lazily,
// seconds later, and a power cut meanwhile loses them.
bool FlushPendingRenames();
// A process that holds a file open, as Restart Manager names it.
struct FileHolder {
  uint32_t processId;
  uint32_t sessionId;   // the Terminal Services session it runs in
  uint32_t appType;     // RM_APP_TYPE: 1 a window, 2 another program, 3 a service, 4 Explorer, 5 a console, 1000 critical
  wchar_t name[260];    // its application name (strAppName): a friendly name, or a service's
  wchar_t image[260];   // its program's full path, when it can be read and the id is still its (empty otherwise)
};
// The processes that hold `path` open (RmStartSession, RmRegisterResources,
// RmGetList, from rstrtmgr.dll loaded from the system folder only), each
// with its program's path (OpenProcess with PROCESS_QUERY_LIMITED_INFORMATION,
// QueryFullProcessImageNameW) once GetProcessTimes shows the process is the
// one Restart Manager named (its start time). `*count` is how many hold it; the first
// `capacity` of them are filled in. False when Restart Manager cannot tell
// (LastError: its answer).
bool ListFileHolders(const wchar_t* path, FileHolder* holders, int capacity, int* count);

// ---- threads, semaphore, clock ------------------------------------------------
Handle CreateCountingSemaphore(int32_t initialCount, int32_t maximumCount);  // unnamed
bool ReleaseSemaphoreOnce(Handle semaphore);
bool WaitWithoutTimeout(Handle semaphore);
// Starts `body(argument)` on a new thread with the given stack size; its
// handle is closed at once. False when the thread could not be created.
bool StartThread(int32_t (*body)(void* argument), void* argument, uint32_t stackBytes);
void SleepMs(uint32_t milliseconds);
void LocalDate(int* year, int* month, int* day);
// Milliseconds since some fixed moment, for measuring how long a step took
// (GetTickCount64).
uint64_t TickMs();
// The local date and time (GetLocalTime).
struct LocalTime {
  int year, month, day, hour, minute, second, milliseconds;
};
void LocalDateTime(LocalTime* now);
// The system's own text for a Windows error number (FormatMessageW), with
// no line end; empty when it has none.
void ErrorText(uint32_t error, wchar_t* out, int outChars);

// ---- text -------------------------------------------------------------------
enum CodePage { kAnsiCodePage, kOemCodePage, kUtf8CodePage };
// MultiByteToWideChar / WideCharToMultiByte over a terminated input. The
// counts include the terminator; with a zero output size, the size needed.
// Bytes that are not UTF-8 widen to U+FFFD in kUtf8CodePage.
// 0 on failure (including an output too small).
int WidenText(CodePage page, const char* text, wchar_t* out, int outChars);
int NarrowText(CodePage page, const wchar_t* text, char* out, int outBytes);
// StrToIntExW with STIF_DEFAULT: decimal, optional leading blanks and sign.
bool ParseDecimal(const wchar_t* text, int32_t* value);
// Bounded wide formatting; the format uses only %ls and %d.
// Always terminates within `capacity` characters.
void FormatWide(wchar_t* out, int capacity, const wchar_t* format, ...);
// wprintf to standard output (format uses only %ls and %d).
void PrintWide(const wchar_t* format, ...);

// ---- file hashes: SHA-256 from the system's own cryptography ------------------
// CryptoAPI on Windows (PROV_RSA_AES, CALG_SHA_256), OpenSSL for the stand-in.
constexpr uint32_t kSha256Bytes = 32;
// A hash in progress; null when the provider cannot be had.
Handle StartSha256();
bool HashBytes(Handle hash, const void* bytes, uint32_t count);
// The digest of everything hashed; ends the hash and frees it, also when it
// fails or `digest` is null (a hash given up on).
bool FinishSha256(Handle hash, uint8_t* digest);

// ---- whole lines of text on standard output -------------------------------------
// One line and its CR LF, every character kept: to a console through the
// console's wide output (WriteConsoleW), to a file or pipe as UTF-8.
void PrintLine(const wchar_t* line);

}  // namespace os
