// Server database sessions kept between card methods carry nothing from one
// to the next: a session left with another setting is set up again, one
// left holding the card numbering turn is closed for real, a transaction
// left open is rolled back.
//
// Runs on the PostgreSQL and MariaDB data sources of HOLVANTER_TEST_DSN
// (scripts/test-odbc.sh); skips on any other.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/open_database.h"
#include "support/failure.h"
#include "test_hotel.h"

namespace holvanter {
namespace {

using testing::TestHotel;

class KeptSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
    if (dsn == nullptr || *dsn == '\0') GTEST_SKIP() << "HOLVANTER_TEST_DSN names no data source";
    hotel_ = std::make_unique<TestHotel>();
    dialect_ = hotel_->connection().Dialect();
    if (dialect_ != SqlDialect::kPostgres && dialect_ != SqlDialect::kMariaDb)
      GTEST_SKIP() << "sessions are kept on server databases only";
  }
  void TearDown() override { hotel_.reset(); }

  // A connection as a card method opens it: with the same data source, so
  // it takes the session a card method kept, and keeps its own after.
  std::unique_ptr<Connection> Open() {
    std::unique_ptr<Connection> connection;
    std::string why;
    if (!OpenDatabase(*Env::Default(), hotel_->database_path(), connection, &why))
      ADD_FAILURE() << why;
    return connection;
  }
  std::string SessionId(Connection& connection) {
    return Value(connection, dialect_ == SqlDialect::kPostgres ? "SELECT pg_backend_pid()"
                                                               : "SELECT CONNECTION_ID()");
  }
  static std::string Value(Connection& connection, const std::string& query) {
    RecordSet rs = Ok(connection.Query(query));
    return rs.Eof() ? "<none>" : rs.Field(rs.Columns().at(0)).value_or("NULL");
  }

  std::unique_ptr<TestHotel> hotel_;
  SqlDialect dialect_ = SqlDialect::kSqlite;
};

TEST_F(KeptSessions, AKeptSessionCarriesNothingIntoTheNextCardMethod) {
  const bool pg = dialect_ == SqlDialect::kPostgres;
  const std::string take_turn =
      pg ? "SELECT pg_catalog.pg_advisory_lock(20388709956415092)"
         : "SELECT GET_LOCK(CONCAT('Holvanter card numbering ', LEFT(IFNULL(DATABASE(), ''), 30)), 0)";
  const std::string turns_held =
      pg ? "SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory'"
         : "SELECT COUNT(IS_USED_LOCK(CONCAT('Holvanter card numbering ', "
           "LEFT(IFNULL(DATABASE(), ''), 30))))";
  // Literals read the standard way; MariaDB: no backslash escapes.
  const std::string literals_standard =
      pg ? "SELECT CASE WHEN current_setting('standard_conforming_strings') = 'on' THEN 1 ELSE 0 END"
         : "SELECT INSTR(@@SESSION.sql_mode, 'NO_BACKSLASH_ESCAPES') > 0";
  const struct {
    const char* what;
    std::string statement;  // left behind on the session
    bool query;             // run as a query, else in a transaction left open
    bool same_session;      // the next card method carries on with it
  } cases[] = {
      {"literals read with backslash escapes",
       pg ? "SET standard_conforming_strings = off" : "SET SESSION sql_mode = ''", false, true},
      {"a transaction left open",
       "UPDATE RoomList SET State = '7' WHERE BuildNo = 1 AND FloorNo = 2 AND RoomNo = '0203'",
       false, true},
      {"the card numbering turn held", take_turn, true, false},
  };
  int cards = 0;
  for (const auto& c : cases) {
    std::string left_behind;
    {
      std::unique_ptr<Connection> earlier = Open();
      ASSERT_NE(earlier, nullptr);
      left_behind = SessionId(*earlier);
      if (c.query) {
        Ok(earlier->Query(c.statement));
      } else {
        Ok(earlier->BeginTrans());
        Ok(earlier->Execute(c.statement));
      }
    }  // closed: kept, or closed for real, as the session deserves

    // A holder name that a session reading backslash escapes would cut.
    const std::string name = "O\\'Brien \\";
    std::string card_no;
    const auto start = std::chrono::steady_clock::now();
    TavoCard card;
    card.OpenPort(0);
    EXPECT_EQ(card.WriteCard(0, "200710201230", "200710221200", card_no, 1, 2, "0203", name), 0)
        << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.what;
    ++cards;
    const std::string record_no =
        std::to_string(100000000 + std::stoul(card_no.empty() ? "0" : card_no, nullptr, 16))
            .substr(1);
    EXPECT_EQ(hotel_->Value("SELECT Name_F FROM CardRecord WHERE CardNo = '" + record_no + "'"),
              name)
        << c.what;
    EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM RoomList WHERE State = '7'"), "0") << c.what;
    EXPECT_EQ(hotel_->Value(turns_held), "0") << c.what;

    std::unique_ptr<Connection> next = Open();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(SessionId(*next) == left_behind, c.same_session) << c.what;
    EXPECT_EQ(Value(*next, literals_standard), "1") << c.what;
    EXPECT_EQ(Value(*next, turns_held), "0") << c.what;
  }
  EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM CardRecord"), std::to_string(cards));
}

}  // namespace
}  // namespace holvanter
