// The hotel database reached through ODBC: the hotel's Access file on
// Windows, or a server database (PostgreSQL, MariaDB or MySQL) shared by
// several front desks, or an SQLite file through its ODBC driver.
//
// Text crosses the driver as UTF-16 (the wide ODBC calls), so Chinese names
// and paths survive on every driver manager. The driver is asked which
// database it talks to; statements are rewritten for it with
// RewriteStatement (Access gets them unchanged).
#ifndef HOLVANTER_STORE_ODBC_CONNECTION_H_
#define HOLVANTER_STORE_ODBC_CONNECTION_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"
#include "store/database.h"

namespace holvanter {

class OdbcConnection : public Connection {
 public:
  // Connects with `connection_string` (UTF-8, "KEY=value;..."), never
  // prompting. `numbering_lock_path` is the lock file through which issues on
  // a file database (Access, SQLite) take turns at card numbering; a
  // PostgreSQL server uses an advisory lock of its own instead, MariaDB and
  // MySQL a named lock. Empty: no turns on a database of neither kind.
  // Throws StatusError (kDatabase, the driver's message) when it cannot
  // connect, and StatusError (a database failure: a message naming the product) when
  // the database is not one that DialectOfDbms knows.
  //
  // `keep_seconds` above 0: a session of a server database (PostgreSQL,
  // MariaDB, MySQL) on which nothing failed is kept open that long after
  // the connection closes, for the next connection of the process with the
  // same connection string (SessionPool); such a connection takes a kept
  // session, set up again, before it opens a new one.
  //
  // The lock file's turn is waited for on `env`'s clock; `env` must outlive
  // the connection.
  OdbcConnection(Env& env, const std::string& connection_string,
                 std::string numbering_lock_path, int keep_seconds = 0);
  // The same on the system's Env.
  OdbcConnection(const std::string& connection_string, std::string numbering_lock_path,
                 int keep_seconds = 0);
  ~OdbcConnection() override;

  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  SqlDialect Dialect() const override { return dialect_; }
  // The database's own name for itself, as the driver reports it
  // ("ACCESS", "PostgreSQL", "SQLite", "MariaDB", "MySQL", ...).
  const std::string& DbmsName() const { return dbms_name_; }

  Status BeginTrans() override;
  Status Execute(const std::string& statement) override;
  Status CommitTrans() override;
  void RollbackTrans() noexcept override;
  Result<RecordSet> Query(const std::string& statement) override;
  Result<std::unique_ptr<NumberingTurn>> TakeNumberingTurn() override;

  // The time limit, in seconds, that the driver keeps for statements of
  // this connection (0 = none); kCommandTimeoutSeconds when it accepted ours.
  int StatementTimeoutSeconds();

  struct Handles;  // the driver manager's handles, shared with numbering turns

 private:
  // Query's work; a failure is thrown as StatusError.
  RecordSet FetchAll(const std::string& statement);
  // A session kept from an earlier connection, set up for this one; false
  // when none is kept, or when the one taken no longer answers.
  bool TakeKeptSession();
  // `result`, after marking the session not to be kept when it failed.
  template <typename R>
  R Tainting(R result);

  Env& env_;
  std::shared_ptr<Handles> handles_;
  SqlDialect dialect_ = SqlDialect::kAccess;
  std::string dbms_name_;
  std::string numbering_lock_path_;
  std::string connection_string_;
  int keep_seconds_ = 0;
  bool in_transaction_ = false;
};

// The database products the component knows, by the name the driver gives
// (SQLGetInfo SQL_DBMS_NAME), and the dialect each speaks: Access, SQLite,
// PostgreSQL, and MariaDB or MySQL. Any other product is refused at the open
// (nullopt): its statements would be guesswork, and the card numbering turn
// (a lock file, PostgreSQL's advisory lock, the named lock of MariaDB and
// MySQL) would not keep desks apart on it.
std::optional<SqlDialect> DialectOfDbms(const std::string& dbms_name);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_ODBC_CONNECTION_H_
