// The hosts' cryptography against published vectors (HMAC-SHA256: RFC 4231;
// AES-128-CBC: NIST SP 800-38A), its padding, its comparison and its wipe.
#include "crypto/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "util/encoding.h"

namespace crypto {
namespace {

std::string Bytes(std::string_view hex) {
  holvanter::Result<std::string> bytes = holvanter::HexDecode(hex);
  EXPECT_TRUE(bytes.ok()) << hex;
  return bytes.ok() ? *bytes : std::string();
}

std::string Hex(const uint8_t* data, std::size_t size) { return holvanter::HexEncode(data, size); }

TEST(HmacSha256, Rfc4231Vectors) {
  const struct {
    const char* name;
    std::string key, data, digest;
  } cases[] = {
      {"1", std::string(20, '\x0b'), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"2: a key shorter than the digest", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"3: data of 0xdd", std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"4: a counting key", Bytes("0102030405060708090a0b0c0d0e0f10111213141516171819"),
       std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"6: a key longer than the block", std::string(131, '\xaa'),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"7: long key and long data", std::string(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than block-size data. "
       "The key needs to be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    const std::optional<Sha256Digest> digest = HmacSha256(c.key, c.data, &error);
    ASSERT_TRUE(digest.has_value()) << error;
    EXPECT_EQ(Hex(digest->data(), digest->size()), c.digest);
  }
  // The empty key and empty data are values like any other.
  std::string error;
  EXPECT_TRUE(HmacSha256("", "", &error).has_value()) << error;
}

// NIST SP 800-38A, F.2.1 CBC-AES128.Encrypt: the cipher of the first n
// blocks is the first n blocks of the published cipher; PKCS7 adds one
// whole block after them.
TEST(Aes128Cbc, Sp800_38aVectorsAndPadding) {
  Aes128Key key;
  AesBlock iv;
  const std::string key_bytes = Bytes("2b7e151628aed2a6abf7158809cf4f3c");
  const std::string iv_bytes = Bytes("000102030405060708090a0b0c0d0e0f");
  std::copy(key_bytes.begin(), key_bytes.end(), key.begin());
  std::copy(iv_bytes.begin(), iv_bytes.end(), iv.begin());
  const std::string plain = Bytes(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string cipher =
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
  for (std::size_t blocks = 1; blocks <= 4; ++blocks) {
    SCOPED_TRACE(blocks);
    std::string error;
    const auto out = EncryptAes128Cbc(key, iv, std::string_view(plain).substr(0, 16 * blocks),
                                      &error);
    ASSERT_TRUE(out.has_value()) << error;
    ASSERT_EQ(out->size(), 16 * (blocks + 1));
    EXPECT_EQ(Hex(out->data(), 16 * blocks), cipher.substr(0, 32 * blocks));
  }
  // Padding of 1 to 16 bytes: the cipher ends on the block after the text,
  // and texts one byte apart in length never share their last block.
  std::set<std::string> last_blocks;
  for (std::size_t size = 0; size <= 33; ++size) {
    std::string error;
    const auto out = EncryptAes128Cbc(key, iv, std::string_view(plain).substr(0, size), &error);
    ASSERT_TRUE(out.has_value()) << error;
    EXPECT_EQ(out->size(), (size / 16 + 1) * 16) << size;
    last_blocks.insert(Hex(out->data() + out->size() - 16, 16));
  }
  EXPECT_EQ(last_blocks.size(), 34u);
}

TEST(RandomBytes, FillsWhatIsAskedAndNeverRepeats) {
  std::set<std::string> seen;
  for (std::size_t size : {1u, 16u, 32u, 1000u}) {
    for (int i = 0; i < 2; ++i) {
      std::string bytes(size + 2, '\x5a');  // a guard byte on each side
      std::string error;
      ASSERT_TRUE(RandomBytes(reinterpret_cast<uint8_t*>(bytes.data()) + 1, size, &error))
          << error;
      EXPECT_EQ(bytes.front(), '\x5a');
      EXPECT_EQ(bytes.back(), '\x5a');
      if (size >= 16) {
        EXPECT_TRUE(seen.insert(bytes.substr(1, size)).second) << size;
      }
    }
  }
  std::string error;
  EXPECT_TRUE(RandomBytes(nullptr, 0, &error));
}

TEST(SameBytes, EqualOnlyWhenEveryByteIs) {
  const std::string a(64, 'k');
  for (std::size_t at : {0u, 1u, 31u, 63u}) {
    for (char flip : {'\x01', '\x80'}) {
      std::string b = a;
      b[at] = static_cast<char>(b[at] ^ flip);
      EXPECT_FALSE(SameBytes(a.data(), b.data(), a.size())) << at;
      EXPECT_FALSE(SameText(a, b)) << at;
    }
  }
  EXPECT_TRUE(SameBytes(a.data(), std::string(a).data(), a.size()));
  EXPECT_TRUE(SameBytes(nullptr, nullptr, 0));
  EXPECT_TRUE(SameText("", ""));
  EXPECT_FALSE(SameText(a, a.substr(1)));  // a prefix is not the text
  EXPECT_FALSE(SameText(a, a + "k"));
}

TEST(Wipe, LeavesZerosWhereTheSecretWas) {
  std::string secret = "FidCrypt0S|GVDpVnl6qYlTQXQJZxXdbw==";
  const std::size_t size = secret.size();
  Wipe(secret);
  EXPECT_EQ(secret, std::string(size, '\0'));
  Aes128Key key;
  key.fill(0xA5);
  Wipe(key.data(), 8);  // as much as it is told, no more
  EXPECT_TRUE(std::all_of(key.begin(), key.begin() + 8, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(key.begin() + 8, key.end(), [](uint8_t b) { return b == 0xA5; }));
}

}  // namespace
}  // namespace crypto
