// Module names: which names the tool works with, and the check of every
// listed name before the first module is touched.
//
// A name is joined to the install folder and to the per-patch backup
// folder, and opened by itself in the working folder. Windows reads each
// step of such a path its own way: trailing dots and spaces are dropped,
// "." is the folder itself, and a step whose base name is a device name
// (NUL, COM1, "nul.dll", "Con .txt") opens the device in any folder. A name
// is refused when any step of it would leave the install folder, open a
// device, or reach into the backup root where the originals are kept.
#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// `length` characters at `text` equal `word`, letters in either case.
bool SameWord(const wchar_t* text, size_t length, const wchar_t* word) {
  if (std::wcslen(word) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (Upper(text[i]) != Upper(word[i])) return false;
  }
  return true;
}

// The length of a step once Windows has dropped its trailing dots and spaces.
size_t TrimmedLength(const wchar_t* step, size_t length) {
  while (length > 0 && (step[length - 1] == L'.' || step[length - 1] == L' ')) --length;
  return length;
}

bool IsDeviceDigit(wchar_t c) {
  // Windows also takes the superscript digits one to three for COM and LPT ports.
  return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

// A step Windows opens as a device: its base name (up to the first dot,
// without trailing spaces or a colon) is one of the reserved names.
bool IsDeviceStep(const wchar_t* step, size_t length) {
  size_t base = 0;
  while (base < length && step[base] != L'.') ++base;
  while (base > 0 && (step[base - 1] == L' ' || step[base - 1] == L':')) --base;
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    if (SameWord(step, base, device)) return true;
  }
  return base == 4 && (SameWord(step, 3, L"COM") || SameWord(step, 3, L"LPT")) && IsDeviceDigit(step[3]);
}

// Names under which the tool keeps files of its own: the record's earlier
// CurVersion in the per-patch folder, and the copies beside a module.
bool IsToolFileName(const wchar_t* name) {
  const wchar_t* last = name;
  for (const wchar_t* c = name; *c != 0; ++c) {
    if (IsSeparator(*c)) last = c + 1;
  }
  const size_t length = TrimmedLength(last, std::wcslen(last));
  if (SameWord(last, length, kPreviousCurrentName)) return true;
  for (const wchar_t* suffix : {L".qlnew", L".qlundo", L".qlswap"}) {
    const size_t suffixLength = std::wcslen(suffix);
    if (length >= suffixLength && SameWord(last + length - suffixLength, suffixLength, suffix)) return true;
  }
  return false;
}

}  // namespace

ResultCode ReadModuleCount(int32_t* count) {
  char countText[kValueBytes] = {};
  ResultCode result = ReadDataValue(kDataFileName, "WerNum", countText, sizeof countText);
  if (result != RC_SUCCEED) return result;
  wchar_t wideCount[kNameChars] = {};
  os::WidenText(os::kAnsiCodePage, countText, wideCount, kNameChars);
  return os::ParseDecimal(wideCount, count) ? RC_SUCCEED : RC_DECIMAL_CONVERSION_FAILED;
}

void FormatModuleElementName(int32_t index, char* elementName, size_t bytes) {
  std::snprintf(elementName, bytes, "WER%d", static_cast<int>(index));
}

ResultCode ReadModuleName(int32_t index, wchar_t* moduleName) {
  char elementName[kModuleElementNameBytes] = {};
  FormatModuleElementName(index, elementName, sizeof elementName);
  char moduleText[kValueBytes] = {};
  ResultCode result = ReadNestedDataValue(kDataFileName, elementName, "UpdateModule", moduleText,
                                          sizeof moduleText);
  if (result != RC_SUCCEED) return result;
  os::WidenText(os::kAnsiCodePage, moduleText, moduleName, kNameChars);
  return RC_SUCCEED;
}

ResultCode ReadModuleList(std::vector<std::wstring>* modules) {
  modules->clear();
  int32_t count = 0;
  ResultCode result = ReadModuleCount(&count);
  if (result != RC_SUCCEED) return result;
  for (int64_t index = 1; index <= count; ++index) {
    wchar_t moduleName[kNameChars] = {};
    result = ReadModuleName(static_cast<int32_t>(index), moduleName);
    if (result != RC_SUCCEED) return result;
    modules->push_back(moduleName);
  }
  return RC_SUCCEED;
}

ModuleNameProblem ClassifyModuleName(const wchar_t* name) {
  if (name[0] == 0) return ModuleNameProblem::kEmpty;
  if (IsSeparator(name[0])) return ModuleNameProblem::kLeavesFolder;
  if (((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')) && name[1] == L':') {
    return ModuleNameProblem::kLeavesFolder;
  }
  ModuleNameProblem problem = ModuleNameProblem::kNone;
  bool firstStep = true;  // no step other than "." (or an empty one) seen yet
  for (const wchar_t* step = name; *step != 0;) {
    const wchar_t* end = step;
    while (*end != 0 && !IsSeparator(*end)) ++end;
    const size_t length = static_cast<size_t>(end - step);
    const bool here = length == 1 && step[0] == L'.';
    // "..", and any other step of dots and spaces alone, which Windows
    // would read as a step up or as the folder itself.
    if (length > 0 && !here && TrimmedLength(step, length) == 0) return ModuleNameProblem::kLeavesFolder;
    if (problem == ModuleNameProblem::kNone) {
      if (IsDeviceStep(step, length)) {
        problem = ModuleNameProblem::kDeviceName;
      } else if (firstStep && SameWord(step, TrimmedLength(step, length), kBackupRootName)) {
        problem = ModuleNameProblem::kBackupFolder;
      }
    }
    if (length > 0 && !here) firstStep = false;
    step = *end != 0 ? end + 1 : end;
  }
  if (problem == ModuleNameProblem::kNone && std::wcschr(name, L':') != nullptr) return ModuleNameProblem::kStream;
  if (problem == ModuleNameProblem::kNone && IsToolFileName(name)) return ModuleNameProblem::kToolFile;
  return problem;
}

ModuleNameProblem ResolveModuleName(const wchar_t* folder, const wchar_t* listed, std::wstring* resolved) {
  resolved->clear();
  ModuleNameProblem problem = ClassifyModuleName(listed);
  if (problem != ModuleNameProblem::kNone) return problem;
  std::vector<std::wstring> steps;
  for (const wchar_t* step = listed; *step != 0;) {
    const wchar_t* end = step;
    while (*end != 0 && !IsSeparator(*end)) ++end;
    const size_t length = TrimmedLength(step, static_cast<size_t>(end - step));
    if (length > 0) steps.emplace_back(step, length);  // "." trims to nothing
    step = *end != 0 ? end + 1 : end;
  }
  // Each step that exists goes by its long name; the first that does not
  // ends the look-ups, as nothing below it exists either.
  std::wstring path = folder != nullptr ? folder : L"";
  bool lookUp = folder != nullptr;
  for (std::wstring& step : steps) {
    if (lookUp) {
      path += L"\\" + step;
      wchar_t longPath[kPathChars] = {};
      lookUp = path.size() < static_cast<size_t>(kPathChars) && os::LongPathOf(path.c_str(), longPath, kPathChars);
      if (lookUp) {
        const wchar_t* last = std::wcsrchr(longPath, L'\\');
        step = last != nullptr ? last + 1 : longPath;
      }
    }
    if (!resolved->empty()) *resolved += L'\\';
    *resolved += step;
  }
  if (resolved->empty()) return ModuleNameProblem::kEmpty;
  return ClassifyModuleName(resolved->c_str());
}

bool IsSafeModuleName(const wchar_t* name) { return ClassifyModuleName(name) == ModuleNameProblem::kNone; }
