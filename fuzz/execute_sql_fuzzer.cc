// Any statement through ExecuteSql, on a small SQLite hotel database in
// memory (made anew after any statement that ran, so each starts from the
// same rows): never a crash; the statement takes the update path exactly when
// its first word (the text before the first blank), upper-cased, is a piece
// of "INSERT,DELETE,UPDATE" or it holds "INTO"; an update runs in a
// transaction of its own and a failed one leaves none open; the status text
// is the one the path gives, and stays as it was when the statement fails.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "util/status.h"
#include "store/execute_sql.h"
#include "store/sqlite_connection.h"

namespace {

using holvanter::Connection;

// The real connection, with the calls ExecuteSql makes on it noted down
// (B begin, E execute, C commit, R rollback, Q query).
class NotedConnection : public Connection {
 public:
  explicit NotedConnection(Connection& db) : db_(db) {}
  holvanter::SqlDialect Dialect() const override { return db_.Dialect(); }
  holvanter::Status BeginTrans() override { return Note('B', db_.BeginTrans()); }
  holvanter::Status Execute(const std::string& statement) override {
    calls_ += 'E';
    return db_.Execute(statement);
  }
  holvanter::Status CommitTrans() override { return Note('C', db_.CommitTrans()); }
  void RollbackTrans() noexcept override {
    calls_ += 'R';
    db_.RollbackTrans();
  }
  holvanter::Result<holvanter::RecordSet> Query(const std::string& statement) override {
    calls_ += 'Q';
    return db_.Query(statement);
  }
  holvanter::Result<std::unique_ptr<holvanter::NumberingTurn>> TakeNumberingTurn() override {
    return db_.TakeNumberingTurn();
  }
  const std::string& Calls() const { return calls_; }

 private:
  holvanter::Status Note(char what, holvanter::Status status) {
    calls_ += what;
    return status;
  }
  Connection& db_;
  std::string calls_;
};

std::unique_ptr<holvanter::SqliteConnection> SmallHotel() {
  auto db = holvanter::SqliteConnection::Open(":memory:", true);
  FUZZ_CHECK(db->BeginTrans().ok(), "begin");
  FUZZ_CHECK(db->Execute(
      "CREATE TABLE RoomList (BuildNo INTEGER, FloorNo INTEGER, RoomNo TEXT, State TEXT, "
      "CardQTY INTEGER, SetCard TEXT)").ok(), "create");
  FUZZ_CHECK(db->Execute("INSERT INTO RoomList VALUES (1, 2, '0203', '', 0, ''), "
                         "(1, 2, '0204', '', 1, '')").ok(), "insert");
  FUZZ_CHECK(db->CommitTrans().ok(), "commit");
  return db;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string statement(reinterpret_cast<const char*>(data), size);
  const std::string first_word = statement.substr(0, statement.find(' '));
  const bool update = std::string_view("INSERT,DELETE,UPDATE").find(Upper(first_word)) !=
                          std::string_view::npos ||
                      statement.find("INTO") != std::string::npos;

  static std::unique_ptr<holvanter::SqliteConnection> db;
  if (!db) db = SmallHotel();
  NotedConnection noted(*db);
  const std::string before = "status before";
  std::string status = before;
  std::optional<holvanter::RecordSet> records;
  bool failed = false;
  holvanter::Result<std::optional<holvanter::RecordSet>> ran =
      holvanter::ExecuteSql(noted, statement, status);
  if (ran.ok()) {
    records = std::move(*ran);
  } else {
    failed = true;
    FUZZ_CHECK(!statement.empty() ||
                   ran.status().code() == holvanter::Status::Code::kSubscriptOutOfRange,
               ran.status().message());
  }
  const std::string& calls = noted.Calls();
  const std::string shown = "[" + statement + "] made the calls " + calls + ", status [" +
                            status + "]";

  if (statement.empty()) {
    FUZZ_CHECK(failed && calls.empty() && status == before, shown);
    return 0;
  }
  // A statement holding NUL would reach the database cut short: refused
  // before anything runs.
  if (statement.find('\0') != std::string::npos) {
    FUZZ_CHECK(failed && calls.empty() && status == before, shown);
    return 0;
  }
  if (failed) {
    FUZZ_CHECK(status == before, shown);
    if (update) {
      FUZZ_CHECK(calls == "BR" || calls == "BER" || calls == "BECR", shown);
      // Nothing of the failed update holds the database: a new transaction
      // can begin at once.
      const holvanter::Status begun = db->BeginTrans();
      db->RollbackTrans();
      FUZZ_CHECK(begun.ok(), shown + "\n  left a transaction open: " + begun.message());
    } else {
      FUZZ_CHECK(calls == "Q", shown);
    }
    return 0;
  }
  db.reset();  // the statement ran: it may have changed anything
  if (update) {
    FUZZ_CHECK(calls == "BEC" && !records && status == first_word + " query successful", shown);
    return 0;
  }
  FUZZ_CHECK(calls == "Q" && records.has_value(), shown);
  const std::size_t count = records->RecordCount();
  FUZZ_CHECK(count == 0 ? status == before && records->Eof()
                        : status == "查询到" + std::to_string(count) + " 条记录 " && !records->Eof(),
             shown);
  return 0;
}
