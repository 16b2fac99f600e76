#include "util/encoding.h"

namespace holvanter {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexFigures[] = "0123456789abcdef";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t group = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (n > 1) group |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    if (n > 2) group |= static_cast<uint8_t>(bytes[i + 2]);
    text += kBase64Alphabet[(group >> 18) & 63];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += n > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += n > 2 ? kBase64Alphabet[group & 63] : '=';
  }
  return text;
}

Result<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0)
    return Status::InvalidArgument("not base64: " + std::to_string(text.size()) +
                                   " characters, not a multiple of 4");
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0)
      return Status::InvalidArgument("not base64: character " + std::to_string(i + 1) +
                                     " is outside its alphabet");
    bits = (bits << 6) | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  if ((bits & ((1u << held) - 1)) != 0)
    return Status::InvalidArgument("not base64: bits left over after the last byte");
  return bytes;
}

std::string HexEncode(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    text += kHexFigures[byte >> 4];
    text += kHexFigures[byte & 15];
  }
  return text;
}

Result<std::string> HexDecode(std::string_view text) {
  if (text.size() % 2 != 0)
    return Status::InvalidArgument("not hexadecimal: " + std::to_string(text.size()) +
                                   " figures, not an even number");
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
    if (high < 0 || low < 0)
      return Status::InvalidArgument("not hexadecimal: character " +
                                     std::to_string(i + (high < 0 ? 1 : 2)) +
                                     " is not a figure");
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

}  // namespace holvanter
