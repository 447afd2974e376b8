// Patch data and checks, as the rest of the tool uses them: the element
// search, the description file readers, the applicability checks and the
// patch record.
#pragma once

#include <cstddef>

#include "shared/result_codes.h"
#include "shared/shared.h"

class TiXmlNode;
class TiXmlElement;

// First element named `name` in the walk order: the node itself, then into
// its first child when that is an element, then along its following element
// and text siblings. Null when there is none.
TiXmlElement* FindElement(TiXmlNode* start, const char* name);

// Read an element's text from the description file into a zero-filled
// buffer of `bufferBytes`. 0, 2 (file cannot be opened) or 3 (element
// missing, or a value too long for the buffer).
ResultCode ReadDataValue(const char* fileName, const char* elementName, char* buffer,
                         size_t bufferBytes);
ResultCode ReadNestedDataValue(const char* fileName, const char* outerName,
                               const char* innerName, char* buffer, size_t bufferBytes);

// Whether "QL" + `version` is an element name that the record, saved and
// read back by the XML library, keeps as it is. A Version that is not
// ("4.20 SP1", "4,20") could never be recorded.
bool IsRecordableVersion(const char* version);
// Whether `text` is a patch number: one or more decimal digits, nothing else,
// whose value fits a signed 32-bit number.
bool IsPatchNumber(const char* text);

// Reads a value of the product's install key. 0 or 1.
ResultCode ReadInstallValue(const wchar_t* valueName, wchar_t* buffer, size_t bufferChars);

// The product's install values, read once per run and handed down; a value
// that is missing or does not fit is empty and not `...Read`.
struct InstallInfo {
  wchar_t version[kNameChars];
  wchar_t build[kNameChars];
  wchar_t folder[kPathChars];  // "Path"
  bool versionRead;
  bool buildRead;
  bool folderRead;
};
InstallInfo ReadInstallInfo();

// The description file's patch identity, each value read once per run
// (through ReadDataValue, from a fresh load of the file) and handed down.
// A value that could not be read is empty, with ReadDataValue's code.
struct PatchDescription {
  char version[kValueBytes];
  char build[kValueBytes];
  char patchVersion[kValueBytes];
  ResultCode versionRead;
  ResultCode buildRead;
  ResultCode patchVersionRead;
};
PatchDescription ReadPatchDescription();

// The per-patch backup folder's name, "Patch" and the PatchVersion, into
// `name` (kBackupFolderNameChars). False, and empty, when the PatchVersion
// is not a patch number.
bool PatchFolderName(const PatchDescription& description, wchar_t* name);

// What a run that changes the machine reads before anything else, once,
// and hands down: the install values and the patch identity.
struct RunStart {
  InstallInfo install;
  PatchDescription description;
};

// Installed Version and BuildID equal the description file's. 0, 1-5.
ResultCode CheckInstalledProduct(const InstallInfo& install, const PatchDescription& description);
// Patch state from the record: 16, 17, 19 or a failure code. Fills the
// record path (kPathChars wide characters) and g_backupFolderName.
ResultCode EvaluatePatchState(const InstallInfo& install, const PatchDescription& description,
                              wchar_t* recordPath);

// Whether this patch is the one the record holds as current, so that it
// can be undone: 0; 16 or 17 when it is not applied, 23 when a later patch
// of this version is, or a failure code. Fills what EvaluatePatchState fills.
ResultCode CheckPatchIsCurrent(const InstallInfo& install, const PatchDescription& description,
                               wchar_t* recordPath);

// No record file, or one with nothing in it (what the check answers 17 for
// on a readable record).
bool RecordAbsentOrBlank(const wchar_t* recordPath);

// Writes a new, empty record at `recordPath` unless a file is already there.
void CreatePatchRecord(const wchar_t* recordPath);
// Adds this patch to the record and moves CurVersion on. 0, 2 or 3. A
// record without a usable root is kept beside it and recorded afresh.
// `held`, when given, tells whether a 2 came from another program holding
// the record open past the retries.
ResultCode RecordPatch(const PatchDescription& description, const wchar_t* recordPath, bool* held = nullptr);
// Takes this patch off the record: this version's elements for it go, and
// CurVersion falls back to the last patch left, or the version element goes
// when none is left. 0, 2 (the record cannot be read or written) or 3.
// With `previousCurrent` (the CurVersion this patch replaced, kept by the
// apply), a version element left without patch elements keeps that
// CurVersion instead of going.
ResultCode UnrecordPatch(const PatchDescription& description, const wchar_t* recordPath,
                         const char* previousCurrent = nullptr);

// The apply keeps the CurVersion the record holds for this version, before
// the patch is recorded, in the per-patch backup folder (kPreviousCurrentName),
// so that an undo can put it back when no patch element names it. False
// when it cannot be kept: the patch must not be recorded then, or its undo
// would take the earlier patch off the record with it.
bool KeepPreviousCurrent(const PatchDescription& description, const wchar_t* recordPath);
// The CurVersion kept by KeepPreviousCurrent; false when none is kept.
bool ReadPreviousCurrent(const wchar_t* recordPath, char* text, size_t textBytes);
// Removes what KeepPreviousCurrent kept.
void ForgetPreviousCurrent(const wchar_t* recordPath);
