// SHA-256 (FIPS 180-4), for the fingerprints of the files a patch ships.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t bytes);
  // The digest as 64 lower-case hexadecimal digits. Ends the hash: call it once.
  std::string HexDigest();

 private:
  void Compress(const uint8_t* block);

  uint32_t state_[8];
  uint8_t block_[64];
  size_t blockBytes_ = 0;
  uint64_t totalBytes_ = 0;
};
