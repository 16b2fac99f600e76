// The site's part of the PMS key link: the cryptogram an interface checks
// before it accepts the agent, the key file IT hands over, and the code page
// guest names arrive in.
#include <gtest/gtest.h>
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hosts/fias/authkey.h"
#include "hosts/fias/codepage.h"
#include "util/encoding.h"

namespace fias {
namespace {

namespace fs = std::filesystem;

std::string Base64Decode(std::string_view text) { return *holvanter::Base64Decode(text); }

template <typename Bytes>
Bytes FromBase64(std::string_view text) {
  const std::string raw = Base64Decode(text);
  Bytes bytes{};
  EXPECT_EQ(raw.size(), bytes.size());
  std::copy_n(raw.begin(), std::min(raw.size(), bytes.size()), bytes.begin());
  return bytes;
}

std::string Base64(std::string_view bytes) { return holvanter::Base64Encode(bytes); }

// The published IfcAuthKey vector: an interface that finds a wrong
// cryptogram locks the key system out until the key is entered again.
TEST(Cryptogram, PublishedVector) {
  const auto key = FromBase64<AuthKey>("GVDpVnl6qYlTQXQJZxXdbw==");
  const auto iv = FromBase64<AuthIv>("3k57hsoHm04fGEyaA3+UVw==");
  EXPECT_EQ(Cryptogram(key, iv, "170831102201").value(),
            "FidCryptAB;3k57hsoHm04fGEyaA3+UVw==oNTebC0J36LY8GV9azyhzw==");
  EXPECT_EQ(HandOverText(key), "FidCrypt0S|GVDpVnl6qYlTQXQJZxXdbw==");
}

void DecryptBlocks(const void* context, std::size_t length, uint8_t* dst, const uint8_t* src) {
  aes128_decrypt(static_cast<const aes128_ctx*>(context), length, dst, src);
}

// PKCS7 on either side of a block boundary, undone by nettle's decryption.
TEST(Cryptogram, PaddingRoundTrips) {
  const auto key = FromBase64<AuthKey>("GVDpVnl6qYlTQXQJZxXdbw==");
  const auto iv = FromBase64<AuthIv>("3k57hsoHm04fGEyaA3+UVw==");
  for (std::size_t size : {0, 1, 15, 16, 17, 32}) {
    SCOPED_TRACE(size);
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += static_cast<char>('0' + i % 10);
    const std::string cg = Cryptogram(key, iv, text).value();
    ASSERT_EQ(cg.substr(0, 35), "FidCryptAB;" + holvanter::Base64Encode(iv.data(), iv.size()));
    std::string cipher = Base64Decode(cg.substr(35));
    ASSERT_EQ(cipher.size(), (size / 16 + 1) * 16);

    aes128_ctx context;
    aes128_set_decrypt_key(&context, key.data());
    AuthIv chain = iv;
    std::string plain(cipher.size(), '\0');
    cbc_decrypt(&context, &DecryptBlocks, AES_BLOCK_SIZE, chain.data(), cipher.size(),
                reinterpret_cast<uint8_t*>(plain.data()),
                reinterpret_cast<const uint8_t*>(cipher.data()));
    const std::size_t padding = 16 - size % 16;
    EXPECT_EQ(plain.substr(0, size), text);
    EXPECT_EQ(plain.substr(size), std::string(padding, static_cast<char>(padding)));
  }
}

TEST(Cryptogram, FreshKeysAndIvsDiffer) {
  EXPECT_NE(RandomKey().value(), RandomKey().value());
  EXPECT_NE(RandomIv().value(), RandomIv().value());
}

class KeyFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "fias-site-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& text, mode_t mode = 0600) {
    const std::string path = (dir_ / "handmade").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  static mode_t Mode(const fs::path& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
  }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

TEST_F(KeyFile, MadeOwnerOnlyInANewFolderAndReadBack) {
  const fs::path path = dir_ / "state" / "fias-authkey";
  const AuthKey key = CreateKeyFile(path.string()).value();
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_EQ(Mode(path.parent_path()), 0700u);
  EXPECT_EQ(Contents(path), HandOverText(key) + "\n");
  EXPECT_EQ(ReadKeyFile(path.string()), key);
}

// What fails where a key file is made answers with the path and why, and
// leaves whatever was there as it was.
TEST_F(KeyFile, MakingFailuresNameThePathAndLeaveTheOldKey) {
  const std::string path = (dir_ / "fias-authkey").string();
  const AuthKey first = CreateKeyFile(path).value();
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink(path.c_str(), (dir_ / "link").c_str()), 0);
  std::ofstream((dir_ / "plain").string()) << "x";
  const struct {
    const char* name;
    std::string path;
    bool replace;
    const char* says;
  } cases[] = {
      {"a key there already", path, false, "exists already"},
      {"a link at the path", (dir_ / "link").string(), false, "exists already"},
      {"a folder that is a file", (dir_ / "plain" / "fias-authkey").string(), false, "plain"},
      {"a folder to replace", (dir_ / "sub").string(), true, "sub"},
      {"replaced in a folder that is a file", (dir_ / "plain" / "k").string(), true, "plain"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const holvanter::Result<AuthKey> made = c.replace ? ReplaceKeyFile(c.path) : CreateKeyFile(c.path);
    ASSERT_FALSE(made.ok());
    EXPECT_NE(made.status().message().find(c.says), std::string::npos) << made.status().message();
  }
  EXPECT_EQ(ReadKeyFile(path), first);
  EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
}

TEST_F(KeyFile, ReplacedWholeOwnerOnlyOverAKeyOrALink) {
  const std::string path = (dir_ / "fias-authkey").string();
  const AuthKey first = CreateKeyFile(path).value();
  std::ofstream(path + ".new") << "left by a replacement that died";
  const AuthKey second = ReplaceKeyFile(path).value();
  EXPECT_NE(second, first);
  EXPECT_EQ(ReadKeyFile(path), second);
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_FALSE(fs::exists(path + ".new"));
  // A link at the path is replaced itself; what it pointed at stays.
  const std::string target = Write(HandOverText(first) + "\n");
  const std::string link = (dir_ / "linked").string();
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const AuthKey third = ReplaceKeyFile(link).value();
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(ReadKeyFile(link), third);
  EXPECT_EQ(ReadKeyFile(target), first);
}

TEST_F(KeyFile, NeverReplacesAnExistingFile) {
  const std::string path = (dir_ / "fias-authkey").string();
  const AuthKey first = CreateKeyFile(path).value();
  const holvanter::Result<AuthKey> second = CreateKeyFile(path);
  ASSERT_FALSE(second.ok()) << "a second key replaced the first";
  EXPECT_NE(second.status().message().find(path), std::string::npos) << second.status().message();
  EXPECT_EQ(ReadKeyFile(path), first);
}

TEST_F(KeyFile, ReadsWhatIsAKeyAndRefusesTheRest) {
  const AuthKey key = RandomKey().value();
  const std::string hand_over = HandOverText(key);
  const struct {
    const char* name;
    std::string text;
    bool valid;
  } cases[] = {
      {"CRLF", hand_over + "\r\n", true},
      {"trailing blanks", hand_over + " \t\n\n", true},
      {"no newline", hand_over, true},
      {"wrong prefix", "FidCrypt0X|" + hand_over.substr(11) + "\n", false},
      {"leading blank", " " + hand_over + "\n", false},
      {"15-byte key", "FidCrypt0S|" + Base64(std::string(15, 'k')) + "\n", false},
      {"17-byte key", "FidCrypt0S|" + Base64(std::string(17, 'k')) + "\n", false},
      {"not base64", hand_over.substr(0, hand_over.size() - 1) + "!\n", false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write(c.text);
    if (c.valid) {
      EXPECT_EQ(ReadKeyFile(path), key);
      continue;
    }
    const holvanter::Result<AuthKey> read = ReadKeyFile(path);
    ASSERT_FALSE(read.ok()) << "read as a key";
    EXPECT_NE(read.status().message().find(path), std::string::npos) << read.status().message();
  }
}

TEST_F(KeyFile, RefusesAFileOthersCanReadOrOneMissing) {
  const std::string hand_over = HandOverText(RandomKey().value()) + "\n";
  for (mode_t mode : {0640, 0604, 0620}) {
    SCOPED_TRACE(mode);
    const std::string path = Write(hand_over, mode);
    const holvanter::Result<AuthKey> read = ReadKeyFile(path);
    ASSERT_FALSE(read.ok()) << "read a key others can reach";
    EXPECT_NE(read.status().message().find("chmod 600 " + path), std::string::npos)
        << read.status().message();
  }
  const std::string missing = (dir_ / "missing").string();
  const holvanter::Result<AuthKey> read = ReadKeyFile(missing);
  ASSERT_FALSE(read.ok()) << "read a missing file";
  EXPECT_NE(read.status().message().find(missing), std::string::npos) << read.status().message();
}

TEST(CodePage, Names) {
  const std::pair<const char*, std::optional<CodePage>> names[] = {
      {"windows-1252", CodePage::kWindows1252}, {"CP1252", CodePage::kWindows1252},
      {"GBK", CodePage::kGbk},                  {"cp936", CodePage::kGbk},
      {"UTF-8", CodePage::kUtf8},               {"utf8", CodePage::kUtf8},
      {"latin1", std::nullopt},                 {"", std::nullopt},
      {"utf-8 ", std::nullopt}};
  for (const auto& [name, page] : names) EXPECT_EQ(CodePageNamed(name), page) << name;
  for (CodePage page : {CodePage::kWindows1252, CodePage::kGbk, CodePage::kUtf8})
    EXPECT_EQ(CodePageNamed(NameOf(page)), page);
}

const std::string kFffd = "\xEF\xBF\xBD";

// Text that is in the page: the same both ways.
TEST(CodePage, RoundTrips) {
  const struct {
    CodePage page;
    std::string bytes, utf8;
  } cases[] = {
      {CodePage::kGbk, "\xD5\xC5\xC8\xFD", "张三"},
      {CodePage::kGbk, "RN0203", "RN0203"},
      {CodePage::kWindows1252, "M\xFCller", "Müller"},
      {CodePage::kWindows1252, "\x80 12", "€ 12"},
      {CodePage::kUtf8, "Müller 张三", "Müller 张三"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(ToUtf8(c.bytes, c.page), c.utf8);
    EXPECT_EQ(FromUtf8(c.utf8, c.page), c.bytes);
  }
}

TEST(CodePage, BytesThatAreNotTextBecomeReplacements) {
  const struct {
    CodePage page;
    std::string bytes, utf8;
  } cases[] = {
      {CodePage::kWindows1252, "a\x81" "b\x8D\x8F\x90\x9D",
       "a" + kFffd + "b" + kFffd + kFffd + kFffd + kFffd},
      {CodePage::kGbk, "\xD5\xC5\xD5", "张" + kFffd},  // lead byte cut off
      {CodePage::kGbk, "\xD5 x", kFffd + " x"},        // lead byte without its trail
      {CodePage::kGbk, "a\xFF" "b", "a" + kFffd + "b"},
      // UTF-8: one replacement per maximal ill-formed part.
      {CodePage::kUtf8, "a\xC3(b", "a" + kFffd + "(b"},
      {CodePage::kUtf8, "\xC0\xAF", kFffd + kFffd},                  // overlong
      {CodePage::kUtf8, "\xED\xA0\x80", kFffd + kFffd + kFffd},      // surrogate
      {CodePage::kUtf8, "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {CodePage::kUtf8, "x\xE5\xBC", "x" + kFffd},                    // cut off
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(ToUtf8(c.bytes, c.page), c.utf8);
  }
}

TEST(CodePage, WhatThePageLacksBecomesQuestionMarks) {
  const struct {
    CodePage page;
    std::string utf8, bytes;
  } cases[] = {
      {CodePage::kWindows1252, "a\xFF" "b", "a?b"},  // not UTF-8
      {CodePage::kGbk, "a\xE5\xBC", "a?"},
      {CodePage::kUtf8, "a\xC0\xAF" "b", "a??b"},
      {CodePage::kWindows1252, "张 M", "? M"},        // not in the page
      {CodePage::kWindows1252, "\xC2\x81", "?"},     // a C1 control
      {CodePage::kGbk, "กx", "?x"},
      {CodePage::kGbk, "😀", "?"},                   // beyond U+FFFF: one mark
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(FromUtf8(c.utf8, c.page), c.bytes);
  }
}

// A clear text of 40 bytes at most in the site's page, never cut inside a
// character: the PMS would show the half as a wrong one.
TEST(CodePage, CutToBytesNeverSplitsACharacter) {
  const std::string gbk = FromUtf8("张三李四", CodePage::kGbk);  // 8 bytes
  const struct {
    CodePage page;
    std::string text;
    std::size_t limit;
    std::string cut;
  } cases[] = {
      {CodePage::kWindows1252, std::string(60, 'x'), 40, std::string(40, 'x')},
      {CodePage::kWindows1252, "short", 40, "short"},
      {CodePage::kGbk, gbk, 5, gbk.substr(0, 4)},
      {CodePage::kGbk, "a" + gbk, 4, "a" + gbk.substr(0, 2)},
      {CodePage::kGbk, gbk, 8, gbk},
      {CodePage::kUtf8, "ab\xE5\xBC\xA0", 4, "ab"},
      {CodePage::kUtf8, "ab\xE5\xBC\xA0", 5, "ab\xE5\xBC\xA0"},
      {CodePage::kUtf8, "\xF0\x9F\x98\x80x", 3, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CutToBytes(c.text, c.limit, c.page), c.cut);
  }
}

}  // namespace
}  // namespace fias
