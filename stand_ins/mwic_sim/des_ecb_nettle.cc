// DES through Debian's nettle.
#include <nettle/des.h>

#include "des_ecb.h"

namespace mwic_sim {

void DesEcb(const uint8_t key[8], bool decipher, const uint8_t* in, std::size_t length,
            uint8_t* out) {
  des_ctx ctx;
  des_set_key(&ctx, key);  // 0 only for a weak key, which still works
  if (decipher) {
    des_decrypt(&ctx, length, out, in);
  } else {
    des_encrypt(&ctx, length, out, in);
  }
}

}  // namespace mwic_sim
