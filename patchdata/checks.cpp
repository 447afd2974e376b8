// The applicability checks: the installed product, the patch identity the
// description file gives, and the patch state the record holds.
#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "patchdata/patchdata_internal.h"
#include "shared/run_log.h"
#include "shared/shared.h"

ResultCode ReadInstallValue(const wchar_t* valueName, wchar_t* buffer, size_t bufferChars) {
  os::Handle key = os::OpenMachineKeyForRead(kInstallKey);
  if (key == nullptr) return RC_REGISTRY_READ_FAILED;
  bool read = os::QueryKeyValue(key, valueName, buffer, static_cast<uint32_t>(bufferChars * sizeof(wchar_t)));
  os::CloseKey(key);
  // A string stored without its terminator may fill the buffer exactly.
  if (!read || buffer[bufferChars - 1] != 0) {
    std::fill(buffer, buffer + bufferChars, L'\0');
    return RC_REGISTRY_READ_FAILED;
  }
  return RC_SUCCEED;
}

PatchDescription ReadPatchDescription() {
  PatchDescription description = {};
  description.versionRead = ReadDataValue(kDataFileName, "Version", description.version, kValueBytes);
  description.buildRead = ReadDataValue(kDataFileName, "BuildID", description.build, kValueBytes);
  description.patchVersionRead =
      ReadDataValue(kDataFileName, "PatchVersion", description.patchVersion, kValueBytes);
  return description;
}

InstallInfo ReadInstallInfo() {
  InstallInfo install = {};
  install.versionRead = ReadInstallValue(L"Version", install.version, kNameChars) == RC_SUCCEED;
  install.buildRead = ReadInstallValue(L"BuildID", install.build, kNameChars) == RC_SUCCEED;
  install.folderRead = ReadInstallValue(L"Path", install.folder, kPathChars) == RC_SUCCEED;
  return install;
}

namespace {

// Compares one install value with the description file's element of the
// same name; `mismatch` when they differ.
ResultCode CompareWithInstalled(const wchar_t* installed, bool read, const char* data, ResultCode dataRead,
                                ResultCode mismatch) {
  if (!read) return RC_REGISTRY_READ_FAILED;
  if (dataRead != RC_SUCCEED) return dataRead;
  // The check compares at most kVersionValueBytes - 1 bytes; a longer value
  // is refused as one too long for its buffer.
  if (std::strlen(data) >= static_cast<size_t>(kVersionValueBytes)) return RC_XML_ELEMENT_MISSING;
  wchar_t wide[kNameChars] = {};
  os::WidenText(os::kAnsiCodePage, data, wide, kNameChars);
  return std::wcscmp(wide, installed) == 0 ? RC_SUCCEED : mismatch;
}

}  // namespace

ResultCode CheckInstalledProduct(const InstallInfo& install, const PatchDescription& description) {
  ResultCode result = CompareWithInstalled(install.version, install.versionRead, description.version,
                                           description.versionRead, RC_VERSION_MISMATCH);
  if (result != RC_SUCCEED) return result;
  return CompareWithInstalled(install.build, install.buildRead, description.build, description.buildRead,
                              RC_BUILD_ID_MISMATCH);
}

bool IsRecordableVersion(const char* version) {
  char name[kValueBytes + 8] = {};
  if (std::snprintf(name, sizeof name, "QL%s", version) >= static_cast<int>(sizeof name)) return false;
  // A record holding just this version element, as the save prints it.
  TiXmlDocument probe;
  probe.InsertEndChild(TiXmlDeclaration("1.0", "UTF-8", ""));
  TiXmlElement root("UpdateQL");
  TiXmlElement element(name);
  element.InsertEndChild(TiXmlElement("CurVersion"));
  root.InsertEndChild(element);
  probe.InsertEndChild(root);
  TiXmlPrinter printer;
  probe.Accept(&printer);
  TiXmlDocument back;
  if (ParseXmlText(&back, printer.Str()) != XmlLoad::kLoaded || back.Error()) return false;
  const TiXmlElement* readRoot = back.FirstChildElement("UpdateQL");
  const TiXmlElement* readElement = readRoot != nullptr ? readRoot->FirstChildElement() : nullptr;
  return readElement != nullptr && std::strcmp(readElement->Value(), name) == 0 &&
         readElement->FirstChildElement("CurVersion") != nullptr;
}

bool IsPatchNumber(const char* text) {
  if (text[0] == 0) return false;
  for (const char* c = text; *c != 0; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  // Patches are compared as signed 32-bit numbers, and the conversion wraps
  // past them: 3000000000 would come before 02.
  while (text[0] == '0' && text[1] != 0) ++text;
  const size_t digits = std::strlen(text);
  return digits < 10 || (digits == 10 && std::strcmp(text, "2147483647") <= 0);
}

ResultCode ReadPatchIdentity(const PatchDescription& description, PatchIdentity* identity) {
  *identity = {};
  if (description.versionRead != RC_SUCCEED) return description.versionRead;
  std::memcpy(identity->version, description.version, kValueBytes);
  if (!IsRecordableVersion(identity->version)) return RC_XML_ELEMENT_MISSING;
  if (description.patchVersionRead != RC_SUCCEED) return description.patchVersionRead;
  std::memcpy(identity->patchVersion, description.patchVersion, kValueBytes);
  // It names a folder and an element: "03\..\x" or "3 hotfix" must never
  // reach either. An empty one (or blanks only, which the library drops)
  // would name the folder "Patch" alone.
  if (!IsPatchNumber(identity->patchVersion) ||
      !PatchNumberValue(identity->patchVersion, &identity->patchNumber)) {
    return RC_XML_ELEMENT_MISSING;
  }
  std::snprintf(identity->versionName, sizeof identity->versionName, "QL%s", identity->version);
  return RC_SUCCEED;
}

bool PatchFolderName(const PatchDescription& description, wchar_t* name) {
  name[0] = 0;
  PatchIdentity patch;
  wchar_t widePatch[kNameChars] = {};
  if (ReadPatchIdentity(description, &patch) != RC_SUCCEED ||
      os::WidenText(os::kAnsiCodePage, patch.patchVersion, widePatch, kNameChars) == 0) {
    return false;
  }
  os::FormatWide(name, kBackupFolderNameChars, L"Patch%ls", widePatch);
  return true;
}

ResultCode EvaluatePatchState(const InstallInfo& install, const PatchDescription& description,
                              wchar_t* recordPath) {
  PatchIdentity patch;
  ResultCode result = ReadPatchIdentity(description, &patch);
  if (result != RC_SUCCEED) return result;

  if (!PatchFolderName(description, g_backupFolderName)) return RC_XML_ELEMENT_MISSING;

  if (!install.folderRead) return RC_REGISTRY_READ_FAILED;
  // An install folder too long for the record path, or for the files kept
  // beside the record, is an install value the tool cannot use.
  if (!BuildPath(recordPath, install.folder, kBackupRootName, kRecordFileName) ||
      std::wcslen(recordPath) + kRecordSideSuffixChars >= static_cast<size_t>(kPathChars)) {
    return RC_REGISTRY_READ_FAILED;
  }

  int32_t recordedNumber = 0;
  result = ReadRecordedPatch(recordPath, patch.versionName, &recordedNumber);
  if (result != RC_SUCCEED) return result;
  return recordedNumber >= patch.patchNumber ? RC_PATCH_IS_LATEST : RC_NOT_PATCHED;
}

XmlLoad LoadRecordWaiting(TiXmlDocument* record, const wchar_t* path, FileStep* open) {
  XmlLoad load = XmlLoad::kCannotOpen;
  RetryFileOperation([record, &load, path] {
    *record = TiXmlDocument();
    load = LoadXmlFile(record, path);
    return load != XmlLoad::kCannotOpen || !os::PathExists(path);
  }, open);
  return load;
}

ResultCode ReadRecordedPatch(const wchar_t* path, const char* versionName, int32_t* recorded) {
  TiXmlDocument record;
  FileStep open;
  const XmlLoad load = LoadRecordWaiting(&record, path, &open);
  if (load == XmlLoad::kBlank) return RC_RECORD_MISSING;
  if (load == XmlLoad::kCannotOpen) {
    if (!os::PathExists(path)) return RC_RECORD_MISSING;
    // A record that is there may list a later patch: one another program
    // keeps shut is not taken for a missing one.
    LogFailure(open.error, L"record: %ls cannot be opened (%d tries)", path, open.tries);
    return RC_XML_LOAD_FAILED;
  }
  // A record the library cannot be given holds no usable record, like any
  // damaged one; it is there, so it is not laid down anew.
  if (load == XmlLoad::kRefused) return RC_NOT_PATCHED;

  TiXmlElement* versionNode = FindElement(record.FirstChild("UpdateQL"), versionName);
  TiXmlElement* current = versionNode ? FindElement(versionNode, "CurVersion") : nullptr;
  if (current == nullptr) return RC_NOT_PATCHED;
  const char* currentText = ElementText(current);
  wchar_t wideCurrent[kNameChars] = {};
  if (currentText != nullptr) os::WidenText(os::kAnsiCodePage, currentText, wideCurrent, kNameChars);
  return os::ParseDecimal(wideCurrent, recorded) ? RC_SUCCEED : RC_DECIMAL_CONVERSION_FAILED;
}

bool PatchNumberValue(const char* digits, int32_t* number) {
  // Decimal digits are the same characters in every code page.
  wchar_t wide[kValueBytes] = {};
  for (size_t i = 0; i + 1 < kValueBytes && digits[i] != 0; ++i) wide[i] = static_cast<wchar_t>(digits[i]);
  return os::ParseDecimal(wide, number);
}

ResultCode CheckPatchIsCurrent(const InstallInfo& install, const PatchDescription& description,
                               wchar_t* recordPath) {
  const ResultCode state = EvaluatePatchState(install, description, recordPath);
  if (state != RC_PATCH_IS_LATEST) return state;
  PatchIdentity patch;
  ResultCode result = ReadPatchIdentity(description, &patch);
  if (result != RC_SUCCEED) return result;
  int32_t recordedNumber = 0;
  result = ReadRecordedPatch(recordPath, patch.versionName, &recordedNumber);
  if (result != RC_SUCCEED) return result;
  return recordedNumber > patch.patchNumber ? RC_LATER_PATCH_APPLIED : RC_SUCCEED;
}
