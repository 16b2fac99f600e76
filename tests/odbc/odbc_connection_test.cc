// The ODBC backend against a real database: the one named by the file data
// source in HOLVANTER_TEST_DSN (scripts/test-odbc.sh runs these tests on a
// PostgreSQL server, a MariaDB server and an SQLite file). Without it they
// skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "holvanter/tavo_card.h"
#include "platform/profile_reader.h"
#include "component/card_statements.h"
#include "util/text.h"
#include "store/execute_sql.h"
#include "store/odbc_connection.h"
#include "store/odbc_open.h"
#include "store/store_test_util.h"

namespace holvanter {
namespace {

using std::chrono::steady_clock;

class OdbcDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
    if (dsn == nullptr || *dsn == '\0') GTEST_SKIP() << "HOLVANTER_TEST_DSN names no data source";
    dsn_ = dsn;
    db_ = Connect();
    Run("DROP TABLE IF EXISTS OdbcProbe");
    // The test server's own character set is latin1, as an untuned MariaDB's is.
    Run("CREATE TABLE OdbcProbe (Id INTEGER PRIMARY KEY, Name VARCHAR(200), Note TEXT, "
        "Stamp TIMESTAMP, Amount INTEGER CHECK (Amount < 100))" +
        std::string(db_->Dialect() == SqlDialect::kMariaDb ? " DEFAULT CHARSET=utf8mb4" : ""));
  }
  void TearDown() override {
    if (db_) Run("DROP TABLE IF EXISTS OdbcProbe");
  }

  // A connection of its own, as another card issue or desk would open.
  std::unique_ptr<OdbcConnection> Connect() const {
    const std::optional<OdbcTarget> target = PlanOdbcOpen(*Env::Default(), dsn_);
    if (!target) throw std::runtime_error(dsn_ + " is no ODBC data source");
    return std::make_unique<OdbcConnection>(target->connection_string,
                                            target->numbering_lock_path);
  }

  // Runs a statement that ExecuteSql would not take as an update.
  void Run(const std::string& statement) {
    Ok(db_->BeginTrans());
    Ok(db_->Execute(statement));
    Ok(db_->CommitTrans());
  }

  std::optional<RecordSet> Sql(const std::string& statement) {
    return Ok(ExecuteSql(*db_, statement, status_));
  }

  // The DRIVER keyword of the data source.
  std::string Driver() const {
    return FindProfileValue(store_test::ReadFile(dsn_), "ODBC", "DRIVER").value_or("");
  }

  std::string dsn_;
  std::unique_ptr<OdbcConnection> db_;
  std::string status_ = "untouched";
};

TEST_F(OdbcDatabaseTest, TheDriverTellsWhichDialectToSpeak) {
  const std::string driver = Driver();
  const SqlDialect expected = driver.find("PostgreSQL") != std::string::npos ? SqlDialect::kPostgres
                              : driver.find("SQLite") != std::string::npos   ? SqlDialect::kSqlite
                              : driver.find("MariaDB") != std::string::npos  ? SqlDialect::kMariaDb
                                                                             : SqlDialect::kAccess;
  EXPECT_EQ(db_->Dialect(), expected) << db_->DbmsName();
  if (expected == SqlDialect::kMariaDb) {
    // A data source that sets the driver to latin1 would turn Chinese names
    // into question marks: it does not open.
    const std::string latin1 =
        PlanOdbcOpen(*Env::Default(), dsn_)->connection_string + ";CHARSET=latin1";
    const store_test::Failure failure = store_test::FailureOf([&] { OdbcConnection(latin1, ""); });
    EXPECT_EQ(failure.hresult, kErrDatabase);
    EXPECT_NE(failure.message.find("utf8mb4"), std::string::npos) << failure.message;
  }
}

TEST_F(OdbcDatabaseTest, QueriesReturnEveryRowWithNullsAndNamedFields) {
  std::optional<RecordSet> empty = Sql("Select * From OdbcProbe Where Id > 0 ");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->Eof());
  EXPECT_TRUE(empty->Bof());
  EXPECT_EQ(empty->RecordCount(), 0u);
  EXPECT_EQ(status_, "untouched");

  Sql("Insert Into OdbcProbe (Id, Name, Note, Stamp, Amount) Values "
      "(1, '宾客卡', NULL, #2007-Oct-20 12:30:00#, 5)");
  EXPECT_EQ(status_, "Insert query successful");
  Sql("insert INTO OdbcProbe (Id, Name, Note, Stamp, Amount) Values (2, NULL, 'x', NULL, NULL)");
  EXPECT_EQ(status_, "insert query successful");
  Sql("Insert Into OdbcProbe (Id, Name, Note, Stamp, Amount) Values "
      "(3, '', '', #2007-10-21 08:05:09#, -7)");

  std::optional<RecordSet> rs =
      Sql("SELECT Id, Name AS HolderName, Note, Stamp, Amount FROM OdbcProbe ORDER BY Id  ");
  ASSERT_TRUE(rs.has_value());
  EXPECT_EQ(status_, "查询到3 条记录 ");
  ASSERT_EQ(rs->RecordCount(), 3u);
  // Fields by name without regard to case; Null is no value.
  const std::vector<std::vector<FieldValue>> rows = {
      {"1", "宾客卡", std::nullopt, "2007-10-20 12:30:00", "5"},
      {"2", std::nullopt, "x", std::nullopt, std::nullopt},
      {"3", "", "", "2007-10-21 08:05:09", "-7"},
  };
  for (const auto& row : rows) {
    ASSERT_FALSE(rs->Eof());
    EXPECT_EQ((std::vector<FieldValue>{rs->Field("ID"), rs->Field("holdername"), rs->Field("Note"),
                                       rs->Field("STAMP"), rs->Field("amount")}),
              row);
    rs->MoveNext();
  }
  EXPECT_TRUE(rs->Eof());
  EXPECT_THROW(rs->Field("Id"), StatusError);

  std::optional<RecordSet> max = Sql("SELECT Max(Id) AS IdMax, COUNT(*) AS N FROM OdbcProbe");
  ASSERT_TRUE(max.has_value());
  EXPECT_EQ(max->Field("IdMax"), "3");
  EXPECT_EQ(max->Field("n"), "3");
  EXPECT_EQ(status_, "查询到1 条记录 ");
}

TEST_F(OdbcDatabaseTest, LongValuesArriveWhole) {
  std::string note;
  for (int i = 0; note.size() < 30000; ++i) note += "别墅卡" + std::to_string(i) + ";";
  Sql("Insert Into OdbcProbe (Id, Note) Values (1, " + QuoteSqlText(note) + ")");
  std::optional<RecordSet> rs = Sql("Select Note From OdbcProbe Where Id = 1");
  ASSERT_TRUE(rs.has_value());
  ASSERT_TRUE(rs->Field("Note").has_value());
  const std::string& read = *rs->Field("Note");
  EXPECT_EQ(read.size(), note.size());
  EXPECT_TRUE(read == note);
}

TEST_F(OdbcDatabaseTest, ChineseHolderNamesWithQuotesRoundTrip) {
  const std::string names[] = {
      "王'小明",
      "O''Brien 张 #2007-Oct-20 12:30:00# IIf(IsNull(x),1,2)",
      "李四 \\ 𠀀",
      // Backslashes before, after and between quotes, which a server taking
      // backslash escapes would read as the end of the value.
      "\\", "\\'", "'\\", "\\\\'", "a\\'b\\\\''c\\", "\\'); DELETE FROM OdbcProbe; --",
      // The driver's own markers, inside a value.
      "? {fn UCASE('x')} {d '2007-10-20'}",
  };
  int id = 0;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ++id;
    Sql("Insert Into OdbcProbe (Id, Name) Values (" + std::to_string(id) + ", " + QuoteSqlText(name) +
        ")");
    std::optional<RecordSet> rs =
        Sql("Select Name From OdbcProbe Where Name = " + QuoteSqlText(name) + " ");
    ASSERT_TRUE(rs.has_value());
    ASSERT_EQ(rs->RecordCount(), 1u);
    EXPECT_EQ(rs->Field("Name"), name);
  }
}

TEST_F(OdbcDatabaseTest, EachUpdateCommitsOnItsOwnAndAFailedOneLeavesNothing) {
  std::unique_ptr<OdbcConnection> other_desk = Connect();
  auto count_seen_by_other_desk = [&] {
    return *Ok(other_desk->Query("SELECT COUNT(*) AS N FROM OdbcProbe")).Field("N");
  };

  Sql("Insert Into OdbcProbe (Id, Amount) Values (1, 10)");
  Sql("Insert Into OdbcProbe (Id, Amount) Values (2, 40)");
  EXPECT_EQ(count_seen_by_other_desk(), "2");

  // Amount 120 breaks the check on row 2 after row 1 has been changed.
  status_ = "before";
  const store_test::Failure failure =
      store_test::FailureOf([&] { Sql("Update OdbcProbe Set Amount = Amount * 3"); });
  EXPECT_EQ(failure.hresult, kErrDatabase);
  EXPECT_NE(failure.message, "");
  EXPECT_EQ(status_, "before");
  EXPECT_EQ(*Ok(other_desk->Query("SELECT SUM(Amount) AS Total FROM OdbcProbe")).Field("Total"), "50");

  // A transaction that is rolled back undoes its earlier statements too,
  // and the connection goes back to committing each statement.
  Ok(db_->BeginTrans());
  Ok(db_->Execute("Insert Into OdbcProbe (Id, Amount) Values (3, 1)"));
  EXPECT_THROW(Ok(db_->Execute("Insert Into OdbcProbe (Id, Amount) Values (1, 1)")), StatusError);
  db_->RollbackTrans();
  db_->RollbackTrans();  // nothing open: nothing happens
  EXPECT_EQ(count_seen_by_other_desk(), "2");

  Sql("Update OdbcProbe Set Amount = Amount + 1 Where Id = 2");
  Sql("Update OdbcProbe Set Amount = 0 Where Id = 99");  // touches no row: no failure
  EXPECT_EQ(*Ok(other_desk->Query("SELECT Amount FROM OdbcProbe WHERE Id = 2")).Field("Amount"), "41");
}

TEST_F(OdbcDatabaseTest, StatementsRunWithTheCommandTimeLimit) {
  if (db_->Dialect() == SqlDialect::kSqlite) {
    // The SQLite driver bounds the wait for a busy file instead.
    EXPECT_NE(PlanOdbcOpen(*Env::Default(), dsn_)->connection_string.find(";Timeout=5000"),
              std::string::npos);
    return;
  }
  // MariaDB's driver keeps no time-out of its own: the session's limits
  // bound a statement there (the fault suite's busy database).
  if (db_->Dialect() == SqlDialect::kMariaDb) return;
  EXPECT_EQ(db_->StatementTimeoutSeconds(), kCommandTimeoutSeconds);
  if (db_->Dialect() != SqlDialect::kPostgres) return;
  // The server is asked to wait longer than the limit: the driver gives up.
  const auto start = steady_clock::now();
  EXPECT_THROW(Ok(db_->Query("SELECT pg_sleep(30)")), StatusError);
  const double seconds = std::chrono::duration<double>(steady_clock::now() - start).count();
  EXPECT_GE(seconds, kCommandTimeoutSeconds - 0.5);
  EXPECT_LT(seconds, kCommandTimeoutSeconds + 5);
}

TEST_F(OdbcDatabaseTest, DesksTakeTurnsAtCardNumbering) {
  std::unique_ptr<OdbcConnection> other_desk = Connect();
  store_test::ExpectNumberingTurnsOneAtATime(*db_, *other_desk);

  // The turn can be taken again, also after its connection is gone.
  std::unique_ptr<NumberingTurn> turn = Ok(other_desk->TakeNumberingTurn());
  other_desk.reset();
  turn.reset();
  EXPECT_NE(Ok(db_->TakeNumberingTurn()), nullptr);
}

}  // namespace
}  // namespace holvanter
