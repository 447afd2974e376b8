// What the files of patchdata/ share among themselves and with the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"
#include "shared/file_steps.h"
#include "shared/shared.h"

// Which patch the description file is, as the record names it.
struct PatchIdentity {
  char version[kValueBytes];          // Version
  char patchVersion[kValueBytes];     // PatchVersion: decimal digits
  char versionName[kValueBytes + 8];  // "QL" + Version
  int32_t patchNumber;
};
// Version and PatchVersion of the description, checked that they can name
// the record's elements and the backup folder. 0, 2 or 3.
ResultCode ReadPatchIdentity(const PatchDescription& description, PatchIdentity* identity);

// The longest suffix of a file beside the record (".damaged.100"): the
// record path leaves room for it within the path bound.
constexpr size_t kRecordSideSuffixChars = 12;

// Loads the record at `path`, waiting out another program that has it open
// for a moment. kCannotOpen when it is not there, or stayed shut past the
// retries (`open` says why).
XmlLoad LoadRecordWaiting(TiXmlDocument* record, const wchar_t* path, FileStep* open);
// The CurVersion the patch-state check reads for the version element
// `versionName` in the record at `path`, as a number. 0, 2 (there, but it
// stayed shut), 16 (none), 17 (no record, or a blank one) or 18 (not a
// number).
ResultCode ReadRecordedPatch(const wchar_t* path, const char* versionName, int32_t* recorded);
// The value of a patch number's decimal digits (see IsPatchNumber); false
// when it does not convert.
bool PatchNumberValue(const char* digits, int32_t* number);
