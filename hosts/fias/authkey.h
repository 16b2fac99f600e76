// Connection authentication of the FIAS link (IfcAuthKey): the key system
// proves itself with a cryptogram made with a 16-byte AES key that the
// hotel's IT also entered in the PMS interface program.
#ifndef HOLVANTER_HOSTS_FIAS_AUTHKEY_H_
#define HOLVANTER_HOSTS_FIAS_AUTHKEY_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/status.h"

namespace fias {

using AuthKey = std::array<uint8_t, 16>;
using AuthIv = std::array<uint8_t, 16>;

// 16 bytes from the operating system's random source (crypto/crypto.h).
// These, Cryptogram and the key file calls answer with the failure (its
// message in words) when the system's random source or cryptography fails.
holvanter::Result<AuthKey> RandomKey();
holvanter::Result<AuthIv> RandomIv();

// The text the hotel's IT enters in the interface program:
// "FidCrypt0S|" + base64(key).
std::string HandOverText(const AuthKey& key);

// The CG value: "FidCryptAB;" + base64(iv) + base64(AES-128-CBC with PKCS7
// padding of `text` under `key` and `iv`). `text` is the DA and TI of the
// last link record received, run together.
holvanter::Result<std::string> Cryptogram(const AuthKey& key, const AuthIv& iv,
                                          std::string_view text);

// A new key in a new file at `path`, readable by its owner only (on
// Windows: an ACL that grants the owner alone), through the hosts' state
// files (platform/private_file.h); refuses to replace an existing file or
// to write through a link. The file holds the hand-over text and a newline.
// A failure names the path and what is wrong.
holvanter::Result<AuthKey> CreateKeyFile(const std::string& path);
// A new key in place of the one at `path`: written beside it owner-only,
// synced, then renamed over it, so that the old key stays whole until the
// new one is (platform/private_file.h's ReplacePrivateFile).
holvanter::Result<AuthKey> ReplaceKeyFile(const std::string& path);
// The key of a file made by CreateKeyFile (blanks and CRLF after it
// allowed); a failure names the path and what is wrong. A link
// at the path or a file of another user is refused; on POSIX a file that
// group or others may reach is refused, with the chmod 600 that
// mends it: its key may have been read, which is for IT to judge.
holvanter::Result<AuthKey> ReadKeyFile(const std::string& path);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_AUTHKEY_H_
