// A stand-in for the card reader's library mwic_32, offering the functions
// that handle the hotel's system code:
//   asc_hex(hex, out, len)            each pair of hexadecimal characters
//                                     (either case) becomes one byte
//   ic_decrypt(key, in, len, out)     DES in ECB mode with the 8-character key
//   ic_encrypt(key, in, len, out)     its inverse, for setting up a hotel
// Each answers 0 when done and -1 when its arguments do not fit (a bad or
// missing hexadecimal figure, a length that is not a positive multiple of
// 8, a key shorter than 8 characters).
//
// The source is meant to build unchanged as mwic_32.dll with MinGW: exports
// listed in mwic_32.def, the cipher behind des_ecb.h.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "des_ecb.h"
#include "store/mwic_32.h"

#ifdef _WIN32
#define SIM_EXPORT
#else
#define SIM_EXPORT __attribute__((visibility("default")))
#endif

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int16_t Cipher(const char* key, const uint8_t* in, int32_t len, char* out, bool decipher) {
  if (key == nullptr || in == nullptr || out == nullptr || len <= 0 || len % 8 != 0) return -1;
  if (std::strlen(key) < 8) return -1;
  uint8_t key_bytes[8];
  std::memcpy(key_bytes, key, 8);
  mwic_sim::DesEcb(key_bytes, decipher, in, static_cast<std::size_t>(len),
                   reinterpret_cast<uint8_t*>(out));
  return 0;
}

}  // namespace

extern "C" {

SIM_EXPORT int16_t HOLVANTER_STDCALL asc_hex(const char* hex, uint8_t* out, int32_t len) {
  if (hex == nullptr || out == nullptr || len < 0) return -1;
  for (int32_t i = 0; i < len; ++i) {
    // A short text ends at its zero: the remaining bytes are left as they are.
    if (hex[2 * i] == '\0' || hex[2 * i + 1] == '\0') return -1;
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return -1;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return 0;
}

SIM_EXPORT int16_t HOLVANTER_STDCALL ic_decrypt(const char* key, uint8_t* in, int32_t len,
                                                char* out) {
  return Cipher(key, in, len, out, true);
}

SIM_EXPORT int16_t HOLVANTER_STDCALL ic_encrypt(const char* key, uint8_t* in, int32_t len,
                                                char* out) {
  return Cipher(key, in, len, out, false);
}

}  // extern "C"

// The exports have the types that the component calls them through.
static_assert(std::is_same_v<decltype(&asc_hex), holvanter::AscHexFunction>);
static_assert(std::is_same_v<decltype(&ic_decrypt), holvanter::IcDecryptFunction>);
static_assert(std::is_same_v<decltype(&ic_encrypt), holvanter::IcEncryptFunction>);
