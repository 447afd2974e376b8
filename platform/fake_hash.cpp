// Stand-in file hashes: SHA-256 through OpenSSL's libcrypto. Each call can
// be made to fail (fake::FailCall), as the CryptoAPI calls can.
#include <openssl/evp.h>

#include "platform/fake_machine.h"

using namespace fake_internal;

namespace {

struct FakeHash : KernelObject {
  EVP_MD_CTX* context = nullptr;
  ~FakeHash() override { EVP_MD_CTX_free(context); }
};

}  // namespace

namespace os {

Handle StartSha256() {
  if (Call("StartSha256")) return nullptr;
  auto* hash = new FakeHash;
  hash->context = EVP_MD_CTX_new();
  if (hash->context == nullptr || EVP_DigestInit_ex(hash->context, EVP_sha256(), nullptr) != 1) {
    delete hash;
    t_lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().kernelHandles.insert(hash);
  return hash;
}

bool HashBytes(Handle hash, const void* bytes, uint32_t count) {
  if (Call("HashBytes")) return false;
  return EVP_DigestUpdate(static_cast<FakeHash*>(hash)->context, bytes, count) == 1;
}

bool FinishSha256(Handle hash, uint8_t* digest) {
  const bool fail = Call("FinishSha256");
  auto* state = static_cast<FakeHash*>(hash);
  bool done = digest == nullptr;
  if (digest != nullptr && !fail) {
    unsigned int bytes = 0;
    done = EVP_DigestFinal_ex(state->context, digest, &bytes) == 1 && bytes == kSha256Bytes;
  }
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    M().kernelHandles.erase(state);
  }
  delete state;
  return done && !fail;
}

}  // namespace os
