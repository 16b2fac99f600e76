// The embedded hotel database: a Connection over an SQLite file.
#ifndef HOLVANTER_STORE_SQLITE_CONNECTION_H_
#define HOLVANTER_STORE_SQLITE_CONNECTION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"
#include "store/database.h"

struct sqlite3;

namespace holvanter {

class SqliteConnection : public Connection {
 public:
  // Opens the SQLite database at `path` (UTF-8). With `create`, a missing
  // file is created; without it the file must exist and be readable as an
  // SQLite database. Writers wait up to kCommandTimeoutSeconds for each
  // other, each statement, and the numbering turn up to as long, on `env`'s
  // clock; `env` must outlive the connection. Throws StatusError
  // (kDatabase) when the database cannot be opened.
  static std::unique_ptr<SqliteConnection> Open(Env& env, const std::string& path,
                                                bool create = false);
  // The same on the system's Env.
  static std::unique_ptr<SqliteConnection> Open(const std::string& path, bool create = false);

  ~SqliteConnection() override;
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  SqlDialect Dialect() const override { return SqlDialect::kSqlite; }
  // BEGIN IMMEDIATE: the write lock is taken at once, so concurrent writers
  // queue on the busy wait instead of failing at their first write.
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

  SqliteConnection(Env& env, sqlite3* db, std::string path)
      : env_(env), db_(db), path_(std::move(path)) {}

  // Runs every statement of `sql` (already in SQLite's dialect), dropping
  // any rows they give.
  void Run(const std::string& sql);

  // SQLite's busy handler: while another connection holds the file, the
  // statement sleeps on env_ in short steps and tries again, and gives up
  // once kCommandTimeoutSeconds have passed since it first found the file
  // busy. `count` is SQLite's count of calls for this lock (0 the first).
  static int WaitWhileBusy(void* connection, int count);
  // A statement begins: its wait on a busy file starts afresh.
  void StartStatement() { busy_since_micros_.reset(); }

  Env& env_;
  sqlite3* db_;
  std::string path_;
  // When the present statement first found the file busy, on env_'s clock.
  std::optional<uint64_t> busy_since_micros_;
};

}  // namespace holvanter

#endif  // HOLVANTER_STORE_SQLITE_CONNECTION_H_
