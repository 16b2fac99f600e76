#include "store/odbc_open.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/env.h"
#include "platform/profile_reader.h"
#include "store/odbc_connection.h"
#include "store/settings.h"
#include "util/text.h"

namespace holvanter {
namespace {

// A file data source is a few lines of text; anything longer is not one.
constexpr std::size_t kMaxDataSourceBytes = 64 * 1024;

const std::string* FindKeyword(const std::vector<std::pair<std::string, std::string>>& keywords,
                               std::string_view name) {
  for (const auto& [key, value] : keywords)
    if (EqualsIgnoreCase(key, name)) return &value;
  return nullptr;
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80            ? 0
                      : (lead & 0xE0) == 0xC0 ? 1
                      : (lead & 0xF0) == 0xE0 ? 2
                      : (lead & 0xF8) == 0xF0 ? 3
                                              : -1;
    if (extra < 0 || (extra > 0 && i + extra >= text.size())) return false;
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += 1 + extra;
  }
  return true;
}

// A value already written as one braced value, as a driver reads it: an
// opening brace, text in which every '}' is doubled, the closing brace.
bool IsBracedValue(std::string_view value) {
  if (value.size() < 2 || value.front() != '{' || value.back() != '}') return false;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] != '}') continue;
    if (i + 2 < value.size() && value[i + 1] == '}') {
      ++i;
      continue;
    }
    return false;
  }
  return true;
}

// A keyword name that a connection string can carry: a ';', '=' or brace in
// it would split it into other keywords.
bool AllNamesCarried(const std::vector<std::pair<std::string, std::string>>& keywords) {
  for (const auto& [key, value] : keywords)
    if (key.empty() || key.find_first_of(";={}") != std::string::npos) return false;
  return true;
}

// Up to `limit` bytes of the file at `path` (UTF-8); nullopt when it cannot
// be read.
std::optional<std::string> ReadFileStart(Env& env, const std::string& path, std::size_t limit) {
  std::string bytes;
  if (!env.ReadFilePrefix(path, limit, &bytes)) return std::nullopt;
  return bytes;
}

using Keywords = std::vector<std::pair<std::string, std::string>>;

// The keywords of a file data source's [ODBC] section, in file order;
// nullopt when none names a DRIVER, or when a keyword name holds ';', '='
// or a brace (or is empty): the driver would read other keywords than the
// file's.
std::optional<Keywords> DataSourceKeywords(std::string_view text) {
  Keywords keywords = ReadProfileSection(text, "ODBC");
  const std::string* driver = FindKeyword(keywords, "DRIVER");
  if (driver == nullptr || driver->empty() || !AllNamesCarried(keywords)) return std::nullopt;
  return keywords;
}

// The connection string of a file data source's keywords: all of them, in
// file order. The SQLite driver keeps no statement time limit of its own;
// its busy time-out (milliseconds) is what bounds a statement's wait for
// the file. A write on a busy file waits that time-out twice over (once to
// begin the driver's transaction, once for the statement), so it gets half
// the limit, unless the data source sets one. Its database name goes in a
// form that reaches it whole.
std::string DataSourceConnectionString(Keywords keywords) {
  if (ContainsIgnoreCase(*FindKeyword(keywords, "DRIVER"), "sqlite")) {
    if (FindKeyword(keywords, "Timeout") == nullptr)
      keywords.emplace_back("Timeout", std::to_string(kSqliteDriverBusyTimeoutMs));
    for (auto& [key, value] : keywords)
      if (EqualsIgnoreCase(key, "Database")) value = SqliteDatabaseName(value);
  }
  return JoinConnectionString(keywords);
}

}  // namespace

std::string SqliteDatabaseName(const std::string& database) {
  const bool ascii = std::all_of(database.begin(), database.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || database.empty() || database.front() != '/') return database;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (char c : database) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && c != '%' && c != '?' && c != '#') {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 0x0F];
    }
  }
  return uri;
}

bool IsAccessHeader(std::string_view header) {
  if (header.size() < 4 + 15) return false;
  const std::string_view name = header.substr(4, 15);
  return name == "Standard Jet DB" || name == "Standard ACE DB";
}

std::string JoinConnectionString(
    const std::vector<std::pair<std::string, std::string>>& keywords) {
  std::string joined;
  for (const auto& [key, value] : keywords) {
    if (!joined.empty()) joined += ';';
    joined += key;
    joined += '=';
    const bool needs_braces =
        !IsBracedValue(value) && (value.find_first_of(";{}") != std::string::npos ||
                    (!value.empty() && (value.front() == ' ' || value.back() == ' ')));
    if (!needs_braces) {
      joined += value;
      continue;
    }
    joined += '{';
    for (char c : value) {
      joined += c;
      if (c == '}') joined += '}';
    }
    joined += '}';
  }
  return joined;
}

std::optional<OdbcTarget> PlanOdbcOpen(Env& env, const std::string& path) {
  std::optional<std::string> bytes = ReadFileStart(env, path, kMaxDataSourceBytes + 1);
  if (!bytes) return std::nullopt;
  if (IsAccessHeader(*bytes)) return OdbcTarget{BuildConnectionString(path), path + ".lock"};

  if (bytes->size() > kMaxDataSourceBytes || bytes->find('\0') != std::string::npos)
    return std::nullopt;
  // Data sources written by Windows tools are in the ANSI code page.
  const std::string text = IsUtf8(*bytes) ? *bytes : env.FromAnsi(*bytes);
  const std::optional<Keywords> keywords = DataSourceKeywords(text);
  if (!keywords) return std::nullopt;

  // Issues on a file database take turns through a lock file beside it;
  // a server database keeps its own turns, and the lock file beside the
  // data source is then never used.
  const std::string& driver = *FindKeyword(*keywords, "DRIVER");
  std::string database_file = path;
  if (const std::string* dbq = FindKeyword(*keywords, "DBQ"); dbq && !dbq->empty()) {
    database_file = *dbq;
  } else if (const std::string* database = FindKeyword(*keywords, "Database");
             database && !database->empty() &&
             (ContainsIgnoreCase(driver, "sqlite") || env.FileExists(*database))) {
    database_file = *database;
  }
  return OdbcTarget{DataSourceConnectionString(*keywords), database_file + ".lock"};
}

std::unique_ptr<Connection> OpenOdbcDatabase(Env& env, const std::string& path,
                                             std::string* failure) {
  std::string why;
  try {
    std::optional<OdbcTarget> target = PlanOdbcOpen(env, path);
    if (target) {
      return std::make_unique<OdbcConnection>(env, target->connection_string,
                                              std::move(target->numbering_lock_path),
                                              ReadIdleSessionSeconds(env));
    }
    why = "the file " + path +
          " is neither an SQLite nor an Access database nor an ODBC file data source naming "
          "a DRIVER";
  } catch (const std::exception& e) {
    why = e.what();
  } catch (...) {
    why = "the database could not be opened";
  }
  if (failure != nullptr) *failure = why;
  return nullptr;
}

}  // namespace holvanter
