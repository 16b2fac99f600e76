// The link desk's registry of paired desks, and a desk's own secret file.
// Both are small text files that their owner alone may read; a change is a
// new file renamed over the old one, so a reader sees the old text or the
// new, never half of one, and needs no lock.
#include "hosts/desks/registry.h"

#include <charconv>
#include <chrono>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>
#include <thread>

#include "hosts/fias/authkey.h"

#ifdef _WIN32
#include <windows.h>

#include <fstream>
#include <iterator>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <cerrno>
#include <cstdio>
#endif

namespace desks {
namespace {

namespace fs = std::filesystem;

// No 0/O, 1/I/L or U: a clerk reads the code off one screen and types it on
// another, and U is a V or a rude word away.
constexpr std::string_view kCodeAlphabet = "23456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::size_t kCodeLength = 16;
constexpr std::size_t kCodeGroup = 4;

// `tavocard desks` and the agent each hold the lock for a read and a write
// of a small file.
constexpr auto kLockWait = std::chrono::seconds(3);
// Hundreds of desks are a few tens of kilobytes; far more is not ours.
constexpr std::size_t kMaxFileSize = 1 << 20;

// Paths are UTF-8 throughout the product; on Windows a narrow path would be
// read in the ANSI code page.
fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

struct Row {
  std::optional<Secret> secret;
  int64_t paired_at = 0;
  std::string code;  // empty: none pending
  int64_t code_expires = 0;
};
using Rows = std::map<std::string, Row>;

// The text of the file at `path`, nullopt when there is none. With
// `owner_only` (POSIX) a file that group or others may reach is refused.
std::optional<std::string> ReadText(const std::string& path, const std::string& what,
                                    bool owner_only) {
  std::string text;
#ifdef _WIN32
  (void)owner_only;  // the state folder is its user's (the service's: SYSTEM's) alone
  std::error_code error;
  if (!fs::exists(PathOf(path), error) && !error) return std::nullopt;
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) throw DeskError("cannot open the " + what + " " + path);
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) throw DeskError("cannot read the " + what + " " + path);
#else
  const auto fail = [&](const std::string& doing) {
    return DeskError("cannot " + doing + " the " + what + " " + path + ": " +
                     std::generic_category().message(errno));
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw fail("open");
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat status;
  if (fstat(fd, &status) != 0) throw fail("read");
  if (!S_ISREG(status.st_mode)) throw DeskError("the " + what + " " + path + " is not a file");
  if (owner_only && (status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw DeskError("the " + what + " " + path + " is open to other users (mode " + mode +
                    "); make it its owner's alone with chmod 600 " + path +
                    ", or pair the desk again if others may have read it");
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fail("read");
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileSize) break;
  }
#endif
  if (text.size() > kMaxFileSize)
    throw DeskError("the " + what + " " + path + " is far longer than it can be");
  return text;
}

// Replaces the file at `path` with `text`, readable by its owner alone: a
// fresh file beside it, renamed over it. A file left beside it by a write
// that died is removed first.
void ReplaceOwnerOnlyFile(const std::string& path, const std::string& text,
                          const std::string& what) {
  const std::string fresh = path + ".new";
  std::error_code error;
  fs::remove(PathOf(fresh), error);
  try {
    fias::WriteOwnerOnlyFile(fresh, text, what,
                             "the " + what + "'s new file " + fresh + " could not be removed");
  } catch (const fias::AuthKeyError& e) {
    throw DeskError(e.what());
  }
  fs::rename(PathOf(fresh), PathOf(path), error);
  if (error) {
    std::error_code ignored;
    fs::remove(PathOf(fresh), ignored);
    throw DeskError("cannot replace the " + what + " " + path + ": " + error.message());
  }
}

// Missing folders above the registry, narrowed to their owner as the token
// file's folders are: the lock is made in the registry's folder before any
// file is written there.
void MakeFolders(const fs::path& folder) {
  std::error_code error;
  if (folder.empty() || fs::exists(folder, error)) return;
  MakeFolders(folder.parent_path());
  const std::u8string wide = folder.u8string();
  const std::string name(wide.begin(), wide.end());
  if (!fs::create_directory(folder, error) && error)
    throw DeskError("cannot make the folder " + name +
                    " of the desks registry: " + error.message());
  try {
    fias::NarrowToOwner(name, "folder");
  } catch (const fias::AuthKeyError& e) {
    throw DeskError(e.what());
  }
}

// Held while the registry is read, changed and written: the system's own
// lock on a file beside the registry (flock, LockFileEx). The system lets
// it go when its program ends however it ends, so a program that died
// leaves no lock behind, and no one has to judge a lock stale.
class RegistryLock {
 public:
  explicit RegistryLock(const std::string& path) {
    MakeFolders(PathOf(path).parent_path());
    const std::string lock = path + ".lock";
#ifdef _WIN32
    file_ = CreateFileW(PathOf(lock).c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE)
      throw DeskError("cannot lock the desks registry " + path + ": cannot open " + lock);
#else
    file_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (file_ < 0)
      throw DeskError("cannot lock the desks registry " + path + ": " + std::strerror(errno));
#endif
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    while (!TryLock()) {
      if (std::chrono::steady_clock::now() > deadline) {
        Close();
        throw DeskError("the desks registry " + path +
                        " is in use by another program for too long; try again");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~RegistryLock() { Close(); }  // closing lets the lock go
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
#ifdef _WIN32
  bool TryLock() {
    OVERLAPPED whole{};
    return LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &whole) != 0;
  }
  void Close() { CloseHandle(file_); }
  HANDLE file_ = INVALID_HANDLE_VALUE;
#else
  bool TryLock() { return flock(file_, LOCK_EX | LOCK_NB) == 0; }
  void Close() { close(file_); }
  int file_ = -1;
#endif
};

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

bool ParseSeconds(std::string_view text, int64_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

Rows Parse(const std::string& text, const std::string& path) {
  Rows rows;
  int number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const auto bad = [&](const std::string& what) {
      return DeskError("the desks registry " + path + ", line " + std::to_string(number) + ": " +
                       what);
    };
    const std::vector<std::string_view> fields = Fields(line);
    if (fields.size() != 4) throw bad("not four fields separated by tabs");
    const std::string kind(fields[0]), name(fields[1]), value(fields[2]);
    if (!IsDeskName(name)) throw bad("the second field is not a desk name");
    int64_t seconds = 0;
    if (!ParseSeconds(fields[3], seconds)) throw bad("the last field is not a time in seconds");
    Row& row = rows[name];
    if (kind == "desk") {
      if (row.secret) throw bad("a second desk line for " + name);
      try {
        row.secret = DigestFromHex(value);
      } catch (const DeskError& e) {
        throw bad(std::string("the secret is ") + e.what());
      }
      row.paired_at = seconds;
    } else if (kind == "code") {
      if (!row.code.empty()) throw bad("a second code line for " + name);
      if (value.empty() || NormalizePairingCode(value) != value) throw bad("not a pairing code");
      row.code = value;
      row.code_expires = seconds;
    } else {
      throw bad("neither a desk line nor a code line");
    }
  }
  return rows;
}

std::string Format(const Rows& rows) {
  std::string text;
  for (const auto& [name, row] : rows) {
    if (row.secret)
      text +=
          "desk\t" + name + "\t" + Hex(*row.secret) + "\t" + std::to_string(row.paired_at) + "\n";
    if (!row.code.empty())
      text += "code\t" + name + "\t" + row.code + "\t" + std::to_string(row.code_expires) + "\n";
  }
  return text;
}

Rows Load(const std::string& path) {
  const std::optional<std::string> text = ReadText(path, "desks registry", false);
  return text ? Parse(*text, path) : Rows();
}

// Reads, changes and writes the registry under its lock; `change` says
// whether it changed anything, and the file is left alone when not.
template <typename Change>
void Update(const std::string& path, Change change) {
  RegistryLock lock(path);
  Rows rows = Load(path);
  if (change(rows)) ReplaceOwnerOnlyFile(path, Format(rows), "desks registry");
}

void CheckDeskName(const std::string& desk) {
  if (!IsDeskName(desk))
    throw DeskError("\"" + desk + "\" is not a desk name: 1 to 32 of A-Z a-z 0-9 - _");
}

}  // namespace

bool IsDeskName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string NewPairingCode() {
  std::string symbols;
  while (symbols.size() < kCodeLength) {
    // 240 is the largest multiple of 30 a byte holds: bytes above it are
    // dropped, so that every symbol is as likely as every other.
    for (char byte : RandomBytes(kCodeLength)) {
      const auto value = static_cast<uint8_t>(byte);
      if (value < 240 && symbols.size() < kCodeLength)
        symbols += kCodeAlphabet[value % kCodeAlphabet.size()];
    }
  }
  return NormalizePairingCode(symbols);
}

std::string NormalizePairingCode(const std::string& typed) {
  std::string symbols;
  for (char c : typed) {
    if (c == ' ' || c == '\t' || c == '-') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (kCodeAlphabet.find(c) == std::string_view::npos) return std::string();
    symbols += c;
  }
  if (symbols.size() != kCodeLength) return std::string();
  std::string code;
  for (std::size_t i = 0; i < kCodeLength; i += kCodeGroup)
    code += (i == 0 ? "" : "-") + symbols.substr(i, kCodeGroup);
  return code;
}

DeskRegistry::DeskRegistry(std::string path) : path_(std::move(path)) {}

std::string DeskRegistry::Pair(const std::string& desk, int64_t now) {
  CheckDeskName(desk);
  const std::string code = NewPairingCode();
  Update(path_, [&](Rows& rows) {
    Row& row = rows[desk];
    row.code = code;
    row.code_expires = now + kPairingCodeSeconds;
    return true;
  });
  return code;
}

DeskRegistry::Claim DeskRegistry::ClaimCode(const std::string& desk, int64_t now) {
  Claim claim;
  Update(path_, [&](Rows& rows) {
    const auto found = rows.find(desk);
    if (found == rows.end() || found->second.code.empty()) return false;
    Row& row = found->second;
    claim.state = now < row.code_expires ? CodeState::kValid : CodeState::kExpired;
    if (claim.state == CodeState::kValid) claim.code = row.code;
    row.code.clear();
    row.code_expires = 0;
    if (!row.secret) rows.erase(found);
    return true;
  });
  return claim;
}

void DeskRegistry::Keep(const std::string& desk, const Secret& secret, int64_t now) {
  CheckDeskName(desk);
  Update(path_, [&](Rows& rows) {
    Row& row = rows[desk];
    row.secret = secret;
    row.paired_at = now;
    return true;
  });
}

bool DeskRegistry::Remove(const std::string& desk) {
  bool removed = false;
  Update(path_, [&](Rows& rows) { return removed = rows.erase(desk) > 0; });
  return removed;
}

std::optional<Secret> DeskRegistry::SecretOf(const std::string& desk) const {
  const Rows rows = Load(path_);
  const auto found = rows.find(desk);
  return found == rows.end() ? std::nullopt : found->second.secret;
}

std::vector<DeskEntry> DeskRegistry::List() const {
  std::vector<DeskEntry> entries;
  for (const auto& [name, row] : Load(path_)) {
    entries.push_back({name, row.secret.has_value(), row.secret ? row.paired_at : 0,
                       row.code.empty() ? 0 : row.code_expires});
  }
  return entries;
}

void WriteDeskSecret(const std::string& path, const DeskSecret& secret) {
  CheckDeskName(secret.desk);
  ReplaceOwnerOnlyFile(path, secret.desk + "\t" + Hex(secret.secret) + "\n", "desk secret file");
}

std::optional<DeskSecret> ReadDeskSecret(const std::string& path) {
  std::optional<std::string> text = ReadText(path, "desk secret file", true);
  if (!text) return std::nullopt;
  // Editors and copies through Windows add blanks and CRLF at the end.
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r' || text->back() == ' ' ||
                            text->back() == '\t'))
    text->pop_back();
  const auto bad = [&](const std::string& what) {
    return DeskError("the desk secret file " + path + " is not one of ours: " + what);
  };
  const std::vector<std::string_view> fields = Fields(*text);
  if (fields.size() != 2) throw bad("not one line of a desk name and its secret");
  DeskSecret secret;
  secret.desk = std::string(fields[0]);
  if (!IsDeskName(secret.desk)) throw bad("its first field is not a desk name");
  try {
    secret.secret = DigestFromHex(fields[1]);
  } catch (const DeskError& e) {
    throw bad(std::string("its secret is ") + e.what());
  }
  return secret;
}

}  // namespace desks
