// ExecuteSql on real SQLite files: which statements update and which query,
// the status texts, the record sets, and what a failed update leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "holvanter/tavo_card.h"
#include "store/execute_sql.h"
#include "store/open_database.h"
#include "store/sqlite_connection.h"
#include "store/store_test_util.h"

namespace holvanter {
namespace {

using store_test::CreateSqliteFile;
using store_test::FailureOf;
using store_test::ScratchFolder;
using store_test::Value;
using store_test::WriteFile;

// A real SQLite connection that notes which of its operations ExecuteSql
// called, with the statement text it was given.
class NotingConnection : public Connection {
 public:
  explicit NotingConnection(std::unique_ptr<Connection> real) : real_(std::move(real)) {}
  SqlDialect Dialect() const override { return real_->Dialect(); }
  Status BeginTrans() override { Note("BeginTrans"); return real_->BeginTrans(); }
  Status Execute(const std::string& sql) override { Note("Execute[" + sql + "]"); return real_->Execute(sql); }
  Status CommitTrans() override { Note("CommitTrans"); return real_->CommitTrans(); }
  void RollbackTrans() noexcept override { Note("RollbackTrans"); real_->RollbackTrans(); }
  Result<RecordSet> Query(const std::string& sql) override { Note("Query[" + sql + "]"); return real_->Query(sql); }
  Result<std::unique_ptr<NumberingTurn>> TakeNumberingTurn() override { return real_->TakeNumberingTurn(); }

  std::vector<std::string> calls;

 private:
  void Note(std::string call) { calls.push_back(std::move(call)); }
  std::unique_ptr<Connection> real_;
};

class ExecuteSqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = folder_.File("hotel.db");
    CreateSqliteFile(path_);
    ASSERT_TRUE(OpenDatabase(*Env::Default(), path_, connection_));
  }

  ScratchFolder folder_;
  std::string path_;
  std::unique_ptr<Connection> connection_;
};

TEST_F(ExecuteSqlTest, FirstWordAndIntoDecideThePath) {
  const struct {
    std::string statement;
    bool update;
    std::string status;  // after a successful update
  } cases[] = {
      {"Insert Into t (a, b) VALUES (1, 'x')", true, "Insert query successful"},
      {"insert into t (a, b) values (2, 'y')", true, "insert query successful"},
      {"Update t Set b = 'z' Where a = 2", true, "Update query successful"},
      {"DELETE FROM t WHERE a = 99", true, "DELETE query successful"},
      {"SELECT Max(a) AS m FROM t", false, ""},
      {"Select * From t ", false, ""},
      {"SELECT 'INTO' AS word", true, "SELECT query successful"},  // INTO anywhere
      {"SELECT 'into' AS word", false, ""},                        // only in upper case
      {" Select * From t", true, " query successful"},             // empty first word
      {"Update", true, ""},                                        // no blank: the whole text
      {"DATE t SET a = 1", true, ""},                              // pieces of the word list
      {"SERT x", true, ""},
      {"LET x = 1", true, ""},
      {"T,DEL x", true, ""},
      {"UPDATES t", false, ""},
      {"Create TABLE u (a)", false, ""},
      {"\tUPDATE t SET a = 1", false, ""},  // only the blank separates words
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statement);
    NotingConnection noting(std::move(connection_));
    std::string status = "before";
    bool failed = false;
    std::optional<RecordSet> records;
    Result<std::optional<RecordSet>> ran = ExecuteSql(noting, c.statement, status);
    if (ran.ok()) {
      records = std::move(*ran);
    } else {
      failed = true;
      EXPECT_EQ(ran.status().code(), Status::Code::kDatabase);
      EXPECT_EQ(status, "before");
    }
    if (c.update) {
      ASSERT_GE(noting.calls.size(), 2u);
      EXPECT_EQ(noting.calls[0], "BeginTrans");
      EXPECT_EQ(noting.calls[1], "Execute[" + c.statement + "]");  // not trimmed
      EXPECT_EQ(noting.calls.back(), failed ? "RollbackTrans" : "CommitTrans");
      EXPECT_FALSE(records.has_value());
      if (!failed) { EXPECT_EQ(status, c.status); }
    } else {
      ASSERT_EQ(noting.calls.size(), 1u);
      const auto first = c.statement.find_first_not_of(' ');
      const auto last = c.statement.find_last_not_of(' ');
      EXPECT_EQ(noting.calls[0], "Query[" + c.statement.substr(first, last - first + 1) + "]");
      if (!failed) { EXPECT_TRUE(records.has_value()); }
    }
    // Ran or failed, no transaction is left open.
    noting.calls.clear();
    EXPECT_TRUE(noting.BeginTrans().ok());
    noting.RollbackTrans();
    connection_ = std::make_unique<NotingConnection>(std::move(noting));
  }
}

TEST_F(ExecuteSqlTest, EmptyOrNulHoldingStatementIsAnErrorAndRunsNothing) {
  NotingConnection noting(std::move(connection_));
  std::string status = "before";
  EXPECT_EQ(FailureOf(ExecuteSql(noting, "", status).status()).hresult, kErrSubscriptOutOfRange);
  // A statement is never run cut short at a NUL.
  using namespace std::string_literals;
  for (const std::string& cut : {"Insert Into t (a) VALUES ('x\0')"s,
                                "Select * From t\0; DELETE FROM t"s}) {
    ASSERT_NE(cut.find('\0'), std::string::npos);
    EXPECT_EQ(FailureOf(ExecuteSql(noting, cut, status).status()).hresult, kErrDatabase);
  }
  EXPECT_TRUE(noting.calls.empty());
  EXPECT_EQ(status, "before");
}

TEST_F(ExecuteSqlTest, QueryStatusAndRecordSet) {
  std::string status = "before";
  auto empty = Ok(ExecuteSql(*connection_, "Select * From t Where a > 0 ", status));
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->Eof());
  EXPECT_TRUE(empty->Bof());
  EXPECT_EQ(empty->RecordCount(), 0u);
  EXPECT_EQ(status, "before");

  for (const char* insert : {"Insert Into t (a, b) VALUES (1, '一')",
                             "Insert Into t (a, b) VALUES (2, NULL)",
                             "Insert Into t (a, b) VALUES (3, 'c')"})
    Ok(ExecuteSql(*connection_, insert, status));
  EXPECT_EQ(status, "Insert query successful");

  auto three = Ok(ExecuteSql(*connection_, "SELECT a AS Number, b FROM t ORDER BY a  ", status));
  EXPECT_EQ(status, "查询到3 条记录 ");
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(three->RecordCount(), 3u);
  EXPECT_FALSE(three->Bof());
  EXPECT_EQ(three->Columns(), (std::vector<std::string>{"Number", "b"}));
  std::vector<std::string> seen;
  for (; !three->Eof(); three->MoveNext()) {
    const FieldValue& b = three->Field("B");
    seen.push_back(*three->Field("nUMBER") + "=" + (b ? *b : "Null"));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1=一", "2=Null", "3=c"}));
  EXPECT_EQ(FailureOf([&] { three->Field("a"); }).hresult, kErrDatabase);  // at EOF
  three->MoveFirst();
  EXPECT_EQ(*three->Field("number"), "1");
  EXPECT_EQ(FailureOf([&] { three->Field("missing"); }).hresult, kErrDatabase);

  auto max = Ok(ExecuteSql(*connection_, "SELECT Max(a) AS m FROM t Where a < 0", status));
  EXPECT_EQ(status, "查询到1 条记录 ");
  EXPECT_FALSE(max->Field("M").has_value());  // an aggregate over no rows is Null
}

TEST_F(ExecuteSqlTest, FailedUpdateHoldsNoLockAndChangesNothing) {
  std::string status;
  Ok(ExecuteSql(*connection_, "Insert Into t (a, b) VALUES (1, 'kept')", status));
  status = "before";
  // Two rows, the second against the key: nothing of it may stay.
  const store_test::Failure failure = FailureOf(
      ExecuteSql(*connection_, "Insert Into t (a, b) VALUES (2, 'half'), (1, 'clash')", status)
          .status());
  EXPECT_EQ(failure.hresult, kErrDatabase);
  EXPECT_NE(failure.message.find("UNIQUE"), std::string::npos) << failure.message;
  EXPECT_EQ(status, "before");

  // A second connection writes at once, not after the busy timeout.
  auto other = SqliteConnection::Open(path_);
  const auto start = std::chrono::steady_clock::now();
  Ok(ExecuteSql(*other, "Insert Into t (a, b) VALUES (3, 'other')", status));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(Value(*other, "SELECT group_concat(b, ',') FROM (SELECT b FROM t ORDER BY a)"),
            "kept,other");
}

TEST_F(ExecuteSqlTest, WritersQueueOnTheBusyTimeout) {
  auto other = SqliteConnection::Open(path_);
  Ok(other->BeginTrans());
  Ok(other->Execute("Insert Into t (a, b) VALUES (1, 'first')"));
  std::string status;
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Ok(other->CommitTrans());
  });
  // Waits for the other writer instead of failing.
  EXPECT_TRUE(ExecuteSql(*connection_, "Insert Into t (a, b) VALUES (2, 'second')", status).ok());
  later.join();
  EXPECT_EQ(Value(*connection_, "SELECT count(*) FROM t"), "2");
}

TEST(OpenDatabase, TheFileDecidesAndFailuresGiveFalse) {
  ScratchFolder folder;
  const std::string sqlite = folder.File("hotel.db");
  CreateSqliteFile(sqlite);
  const std::string text = folder.File("hotel.mdb");
  WriteFile(text, "Standard Jet DB, or so it says");
  const std::string damaged = folder.File("damaged.db");
  WriteFile(damaged, std::string("SQLite format 3\0", 16) + std::string(200, '\x7f'));
  const std::string empty = folder.File("empty.db");
  WriteFile(empty, "");

  std::unique_ptr<Connection> connection;
  ASSERT_TRUE(OpenDatabase(*Env::Default(), sqlite, connection));
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->Dialect(), SqlDialect::kSqlite);
  for (const std::string& path : {text, damaged, empty, folder.File("missing.db"), std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(OpenDatabase(*Env::Default(), path, connection));
    EXPECT_EQ(connection, nullptr);  // the previous connection is gone too
  }
  EXPECT_TRUE(OpenDatabase(*Env::Default(), sqlite, connection));
}

TEST_F(ExecuteSqlTest, NumberingTurnsAreTakenOneAtATime) {
  store_test::ExpectNumberingTurnsOneAtATime(*connection_, *SqliteConnection::Open(path_));
}

}  // namespace
}  // namespace holvanter
