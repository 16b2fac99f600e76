// Connection authentication of the FIAS link: the key, its file, and the
// cryptogram the link's LD carries. The cipher and the random source are the
// system's (nettle and getrandom on Linux, CNG on Windows); base64, the
// padding and the file's text are one code for both.
#include "hosts/fias/authkey.h"

#include "platform/private_file.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>
#else
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <sys/random.h>

#include <cerrno>
#include <system_error>
#endif

namespace fias {
namespace {

constexpr std::string_view kHandOverPrefix = "FidCrypt0S|";
constexpr std::string_view kCryptogramPrefix = "FidCryptAB;";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// A key file holds one line of 36 characters; anything far longer is not one.
constexpr std::size_t kMaxKeyFileSize = 4096;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Key material must not linger in memory the program gives back; a
// volatile write is not optimised away.
void Wipe(void* data, std::size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *p++ = 0;
}

std::string ExistsMessage(const std::string& path) {
  return "the key file " + path +
         " exists already; a new key locks the PMS interface out until IT enters it there, so "
         "remove the file first if a new key is really wanted";
}

#ifdef _WIN32

void CheckCng(NTSTATUS status, const char* call) {
  if (!BCRYPT_SUCCESS(status)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    throw AuthKeyError(std::string("the system's cryptography failed (") + call + ": " + code +
                       ")");
  }
}

void FillRandom(uint8_t* out, std::size_t size) {
  CheckCng(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG),
           "BCryptGenRandom");
}

// AES-128-CBC over whole blocks, padded by the caller.
std::vector<uint8_t> EncryptCbc(const AuthKey& key, const AuthIv& iv, std::vector<uint8_t> blocks) {
  struct Handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    ~Handles() {
      if (key != nullptr) BCryptDestroyKey(key);
      if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
  } h;
  CheckCng(BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0),
           "BCryptOpenAlgorithmProvider");
  CheckCng(BCryptSetProperty(h.algorithm, BCRYPT_CHAINING_MODE,
                             reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                             sizeof(BCRYPT_CHAIN_MODE_CBC), 0),
           "BCryptSetProperty");
  AuthKey secret = key;
  const NTSTATUS made = BCryptGenerateSymmetricKey(h.algorithm, &h.key, nullptr, 0, secret.data(),
                                                   static_cast<ULONG>(secret.size()), 0);
  Wipe(secret.data(), secret.size());
  CheckCng(made, "BCryptGenerateSymmetricKey");
  // BCryptEncrypt leaves the last cipher block in the IV buffer it is given.
  AuthIv chain = iv;
  std::vector<uint8_t> out(blocks.size());
  ULONG written = 0;
  CheckCng(BCryptEncrypt(h.key, blocks.data(), static_cast<ULONG>(blocks.size()), nullptr,
                         chain.data(), static_cast<ULONG>(chain.size()), out.data(),
                         static_cast<ULONG>(out.size()), &written, 0),
           "BCryptEncrypt");
  if (written != out.size()) throw AuthKeyError("the system's cryptography gave a short cipher");
  return out;
}

#else  // POSIX

std::string ErrnoText(int error) { return std::generic_category().message(error); }

void FillRandom(uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw AuthKeyError("the system's random source failed: " + ErrnoText(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

// nettle's CBC takes a block function of this form; a cast of
// aes128_encrypt would call it through a pointer of another type.
void EncryptBlocks(const void* context, std::size_t length, uint8_t* dst, const uint8_t* src) {
  aes128_encrypt(static_cast<const aes128_ctx*>(context), length, dst, src);
}

// AES-128-CBC over whole blocks, padded by the caller.
std::vector<uint8_t> EncryptCbc(const AuthKey& key, const AuthIv& iv,
                                const std::vector<uint8_t>& blocks) {
  aes128_ctx context;
  aes128_set_encrypt_key(&context, key.data());
  AuthIv chain = iv;  // cbc_encrypt leaves the last cipher block in it
  std::vector<uint8_t> out(blocks.size());
  cbc_encrypt(&context, &EncryptBlocks, AES_BLOCK_SIZE, chain.data(), blocks.size(), out.data(),
              blocks.data());
  Wipe(&context, sizeof context);
  return out;
}

#endif

}  // namespace

std::string Base64Encode(const uint8_t* data, std::size_t size) {
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t n = size - i < 3 ? size - i : 3;
    uint32_t group = uint32_t{data[i]} << 16;
    if (n > 1) group |= uint32_t{data[i + 1]} << 8;
    if (n > 2) group |= data[i + 2];
    text += kBase64Alphabet[(group >> 18) & 63];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += n > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += n > 2 ? kBase64Alphabet[group & 63] : '=';
  }
  return text;
}

// Strict: the alphabet, padding to a multiple of four and zero bits after
// the last byte, so that one key has one text and a mistyped text is not
// read as some other key. The text itself is never quoted: it may be a key.
std::string Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0)
    throw AuthKeyError("not base64: " + std::to_string(text.size()) +
                       " characters, not a multiple of 4");
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0)
      throw AuthKeyError("not base64: character " + std::to_string(i + 1) +
                         " is outside its alphabet");
    bits = (bits << 6) | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  if ((bits & ((1u << held) - 1)) != 0)
    throw AuthKeyError("not base64: bits left over after the last byte");
  return bytes;
}

void FillRandomBytes(uint8_t* out, std::size_t size) { FillRandom(out, size); }

AuthKey RandomKey() {
  AuthKey key;
  FillRandom(key.data(), key.size());
  return key;
}

AuthIv RandomIv() {
  AuthIv iv;
  FillRandom(iv.data(), iv.size());
  return iv;
}

std::string HandOverText(const AuthKey& key) {
  return std::string(kHandOverPrefix) + Base64Encode(key.data(), key.size());
}

std::string Cryptogram(const AuthKey& key, const AuthIv& iv, std::string_view text) {
  // PKCS7: 1 to 16 bytes, each holding their count; a whole block of them
  // when the text fills its last block.
  std::vector<uint8_t> blocks(text.begin(), text.end());
  const std::size_t padding = 16 - text.size() % 16;
  blocks.insert(blocks.end(), padding, static_cast<uint8_t>(padding));
  const std::vector<uint8_t> cipher = EncryptCbc(key, iv, blocks);
  return std::string(kCryptogramPrefix) + Base64Encode(iv.data(), iv.size()) +
         Base64Encode(cipher.data(), cipher.size());
}

AuthKey CreateKeyFile(const std::string& path) {
  AuthKey key = RandomKey();
  std::string text = HandOverText(key) + "\n";
  try {
    holvanter::CreatePrivateFile(path, text, "key file", ExistsMessage(path));
  } catch (const holvanter::PrivateFileError& e) {
    Wipe(text.data(), text.size());
    throw AuthKeyError(e.what());
  }
  Wipe(text.data(), text.size());
  return key;
}

AuthKey ReadKeyFile(const std::string& path) {
  // A key file that other users may read is refused, not narrowed: its key
  // may have been read already, which IT has to judge.
  std::string text;
  try {
    std::optional<std::string> read = holvanter::ReadPrivateFile(
        path, "key file", kMaxKeyFileSize, holvanter::OpenToOthers::kRefuse);
    if (!read) throw AuthKeyError("cannot open the key file " + path + ": no such file");
    text = std::move(*read);
  } catch (const holvanter::PrivateFileError& e) {
    throw AuthKeyError(e.kind() == holvanter::PrivateFileError::kOpenToOthers
                           ? std::string(e.what()) + ", or make a new key if others may have read it"
                           : std::string(e.what()));
  }
  struct Wiper {
    std::string& text;
    ~Wiper() { Wipe(text.data(), text.size()); }
  } wiper{text};
  // Editors and copies through Windows add blanks and CRLF at the end.
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n'))
    text.pop_back();
  const std::string_view line(text);
  if (line.substr(0, kHandOverPrefix.size()) != kHandOverPrefix)
    throw AuthKeyError("the key file " + path + " does not begin with " +
                       std::string(kHandOverPrefix));
  std::string bytes;
  try {
    bytes = Base64Decode(line.substr(kHandOverPrefix.size()));
  } catch (const AuthKeyError& e) {
    throw AuthKeyError("the key in the file " + path + " is " + e.what());
  }
  AuthKey key;
  if (bytes.size() != key.size()) {
    Wipe(bytes.data(), bytes.size());
    throw AuthKeyError("the key in the file " + path + " is " + std::to_string(bytes.size()) +
                       " bytes long, not 16");
  }
  std::memcpy(key.data(), bytes.data(), key.size());
  Wipe(bytes.data(), bytes.size());
  return key;
}

}  // namespace fias
