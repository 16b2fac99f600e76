// The embedded hotel database: a Connection over an SQLite file.
#ifndef HOLVANTER_STORE_SQLITE_CONNECTION_H_
#define HOLVANTER_STORE_SQLITE_CONNECTION_H_

#include <memory>
#include <string>

#include "store/database.h"

struct sqlite3;

namespace holvanter {

class SqliteConnection : public Connection {
 public:
  // Opens the SQLite database at `path` (UTF-8). With `create`, a missing
  // file is created; without it the file must exist and be readable as an
  // SQLite database. Writers wait up to kCommandTimeoutSeconds for each
  // other. Throws StatusError (kDatabase) when the database cannot be opened.
  static std::unique_ptr<SqliteConnection> Open(const std::string& path, bool create = false);

  ~SqliteConnection() override;
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  SqlDialect Dialect() const override { return SqlDialect::kSqlite; }
  // BEGIN IMMEDIATE: the write lock is taken at once, so concurrent writers
  // queue on the busy timeout instead of failing at their first write.
  Status BeginTrans() override;
  Status Execute(const std::string& statement) override;
  Status CommitTrans() override;
  void RollbackTrans() noexcept override;
  Result<RecordSet> Query(const std::string& statement) override;
  // An exclusive lock on the file beside the database named
  // database path + ".lock", shared by every thread and process.
  Result<std::unique_ptr<NumberingTurn>> TakeNumberingTurn() override;

  const std::string& Path() const { return path_; }

 private:
  // Query's work; a failure is thrown as StatusError.
  RecordSet FetchAll(const std::string& statement);

  SqliteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

  // Runs every statement of `sql` (already in SQLite's dialect), dropping
  // any rows they give.
  void Run(const std::string& sql);

  sqlite3* db_;
  std::string path_;
};

}  // namespace holvanter

#endif  // HOLVANTER_STORE_SQLITE_CONNECTION_H_
