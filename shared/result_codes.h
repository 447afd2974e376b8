// Outcomes of every operation; the run's outcome is the process exit code.
#pragma once

#include <cstdint>

using ResultCode = int32_t;

constexpr ResultCode RC_UNKNOWN = -1;
constexpr ResultCode RC_SUCCEED = 0;
constexpr ResultCode RC_REGISTRY_READ_FAILED = 1;
constexpr ResultCode RC_XML_LOAD_FAILED = 2;
constexpr ResultCode RC_XML_ELEMENT_MISSING = 3;
constexpr ResultCode RC_VERSION_MISMATCH = 4;
constexpr ResultCode RC_BUILD_ID_MISMATCH = 5;
constexpr ResultCode RC_OPEN_SCM_FAILED = 6;
constexpr ResultCode RC_OPEN_SERVICE_FAILED = 7;
constexpr ResultCode RC_QUERY_SERVICE_FAILED = 8;
constexpr ResultCode RC_STOP_SERVICE_FAILED = 9;
constexpr ResultCode RC_RUN_SERVICE_FAILED = 10;
constexpr ResultCode RC_START_SERVICE_FAILED = 11;
constexpr ResultCode RC_CREATE_BACKUP_DIR_FAILED = 12;
constexpr ResultCode RC_MOVE_FILE_FAILED = 13;
constexpr ResultCode RC_COPY_FILE_FAILED = 14;
constexpr ResultCode RC_ALREADY_PATCHED = 15;
constexpr ResultCode RC_NOT_PATCHED = 16;
constexpr ResultCode RC_RECORD_MISSING = 17;
constexpr ResultCode RC_DECIMAL_CONVERSION_FAILED = 18;
constexpr ResultCode RC_PATCH_IS_LATEST = 19;
constexpr ResultCode RC_TOO_MANY_ARGUMENTS = 21;
constexpr ResultCode RC_BAD_COMMAND_LINE = 22;
// An undo of a patch over which a later patch of the version is applied.
constexpr ResultCode RC_LATER_PATCH_APPLIED = 23;
// The backup folder, the per-patch folder or a module is a link (a
// junction, a symbolic link, a mount point): nothing is written through it.
constexpr ResultCode RC_LINK_REFUSED = 24;
// The backup folder is owned by, or may be written by, someone other than
// administrators and SYSTEM: what is in it cannot be trusted, and nothing
// is written there.
constexpr ResultCode RC_BACKUP_OPEN_TO_USERS = 25;
// Another apply holds the single-instance lock; Windows Installer's
// ERROR_INSTALL_ALREADY_RUNNING, which fleet tools retry.
constexpr ResultCode RC_ANOTHER_RUN_IN_PROGRESS = 1618;
// The patch is put in place whole at the next restart: another program
// held one of its files open. Windows Installer's
// ERROR_SUCCESS_REBOOT_REQUIRED, which fleet tools count as success.
constexpr ResultCode RC_SWAP_AT_RESTART = 3010;

constexpr int kMessageChars = 255;

// Writes the code's message into `buffer` (kMessageChars wide characters).
void FormatResultMessage(ResultCode code, wchar_t* buffer);
