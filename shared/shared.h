// Process-wide state and the fixed names of the product.
#pragma once

#include <atomic>
#include <string>

#include "shared/result_codes.h"
#include "platform/platform.h"

// The run's status; service workers leave their results here.
extern std::atomic<ResultCode> g_status;
// Released once by each service worker when it is done.
extern os::Handle g_workerDone;
// "Patch" + PatchVersion: the per-patch backup folder's name.
constexpr int kBackupFolderNameChars = 64 + 5;
extern wchar_t g_backupFolderName[kBackupFolderNameChars];

constexpr const char* kDataFileName = "patchql58302.dat";
constexpr const wchar_t* kInstallKey = L"Software\\Tarvex\\Durirave\\Install\\";
constexpr const wchar_t* kBackupRootName = L"UpdateBackup";
constexpr const wchar_t* kRecordFileName = L"QlPatch.xml";
// In the per-patch backup folder: the record's CurVersion the patch replaced.
constexpr const wchar_t* kPreviousCurrentName = L"CurVersion.qlprev";

constexpr const wchar_t* kProductServices[] = {L"QlSvc", L"QlProfileSvc"};
constexpr const wchar_t* kProductProcesses[] = {
    L"SvcDeskAgent.exe", L"QlWin7Agent.exe", L"qltray.exe",
    L"qlwlicon.exe",     L"lnkrtnmon.exe",   L"Durirave.exe",
    L"Save_Wlan_Settings.exe", L"QlOpenWlanPanel.exe"};

// Fixed buffer sizes.
constexpr int kValueBytes = 64;         // an XML value
constexpr int kVersionValueBytes = 32;  // Version and BuildID in the version check
constexpr int kNameChars = 64;          // versions, build IDs, module and image names
constexpr int kPathChars = 255;         // install folder and paths built from it

// Whether two names are equal with ASCII letters folded to one case, as
// Windows compares service names and most file names.
bool SameIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

// Joins two or three parts with '\' into `out` (kPathChars wide characters).
// False, with `out` emptied, when the path would not fit: a cut path could
// name another file.
bool BuildPath(wchar_t* out, const wchar_t* first, const wchar_t* second,
               const wchar_t* third = nullptr);
