// Any bytes as the settings file Tavoper.ini beside the component and as an
// ODBC file data source, read through the component's own readers: never a
// crash; the database path is the "DataBase" value cut to 255 bytes; the
// profile reader never writes past the buffer it is given; and the
// connection string of a data source carries exactly the keywords of its
// [ODBC] section, so that no value can add a keyword of its own.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/env.h"
#include "platform/profile_reader.h"
#include "store/odbc_open.h"
#include "store/settings.h"

namespace {

using Keywords = std::vector<std::pair<std::string, std::string>>;

// A new file each time: rewriting one in place makes the file system flush
// it to disk at every close, which would bound the run by the disk.
void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::remove(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  FUZZ_CHECK(out.good(), "cannot write " + path);
}

// A connection string read back as a driver manager reads it: KEY=value
// pairs split at ';', a value in braces running to the brace that closes it
// ("}}" standing for one '}'). nullopt when it does not read as pairs.
std::optional<Keywords> ParseConnectionString(const std::string& s) {
  Keywords pairs;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t eq = s.find('=', pos);
    if (eq == std::string::npos) return std::nullopt;
    std::string key = s.substr(pos, eq - pos);
    if (key.find(';') != std::string::npos) return std::nullopt;
    std::string value;
    pos = eq + 1;
    if (pos < s.size() && s[pos] == '{') {
      for (++pos;; ++pos) {
        if (pos >= s.size()) return std::nullopt;
        if (s[pos] != '}') {
          value += s[pos];
        } else if (pos + 1 < s.size() && s[pos + 1] == '}') {
          value += '}';
          ++pos;
        } else {
          ++pos;
          break;
        }
      }
    } else {
      const std::size_t end = s.find(';', pos);
      value = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      pos = end == std::string::npos ? s.size() : end;
    }
    if (pos < s.size() && s[pos] != ';') return std::nullopt;
    if (pos < s.size()) ++pos;
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

// A value written in braces in the data source ({SQL Server}) reaches the
// driver as the text inside them.
std::string AsDriverReadsIt(const std::string& value) {
  if (value.size() < 2 || value.front() != '{' || value.back() != '}') return value;
  auto parsed = ParseConnectionString("K=" + value);
  return parsed && parsed->size() == 1 ? (*parsed)[0].second : value;
}

std::string Show(const Keywords& keywords) {
  std::string out;
  for (const auto& [k, v] : keywords) out += "[" + k + "]=[" + v + "] ";
  return out;
}

struct Files {
  std::string settings;     // the Tavoper.ini the component reads
  std::string data_source;  // a data source file of our own
};

// Never destroyed, so that the files can still be removed at exit.
const Files& TheFiles() {
  static const Files* files = [] {
    holvanter::Env* env = holvanter::Env::Default();
    std::atexit([] {
      std::remove(TheFiles().settings.c_str());
      std::remove(TheFiles().data_source.c_str());
    });
    return new Files{holvanter::SettingsFilePath(*env),
        "/tmp/holvanter-fuzz-" + std::to_string(getpid()) + ".dsn"};
  }();
  return *files;
}

void CheckSettingsFile(const uint8_t* data, size_t size, const std::string& text) {
  WriteFile(TheFiles().settings, data, size);
  std::string database_path = "left from before";
  const int16_t result = holvanter::ReadDatabasePath(*holvanter::Env::Default(), database_path);
  std::string expected = holvanter::FindProfileValue(text, "Setting", "DataBase").value_or("");
  if (expected.size() > 255) expected.resize(255);
  FUZZ_CHECK(result == 0 || result == -820, std::to_string(result));
  FUZZ_CHECK(database_path == expected, "[" + database_path + "] instead of [" + expected + "]");

  // A buffer of 1 to 8 bytes, exactly as large as said: the reader stops
  // inside it and ends the value with a zero.
  const std::size_t buffer_size = 1 + size % 8;
  std::unique_ptr<char[]> buffer(new char[buffer_size]);
  const std::size_t n = holvanter::Env::Default()->GetPrivateProfileString(
      "Setting", "DataBase", "", buffer.get(), buffer_size, TheFiles().settings);
  FUZZ_CHECK(n < buffer_size && buffer[n] == '\0' && expected.compare(0, n, buffer.get(), n) == 0,
             "a buffer of " + std::to_string(buffer_size) + " gave " + std::to_string(n));
}

void CheckDataSource(const uint8_t* data, size_t size, const std::string& text) {
  WriteFile(TheFiles().data_source, data, size);
  const std::optional<holvanter::OdbcTarget> target =
      holvanter::PlanOdbcOpen(*holvanter::Env::Default(), TheFiles().data_source);
  if (!target || holvanter::IsAccessHeader(text)) return;

  Keywords expected = holvanter::ReadProfileSection(text, "ODBC");
  // An SQLite driver gets a database path beyond ASCII as a file: URI.
  const auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  bool sqlite = false;
  for (const auto& [key, value] : expected)
    if (lower(key) == "driver" && lower(value).find("sqlite") != std::string::npos) sqlite = true;
  for (auto& [key, value] : expected) {
    if (sqlite && lower(key) == "database") value = holvanter::SqliteDatabaseName(value);
    value = AsDriverReadsIt(value);
  }
  const std::optional<Keywords> carried = ParseConnectionString(target->connection_string);
  FUZZ_CHECK(carried.has_value(), "no keyword pairs: " + target->connection_string);
  // The SQLite driver's busy time-out may follow the file's own keywords.
  Keywords own = *carried;
  if (own.size() == expected.size() + 1 && own.back().first == "Timeout") own.pop_back();
  FUZZ_CHECK(own == expected, target->connection_string + "\n  carries " + Show(*carried) +
                                  "\n  the file has " + Show(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckSettingsFile(data, size, text);
  CheckDataSource(data, size, text);
  return 0;
}
