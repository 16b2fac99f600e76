// The cryptography of Linux and the other POSIX systems: getrandom and
// nettle.
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/hmac.h>
#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "crypto/crypto.h"
#include "crypto/padding.h"

namespace crypto {

namespace {

// nettle's CBC takes a block function of this form; a cast of
// aes128_encrypt would call it through a pointer of another type.
void EncryptBlocks(const void* context, std::size_t length, uint8_t* dst, const uint8_t* src) {
  aes128_encrypt(static_cast<const aes128_ctx*>(context), length, dst, src);
}

}  // namespace

bool RandomBytes(uint8_t* out, std::size_t size, std::string* error) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error != nullptr)
        *error = "the system's random source failed: " + std::generic_category().message(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<Sha256Digest> HmacSha256(std::string_view key, std::string_view data,
                                       std::string* /*error*/) {
  hmac_sha256_ctx context;
  hmac_sha256_set_key(&context, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  hmac_sha256_update(&context, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  Sha256Digest digest;
  hmac_sha256_digest(&context, digest.size(), digest.data());
  Wipe(&context, sizeof context);  // it holds the key's inner and outer states
  return digest;
}

std::optional<std::vector<uint8_t>> EncryptAes128Cbc(const Aes128Key& key, const AesBlock& iv,
                                                     std::string_view plain,
                                                     std::string* /*error*/) {
  std::vector<uint8_t> blocks = PaddedForCbc(plain);
  aes128_ctx context;
  aes128_set_encrypt_key(&context, key.data());
  AesBlock chain = iv;  // cbc_encrypt leaves the last cipher block in it
  std::vector<uint8_t> out(blocks.size());
  cbc_encrypt(&context, &EncryptBlocks, AES_BLOCK_SIZE, chain.data(), blocks.size(), out.data(),
              blocks.data());
  Wipe(&context, sizeof context);
  Wipe(blocks.data(), blocks.size());
  return out;
}

}  // namespace crypto
