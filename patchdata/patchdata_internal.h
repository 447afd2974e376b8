// What the files of patchdata/ share among themselves and with the tests.
#pragma once

#include <cstddef>

#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"

// Reads Version and PatchVersion from the description file into buffers of
// kValueBytes and checks that they can name the record's elements and the
// backup folder. 0, 2 or 3.
ResultCode ReadPatchIdentity(char* version, char* patchVersion);

// The longest suffix of a file beside the record (".damaged.100"): the
// record path leaves room for it within the path bound.
constexpr size_t kRecordSideSuffixChars = 12;
