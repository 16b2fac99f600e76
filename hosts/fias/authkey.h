// Connection authentication of the FIAS link (IfcAuthKey): the key system
// proves itself with a cryptogram made with a 16-byte AES key that the
// hotel's IT also entered in the PMS interface program.
#ifndef HOLVANTER_HOSTS_FIAS_AUTHKEY_H_
#define HOLVANTER_HOSTS_FIAS_AUTHKEY_H_

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace fias {

using AuthKey = std::array<uint8_t, 16>;
using AuthIv = std::array<uint8_t, 16>;

// A key file that cannot be made or read, or a key that is not one.
class AuthKeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 16 bytes from the operating system's random source (crypto/crypto.h).
// These, Cryptogram and the key file calls throw AuthKeyError when the
// system's random source or cryptography fails.
AuthKey RandomKey();
AuthIv RandomIv();

// The text the hotel's IT enters in the interface program:
// "FidCrypt0S|" + base64(key).
std::string HandOverText(const AuthKey& key);

// The CG value: "FidCryptAB;" + base64(iv) + base64(AES-128-CBC with PKCS7
// padding of `text` under `key` and `iv`). `text` is the DA and TI of the
// last link record received, run together.
std::string Cryptogram(const AuthKey& key, const AuthIv& iv, std::string_view text);

// A new key in a new file at `path`, readable by its owner only (on
// Windows: an ACL that grants the owner alone), through the hosts' state
// files (platform/private_file.h); refuses to replace an existing file or
// to write through a link. The file holds the hand-over text and a newline.
AuthKey CreateKeyFile(const std::string& path);
// The key of a file made by CreateKeyFile (blanks and CRLF after it
// allowed); throws AuthKeyError naming the path and what is wrong. A link
// at the path or a file of another user is refused; on POSIX a file that
// group or others may reach is refused, with the chmod 600 that
// mends it: its key may have been read, which is for IT to judge.
AuthKey ReadKeyFile(const std::string& path);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_AUTHKEY_H_
