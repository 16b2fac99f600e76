// The message authentication of the desks' link: HMAC-SHA256 of the
// system's cryptography (crypto/crypto.h), never a digest of our own, and a
// digest's hexadecimal form in the registry (util/encoding.h).
#ifndef HOLVANTER_HOSTS_DESKS_MAC_H_
#define HOLVANTER_HOSTS_DESKS_MAC_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/crypto.h"
#include "util/encoding.h"
#include "util/status.h"

namespace desks {

using Digest = crypto::Sha256Digest;
// The secret a paired desk and the link desk share.
using Secret = Digest;

// The system's HMAC failed (CNG on Windows; nettle's cannot). Thrown by
// HmacSha256 alone: the desks' session and the agent's idempotency keys
// use it where a failure has no value to travel in yet.
class DeskError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// HMAC-SHA256 of `data` under `key`. Throws DeskError when the system's
// cryptography fails.
Digest HmacSha256(std::string_view key, std::string_view data);
inline Digest HmacSha256(const Secret& key, std::string_view data) {
  return HmacSha256(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()), data);
}

// Equal digests, in a time that does not tell where they differ.
inline bool SameDigest(const Digest& a, const Digest& b) {
  return crypto::SameBytes(a.data(), b.data(), a.size());
}

// `size` bytes of the system's random source, or why it failed.
holvanter::Result<std::string> RandomBytes(std::size_t size);

// Lower-case hexadecimal, and back: nullopt when the text is not 64
// hexadecimal figures, with why in `why` (never quoting the text: it may be
// a secret).
inline std::string Hex(const Digest& digest) {
  return holvanter::HexEncode(digest.data(), digest.size());
}
std::optional<Digest> DigestFromHex(std::string_view text, std::string* why = nullptr);

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_MAC_H_
