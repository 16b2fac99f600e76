#include "hosts/agent/token.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "hosts/fias/authkey.h"

namespace agent {
namespace fs = std::filesystem;

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

std::string ReadToken(const fs::path& path) {
  std::ifstream in(path);
  std::string token;
  std::getline(in, token);
  while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
  return token;
}

}  // namespace

Token LoadOrCreateToken(const std::string& path_text) {
  const fs::path path(path_text);
  std::error_code ec;
  try {
    if (fs::exists(path, ec)) {
      fias::NarrowToOwner(path_text, "token file");
      Token token{ReadToken(path), false};
      if (token.value.size() < 32)
        throw std::runtime_error("the token file " + path_text +
                                 " holds no token of 32 figures; remove it to make a new one");
      return token;
    }
    Token token{NewToken(), true};
    fias::WriteOwnerOnlyFile(path_text, token.value + "\n", "token file",
                             "the token file " + path_text + " was made at the same moment by "
                             "another start; start again to read it");
    return token;
  } catch (const fias::AuthKeyError& e) {
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
