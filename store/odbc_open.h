// Database files that open through ODBC: the hotel's Access file (a Jet or
// ACE header) and ODBC file data sources (a settings file whose [ODBC]
// section names a DRIVER and its keywords, read by the component itself so
// that it reads the same on Windows, on Linux and under Wine).
#ifndef HOLVANTER_STORE_ODBC_OPEN_H_
#define HOLVANTER_STORE_ODBC_OPEN_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/env.h"
#include "store/database.h"

namespace holvanter {

// The busy time-out given to the SQLite ODBC driver, in milliseconds: a
// write on a busy file waits it twice, within the command time limit.
inline constexpr int kSqliteDriverBusyTimeoutMs = kCommandTimeoutSeconds * 1000 / 2;

// How a database file is reached through ODBC.
struct OdbcTarget {
  std::string connection_string;
  // The lock file through which issues on a file database take turns at
  // card numbering: the database file's path + ".lock", the name the SQLite
  // backend uses too, so that desks on either backend exclude each other.
  std::string numbering_lock_path;
};

// The Database value handed to an SQLite ODBC driver. A POSIX path holding
// characters beyond ASCII becomes a file: URI with those bytes
// percent-encoded, so that it reaches the driver whole through any text
// conversion on the way: under Wine the Linux driver is reached through
// unixODBC, which squeezes the wide connection string into the C locale's
// ASCII for a driver that takes narrow text only (a folder 酒店 arrived as
// two stray bytes). Other values are kept as they are.
std::string SqliteDatabaseName(const std::string& database);

// True when `header`, the first bytes of a file, is that of an Access
// database: "Standard Jet DB" or "Standard ACE DB" at offset 4.
bool IsAccessHeader(std::string_view header);

// "KEY=value" pairs joined by ';'. A value holding ';', a brace or outer
// blanks goes between braces ('}' doubled) unless it is already one braced
// value ("{SQL Server}", every '}' inside doubled).
std::string JoinConnectionString(const std::vector<std::pair<std::string, std::string>>& keywords);

// What the file at `path` (UTF-8), read through `env`, opens with through
// ODBC: an Access file with exactly BuildConnectionString(path); a file data
// source with every keyword of its [ODBC] section in file order (an SQLite
// driver also gets its busy time-out and an ASCII database name). nullopt
// for any other file, one that cannot be read, a data source without a
// DRIVER, or one with a keyword name holding ';', '=' or a brace (or empty):
// the driver would read other keywords than the file's.
std::optional<OdbcTarget> PlanOdbcOpen(Env& env, const std::string& path);

// A new ODBC connection to the database file at `path`; nullptr when the
// file is no ODBC database file or the connection fails; `failure`, when
// given, then receives why (the driver manager's or the driver's message).
std::unique_ptr<Connection> OpenOdbcDatabase(Env& env, const std::string& path,
                                             std::string* failure = nullptr);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_ODBC_OPEN_H_
