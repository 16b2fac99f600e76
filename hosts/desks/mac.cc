// The message authentication of the desks' link. HMAC-SHA256 is the
// system's (nettle on Linux, CNG on Windows) and the random source is the
// key link's; the comparison and the hexadecimal form are one code for both.
#include "hosts/desks/mac.h"

#include "hosts/fias/authkey.h"

#include <climits>
#include <cstdio>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>
#else
#include <nettle/hmac.h>
#endif

namespace desks {
namespace {

#ifdef _WIN32

void CheckCng(NTSTATUS status, const char* call) {
  if (!BCRYPT_SUCCESS(status)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    throw DeskError(std::string("the system's cryptography failed (") + call + ": " + code + ")");
  }
}

#endif

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

#ifdef _WIN32

Digest HmacSha256(std::string_view key, std::string_view data) {
  struct Handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~Handles() {
      if (hash != nullptr) BCryptDestroyHash(hash);
      if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
  } h;
  CheckCng(BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                       BCRYPT_ALG_HANDLE_HMAC_FLAG),
           "BCryptOpenAlgorithmProvider");
  // CNG takes the key as a mutable buffer that it only reads; an empty key
  // still needs a pointer.
  uint8_t none = 0;
  auto* secret = key.empty() ? &none : reinterpret_cast<PUCHAR>(const_cast<char*>(key.data()));
  CheckCng(
      BCryptCreateHash(h.algorithm, &h.hash, nullptr, 0, secret, static_cast<ULONG>(key.size()), 0),
      "BCryptCreateHash");
  while (!data.empty()) {
    const std::size_t n = data.size() > ULONG_MAX ? ULONG_MAX : data.size();
    CheckCng(BCryptHashData(h.hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                            static_cast<ULONG>(n), 0),
             "BCryptHashData");
    data.remove_prefix(n);
  }
  Digest digest;
  CheckCng(BCryptFinishHash(h.hash, digest.data(), static_cast<ULONG>(digest.size()), 0),
           "BCryptFinishHash");
  return digest;
}

#else

Digest HmacSha256(std::string_view key, std::string_view data) {
  hmac_sha256_ctx context;
  hmac_sha256_set_key(&context, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  hmac_sha256_update(&context, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  Digest digest;
  hmac_sha256_digest(&context, digest.size(), digest.data());
  // The context holds the key's inner and outer states.
  volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(&context);
  for (std::size_t i = 0; i < sizeof context; ++i) p[i] = 0;
  return digest;
}

#endif

bool SameDigest(const Digest& a, const Digest& b) {
  // Every byte is looked at, whatever came before: no early return for
  // timing to betray.
  volatile uint8_t differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i) differ = differ | (a[i] ^ b[i]);
  return differ == 0;
}

std::string RandomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  try {
    fias::FillRandomBytes(reinterpret_cast<uint8_t*>(bytes.data()), size);
  } catch (const fias::AuthKeyError& e) {
    throw DeskError(e.what());
  }
  return bytes;
}

std::string Hex(const Digest& digest) {
  static constexpr char kFigures[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (uint8_t byte : digest) {
    text += kFigures[byte >> 4];
    text += kFigures[byte & 15];
  }
  return text;
}

// The text is never quoted in the message: it may be a secret.
Digest DigestFromHex(std::string_view text) {
  Digest digest;
  if (text.size() != digest.size() * 2)
    throw DeskError("not a digest: " + std::to_string(text.size()) +
                    " characters, not 64 hexadecimal figures");
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) throw DeskError("not a digest: not all hexadecimal figures");
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return digest;
}

}  // namespace desks
