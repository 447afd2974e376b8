// Size and SHA-256 of a file the patch ships.
#pragma once

#include <cstdint>
#include <string>

struct FileFingerprint {
  bool readable = false;
  uint64_t bytes = 0;
  std::string sha256;       // 64 lower-case hexadecimal digits; empty when the hash could not be made
  uint32_t hashError = 0;   // why the hash could not be made (a Windows error number)
  uint32_t attributes = 0;  // Windows file attributes (os::kAttributeReadOnly ...)
};

// Reads the file at `path` (relative names in the current folder) to its
// end, hashing it with the system's SHA-256.
FileFingerprint FingerprintFile(const wchar_t* path);
