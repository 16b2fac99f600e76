#include "store/odbc_connection.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>  // the basic types that the ODBC headers build on
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "store/session_pool.h"
#include "util/database_words.h"
#include "util/status.h"
#include "util/text.h"

namespace holvanter {

static_assert(sizeof(SQLWCHAR) == 2, "wide ODBC text is UTF-16");

namespace {

// Zero-terminated UTF-16 text for the wide ODBC calls.
using WideText = std::vector<SQLWCHAR>;

constexpr char32_t kReplacement = 0xFFFD;

WideText ToWide(std::string_view utf8) {
  WideText wide;
  wide.reserve(utf8.size() + 1);
  std::size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07;
    } else {
      extra = -1;
    }
    std::size_t next = i + 1;
    bool valid = extra >= 0 && i + extra < utf8.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (c & 0x3F);
      }
    }
    if (valid) {
      next = i + 1 + extra;
      const bool overlong = (extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
                            (extra == 3 && cp < 0x10000);
      if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    } else {
      cp = kReplacement;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      wide.push_back(static_cast<SQLWCHAR>(0xD800 + (cp >> 10)));
      wide.push_back(static_cast<SQLWCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      wide.push_back(static_cast<SQLWCHAR>(cp));
    }
    i = next;
  }
  wide.push_back(0);
  return wide;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string FromWide(const SQLWCHAR* text, std::size_t length) {
  std::string out;
  out.reserve(length * 3);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t unit = static_cast<uint16_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
      const char32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
  }
  return out;
}

// How text crosses the driver: UTF-16 through the wide calls, or UTF-8
// through the narrow ones, for drivers that offer only those (Debian's
// SQLite driver; the driver manager would squeeze wide text into the
// locale's character set on its way there).
enum class TextMode { kWide, kUtf8 };

// The driver's and the driver manager's messages about the last call on
// `handle`, one per line; `states` receives their SQLSTATEs.
std::string Diagnostics(SQLSMALLINT handle_type, SQLHANDLE handle, TextMode mode,
                        std::vector<std::string>& states) {
  std::string message;
  for (SQLSMALLINT record = 1; record <= 8; ++record) {
    SQLINTEGER native_error = 0;
    SQLSMALLINT length = 0;
    std::string line;
    if (mode == TextMode::kWide) {
      SQLWCHAR state[6] = {};
      SQLWCHAR text[1024] = {};
      const SQLRETURN rc = SQLGetDiagRecW(handle_type, handle, record, state, &native_error, text,
                                          static_cast<SQLSMALLINT>(std::size(text)), &length);
      if (!SQL_SUCCEEDED(rc)) break;
      states.push_back(FromWide(state, 5));
      line = FromWide(text, std::min<std::size_t>(length < 0 ? 0 : length, std::size(text) - 1));
    } else {
      SQLCHAR state[6] = {};
      SQLCHAR text[2048] = {};
      const SQLRETURN rc = SQLGetDiagRec(handle_type, handle, record, state, &native_error, text,
                                         static_cast<SQLSMALLINT>(std::size(text)), &length);
      if (!SQL_SUCCEEDED(rc)) break;
      states.emplace_back(reinterpret_cast<const char*>(state), 5);
      line.assign(reinterpret_cast<const char*>(text),
                  std::min<std::size_t>(length < 0 ? 0 : length, std::size(text) - 1));
    }
    if (!message.empty()) message += '\n';
    message += line;
  }
  return message;
}

// A statement that gave up waiting for a lock or ran out of its time limit.
class DatabaseTimedOut : public StatusError {
 public:
  explicit DatabaseTimedOut(const std::string& database_message)
      : StatusError(Status::Database(BusyDatabaseMessage(database_message))),
        database_message_(database_message) {}
  const std::string& database_message() const { return database_message_; }

 private:
  std::string database_message_;
};

// SQLSTATEs of a wait that ended: ODBC's time-outs, PostgreSQL's cancelled
// statement (its statement_timeout, which psqlODBC sets from the statement
// time limit) and lock_not_available.
bool IsTimeOut(const std::string& state) {
  return state == "HYT00" || state == "HYT01" || state == "57014" || state == "55P03";
}

// SQLSTATEs of a session that ended under the statement: a connection
// failure (class 08), the server shutting down or starting up (57P01 to
// 57P03).
bool IsConnectionLost(const std::string& state) {
  return state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02" || state == "57P03";
}

// `session_open`: the failure is of a statement on an open session (not of
// the connection attempt itself, which is no loss).
[[noreturn]] void Fail(SQLSMALLINT handle_type, SQLHANDLE handle, TextMode mode,
                       const char* what, bool session_open = true) {
  std::vector<std::string> states;
  std::string message =
      handle == nullptr ? std::string() : Diagnostics(handle_type, handle, mode, states);
  if (message.empty()) message = what;
  if (session_open && std::any_of(states.begin(), states.end(), IsConnectionLost))
    throw StatusError(Status::Database(std::string(kDatabaseConnectionLost) + ": " + message));
  // SQLite's driver reports its busy time-out with a general state, and so
  // do MariaDB's (a row or table lock, the statement time limit) and MySQL's.
  static constexpr const char* kWaitsThatEnded[] = {
      "database is locked", "Lock wait timeout exceeded", "max_statement_time exceeded",
      "maximum statement execution time exceeded"};
  if (std::any_of(states.begin(), states.end(), IsTimeOut) ||
      std::any_of(std::begin(kWaitsThatEnded), std::end(kWaitsThatEnded),
                  [&](const char* text) { return message.find(text) != std::string::npos; }))
    throw DatabaseTimedOut(message);
  throw StatusError(Status::Database(message));
}

void Check(SQLRETURN rc, SQLSMALLINT handle_type, SQLHANDLE handle, TextMode mode,
           const char* what) {
  if (!SQL_SUCCEEDED(rc)) Fail(handle_type, handle, mode, what);
}

// One statement handle, with the connection's command time limit.
class Statement {
 public:
  Statement(SQLHDBC dbc, TextMode mode) : mode_(mode) {
    holvanter::Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_), SQL_HANDLE_DBC, dbc, mode,
                     "no statement handle");
    // A driver that keeps no time limit (or another one) runs the statement
    // anyway, as ADO does with its CommandTimeout.
    SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(kCommandTimeoutSeconds)), 0);
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLHSTMT get() const { return stmt_; }
  TextMode mode() const { return mode_; }

  // Runs `statement`. A searched update or delete that touches no row
  // answers SQL_NO_DATA, which is no failure.
  void Run(const std::string& statement) {
    SQLRETURN rc;
    if (mode_ == TextMode::kWide) {
      WideText text = ToWide(statement);
      rc = SQLExecDirectW(stmt_, text.data(), SQL_NTS);
    } else {
      std::string text = statement;
      rc = SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    }
    if (rc == SQL_NO_DATA) return;
    Check(rc, "the statement failed");
  }

  // The name of a result column.
  std::string ColumnName(SQLUSMALLINT column, SQLSMALLINT& type) {
    SQLSMALLINT length = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (mode_ == TextMode::kWide) {
      SQLWCHAR name[256] = {};
      Check(SQLDescribeColW(stmt_, column, name, static_cast<SQLSMALLINT>(std::size(name)),
                            &length, &type, &size, &digits, &nullable),
            "a column could not be described");
      return FromWide(name, std::min<std::size_t>(length < 0 ? 0 : length, std::size(name) - 1));
    }
    SQLCHAR name[768] = {};
    Check(SQLDescribeCol(stmt_, column, name, static_cast<SQLSMALLINT>(std::size(name)), &length,
                         &type, &size, &digits, &nullable),
          "a column could not be described");
    return std::string(reinterpret_cast<const char*>(name),
                       std::min<std::size_t>(length < 0 ? 0 : length, std::size(name) - 1));
  }

  void Check(SQLRETURN rc, const char* what) {
    holvanter::Check(rc, SQL_HANDLE_STMT, stmt_, mode_, what);
  }

 private:
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  TextMode mode_;
};

bool IsDateTimeType(SQLSMALLINT type) {
  return type == SQL_TYPE_TIMESTAMP || type == SQL_TYPE_DATE || type == SQL_DATETIME ||
         type == SQL_TIMESTAMP || type == SQL_DATE;
}

bool IsFloatType(SQLSMALLINT type) {
  return type == SQL_DOUBLE || type == SQL_FLOAT || type == SQL_REAL;
}

// A column value of the current row as text, the whole of it however long.
template <typename Unit>
FieldValue ReadTextIn(Statement& stmt, SQLUSMALLINT column, SQLSMALLINT c_type) {
  std::string value;
  Unit buffer[2048];
  constexpr SQLLEN kBufferBytes = sizeof(buffer);
  constexpr SQLLEN kRoom = kBufferBytes - static_cast<SQLLEN>(sizeof(Unit));  // less the zero
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(stmt.get(), column, c_type, buffer, kBufferBytes, &indicator);
    if (rc == SQL_NO_DATA) break;
    stmt.Check(rc, "a column could not be read");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    const bool more =
        rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator > kRoom);
    std::size_t units = static_cast<std::size_t>(more ? kRoom : std::min(indicator, kRoom)) /
                        sizeof(Unit);
    if constexpr (sizeof(Unit) == 1) {
      value.append(reinterpret_cast<const char*>(buffer), units);
    } else {
      // MariaDB's driver (Connector/ODBC 3.1) counts fewer UTF-16 units than
      // it writes for some texts with characters beyond the BMP (李四 𠀀:
      // 4 for 5), which would cut a surrogate pair in half. The zero it
      // writes after the whole value is where the value ends.
      if (!more)
        while (units < static_cast<std::size_t>(kRoom) / sizeof(Unit) && buffer[units] != 0)
          ++units;
      value += FromWide(buffer, units);
    }
    if (!more) break;
  }
  return value;
}

FieldValue ReadText(Statement& stmt, SQLUSMALLINT column) {
  if (stmt.mode() == TextMode::kWide) return ReadTextIn<SQLWCHAR>(stmt, column, SQL_C_WCHAR);
  return ReadTextIn<SQLCHAR>(stmt, column, SQL_C_CHAR);
}

FieldValue ReadField(Statement& stmt, SQLUSMALLINT column, SQLSMALLINT type) {
  SQLLEN indicator = 0;
  if (IsDateTimeType(type)) {
    SQL_TIMESTAMP_STRUCT stamp = {};
    stmt.Check(SQLGetData(stmt.get(), column, SQL_C_TYPE_TIMESTAMP, &stamp, sizeof(stamp),
                          &indicator),
               "a date column could not be read");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02u:%02u:%02u", stamp.year, stamp.month,
                  stamp.day, stamp.hour, stamp.minute, stamp.second);
    return std::string(text);
  }
  if (IsFloatType(type)) {
    double number = 0;
    stmt.Check(SQLGetData(stmt.get(), column, SQL_C_DOUBLE, &number, sizeof(number), &indicator),
               "a number column could not be read");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    char text[40];
    if (std::floor(number) == number && std::fabs(number) < 1e15) {
      std::snprintf(text, sizeof(text), "%.0f", number);
    } else {
      std::snprintf(text, sizeof(text), "%.15g", number);
    }
    return std::string(text);
  }
  return ReadText(stmt, column);
}

// The key of the session lock through which the desks of one PostgreSQL
// hotel take turns at card numbering ("Holvant" in ASCII).
constexpr char kAdvisoryLockKey[] = "20388709956415092";

}  // namespace

struct OdbcConnection::Handles : PooledSession {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  TextMode mode = TextMode::kWide;
  // Cleared when anything failed on the session: what it holds (a lock, an
  // open or aborted transaction, a statement cut off) is then unknown, and
  // it is closed for real instead of kept for the next card method.
  bool reusable = true;
  // What the first connection learnt, kept with a pooled session.
  SqlDialect dialect = SqlDialect::kAccess;
  std::string dbms_name;
  std::optional<bool> mariadb_server;  // MariaDB or MySQL behind the driver

  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() override {
    if (connected) {
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      SQLDisconnect(dbc);
    }
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  void Run(const std::string& statement) { Statement(dbc, mode).Run(statement); }

  // Ends the session; the server gives up whatever the session held. Every
  // later call on the connection fails. The server is asked first to end
  // the session itself: a driver manager set to pool connections (a
  // process of the host that switched it on, odbcinst.ini's Pooling) would
  // otherwise keep it, lock and all, for the next connection.
  void Drop() noexcept {
    if (!connected) return;
    reusable = false;
    try {
      if (dialect == SqlDialect::kPostgres) {
        Run("SELECT pg_catalog.pg_terminate_backend(pg_catalog.pg_backend_pid())");
      } else if (dialect == SqlDialect::kMariaDb) {
        Statement stmt(dbc, mode);
        stmt.Run("SELECT CONNECTION_ID()");
        if (SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
          const FieldValue id = ReadText(stmt, 1);
          SQLCloseCursor(stmt.get());
          if (id) stmt.Run("KILL CONNECTION " + *id);
        }
      }
    } catch (const StatusError&) {
      // the session ended, or was gone already
    }
    connected = false;
    SQLDisconnect(dbc);
  }

  void SetAutoCommit(bool on) {
    const SQLULEN value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    Check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(value),
                            SQL_IS_UINTEGER),
          SQL_HANDLE_DBC, dbc, mode, "the transaction mode could not be set");
  }
};

namespace {

// The first value of the first row of `statement`, run as it is; nullopt
// without rows or for Null.
FieldValue FirstValue(OdbcConnection::Handles& h, const std::string& statement) {
  Statement stmt(h.dbc, h.mode);
  stmt.Run(statement);
  const SQLRETURN rc = SQLFetch(stmt.get());
  if (rc == SQL_NO_DATA) return std::nullopt;
  stmt.Check(rc, "a row could not be fetched");
  return ReadText(stmt, 1);
}

// What the hotel's MariaDB or MySQL server may have set otherwise, made the
// same for every session of the component:
// - no backslash escapes, so that a quoted value ends only at its lone
//   quote, as in Access: a holder name is taken literally;
// - strict checks, so that a value the column cannot hold fails the
//   statement instead of being cut or changed;
// - no wait longer than the command time limit: for a row or table lock,
//   and for the whole statement (the driver keeps no query time-out of its
//   own; MariaDB counts in seconds, MySQL in milliseconds and for queries).
constexpr char kMariaDbSqlMode[] =
    "STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION,NO_BACKSLASH_ESCAPES";

// The named lock through which MariaDB and MySQL desks take turns at card
// numbering. Named locks are the server's, not the database's: the name
// carries the hotel database's (cut to keep within the 64 characters MySQL
// allows).
constexpr char kNamedLock[] =
    "CONCAT('Holvanter card numbering ', LEFT(IFNULL(DATABASE(), ''), 30))";

void PrepareMariaDbSession(OdbcConnection::Handles& h) {
  const std::string limit = std::to_string(kCommandTimeoutSeconds);
  // Either driver may face either server: the server's version says which.
  if (!h.mariadb_server)
    h.mariadb_server = ContainsIgnoreCase(FirstValue(h, "SELECT VERSION()").value_or(""), "mariadb");
  const std::string statement_limit = *h.mariadb_server
                                          ? "max_statement_time = " + limit
                                          : "max_execution_time = " + limit + "000";
  h.Run(std::string("SET SESSION sql_mode = '") + kMariaDbSqlMode +
        "', innodb_lock_wait_timeout = " + limit + ", lock_wait_timeout = " + limit + ", " +
        statement_limit);
  // Names and card kinds cross as UTF-8 with four-byte characters; a data
  // source that sets the driver to another character set would turn them
  // into question marks without an error. A session kept from an earlier
  // card method must hold no card numbering turn.
  const FieldValue state = FirstValue(
      h, std::string("SELECT CONCAT_WS(' ', @@character_set_client, @@character_set_connection, "
                     "@@character_set_results, INSTR(@@SESSION.sql_mode, 'NO_BACKSLASH_ESCAPES') "
                     "> 0, IFNULL(IS_USED_LOCK(") +
             kNamedLock + ") = CONNECTION_ID(), 0))");
  if (state == "utf8mb4 utf8mb4 utf8mb4 1 0") return;
  if (state == "utf8mb4 utf8mb4 utf8mb4 1 1")
    throw StatusError(Status::Database("the " + h.dbms_name + " session holds the card numbering turn"));
  std::string charsets = state.value_or("NULL");
  charsets = charsets.substr(0, charsets.rfind(' '));
  throw StatusError(Status::Database("the " + h.dbms_name + " session must exchange text as utf8mb4 without "
                  "backslash escapes; it has (client, connection, results, no escapes): " + charsets));
}

// A PostgreSQL server set to read backslash escapes in literals (old or
// hand-tuned servers: standard_conforming_strings off) would end a holder
// name's literal early at a backslash before a doubled quote. The session
// reads literals the standard way from its first statement on, whatever the
// server's setting, so that every text goes in exactly as given. A session
// kept from an earlier card method must hold no advisory lock.
void PreparePostgresSession(OdbcConnection::Handles& h) {
  const FieldValue held = FirstValue(
      h, "SELECT (SELECT count(*) FROM pg_catalog.pg_locks WHERE pid = pg_catalog.pg_backend_pid() "
         "AND locktype = 'advisory') FROM pg_catalog.set_config('standard_conforming_strings', "
         "'on', false)");
  if (held != "0")
    throw StatusError(Status::Database("the PostgreSQL session holds an advisory lock"));
}

void PrepareSession(OdbcConnection::Handles& h) {
  if (h.dialect == SqlDialect::kPostgres) PreparePostgresSession(h);
  if (h.dialect == SqlDialect::kMariaDb) PrepareMariaDbSession(h);
}

// MariaDB and MySQL: a named lock of the issuing session, one per hotel
// database, waited for no longer than the command time limit and released
// by the same session.
class NamedLockTurn : public NumberingTurn {
 public:
  explicit NamedLockTurn(std::shared_ptr<OdbcConnection::Handles> handles)
      : handles_(std::move(handles)) {
    const std::string held_elsewhere = "no card numbering turn within " +
                                       std::to_string(kCommandTimeoutSeconds) +
                                       " seconds: another desk holds the named lock \"Holvanter "
                                       "card numbering\" of this hotel database";
    FieldValue granted;
    try {
      granted = FirstValue(*handles_, "SELECT GET_LOCK(" + std::string(kNamedLock) + ", " +
                                          std::to_string(kCommandTimeoutSeconds) + ")");
    } catch (const DatabaseTimedOut& e) {
      throw StatusError(Status::Database(held_elsewhere + " (" + e.database_message() + ")"));
    } catch (const StatusError& e) {
      throw StatusError(Status::Database(std::string("the card numbering turn (a named lock) could not be taken: ") +
                          e.what()));
    }
    // 0: the wait ran out. Null: the session's statement time limit, as long
    // as the wait, ended it a moment before.
    if (granted != "1") throw StatusError(Status::Database(held_elsewhere));
  }
  ~NamedLockTurn() override {
    try {
      FirstValue(*handles_, "SELECT RELEASE_LOCK(" + std::string(kNamedLock) + ")");
    } catch (const StatusError&) {
      // The session may live on (a host's own connection, the rest of a card
      // method): holding the turn there would stop every other desk. Ending
      // the session frees it.
      handles_->Drop();
    }
  }

 private:
  std::shared_ptr<OdbcConnection::Handles> handles_;
};

// PostgreSQL: a session advisory lock on the issuing connection, released
// by the same connection. The wait for it ends with the statement time limit.
class AdvisoryTurn : public NumberingTurn {
 public:
  explicit AdvisoryTurn(std::shared_ptr<OdbcConnection::Handles> handles)
      : handles_(std::move(handles)) {
    try {
      handles_->Run(std::string("SELECT pg_catalog.pg_advisory_lock(") + kAdvisoryLockKey + ")");
    } catch (const DatabaseTimedOut& e) {
      throw StatusError(Status::Database("no card numbering turn within " +
                                        std::to_string(kCommandTimeoutSeconds) +
                                        " seconds: another desk holds the PostgreSQL advisory "
                                        "lock (" + e.database_message() + ")"));
    } catch (const StatusError& e) {
      throw StatusError(Status::Database(std::string("the card numbering turn (the PostgreSQL advisory lock) "
                                  "could not be taken: ") + e.what()));
    }
  }
  ~AdvisoryTurn() override {
    const std::string unlock =
        std::string("SELECT pg_catalog.pg_advisory_unlock(") + kAdvisoryLockKey + ")";
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        handles_->Run(unlock);
        return;
      } catch (const StatusError&) {
        // A failed statement may have left its transaction aborted: end it
        // and try once more. The session is not kept either way.
        handles_->reusable = false;
        SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK);
      }
    }
    // The session may live on (a host's own connection, the rest of a card
    // method): holding the turn there would stop every other desk. Ending
    // the session frees it.
    handles_->Drop();
  }

 private:
  std::shared_ptr<OdbcConnection::Handles> handles_;
};

class NoTurn : public NumberingTurn {};

}  // namespace

std::optional<SqlDialect> DialectOfDbms(const std::string& dbms_name) {
  if (ContainsIgnoreCase(dbms_name, "postgres")) return SqlDialect::kPostgres;
  if (ContainsIgnoreCase(dbms_name, "sqlite")) return SqlDialect::kSqlite;
  if (ContainsIgnoreCase(dbms_name, "mariadb") || ContainsIgnoreCase(dbms_name, "mysql"))
    return SqlDialect::kMariaDb;
  if (ContainsIgnoreCase(dbms_name, "access")) return SqlDialect::kAccess;
  return std::nullopt;
}

OdbcConnection::OdbcConnection(const std::string& connection_string,
                               std::string numbering_lock_path, int keep_seconds)
    : OdbcConnection(*Env::Default(), connection_string, std::move(numbering_lock_path),
                     keep_seconds) {}

OdbcConnection::OdbcConnection(Env& env, const std::string& connection_string,
                               std::string numbering_lock_path, int keep_seconds)
    : env_(env),
      numbering_lock_path_(std::move(numbering_lock_path)),
      connection_string_(connection_string),
      keep_seconds_(std::max(keep_seconds, 0)) {
  if (keep_seconds_ > 0 && TakeKeptSession()) return;
  handles_ = std::make_shared<Handles>();
  Handles& h = *handles_;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h.env))) {
    h.env = SQL_NULL_HENV;
    throw StatusError(Status::Database("the ODBC driver manager is not available"));
  }
  const SQLULEN odbc3 = SQL_OV_ODBC3;
  Check(SQLSetEnvAttr(h.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(odbc3), 0),
        SQL_HANDLE_ENV, h.env, h.mode, "the ODBC driver manager refused ODBC 3");
  Check(SQLAllocHandle(SQL_HANDLE_DBC, h.env, &h.dbc), SQL_HANDLE_ENV, h.env, h.mode,
        "no connection handle");

  // Windows hands wide text to every driver, converting for the old ones
  // itself. unixODBC would pass narrow text through the locale's character
  // set, so there the connection string goes as UTF-8 bytes, which the
  // drivers take as they are.
#ifdef _WIN32
  h.mode = TextMode::kWide;
#else
  h.mode = TextMode::kUtf8;
#endif
  SQLRETURN rc;
  if (h.mode == TextMode::kWide) {
    WideText text = ToWide(connection_string);
    SQLWCHAR completed[1024];
    SQLSMALLINT completed_length = 0;
    rc = SQLDriverConnectW(h.dbc, nullptr, text.data(), SQL_NTS, completed,
                           static_cast<SQLSMALLINT>(std::size(completed)), &completed_length,
                           SQL_DRIVER_NOPROMPT);
  } else {
    std::string text = connection_string;
    SQLCHAR completed[2048];
    SQLSMALLINT completed_length = 0;
    rc = SQLDriverConnect(h.dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                          completed, static_cast<SQLSMALLINT>(std::size(completed)),
                          &completed_length, SQL_DRIVER_NOPROMPT);
  }
  if (!SQL_SUCCEEDED(rc))
    Fail(SQL_HANDLE_DBC, h.dbc, h.mode, "the database could not be opened", /*session_open=*/false);
  h.connected = true;

  SQLWCHAR name[128] = {};
  SQLSMALLINT name_bytes = 0;
  if (SQL_SUCCEEDED(SQLGetInfoW(h.dbc, SQL_DBMS_NAME, name, sizeof(name), &name_bytes))) {
    const std::size_t units = std::min<std::size_t>(name_bytes < 0 ? 0 : name_bytes / 2,
                                                    std::size(name) - 1);
    h.dbms_name = FromWide(name, units);
  }
  const std::optional<SqlDialect> dialect = DialectOfDbms(h.dbms_name);
  if (!dialect) {
    // The connection closes with the handles.
    throw StatusError(Status::Database("the database product \"" + h.dbms_name +
                        "\" is not supported: card numbers are kept apart only on Access, "
                        "SQLite, PostgreSQL, MariaDB and MySQL databases"));
  }
  h.dialect = *dialect;
  dialect_ = h.dialect;
  dbms_name_ = h.dbms_name;

#ifndef _WIN32
  // Debian's SQLite driver speaks UTF-8 through the narrow calls only;
  // the others (psqlODBC's Unicode driver) take UTF-16.
  h.mode = dialect_ == SqlDialect::kSqlite ? TextMode::kUtf8 : TextMode::kWide;
#endif
  PrepareSession(h);
}

bool OdbcConnection::TakeKeptSession() {
  SessionPool& pool = SessionPool::Process();
  std::shared_ptr<PooledSession> kept = pool.Take(connection_string_);
  if (kept == nullptr) return false;
  handles_ = std::static_pointer_cast<Handles>(std::move(kept));
  try {
    // Whatever the card method before set, the session is set up again; and
    // a session the server has ended since (a restart, a fail-over) shows
    // here, before any card statement.
    PrepareSession(*handles_);
  } catch (const StatusError&) {
    handles_->Drop();
    handles_.reset();
    // The server has probably gone away for every session kept: a new one
    // is opened instead.
    pool.Forget(connection_string_);
    return false;
  }
  dialect_ = handles_->dialect;
  dbms_name_ = handles_->dbms_name;
  return true;
}

OdbcConnection::~OdbcConnection() {
  RollbackTrans();
  // Only a server database's session is kept: opening a file database costs
  // next to nothing, and a kept one would hold on to a file that may be
  // replaced (a restored backup).
  const bool server = dialect_ == SqlDialect::kPostgres || dialect_ == SqlDialect::kMariaDb;
  if (keep_seconds_ > 0 && server && handles_ != nullptr && handles_->connected &&
      handles_->reusable && handles_.use_count() == 1) {
    try {
      SessionPool::Process().Give(connection_string_, std::move(handles_),
                                  std::chrono::seconds(keep_seconds_));
    } catch (...) {
      // no room to keep it (out of memory, no thread): it closes
    }
  }
}

template <typename R>
R OdbcConnection::Tainting(R result) {
  if (!result.ok()) handles_->reusable = false;
  return result;
}

Status OdbcConnection::BeginTrans() {
  return Tainting(Catching([&] {
    handles_->SetAutoCommit(false);
    in_transaction_ = true;
  }));
}

Status OdbcConnection::Execute(const std::string& statement) {
  return Tainting(Catching([&] { handles_->Run(RewriteStatement(statement, dialect_)); }));
}

Status OdbcConnection::CommitTrans() {
  return Tainting(Catching([&] {
    Check(SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_COMMIT), SQL_HANDLE_DBC, handles_->dbc,
          handles_->mode, "the transaction could not be committed");
    in_transaction_ = false;
    handles_->SetAutoCommit(true);
  }));
}

void OdbcConnection::RollbackTrans() noexcept {
  if (!in_transaction_) return;
  in_transaction_ = false;
  const SQLULEN on = SQL_AUTOCOMMIT_ON;
  if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK)) ||
      !SQL_SUCCEEDED(SQLSetConnectAttr(handles_->dbc, SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(on), SQL_IS_UINTEGER)))
    handles_->reusable = false;  // the transaction may still be open
}

Result<RecordSet> OdbcConnection::Query(const std::string& statement) {
  return Tainting(Catching([&] { return FetchAll(statement); }));
}

RecordSet OdbcConnection::FetchAll(const std::string& statement) {
  Statement stmt(handles_->dbc, handles_->mode);
  stmt.Run(RewriteStatement(statement, dialect_));

  SQLSMALLINT column_count = 0;
  stmt.Check(SQLNumResultCols(stmt.get(), &column_count), "the result could not be read");
  std::vector<std::string> columns;
  std::vector<SQLSMALLINT> types;
  for (SQLUSMALLINT column = 1; column <= column_count; ++column) {
    SQLSMALLINT type = 0;
    columns.push_back(stmt.ColumnName(column, type));
    types.push_back(type);
  }

  std::vector<std::vector<FieldValue>> rows;
  if (column_count > 0) {
    for (;;) {
      const SQLRETURN rc = SQLFetch(stmt.get());
      if (rc == SQL_NO_DATA) break;
      stmt.Check(rc, "a row could not be fetched");
      std::vector<FieldValue> row;
      row.reserve(columns.size());
      for (SQLUSMALLINT column = 1; column <= column_count; ++column)
        row.push_back(ReadField(stmt, column, types[column - 1]));
      rows.push_back(std::move(row));
    }
  }
  return RecordSet(std::move(columns), std::move(rows));
}

Result<std::unique_ptr<NumberingTurn>> OdbcConnection::TakeNumberingTurn() {
  using Turn = std::unique_ptr<NumberingTurn>;
  if (dialect_ == SqlDialect::kPostgres)
    return Tainting(Catching([&]() -> Turn { return std::make_unique<AdvisoryTurn>(handles_); }));
  if (dialect_ == SqlDialect::kMariaDb)
    return Tainting(Catching([&]() -> Turn { return std::make_unique<NamedLockTurn>(handles_); }));
  if (numbering_lock_path_.empty()) return Turn(std::make_unique<NoTurn>());
  return TakeFileNumberingTurn(env_, numbering_lock_path_);
}

int OdbcConnection::StatementTimeoutSeconds() {
  Statement stmt(handles_->dbc, handles_->mode);
  SQLULEN seconds = 0;
  stmt.Check(SQLGetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, &seconds, 0, nullptr),
             "the statement time limit could not be read");
  return static_cast<int>(seconds);
}

}  // namespace holvanter
