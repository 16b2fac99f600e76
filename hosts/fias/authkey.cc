// Connection authentication of the FIAS link: the key, its file, and the
// cryptogram the link's LD carries. The cipher and the random source are the
// system's (crypto/), base64 the hosts' one (util/encoding.h); the file's
// text is this file's own.
#include "hosts/fias/authkey.h"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "platform/private_file.h"
#include "util/encoding.h"
#include "util/text.h"

namespace fias {
namespace {

constexpr std::string_view kHandOverPrefix = "FidCrypt0S|";
constexpr std::string_view kCryptogramPrefix = "FidCryptAB;";
// A key file holds one line of 36 characters; anything far longer is not one.
constexpr std::size_t kMaxKeyFileSize = 4096;

std::string ExistsMessage(const std::string& path) {
  return "the key file " + path +
         " exists already; a new key locks the PMS interface out until IT enters it there, so "
         "remove the file first if a new key is really wanted";
}

using holvanter::Result;
using holvanter::Status;

Result<std::array<uint8_t, 16>> RandomBlock() {
  std::array<uint8_t, 16> block;
  std::string error;
  if (!crypto::RandomBytes(block.data(), block.size(), &error))
    return Status::InvalidArgument(error);
  return block;
}

// Wipes a text holding key material when it goes, however it goes.
struct Wiper {
  std::string& text;
  ~Wiper() { crypto::Wipe(text); }
};

// A new key in a file made by `write`, one of the floor's owner-only
// writers, which throw PrivateFileError: the floor's edge, caught here.
template <typename Write>
Result<AuthKey> WriteNewKey(Write&& write) {
  HV_ASSIGN_OR_RETURN(const AuthKey key, RandomKey());
  std::string text = HandOverText(key) + "\n";
  Wiper wiper{text};
  try {
    write(text);
  } catch (const holvanter::PrivateFileError& e) {
    return Status::InvalidArgument(e.what());
  }
  return key;
}

}  // namespace

Result<AuthKey> RandomKey() { return RandomBlock(); }

Result<AuthIv> RandomIv() { return RandomBlock(); }

std::string HandOverText(const AuthKey& key) {
  return std::string(kHandOverPrefix) + holvanter::Base64Encode(key.data(), key.size());
}

Result<std::string> Cryptogram(const AuthKey& key, const AuthIv& iv, std::string_view text) {
  std::string error;
  const std::optional<std::vector<uint8_t>> cipher = crypto::EncryptAes128Cbc(key, iv, text, &error);
  if (!cipher) return Status::InvalidArgument(error);
  return std::string(kCryptogramPrefix) + holvanter::Base64Encode(iv.data(), iv.size()) +
         holvanter::Base64Encode(cipher->data(), cipher->size());
}

Result<AuthKey> CreateKeyFile(const std::string& path) {
  return WriteNewKey([&](const std::string& text) {
    holvanter::CreatePrivateFile(path, text, "key file", ExistsMessage(path));
  });
}

Result<AuthKey> ReplaceKeyFile(const std::string& path) {
  return WriteNewKey(
      [&](const std::string& text) { holvanter::ReplacePrivateFile(path, text, "key file"); });
}

Result<AuthKey> ReadKeyFile(const std::string& path) {
  // A key file that other users may read is refused, not narrowed: its key
  // may have been read already, which IT has to judge.
  std::string text;
  Wiper wiper{text};
  try {
    std::optional<std::string> read = holvanter::ReadPrivateFile(
        path, "key file", kMaxKeyFileSize, holvanter::OpenToOthers::kRefuse);
    if (!read) return Status::InvalidArgument("cannot open the key file " + path + ": no such file");
    text = std::move(*read);
  } catch (const holvanter::PrivateFileError& e) {
    return Status::InvalidArgument(
        e.kind() == holvanter::PrivateFileError::kOpenToOthers
            ? std::string(e.what()) + ", or make a new key if others may have read it"
            : std::string(e.what()));
  }
  // Editors and copies through Windows add blanks and CRLF at the end.
  const std::string_view line = holvanter::TrimEnd(text, " \t\r\n");
  if (line.substr(0, kHandOverPrefix.size()) != kHandOverPrefix)
    return Status::InvalidArgument("the key file " + path + " does not begin with " +
                                   std::string(kHandOverPrefix));
  Result<std::string> bytes = holvanter::Base64Decode(line.substr(kHandOverPrefix.size()));
  if (!bytes.ok())
    return Status::InvalidArgument("the key in the file " + path + " is " +
                                   bytes.status().message());
  Wiper bytes_wiper{*bytes};
  AuthKey key;
  if (bytes->size() != key.size())
    return Status::InvalidArgument("the key in the file " + path + " is " +
                                   std::to_string(bytes->size()) + " bytes long, not 16");
  std::memcpy(key.data(), bytes->data(), key.size());
  return key;
}

}  // namespace fias
