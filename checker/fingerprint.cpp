#include "checker/fingerprint.h"

#include <cstdio>

#include "checker/sha256.h"
#include "platform/platform.h"

FileFingerprint FingerprintFile(const wchar_t* path) {
  FileFingerprint fingerprint;
  std::FILE* file = os::OpenFile(path, L"rb");
  if (file == nullptr) return fingerprint;
  Sha256 hash;
  char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    hash.Update(chunk, n);
    fingerprint.bytes += n;
  }
  // A read error part way would fingerprint a file the tool could not copy.
  fingerprint.readable = std::ferror(file) == 0;
  std::fclose(file);
  if (fingerprint.readable) fingerprint.sha256 = hash.HexDigest();
  return fingerprint;
}
