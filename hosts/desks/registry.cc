// The link desk's registry of paired desks, and a desk's own secret file.
// Both are small text files that their owner alone may read; a change is a
// new file renamed over the old one, so a reader sees the old text or the
// new, never half of one, and needs no lock.
#include "hosts/desks/registry.h"

#include <charconv>
#include <chrono>
#include <map>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/env.h"
#include "platform/private_file.h"
#include "util/text.h"

namespace desks {
namespace {

using holvanter::Result;
using holvanter::Status;

// No 0/O, 1/I/L or U: a clerk reads the code off one screen and types it on
// another, and U is a V or a rude word away.
constexpr std::string_view kCodeAlphabet = "23456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::size_t kCodeLength = 16;
constexpr std::size_t kCodeGroup = 4;

// `tavocard desks` and the agent each hold the lock for a read and a write
// of a small file.
constexpr auto kLockWait = std::chrono::milliseconds(3000);
// Hundreds of desks are a few tens of kilobytes; far more is not ours.
constexpr std::size_t kMaxFileSize = 1 << 20;

struct Row {
  std::optional<Secret> secret;
  int64_t paired_at = 0;
  std::string code;  // empty: none pending
  int64_t code_expires = 0;
};
using Rows = std::map<std::string, Row>;

// The text of the file at `path`, nullopt when there is none; a link at the
// path, a file of another user or one that group or others may reach is
// refused.
// The floor's owner-only files throw PrivateFileError: caught here, at the
// registry's edge with them, and answered as a value.
Result<std::optional<std::string>> ReadText(const std::string& path, const std::string& what) {
  try {
    return holvanter::ReadPrivateFile(path, what, kMaxFileSize, holvanter::OpenToOthers::kRefuse);
  } catch (const holvanter::PrivateFileError& e) {
    return Status::InvalidArgument(
        e.kind() == holvanter::PrivateFileError::kOpenToOthers
            ? std::string(e.what()) + ", or pair the desk again if others may have read its secret"
            : std::string(e.what()));
  }
}

Status ReplaceOwnerOnlyFile(const std::string& path, const std::string& text,
                            const std::string& what) {
  try {
    holvanter::ReplacePrivateFile(path, text, what);
  } catch (const holvanter::PrivateFileError& e) {
    return Status::InvalidArgument(e.what());
  }
  return Status::Ok();
}

// Held while the registry is read, changed and written: the system's own
// lock on an owner-only file beside the registry (Env::LockFile: flock,
// LockFileEx). The system lets it go when its program ends however it ends,
// so a program that died leaves no lock behind, and no one has to judge a
// lock stale; a waiting program takes it the moment it is given back.
// The lock's end lets it go.
Result<std::unique_ptr<holvanter::FileLock>> LockRegistry(const std::string& path) {
  holvanter::FileLockResult taken = holvanter::Env::Default()->LockFile(
      path + ".lock", static_cast<int>(kLockWait.count()), holvanter::LockFileMode::kOwnerOnly);
  if (taken.timed_out)
    return Status::InvalidArgument("the desks registry " + path +
                                   " is in use by another program for too long; try again");
  if (!taken.lock)
    return Status::InvalidArgument("cannot lock the desks registry " + path + ": " + taken.error);
  return std::move(taken.lock);
}

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

// Reads one line into `rows`; a line that is none leaves them as they were
// and answers why.
std::optional<std::string> ParseLine(std::string_view line, Rows& rows) {
  const std::vector<std::string_view> fields = Fields(line);
  if (fields.size() != 4) return "not four fields separated by tabs";
  const std::string kind(fields[0]), name(fields[1]), value(fields[2]);
  if (!IsDeskName(name)) return "the second field is not a desk name";
  int64_t seconds = 0;
  if (!ParseSeconds(fields[3], seconds)) return "the last field is not a time in seconds";
  const auto found = rows.find(name);
  if (kind == "desk") {
    if (found != rows.end() && found->second.secret) return "a second desk line for " + name;
    std::string why;
    const std::optional<Secret> secret = DigestFromHex(value, &why);
    if (!secret) return "the secret is " + why;
    Row& row = rows[name];
    row.secret = secret;
    row.paired_at = seconds;
  } else if (kind == "code") {
    if (found != rows.end() && !found->second.code.empty()) return "a second code line for " + name;
    if (value.empty() || NormalizePairingCode(value) != value) return "not a pairing code";
    Row& row = rows[name];
    row.code = value;
    row.code_expires = seconds;
  } else {
    return "neither a desk line nor a code line";
  }
  return std::nullopt;
}

// The registry's entries. A line that is none is refused by its number; with
// `bad`, it is kept there instead and the other lines are read.
Result<Rows> Parse(const std::string& text, const std::string& path,
                   std::vector<std::string>* bad = nullptr) {
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
    if (const std::optional<std::string> why = ParseLine(line, rows)) {
      if (bad == nullptr)
        return Status::InvalidArgument("the desks registry " + path + ", line " +
                                       std::to_string(number) + ": " + *why);
      bad->emplace_back(line);
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

Result<Rows> Load(const std::string& path, std::vector<std::string>* bad = nullptr) {
  HV_ASSIGN_OR_RETURN(const std::optional<std::string> text, ReadText(path, "desks registry"));
  if (!text) return Rows();
  return Parse(*text, path, bad);
}

// Reads, changes and writes the registry under its lock; `change` says
// whether it changed anything, and the file is left alone when not. With
// `set_aside`, lines that are none do not stop the change: they are moved
// to the registry's ".bad" file beside it, and `set_aside` says so.
template <typename Change>
Status Update(const std::string& path, Change change, std::string* set_aside = nullptr) {
  HV_ASSIGN_OR_RETURN(const std::unique_ptr<holvanter::FileLock> lock, LockRegistry(path));
  std::vector<std::string> bad;
  HV_ASSIGN_OR_RETURN(Rows rows, Load(path, set_aside != nullptr ? &bad : nullptr));
  const bool changed = change(rows);
  if (!bad.empty()) {
    std::string lines;
    for (const std::string& line : bad) lines += line + "\n";
    try {
      holvanter::PrivateFile aside(path + ".bad", "desks registry's set-aside lines",
                                   holvanter::PrivateFile::How::kAppend,
                                   holvanter::OpenToOthers::kNarrow);
      aside.Append(lines);
    } catch (const holvanter::PrivateFileError& e) {
      return Status::InvalidArgument(
          std::string("the desks registry has lines that are none, and they cannot be set "
                      "aside: ") + e.what());
    }
    *set_aside = std::to_string(bad.size()) + (bad.size() == 1 ? " line" : " lines") +
                 " of the desks registry " + path + " that no desk can use set aside in " + path +
                 ".bad";
  }
  if (changed || !bad.empty()) return ReplaceOwnerOnlyFile(path, Format(rows), "desks registry");
  return Status::Ok();
}

Status CheckDeskName(const std::string& desk) {
  if (!IsDeskName(desk))
    return Status::InvalidArgument("\"" + desk +
                                   "\" is not a desk name: 1 to 32 of A-Z a-z 0-9 - _");
  return Status::Ok();
}

}  // namespace

Result<std::string> NewPairingCode() {
  std::string symbols;
  while (symbols.size() < kCodeLength) {
    HV_ASSIGN_OR_RETURN(const std::string bytes, RandomBytes(kCodeLength));
    // 240 is the largest multiple of 30 a byte holds: bytes above it are
    // dropped, so that every symbol is as likely as every other.
    for (char byte : bytes) {
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

Result<std::string> DeskRegistry::Pair(const std::string& desk, int64_t now,
                                       std::string* set_aside) {
  HV_RETURN_IF_ERROR(CheckDeskName(desk));
  HV_ASSIGN_OR_RETURN(const std::string code, NewPairingCode());
  HV_RETURN_IF_ERROR(Update(
      path_,
      [&](Rows& rows) {
        Row& row = rows[desk];
        row.code = code;
        row.code_expires = now + kPairingCodeSeconds;
        return true;
      },
      set_aside));
  return code;
}

Result<DeskRegistry::Claim> DeskRegistry::PeekCode(const std::string& desk, int64_t now) const {
  Claim claim;
  HV_ASSIGN_OR_RETURN(const Rows rows, Load(path_));
  const auto found = rows.find(desk);
  if (found == rows.end() || found->second.code.empty()) return claim;
  claim.state = now < found->second.code_expires ? CodeState::kValid : CodeState::kExpired;
  if (claim.state == CodeState::kValid) claim.code = found->second.code;
  return claim;
}

Result<DeskRegistry::Claim> DeskRegistry::ClaimCode(const std::string& desk, int64_t now) {
  Claim claim;
  HV_RETURN_IF_ERROR(Update(path_, [&](Rows& rows) {
    const auto found = rows.find(desk);
    if (found == rows.end() || found->second.code.empty()) return false;
    Row& row = found->second;
    claim.state = now < row.code_expires ? CodeState::kValid : CodeState::kExpired;
    if (claim.state == CodeState::kValid) claim.code = row.code;
    row.code.clear();
    row.code_expires = 0;
    if (!row.secret) rows.erase(found);
    return true;
  }));
  return claim;
}

Status DeskRegistry::Keep(const std::string& desk, const Secret& secret, int64_t now) {
  HV_RETURN_IF_ERROR(CheckDeskName(desk));
  return Update(path_, [&](Rows& rows) {
    Row& row = rows[desk];
    row.secret = secret;
    row.paired_at = now;
    return true;
  });
}

Result<bool> DeskRegistry::Remove(const std::string& desk, std::string* set_aside) {
  bool removed = false;
  HV_RETURN_IF_ERROR(
      Update(path_, [&](Rows& rows) { return removed = rows.erase(desk) > 0; }, set_aside));
  return removed;
}

Result<std::optional<Secret>> DeskRegistry::SecretOf(const std::string& desk) const {
  HV_ASSIGN_OR_RETURN(const Rows rows, Load(path_));
  const auto found = rows.find(desk);
  return found == rows.end() ? std::nullopt : found->second.secret;
}

Result<std::map<std::string, Secret>> DeskRegistry::Secrets() const {
  HV_ASSIGN_OR_RETURN(const Rows rows, Load(path_));
  std::map<std::string, Secret> secrets;
  for (const auto& [name, row] : rows)
    if (row.secret) secrets[name] = *row.secret;
  return secrets;
}

Result<std::vector<DeskEntry>> DeskRegistry::List() const {
  HV_ASSIGN_OR_RETURN(const Rows rows, Load(path_));
  std::vector<DeskEntry> entries;
  for (const auto& [name, row] : rows) {
    entries.push_back({name, row.secret.has_value(), row.secret ? row.paired_at : 0,
                       row.code.empty() ? 0 : row.code_expires});
  }
  return entries;
}

Status WriteDeskSecret(const std::string& path, const DeskSecret& secret) {
  HV_RETURN_IF_ERROR(CheckDeskName(secret.desk));
  return ReplaceOwnerOnlyFile(path, secret.desk + "\t" + Hex(secret.secret) + "\n",
                              "desk secret file");
}

Result<std::optional<DeskSecret>> ReadDeskSecret(const std::string& path) {
  HV_ASSIGN_OR_RETURN(const std::optional<std::string> file, ReadText(path, "desk secret file"));
  if (!file) return std::optional<DeskSecret>();
  // Editors and copies through Windows add blanks and CRLF at the end.
  const std::string_view text = holvanter::TrimEnd(*file, " \t\r\n");
  const auto bad = [&](const std::string& what) {
    return Status::InvalidArgument("the desk secret file " + path + " is not one of ours: " + what);
  };
  const std::vector<std::string_view> fields = Fields(text);
  if (fields.size() != 2) return bad("not one line of a desk name and its secret");
  DeskSecret secret;
  secret.desk = std::string(fields[0]);
  if (!IsDeskName(secret.desk)) return bad("its first field is not a desk name");
  std::string why;
  const std::optional<Secret> digest = DigestFromHex(fields[1], &why);
  if (!digest) return bad("its secret is " + why);
  secret.secret = *digest;
  return std::optional<DeskSecret>(secret);
}

}  // namespace desks
