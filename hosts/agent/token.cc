#include "hosts/agent/token.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "hosts/fias/authkey.h"
#include "platform/private_file.h"

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
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : std::string();
  };
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

// The system's own random source (getrandom, CNG), as the key link's key.
std::string NewToken() {
  const fias::AuthKey bits = fias::RandomKey();
  std::string token;
  char figures[4];
  for (uint8_t byte : bits) {
    std::snprintf(figures, sizeof figures, "%02x", byte);
    token += figures;
  }
  return token;
}

}  // namespace

Token LoadOrCreateToken(const std::string& path) {
  try {
    // An existing token file is narrowed to its owner on the file it opened,
    // never through a link planted at the path.
    if (std::optional<std::string> text = holvanter::ReadPrivateFile(
            path, "token file", 4096, holvanter::OpenToOthers::kNarrow)) {
      Token token{text->substr(0, text->find('\n')), false};
      while (!token.value.empty() && (token.value.back() == '\r' || token.value.back() == ' '))
        token.value.pop_back();
      if (token.value.size() < 32)
        throw std::runtime_error("the token file " + path +
                                 " holds no token of 32 figures; remove it to make a new one");
      return token;
    }
    Token token{NewToken(), true};
    holvanter::CreatePrivateFile(path, token.value + "\n", "token file",
                                 "the token file " + path + " was made at the same moment by "
                                 "another start; start again to read it");
    return token;
  } catch (const holvanter::PrivateFileError& e) {
    throw std::runtime_error(e.what());
  }
}

bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace agent
