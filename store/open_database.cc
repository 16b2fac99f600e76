#include "store/open_database.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

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
std::string ReadHeader(const std::string& path) {
  const std::u8string u8(path.begin(), path.end());
  std::ifstream in(std::filesystem::path(u8), std::ios::binary);
  if (!in) return {};
  std::string header(kHeaderBytes, '\0');
  in.read(header.data(), static_cast<std::streamsize>(header.size()));
  header.resize(static_cast<std::size_t>(in.gcount()));
  return header;
}

bool IsSqliteFile(const std::string& header) {
  return header.size() == kHeaderBytes && std::memcmp(header.data(), kSqliteHeader, kHeaderBytes) == 0;
}

std::unique_ptr<Connection> OpenByContent(const std::string& database_path) {
  const std::string header = ReadHeader(database_path);
  if (IsSqliteFile(header)) {
#ifdef _WIN32
    return nullptr;  // no SQLite library in the Windows build
#else
    return SqliteConnection::Open(database_path);
#endif
  }
  // Access files and ODBC file data sources open through ODBC.
  std::string failure;
  std::unique_ptr<Connection> connection = OpenOdbcDatabase(database_path, &failure);
  if (connection == nullptr && !failure.empty()) throw std::runtime_error(failure);
  return connection;
}

// The reason of the last failed open on this thread.
thread_local std::string last_open_failure;

}  // namespace

const std::string& LastOpenFailure() { return last_open_failure; }

bool OpenDatabase(const std::string& database_path, std::unique_ptr<Connection>& db_connection) {
  db_connection.reset();  // the previous connection closes before the new one opens
  last_open_failure.clear();
  try {
    db_connection = OpenByContent(database_path);
    if (db_connection == nullptr) last_open_failure = "no database this build can open";
  } catch (const std::exception& e) {
    db_connection.reset();
    last_open_failure = e.what();
  } catch (...) {
    db_connection.reset();
    last_open_failure = "unknown failure";
  }
  return db_connection != nullptr;
}

}  // namespace holvanter
