#include "store/open_database.h"

#include <cstring>
#include <stdexcept>

#include "util/status.h"
#include "store/odbc_open.h"
#ifndef _WIN32
#include "store/sqlite_connection.h"  // Windows reaches every database through ODBC
#endif

namespace holvanter {
namespace {

// The first bytes of every SQLite database file.
constexpr char kSqliteHeader[] = "SQLite format 3";  // and its terminating zero: 16 bytes
constexpr std::size_t kHeaderBytes = 16;

// The first bytes of the file at `path` (UTF-8), fewer when it is shorter;
// empty when it cannot be read.
std::string ReadHeader(Env& env, const std::string& path) {
  std::string header;
  if (!env.ReadFilePrefix(path, kHeaderBytes, &header)) return {};
  return header;
}

bool IsSqliteFile(const std::string& header) {
  return header.size() == kHeaderBytes && std::memcmp(header.data(), kSqliteHeader, kHeaderBytes) == 0;
}

std::unique_ptr<Connection> OpenByContent(Env& env, const std::string& database_path) {
  const std::string header = ReadHeader(env, database_path);
  if (IsSqliteFile(header)) {
#ifdef _WIN32
    // no SQLite library in the Windows build
    throw StatusError(Status::Database("an SQLite file opens here only through an ODBC data source: " + database_path));
#else
    return SqliteConnection::Open(env, database_path);
#endif
  }
  // Access files and ODBC file data sources open through ODBC.
  std::string failure;
  std::unique_ptr<Connection> connection = OpenOdbcDatabase(env, database_path, &failure);
  if (connection == nullptr) throw StatusError(Status::Database(failure));
  return connection;
}

}  // namespace

bool OpenDatabase(Env& env, const std::string& database_path,
                  std::unique_ptr<Connection>& db_connection, std::string* failure) {
  db_connection.reset();  // the previous connection closes before the new one opens
  std::string why;
  try {
    db_connection = OpenByContent(env, database_path);
  } catch (const std::exception& e) {
    db_connection.reset();
    why = e.what();
  } catch (...) {
    db_connection.reset();
    why = "the database could not be opened";
  }
  if (failure != nullptr) *failure = db_connection != nullptr ? std::string() : why;
  return db_connection != nullptr;
}

}  // namespace holvanter
