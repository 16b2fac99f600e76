// Bytes as text and back: every value survives the round trip, and every
// kind of text that is not one is refused, without being read as another
// value.
#include "util/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "util/text.h"

namespace holvanter {
namespace {

std::string EveryByte(int shift) {
  std::string all(shift, 'x');
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  return all;
}

// A refusal of bad input, saying `why` in its message.
void ExpectRefused(const Result<std::string>& bytes, const char* why) {
  ASSERT_FALSE(bytes.ok());
  EXPECT_EQ(bytes.status().code(), Status::Code::kInvalidArgument);
  EXPECT_NE(bytes.status().message().find(why), std::string::npos) << bytes.status().message();
}

TEST(Base64, Rfc4648VectorsAndEveryByte) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},       {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Base64Encode(bytes), text);
    EXPECT_EQ(Base64Decode(text), std::string(bytes));
  }
  // Every byte value, at every offset of a group, reaches every character.
  for (int shift = 0; shift < 3; ++shift) {
    const std::string all = EveryByte(shift);
    EXPECT_EQ(Base64Decode(Base64Encode(all)), all) << shift;
  }
  EXPECT_EQ(Base64Encode("\xfb\xff"), "+/8=");  // the last two characters of the alphabet
}

TEST(Base64, RefusesWhatIsNotBase64) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"Zg=", "not a multiple of 4"},
      {"Zg=a", "outside its alphabet"},  // padding inside
      {"Z===", "outside its alphabet"},
      {"====", "outside its alphabet"},
      {"Zm9v!A==", "outside its alphabet"},
      {" Zg==", "not a multiple of 4"},
      {"Zg==\n", "not a multiple of 4"},
      {"Zm9=Zm9v", "outside its alphabet"},
      {"Zm9v-_==", "outside its alphabet"},  // the URL alphabet
      {"Zh==", "bits left over"},            // a second text for "f"
      {"Zm9=", "bits left over"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Result<std::string> bytes = Base64Decode(c.text);
    ExpectRefused(bytes, c.why);
    // The text may be a key: it is never quoted.
    if (std::string(c.text).size() > 3) {
      EXPECT_EQ(bytes.status().message().find(c.text), std::string::npos);
    }
  }
}

TEST(Hex, LowerCaseOutEitherCaseInAndEveryByte) {
  EXPECT_EQ(HexEncode(""), "");
  EXPECT_EQ(HexEncode(std::string("\x00\x0f\xa5\xff", 4)), "000fa5ff");
  EXPECT_EQ(HexDecode("000FA5ff"), std::string("\x00\x0f\xa5\xff", 4));
  EXPECT_EQ(HexDecode(""), std::string());
  const std::string all = EveryByte(0);
  EXPECT_EQ(HexEncode(all).size(), 512u);
  EXPECT_EQ(HexDecode(HexEncode(all)), all);
  EXPECT_EQ(HexDecode(ToUpperAscii(HexEncode(all))), all);
}

TEST(Hex, RefusesWhatIsNotHexadecimal) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"a", "not an even number"},      {"abc", "not an even number"},
      {"0g", "character 2 is not"},     {"g0", "character 1 is not"},
      {"00 1", "character 3 is not"},   {"0x1f", "character 2 is not"},
      {"ab\ncd", "not an even number"}, {"-1", "character 1 is not"},
      {"1f:", "not an even number"},    {"1f:2", "character 3 is not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ExpectRefused(HexDecode(c.text), c.why);
  }
}

TEST(TrimEnd, CutsTheEndAloneAsEditorsLeaveIt) {
  const struct {
    std::string text, chars, out;
  } cases[] = {
      {"key \t\r\n", " \t\r\n", "key"},
      {"  key", " \t\r\n", "  key"},  // a leading blank stays: it is not ours to forgive
      {"\r\n", " \t\r\n", ""},
      {"", " ", ""},
      {"a b ", " ", "a b"},
      {"token\r", " \r", "token"},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimEnd(c.text, c.chars), c.out) << c.text;
}

}  // namespace
}  // namespace holvanter
