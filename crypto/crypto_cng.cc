// The cryptography of Windows: the system's CNG (bcrypt.dll).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <climits>
#include <cstdio>

#include "crypto/crypto.h"
#include "crypto/padding.h"

namespace crypto {

namespace {

// False, with the call and its status in `error`, when CNG failed.
bool Succeeded(NTSTATUS status, const char* call, std::string* error) {
  if (BCRYPT_SUCCESS(status)) return true;
  if (error != nullptr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    *error = std::string("the system's cryptography failed (") + call + ": " + code + ")";
  }
  return false;
}

struct Handles {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Handles() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (key != nullptr) BCryptDestroyKey(key);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

}  // namespace

bool RandomBytes(uint8_t* out, std::size_t size, std::string* error) {
  while (size > 0) {
    const std::size_t n = size > ULONG_MAX ? ULONG_MAX : size;
    if (!Succeeded(BCryptGenRandom(nullptr, out, static_cast<ULONG>(n),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG),
                   "BCryptGenRandom", error))
      return false;
    out += n;
    size -= n;
  }
  return true;
}

std::optional<Sha256Digest> HmacSha256(std::string_view key, std::string_view data,
                                       std::string* error) {
  Handles h;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                             BCRYPT_ALG_HANDLE_HMAC_FLAG),
                 "BCryptOpenAlgorithmProvider", error))
    return std::nullopt;
  // CNG takes the key as a mutable buffer that it only reads; an empty key
  // still needs a pointer.
  uint8_t none = 0;
  auto* secret = key.empty() ? &none : reinterpret_cast<PUCHAR>(const_cast<char*>(key.data()));
  if (!Succeeded(BCryptCreateHash(h.algorithm, &h.hash, nullptr, 0, secret,
                                  static_cast<ULONG>(key.size()), 0),
                 "BCryptCreateHash", error))
    return std::nullopt;
  while (!data.empty()) {
    const std::size_t n = data.size() > ULONG_MAX ? ULONG_MAX : data.size();
    if (!Succeeded(BCryptHashData(h.hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                  static_cast<ULONG>(n), 0),
                   "BCryptHashData", error))
      return std::nullopt;
    data.remove_prefix(n);
  }
  Sha256Digest digest;
  if (!Succeeded(BCryptFinishHash(h.hash, digest.data(), static_cast<ULONG>(digest.size()), 0),
                 "BCryptFinishHash", error))
    return std::nullopt;
  return digest;
}

std::optional<std::vector<uint8_t>> EncryptAes128Cbc(const Aes128Key& key, const AesBlock& iv,
                                                     std::string_view plain, std::string* error) {
  Handles h;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0),
                 "BCryptOpenAlgorithmProvider", error) ||
      !Succeeded(BCryptSetProperty(
                     h.algorithm, BCRYPT_CHAINING_MODE,
                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                     sizeof(BCRYPT_CHAIN_MODE_CBC), 0),
                 "BCryptSetProperty", error))
    return std::nullopt;
  Aes128Key secret = key;
  const NTSTATUS made = BCryptGenerateSymmetricKey(h.algorithm, &h.key, nullptr, 0, secret.data(),
                                                   static_cast<ULONG>(secret.size()), 0);
  Wipe(secret.data(), secret.size());
  if (!Succeeded(made, "BCryptGenerateSymmetricKey", error)) return std::nullopt;
  // Padded here, not by CNG, as on Linux. BCryptEncrypt leaves the last
  // cipher block in the IV buffer it is given.
  std::vector<uint8_t> blocks = PaddedForCbc(plain);
  AesBlock chain = iv;
  std::vector<uint8_t> out(blocks.size());
  ULONG written = 0;
  const NTSTATUS encrypted =
      BCryptEncrypt(h.key, blocks.data(), static_cast<ULONG>(blocks.size()), nullptr, chain.data(),
                    static_cast<ULONG>(chain.size()), out.data(), static_cast<ULONG>(out.size()),
                    &written, 0);
  Wipe(blocks.data(), blocks.size());
  if (!Succeeded(encrypted, "BCryptEncrypt", error)) return std::nullopt;
  if (written != out.size()) {
    if (error != nullptr) *error = "the system's cryptography gave a short cipher";
    return std::nullopt;
  }
  return out;
}

}  // namespace crypto
