// The patch description file in the current folder, read as qlpatch.exe
// reads it: through its own readers, with its own limits and rules. Every
// problem found adds one line that names the element and says what the
// tool would do with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checker/fingerprint.h"

// A module the tool would replace, at the index of its module element.
struct ListedModule {
  int32_t index = 0;
  std::wstring name;         // as the tool widens it
  std::wstring resolved;     // as the file system reads it (ResolveModuleName); empty when refused
  std::string borrowedFrom;  // the element whose UpdateModule it is, when not its own
  FileFingerprint newCopy;   // the new copy in the current folder
};

struct DescriptionFacts {
  bool unreadable = false;  // the file is there but cannot be opened
  // The values as the tool reads them; empty when it cannot.
  std::wstring version, buildId, patchVersion, moduleCount;
  std::vector<ListedModule> modules;
};

// Checks the description file in the current folder, adding to `findings`.
DescriptionFacts CheckDescription(std::vector<std::wstring>* findings);
