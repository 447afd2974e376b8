// The applicability checks: installed product and patch record.
#include <tinyxml.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "patchdata/patchdata.h"
#include "shared/shared.h"

ResultCode ReadInstallValue(const wchar_t* valueName, wchar_t* buffer, size_t bufferChars) {
  os::Handle key = os::OpenMachineKeyForRead(kInstallKey);
  if (key == nullptr) return RC_REGISTRY_READ_FAILED;
  bool read = os::QueryKeyValue(key, valueName, buffer, static_cast<uint32_t>(bufferChars * sizeof(wchar_t)));
  os::CloseKey(key);
  // A string stored without its terminator may fill the buffer exactly.
  if (!read || buffer[bufferChars - 1] != 0) return RC_REGISTRY_READ_FAILED;
  return RC_SUCCEED;
}

namespace {

// Compares one install value with the description file's element of the
// same name; `mismatch` when they differ.
ResultCode CompareWithInstalled(const wchar_t* valueName, const char* elementName,
                                ResultCode mismatch) {
  wchar_t installed[kNameChars] = {};
  if (ReadInstallValue(valueName, installed, kNameChars) != RC_SUCCEED) return RC_REGISTRY_READ_FAILED;
  char data[kVersionValueBytes] = {};
  ResultCode result = ReadDataValue(kDataFileName, elementName, data, sizeof data);
  if (result != RC_SUCCEED) return result;
  wchar_t wide[kNameChars] = {};
  os::WidenText(os::kAnsiCodePage, data, wide, kNameChars);
  return std::wcscmp(wide, installed) == 0 ? RC_SUCCEED : mismatch;
}

}  // namespace

ResultCode CheckInstalledProduct() {
  ResultCode result = CompareWithInstalled(L"Version", "Version", RC_VERSION_MISMATCH);
  if (result != RC_SUCCEED) return result;
  return CompareWithInstalled(L"BuildID", "BuildID", RC_BUILD_ID_MISMATCH);
}

XmlLoad LoadXmlFile(TiXmlDocument* document, const wchar_t* path) {
  std::FILE* file = os::OpenFile(path, L"rb");
  if (file == nullptr) return XmlLoad::kCannotOpen;
  bool blank = true;
  for (int c; blank && (c = std::fgetc(file)) != EOF;) {
    blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
  }
  if (!blank) {
    std::rewind(file);
    document->LoadFile(file, TIXML_DEFAULT_ENCODING);
  }
  std::fclose(file);
  return blank ? XmlLoad::kBlank : XmlLoad::kLoaded;
}

ResultCode EvaluatePatchState(wchar_t* recordPath) {
  char version[kValueBytes] = {};
  ResultCode result = ReadDataValue(kDataFileName, "Version", version, sizeof version);
  if (result != RC_SUCCEED) return result;
  char versionElement[kValueBytes + 8] = {};
  std::snprintf(versionElement, sizeof versionElement, "QL%s", version);

  char patchVersion[kValueBytes] = {};
  result = ReadDataValue(kDataFileName, "PatchVersion", patchVersion, sizeof patchVersion);
  if (result != RC_SUCCEED) return result;
  wchar_t widePatch[kNameChars] = {};
  // Without its text the backup folder would be named "Patch" alone.
  if (os::WidenText(os::kAnsiCodePage, patchVersion, widePatch, kNameChars) == 0) {
    return RC_XML_ELEMENT_MISSING;
  }
  os::FormatWide(g_backupFolderName, kBackupFolderNameChars, L"Patch%ls", widePatch);

  wchar_t installFolder[kPathChars] = {};
  if (ReadInstallValue(L"Path", installFolder, kPathChars) != RC_SUCCEED) return RC_REGISTRY_READ_FAILED;
  // An install folder too long for the record path is an install value the
  // tool cannot use.
  if (!BuildPath(recordPath, installFolder, kBackupRootName, kRecordFileName)) {
    return RC_REGISTRY_READ_FAILED;
  }

  TiXmlDocument record;
  if (LoadXmlFile(&record, recordPath) != XmlLoad::kLoaded) return RC_RECORD_MISSING;

  TiXmlElement* versionNode = FindElement(record.FirstChild("UpdateQL"), versionElement);
  TiXmlElement* current = versionNode ? FindElement(versionNode, "CurVersion") : nullptr;
  if (current == nullptr) return RC_NOT_PATCHED;

  int32_t patchNumber = 0;
  if (!os::ParseDecimal(widePatch, &patchNumber)) return RC_DECIMAL_CONVERSION_FAILED;
  const char* currentText = ElementText(current);
  wchar_t wideCurrent[kNameChars] = {};
  if (currentText != nullptr) os::WidenText(os::kAnsiCodePage, currentText, wideCurrent, kNameChars);
  int32_t recordedNumber = 0;
  if (!os::ParseDecimal(wideCurrent, &recordedNumber)) return RC_DECIMAL_CONVERSION_FAILED;
  return recordedNumber >= patchNumber ? RC_PATCH_IS_LATEST : RC_NOT_PATCHED;
}
