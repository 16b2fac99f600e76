#include "hosts/agent/token.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace agent {
namespace fs = std::filesystem;

std::string DefaultTokenFile() {
#ifdef _WIN32
  const char* base = std::getenv("LOCALAPPDATA");
  std::string folder = base != nullptr && *base != '\0' ? base : ".";
  return folder + "\\Holvanter\\agent-token";
#else
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string folder;
  if (state != nullptr && *state != '\0') {
    folder = state;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/state";
  }
  return folder + "/holvanter/agent-token";
#endif
}

namespace {

std::string NewToken() {
  std::random_device random;
  std::string token;
  char figures[12];
  for (int i = 0; i < 4; ++i) {  // 4 x 32 bits
    std::snprintf(figures, sizeof figures, "%08x", static_cast<unsigned>(random()));
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

std::string LoadOrCreateToken(const std::string& path_text) {
  const fs::path path(path_text);
  std::error_code ec;
  if (fs::exists(path, ec)) {
    const auto others = fs::perms::group_all | fs::perms::others_all;
    if ((fs::status(path, ec).permissions() & others) != fs::perms::none)
      fs::permissions(path, others, fs::perm_options::remove, ec);
    std::string token = ReadToken(path);
    if (token.size() < 32)
      throw std::runtime_error("the token file " + path_text +
                               " holds no token of 32 figures; remove it to make a new one");
    return token;
  }
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const std::string token = NewToken();
#ifdef _WIN32
  // The folder under LOCALAPPDATA is its user's alone by inheritance.
  std::ofstream out(path, std::ios::trunc);
  out << token << "\n";
  out.close();
  if (!out) throw std::runtime_error("cannot write the token file " + path_text);
#else
  // Created owner-only, never readable by others for a moment.
  const int fd = open(path_text.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create the token file " + path_text);
  const std::string line = token + "\n";
  const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  if (!written) throw std::runtime_error("cannot write the token file " + path_text);
#endif
  return token;
}

bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace agent
