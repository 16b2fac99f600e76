// The two functions of the card reader's library mwic_32 that decipher the
// hotel's system code, and the one that enciphers it when a hotel is set up.
// The stand-in library in stand_ins/mwic_sim implements these same types.
#ifndef HOLVANTER_STORE_MWIC_32_H_
#define HOLVANTER_STORE_MWIC_32_H_

#include <cstdint>

#include "card/vendor_library.h"

namespace holvanter {

inline constexpr char kMwicLibrary[] = "mwic_32";

// asc_hex(hex, out, len): each pair of hexadecimal characters of `hex`
// becomes one of the `len` bytes of `out`, in order.
using AscHexFunction = int16_t(HOLVANTER_STDCALL*)(const char* hex, uint8_t* out, int32_t len);
// ic_decrypt(key, in, len, out): deciphers the `len` bytes of `in` with the
// 8-character `key` into `out`. ic_encrypt is its inverse.
using IcDecryptFunction = int16_t(HOLVANTER_STDCALL*)(const char* key, uint8_t* in, int32_t len,
                                                      char* out);
using IcEncryptFunction = IcDecryptFunction;

}  // namespace holvanter

#endif  // HOLVANTER_STORE_MWIC_32_H_
