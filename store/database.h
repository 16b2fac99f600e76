// The hotel database: one connection interface over its backends (SQLite,
// ODBC), and the client-side record set that queries return.
//
// Statements are handed over in the component's own dialect (Access SQL:
// #date# literals, IIf, IsNull, SET Table.Column); each backend rewrites
// what its database does not understand.
//
// A connection answers with a Status (or a Result) of kind kDatabase and the
// database's own message. Inside a backend a failure travels as a thrown
// StatusError through its deep call chains and becomes a value at the
// connection's methods; only RecordSet::Field, asked for a column or row
// that is not there, throws it.
#ifndef HOLVANTER_STORE_DATABASE_H_
#define HOLVANTER_STORE_DATABASE_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "store/sql_dialect.h"
#include "util/status.h"

namespace holvanter {

// A column value as text; std::nullopt is Null. Numbers come as their
// decimal text, dates as "YYYY-MM-DD HH:MM:SS".
using FieldValue = std::optional<std::string>;

// All rows of a query, fetched at once; the cursor moves over them locally.
class RecordSet {
 public:
  RecordSet() = default;
  RecordSet(std::vector<std::string> columns, std::vector<std::vector<FieldValue>> rows);

  bool Eof() const { return rows_.empty() || position_ >= rows_.size(); }
  bool Bof() const { return rows_.empty(); }
  void MoveFirst() { position_ = 0; }
  void MoveNext() {
    if (position_ < rows_.size()) ++position_;
  }
  std::size_t RecordCount() const { return rows_.size(); }
  const std::vector<std::string>& Columns() const { return columns_; }

  // The value of the named column in the current row, the name matched
  // without regard to case. Throws StatusError (kDatabase) when there is no
  // such column or no current row.
  const FieldValue& Field(std::string_view name) const;

 private:
  std::vector<std::string> columns_;
  std::vector<std::vector<FieldValue>> rows_;
  std::size_t position_ = 0;
};

// Held while a card issue takes its turn at card numbering: from the card
// number queries until its CardRecord insert has committed. Destroying it
// lets the next issue, in any thread or process, go on.
class NumberingTurn {
 public:
  virtual ~NumberingTurn() = default;
};

class Connection {
 public:
  virtual ~Connection() = default;

  // The SQL dialect of the database behind this connection.
  virtual SqlDialect Dialect() const = 0;

  virtual Status BeginTrans() = 0;
  // Runs a statement that returns no rows, inside the open transaction.
  virtual Status Execute(const std::string& statement) = 0;
  virtual Status CommitTrans() = 0;
  // Undoes the open transaction; does nothing when none is open. Never throws.
  virtual void RollbackTrans() noexcept = 0;
  // Runs a query and fetches all its rows.
  virtual Result<RecordSet> Query(const std::string& statement) = 0;
  // Waits for this turn at card numbering.
  virtual Result<std::unique_ptr<NumberingTurn>> TakeNumberingTurn() = 0;
};

// The command time limit of every connection, in seconds. Every wait of a
// card issue ends within it: the card numbering turn, and each statement
// on a busy database.
inline constexpr int kCommandTimeoutSeconds = 10;

// The card numbering turn on a database file (Access, SQLite): an exclusive
// lock on the file `lock_path` beside it, shared by every thread and
// process, waited for at most kCommandTimeoutSeconds on `env`'s clock (the
// Env the connection was opened on). A kDatabase failure says what it
// waited for, or why the lock file could not be had; nothing has been
// changed then.
Result<std::unique_ptr<NumberingTurn>> TakeFileNumberingTurn(Env& env,
                                                             const std::string& lock_path);

// The message of a statement that gave up waiting for a busy database.
std::string BusyDatabaseMessage(const std::string& database_message);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_DATABASE_H_
