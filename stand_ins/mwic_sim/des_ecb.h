// DES in ECB mode, the cipher behind the stand-in's ic_encrypt and
// ic_decrypt. Kept apart so that each system can supply its own.
#ifndef HOLVANTER_STAND_INS_MWIC_SIM_DES_ECB_H_
#define HOLVANTER_STAND_INS_MWIC_SIM_DES_ECB_H_

#include <cstddef>
#include <cstdint>

namespace mwic_sim {

// Enciphers (or with `decipher` deciphers) `length` bytes, a multiple of 8,
// from `in` to `out` with the 8-byte `key`; key parity is ignored.
void DesEcb(const uint8_t key[8], bool decipher, const uint8_t* in, std::size_t length,
            uint8_t* out);

}  // namespace mwic_sim

#endif  // HOLVANTER_STAND_INS_MWIC_SIM_DES_ECB_H_
