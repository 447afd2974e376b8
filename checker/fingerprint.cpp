#include "checker/fingerprint.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  return hex;
}

}  // namespace

FileFingerprint FingerprintFile(const wchar_t* path) {
  FileFingerprint fingerprint;
  std::FILE* file = os::OpenFile(path, L"rb");
  if (file == nullptr) return fingerprint;
  os::Handle hash = os::StartSha256();
  bool hashed = hash != nullptr;
  if (!hashed) fingerprint.hashError = os::LastError();
  char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    if (hashed && !os::HashBytes(hash, chunk, static_cast<uint32_t>(n))) {
      hashed = false;
      fingerprint.hashError = os::LastError();
    }
    fingerprint.bytes += n;
  }
  // A read error part way would fingerprint a file the tool could not copy.
  fingerprint.readable = std::ferror(file) == 0;
  std::fclose(file);
  uint8_t digest[os::kSha256Bytes] = {};
  if (hash != nullptr) {
    const bool want = hashed && fingerprint.readable;
    if (os::FinishSha256(hash, want ? digest : nullptr) && want) {
      fingerprint.sha256 = Hex(digest, sizeof digest);
    } else if (want) {
      fingerprint.hashError = os::LastError();
    }
  }
  if (fingerprint.readable) os::ReadFileAttributes(path, &fingerprint.attributes);
  return fingerprint;
}
