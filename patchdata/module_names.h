// The listed modules: how the description file names them, and which names
// the tool works with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/result_codes.h"

// WerNum of the description file as a number. 0, 2, 3 or 18.
ResultCode ReadModuleCount(int32_t* count);
// "WER" + index: the name of the index-th module element.
constexpr size_t kModuleElementNameBytes = 16;
void FormatModuleElementName(int32_t index, char* elementName, size_t bytes);
// The UpdateModule text of the index-th module element, widened into
// kNameChars characters (empty when there is none). 0, 2 or 3.
ResultCode ReadModuleName(int32_t index, wchar_t* moduleName);
// Every listed module's name, in index order, each element read once. 0,
// 2, 3 or 18.
ResultCode ReadModuleList(std::vector<std::wstring>* modules);

// Why the tool refuses a module name, if it does.
enum class ModuleNameProblem {
  kNone,
  kEmpty,
  kLeavesFolder,  // a drive ("C:"), a root or UNC start ('\' or '/'), a ".." step up
  kDeviceName,    // a step Windows takes for a device (CON, NUL, COM1, LPT1 ...)
  kBackupFolder,  // inside the backup root, where the originals are kept
  kStream,        // a ':' past the start: an alternate data stream of a file ("core.dll:x")
  kToolFile,      // a name the tool keeps files of its own under ("CurVersion.qlprev", "*.qlnew", "*.qlundo", "*.qlswap")
};
ModuleNameProblem ClassifyModuleName(const wchar_t* name);
// A module name the tool works with: ClassifyModuleName gives kNone.
bool IsSafeModuleName(const wchar_t* name);
// A listed name as the file system reads it, relative to `folder`: "." and
// empty steps dropped ("./a.dll", ".\\a.dll"), '/' read as '\\', each
// step without its trailing dots and spaces, and each step that exists
// under `folder` by its long name (an 8.3 alias read as the name it stands
// for). `folder` null: the name alone, nothing looked up. The apply, the
// undo and the checker all name a module so, and two listed names are the
// same module when their resolved names are equal in any case. kNone and
// `resolved`, or why the listed or the resolved name is refused.
ModuleNameProblem ResolveModuleName(const wchar_t* folder, const wchar_t* listed, std::wstring* resolved);
