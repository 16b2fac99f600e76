// The component's Access statements as SQLite, PostgreSQL and MariaDB receive
// them.
// The whole statements of issue and check-out run in the issue flow suite on
// SQLite, PostgreSQL and SQLite through ODBC; here each rewriting rule once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "holvanter/tavo_card.h"
#include "store/sql_dialect.h"
#include "store/store_test_util.h"

namespace holvanter {
namespace {

struct RewriteCase {
  const char* name;
  std::string access;
  std::string sqlite = {};    // empty: the Access text unchanged
  std::string postgres = {};  // empty: as for SQLite; MariaDB reads the same
};

std::vector<RewriteCase> Cases() {
  const char* iif_update =
      "Update RoomList Set CardQTY = (CASE WHEN (CardQTY) IS Null THEN 1 ELSE CardQTY + 1 END) "
      "Where RoomNo = '0203'";
  const std::string numbering = "SELECT (CASE WHEN ((Max(InfoNo)) IS NULL) THEN 1 ELSE Max(InfoNo)+1 END), ";
  return {
      {"IIF in an update",
       "Update RoomList Set CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1) Where RoomNo = '0203'",
       iif_update},
      {"IIf over IsNull of an aggregate, date literals",
       "SELECT IIf(IsNull(Max(InfoNo)),1,Max(InfoNo)+1), #2007-10-25 11:05:09#, #1900-01-01# "
       "From CardRecord",
       numbering + "'2007-10-25 11:05:09', '1900-01-01 00:00:00' From CardRecord",
       numbering + "TIMESTAMP '2007-10-25 11:05:09', TIMESTAMP '1900-01-01 00:00:00' From CardRecord"},
      {"card check-out: SET Table.Column, '#1' stays quoted",
       "UPDATE CardRecord SET CardRecord.ChkOutMark = '#1', ChkOutDate = #2007-Oct-25 11:05:09# "
       "WHERE CardNo='00000101'",
       "UPDATE CardRecord SET ChkOutMark = '#1', ChkOutDate = '2007-10-25 11:05:09' WHERE "
       "CardNo='00000101'",
       "UPDATE CardRecord SET ChkOutMark = '#1', ChkOutDate = TIMESTAMP '2007-10-25 11:05:09' "
       "WHERE CardNo='00000101'"},
      {"month abbreviations in any case, short times",
       "SELECT #2007-OCT-05 7:05#, #2007-oct-05#, #2008-feB-29 23:59:59#, #2007-1-2#",
       "SELECT '2007-10-05 07:05:00', '2007-10-05 00:00:00', '2008-02-29 23:59:59', "
       "'2007-01-02 00:00:00'",
       "SELECT TIMESTAMP '2007-10-05 07:05:00', TIMESTAMP '2007-10-05 00:00:00', TIMESTAMP "
       "'2008-02-29 23:59:59', TIMESTAMP '2007-01-02 00:00:00'"},
      {"quoted text is never touched",
       "SELECT 'it''s #1# IIf(a,b,c)', \"IsNull(x)\", '#2007-Oct-05#' FROM t"},
      {"nested IIf, commas and parentheses inside strings",
       "SELECT iif (a = 'x,y)', IIF(IsNull( b ), 1, 2), 'z') FROM t",
       "SELECT (CASE WHEN a = 'x,y)' THEN (CASE WHEN (( b ) IS NULL) THEN 1 ELSE 2 END) ELSE 'z' "
       "END) FROM t"},
      {"names that only contain the function names stay",
       "SELECT MyIIf(a,b,c), t.IsNull(x), IsNullable FROM t"},
      {"every qualified SET target, not the WHERE clause",
       "UPDATE t SET t.a = 1, t.b = IIf(t.c > 1, 'p', 'q') WHERE t.c = 2",
       "UPDATE t SET a = 1, b = (CASE WHEN t.c > 1 THEN 'p' ELSE 'q' END) WHERE t.c = 2"},
      {"SetCard is no SET", "SELECT SetCard.x FROM SetCard"},
      {"a date literal beside a quote stays a text of its own",
       "SELECT 'a'#2007-1-2##2007-1-3#'b'",
       "SELECT 'a' '2007-01-02 00:00:00' '2007-01-03 00:00:00' 'b'",
       "SELECT 'a' TIMESTAMP '2007-01-02 00:00:00' TIMESTAMP '2007-01-03 00:00:00' 'b'"},
  };
}

TEST(SqlDialect, RewritesWhatEachDatabaseNeeds) {
  for (const RewriteCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string& sqlite = c.sqlite.empty() ? c.access : c.sqlite;
    EXPECT_EQ(RewriteStatement(c.access, SqlDialect::kSqlite), sqlite);
    const std::string& server = c.postgres.empty() ? sqlite : c.postgres;
    EXPECT_EQ(RewriteStatement(c.access, SqlDialect::kPostgres), server);
    EXPECT_EQ(RewriteStatement(c.access, SqlDialect::kMariaDb), server);
    EXPECT_EQ(RewriteStatement(c.access, SqlDialect::kAccess), c.access);
  }
}

TEST(SqlDialect, RefusesWhatNoDatabaseWouldRead) {
  const std::vector<std::string> bad = {
      "SELECT #2007-02-29#",          // no such day
      "SELECT #2007-13-01#",          // no such month
      "SELECT #2007-Okt-01#",         // no English month
      "SELECT #2007-10-01 24:00#",    // no such hour
      "SELECT #2007-10-01 12:60:00#", // no such minute
      "SELECT #2007-10-01 12#",       // an hour without minutes
      "SELECT #07-10-01#",            // a two-figure year
      "SELECT #2007-10-01",           // never closed
      "SELECT IIf(a, b) FROM t",      // IIf wants three arguments
      "SELECT IsNull(a, b) FROM t",   // IsNull wants one
  };
  for (const std::string& statement : bad) {
    SCOPED_TRACE(statement);
    for (SqlDialect dialect : {SqlDialect::kSqlite, SqlDialect::kPostgres, SqlDialect::kMariaDb})
      EXPECT_EQ(store_test::FailureOf([&] { RewriteStatement(statement, dialect); }).hresult,
                kErrDatabase);
  }
}

}  // namespace
}  // namespace holvanter
