// Bytes as text and back: base64 (standard alphabet, padded) and
// hexadecimal figures. Every host state file and wire field that carries
// bytes as text goes through these, so that one text means one value
// everywhere. Reading is strict and answers a failure, never a guess; a
// failure's message describes the text without quoting it, since it may be
// a key.
#ifndef HOLVANTER_UTIL_ENCODING_H_
#define HOLVANTER_UTIL_ENCODING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/status.h"

namespace holvanter {

// Standard base64 with '=' padding (RFC 4648, section 4).
std::string Base64Encode(std::string_view bytes);
inline std::string Base64Encode(const uint8_t* data, std::size_t size) {
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(data), size));
}
// The bytes of `text`: its alphabet only, a multiple of four characters,
// padding only at the end and no bits set after the last byte, so that a
// value has one text and a mistyped text is not read as another value.
// InvalidArgument otherwise.
Result<std::string> Base64Decode(std::string_view text);

// Two lower-case hexadecimal figures a byte.
std::string HexEncode(std::string_view bytes);
inline std::string HexEncode(const uint8_t* data, std::size_t size) {
  return HexEncode(std::string_view(reinterpret_cast<const char*>(data), size));
}
// The bytes of an even number of hexadecimal figures, either case;
// InvalidArgument otherwise.
Result<std::string> HexDecode(std::string_view text);

}  // namespace holvanter

#endif  // HOLVANTER_UTIL_ENCODING_H_
