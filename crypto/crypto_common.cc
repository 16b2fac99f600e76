// What is one code on every system: the padding, the comparison and the
// wiping.
#include "crypto/crypto.h"
#include "crypto/padding.h"

namespace crypto {

bool SameBytes(const void* a, const void* b, std::size_t size) {
  // Every byte is looked at, whatever came before: no early return for
  // timing to betray.
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  volatile uint8_t differ = 0;
  for (std::size_t i = 0; i < size; ++i) differ = differ | (x[i] ^ y[i]);
  return differ == 0;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && SameBytes(a.data(), b.data(), a.size());
}

void Wipe(void* data, std::size_t size) {
  // A volatile write is not optimised away.
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *p++ = 0;
}


std::vector<uint8_t> PaddedForCbc(std::string_view plain) {
  std::vector<uint8_t> blocks(plain.begin(), plain.end());
  const std::size_t padding = 16 - plain.size() % 16;
  blocks.insert(blocks.end(), padding, static_cast<uint8_t>(padding));
  return blocks;
}

}  // namespace crypto
