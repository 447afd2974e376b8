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
};
ModuleNameProblem ClassifyModuleName(const wchar_t* name);
// A module name the tool works with: ClassifyModuleName gives kNone.
bool IsSafeModuleName(const wchar_t* name);
