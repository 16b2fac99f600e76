// The message authentication of the desks' link: the system's HMAC and
// random source (crypto/), failures as the desks' own errors.
#include "hosts/desks/mac.h"

#include <cstring>
#include <optional>

namespace desks {

Digest HmacSha256(std::string_view key, std::string_view data) {
  std::string error;
  const std::optional<Digest> digest = crypto::HmacSha256(key, data, &error);
  if (!digest) throw DeskError(error);
  return *digest;
}

holvanter::Result<std::string> RandomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::string error;
  if (!crypto::RandomBytes(reinterpret_cast<uint8_t*>(bytes.data()), size, &error))
    return holvanter::Status::InvalidArgument(error);
  return bytes;
}

// The text is never quoted in the message: it may be a secret.
std::optional<Digest> DigestFromHex(std::string_view text, std::string* why) {
  Digest digest;
  const auto not_a_digest = [&](std::string reason) -> std::optional<Digest> {
    if (why != nullptr) *why = "not a digest: " + std::move(reason);
    return std::nullopt;
  };
  if (text.size() != digest.size() * 2)
    return not_a_digest(std::to_string(text.size()) + " characters, not 64 hexadecimal figures");
  holvanter::Result<std::string> bytes = holvanter::HexDecode(text);
  if (!bytes.ok()) return not_a_digest("not all hexadecimal figures");
  std::memcpy(digest.data(), bytes->data(), digest.size());
  crypto::Wipe(*bytes);
  return digest;
}

}  // namespace desks
