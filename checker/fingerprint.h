// Size and SHA-256 of a file the patch ships.
#pragma once

#include <cstdint>
#include <string>

struct FileFingerprint {
  bool readable = false;
  uint64_t bytes = 0;
  std::string sha256;  // 64 hexadecimal digits when readable
};

// Reads the file at `path` (relative names in the current folder) to its end.
FileFingerprint FingerprintFile(const wchar_t* path);
