#include "hosts/agent/token.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "crypto/crypto.h"
#include "platform/paths.h"
#include "platform/private_file.h"
#include "util/encoding.h"
#include "util/text.h"

namespace agent {

namespace {

std::string& StateFolder() {
  static std::string folder;
  return folder;
}

}  // namespace

void SetStateFolder(const std::string& folder) { StateFolder() = folder; }

std::string DefaultTokenFile() {
#ifdef _WIN32
  if (!StateFolder().empty()) return StateFolder() + "\\agent-token";
#else
  if (!StateFolder().empty()) return StateFolder() + "/agent-token";
#endif
  // UTF-8 on Windows too: a profile folder with a non-ASCII name.
  const auto set = [](const char* name) { return holvanter::EnvironmentVariable(name); };
#ifdef _WIN32
  const std::string folder = set("LOCALAPPDATA");
  return folder.empty() ? "" : folder + "\\Holvanter\\agent-token";
#else
  std::string folder = set("XDG_STATE_HOME");
  if (folder.empty() && !set("HOME").empty()) folder = set("HOME") + "/.local/state";
  return folder.empty() ? "" : folder + "/holvanter/agent-token";
#endif
}

namespace {

// 128 bits of the system's own random source (getrandom, CNG), as the key
// link's key.
holvanter::Result<std::string> NewToken() {
  std::array<uint8_t, 16> bits;
  std::string error;
  if (!crypto::RandomBytes(bits.data(), bits.size(), &error))
    return holvanter::Status::InvalidArgument(error);
  return holvanter::HexEncode(bits.data(), bits.size());
}

}  // namespace

holvanter::Result<Token> LoadOrCreateToken(const std::string& path) {
  // The floor's owner-only files throw PrivateFileError: caught here.
  try {
    // An existing token file is narrowed to its owner on the file it opened,
    // never through a link planted at the path.
    if (std::optional<std::string> text = holvanter::ReadPrivateFile(
            path, "token file", 4096, holvanter::OpenToOthers::kNarrow)) {
      const std::string_view line = std::string_view(*text).substr(0, text->find('\n'));
      Token token{std::string(holvanter::TrimEnd(line, " \r")), false};
      if (token.value.size() < 32)
        return holvanter::Status::InvalidArgument(
            "the token file " + path + " holds no token of 32 figures; remove it to make a new one");
      return token;
    }
    HV_ASSIGN_OR_RETURN(std::string value, NewToken());
    Token token{std::move(value), true};
    holvanter::CreatePrivateFile(path, token.value + "\n", "token file",
                                 "the token file " + path + " was made at the same moment by "
                                 "another start; start again to read it");
    return token;
  } catch (const holvanter::PrivateFileError& e) {
    return holvanter::Status::InvalidArgument(e.what());
  }
}

bool SameToken(const std::string& a, const std::string& b) { return crypto::SameText(a, b); }

}  // namespace agent
