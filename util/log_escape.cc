#include "util/log_escape.h"

#include <cstdint>

namespace holvanter {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void Byte(std::string& out, uint8_t byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

void CodePoint(std::string& out, uint32_t code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0x0F];
}

// Characters that are text by their encoding but not to a reader: the C1
// controls, the bidirectional marks, embeddings, overrides and isolates,
// and the line and paragraph separators that some viewers break lines at.
bool Hidden(uint32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
         (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// The length of the valid UTF-8 sequence at the start of `text` and its code
// point; 0 when it is none (overlong forms, surrogates and values past
// U+10FFFF are none).
std::size_t Sequence(std::string_view text, uint32_t& code) {
  const auto at = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = at(0);
  std::size_t length = 0;
  uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, least = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, least = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, least = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((at(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (at(i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      out += text[i++];
    } else if (byte == '\t' || byte == '\n' || byte == '\r') {
      out += byte == '\t' ? "\\t" : byte == '\n' ? "\\n" : "\\r";
      ++i;
    } else if (byte < 0x80) {
      Byte(out, byte);  // the other C0 controls and DEL
      ++i;
    } else {
      uint32_t code = 0;
      const std::size_t length = Sequence(text.substr(i), code);
      if (length == 0) {
        Byte(out, byte);
        ++i;
      } else if (Hidden(code)) {
        CodePoint(out, code);
        i += length;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
    }
  }
  return out;
}

}  // namespace holvanter
