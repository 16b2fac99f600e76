// The system's cryptography for the hosts: random bytes, HMAC-SHA256,
// AES-128-CBC with PKCS7 padding, a comparison that takes the same time
// wherever two values differ, and the wiping of secrets. Nettle and
// getrandom on Linux, CNG (bcrypt) on Windows: never a cipher or a digest
// of our own. A leaf: it includes nothing of the rest of the product, so
// any layer may stand on it.
//
// A call that can fail answers false (or an empty optional) and says why
// in `error`: the system's random source or cryptography failed, which a
// host reports as it reports any other failure of the system.
#ifndef HOLVANTER_CRYPTO_CRYPTO_H_
#define HOLVANTER_CRYPTO_CRYPTO_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace crypto {

using Sha256Digest = std::array<uint8_t, 32>;
using Aes128Key = std::array<uint8_t, 16>;
using AesBlock = std::array<uint8_t, 16>;

// Fills `out` with `size` bytes of the operating system's random source.
bool RandomBytes(uint8_t* out, std::size_t size, std::string* error);

// HMAC-SHA256 of `data` under `key` (any length).
std::optional<Sha256Digest> HmacSha256(std::string_view key, std::string_view data,
                                       std::string* error);

// AES-128 in CBC mode over `plain` padded by PKCS7 (1 to 16 bytes, each
// holding their count; a whole block of them when `plain` fills its last
// block): the cipher text, a multiple of 16 bytes and longer than `plain`.
std::optional<std::vector<uint8_t>> EncryptAes128Cbc(const Aes128Key& key, const AesBlock& iv,
                                                     std::string_view plain, std::string* error);

// Equal bytes, in a time that depends on `size` alone, never on where the
// two differ.
bool SameBytes(const void* a, const void* b, std::size_t size);
// Equal texts: the lengths are compared first (a length is no secret), then
// the bytes as SameBytes does.
bool SameText(std::string_view a, std::string_view b);

// Overwrites `size` bytes at `data` with zeros in a way the compiler keeps:
// key material must not linger in memory the program gives back.
void Wipe(void* data, std::size_t size);
inline void Wipe(std::string& text) { Wipe(text.data(), text.size()); }

}  // namespace crypto

#endif  // HOLVANTER_CRYPTO_CRYPTO_H_
