// PKCS7 padding, shared by the two systems' AES-CBC (not part of crypto.h).
#ifndef HOLVANTER_CRYPTO_PADDING_H_
#define HOLVANTER_CRYPTO_PADDING_H_

#include <cstdint>
#include <string_view>
#include <vector>

namespace crypto {

// `plain` with 1 to 16 bytes each holding their count, to whole blocks.
std::vector<uint8_t> PaddedForCbc(std::string_view plain);

}  // namespace crypto

#endif  // HOLVANTER_CRYPTO_PADDING_H_
