#include "store/sqlite_connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <iterator>

#include "util/status.h"

namespace holvanter {
namespace {

[[noreturn]] void Fail(sqlite3* db) {
  if (db == nullptr) throw StatusError(Status::Database("out of memory"));
  // Busy after the busy wait: another connection held the file for the
  // whole command time limit.
  const int code = sqlite3_errcode(db);
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
    throw StatusError(Status::Database(BusyDatabaseMessage(sqlite3_errmsg(db))));
  throw StatusError(Status::Database(sqlite3_errmsg(db)));
}

bool OnlyBlanksAndSemicolons(const char* tail) {
  for (; tail != nullptr && *tail != '\0'; ++tail)
    if (*tail != ' ' && *tail != '\t' && *tail != '\r' && *tail != '\n' && *tail != ';')
      return false;
  return true;
}

// Finalizes the statement when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  ~Statement() { sqlite3_finalize(stmt); }
};

}  // namespace

int SqliteConnection::WaitWhileBusy(void* connection, int count) {
  auto* self = static_cast<SqliteConnection*>(connection);
  // SQLite calls from C: nothing may be thrown through it. An Env that
  // fails here ends the wait as the limit would.
  try {
    const uint64_t now = self->env_.NowMicros();
    if (!self->busy_since_micros_) self->busy_since_micros_ = now;
    constexpr uint64_t kLimitMicros = uint64_t{kCommandTimeoutSeconds} * 1000000;
    const uint64_t waited = now - *self->busy_since_micros_;
    if (waited >= kLimitMicros) return 0;  // the statement ends with SQLITE_BUSY
    // A few milliseconds at first, for a writer that commits at once; then
    // longer steps, so that a desk holding the file for long costs few
    // tries. The last step ends at the limit.
    static constexpr int kStepMillis[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50};
    const int step = kStepMillis[std::min<std::size_t>(static_cast<std::size_t>(count),
                                                       std::size(kStepMillis) - 1)];
    self->env_.SleepForMicroseconds(
        static_cast<int>(std::min<uint64_t>(uint64_t{1000} * step, kLimitMicros - waited)));
    return 1;
  } catch (...) {
    return 0;
  }
}

std::unique_ptr<SqliteConnection> SqliteConnection::Open(const std::string& path, bool create) {
  return Open(*Env::Default(), path, create);
}

std::unique_ptr<SqliteConnection> SqliteConnection::Open(Env& env, const std::string& path,
                                                         bool create) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    throw StatusError(Status::Database(message + ": " + path));
  }
  std::unique_ptr<SqliteConnection> connection(new SqliteConnection(env, db, path));
  sqlite3_busy_handler(db, &SqliteConnection::WaitWhileBusy, connection.get());
  // SQLite reads the file lazily: read its schema now, so that a damaged
  // file or one that is no database fails here, at the open.
  connection->Run("SELECT count(*) FROM sqlite_master");
  // SQLite falls back to reading a file it may not write: such a hotel
  // cannot record a card, and says so before an issue begins.
  if (sqlite3_db_readonly(db, "main") == 1)
    throw StatusError(Status::Database("the database file is read-only: " + path));
  return connection;
}

SqliteConnection::~SqliteConnection() {
  // An open transaction ends with the connection: it is rolled back.
  sqlite3_close_v2(db_);
}

Status SqliteConnection::BeginTrans() {
  return Catching([&] { Run("BEGIN IMMEDIATE"); });
}

Status SqliteConnection::Execute(const std::string& statement) {
  return Catching([&] { Run(RewriteStatement(statement, SqlDialect::kSqlite)); });
}

Status SqliteConnection::CommitTrans() {
  return Catching([&] { Run("COMMIT"); });
}

void SqliteConnection::RollbackTrans() noexcept {
  if (sqlite3_get_autocommit(db_) == 0) {
    StartStatement();
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void SqliteConnection::Run(const std::string& sql) {
  const char* next = sql.c_str();
  while (next != nullptr && *next != '\0') {
    Statement s;
    const char* tail = nullptr;
    StartStatement();
    if (sqlite3_prepare_v2(db_, next, -1, &s.stmt, &tail) != SQLITE_OK) Fail(db_);
    next = tail;
    if (s.stmt == nullptr) continue;  // blanks or a lone ';'
    int rc;
    while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Fail(db_);
  }
}

Result<RecordSet> SqliteConnection::Query(const std::string& statement) {
  return Catching([&] { return FetchAll(statement); });
}

RecordSet SqliteConnection::FetchAll(const std::string& statement) {
  const std::string sql = RewriteStatement(statement, SqlDialect::kSqlite);
  Statement s;
  const char* tail = nullptr;
  StartStatement();
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s.stmt, &tail) != SQLITE_OK) Fail(db_);
  if (!OnlyBlanksAndSemicolons(tail))
    throw StatusError(Status::Database("Characters found after end of SQL statement."));
  if (s.stmt == nullptr) throw StatusError(Status::Database("Invalid SQL statement: it is empty."));

  const int count = sqlite3_column_count(s.stmt);
  std::vector<std::string> columns;
  columns.reserve(count);
  for (int c = 0; c < count; ++c) {
    const char* name = sqlite3_column_name(s.stmt, c);
    columns.emplace_back(name != nullptr ? name : "");
  }
  std::vector<std::vector<FieldValue>> rows;
  int rc;
  while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) {
    std::vector<FieldValue> row;
    row.reserve(count);
    for (int c = 0; c < count; ++c) {
      if (sqlite3_column_type(s.stmt, c) == SQLITE_NULL) {
        row.emplace_back(std::nullopt);
        continue;
      }
      // Numbers come as their decimal text; text and blobs as their bytes.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, c));
      const int bytes = sqlite3_column_bytes(s.stmt, c);
      row.emplace_back(text != nullptr ? std::string(text, bytes) : std::string());
    }
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) Fail(db_);
  return RecordSet(std::move(columns), std::move(rows));
}

Result<std::unique_ptr<NumberingTurn>> SqliteConnection::TakeNumberingTurn() {
  return TakeFileNumberingTurn(env_, path_ + ".lock");
}

}  // namespace holvanter
