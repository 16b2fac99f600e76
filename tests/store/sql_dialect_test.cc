// The component's Access statements as SQLite and PostgreSQL receive them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "holvanter/tavo_card.h"
#include "store/sql_dialect.h"

namespace holvanter {
namespace {

struct RewriteCase {
  const char* name;
  std::string access;
  std::string sqlite;
  std::string postgres;
};

const std::string kGuestRoomIssue =
    "Update RoomList Set State='1', CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1), SetCard = '' "
    "Where BuildNo= 1 AND FloorNo = 2 AND RoomNo = '0203'";
const std::string kGuestRoomIssueRewritten =
    "Update RoomList Set State='1', CardQTY = (CASE WHEN (CardQTY) IS Null THEN 1 ELSE CardQTY + 1 "
    "END), SetCard = '' Where BuildNo= 1 AND FloorNo = 2 AND RoomNo = '0203'";

const std::string kInsertHead =
    "Insert Into CardRecord (InfoNo, CardNo, CardType, cardName, Name_F, PaperNo, Address, Remark, "
    "BuildNo, FloorNo, RoomNo, RoomNumber, ChkOutMark, CardQty, Date_F, ChkOutDate, Yajin, "
    "BeginDate, EndDate, UserName, BlackList, CardRand, Remark1, RFData) ";

std::string GuestInsert(const std::string& first_value, const std::string& issued,
                        const std::string& no_date, const std::string& begin,
                        const std::string& end) {
  return kInsertHead + "SELECT " + first_value + ", '00000101', '1', '宾客卡', 'Li Lei', '', '', '', " +
         "1, 2, '0203', 0, '', 0, " + issued + ", " + no_date + ", 0, " + begin + "," + end +
         ", '000', '', '','','' From CardRecord ";
}

std::vector<RewriteCase> Cases() {
  const std::string access_first = "IIf(IsNull(Max(InfoNo)),1,Max(InfoNo)+1)";
  const std::string rewritten_first = "(CASE WHEN ((Max(InfoNo)) IS NULL) THEN 1 ELSE Max(InfoNo)+1 END)";
  return {
      {"guest room issue", kGuestRoomIssue, kGuestRoomIssueRewritten, kGuestRoomIssueRewritten},
      {"villa room issue",
       "Update RoomList Set State='1', CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1), SetCard = '' "
       "Where BuildNo= 1 AND FloorNo = 2 AND RoomNo in ('0201','0202')",
       "Update RoomList Set State='1', CardQTY = (CASE WHEN (CardQTY) IS Null THEN 1 ELSE CardQTY + "
       "1 END), SetCard = '' Where BuildNo= 1 AND FloorNo = 2 AND RoomNo in ('0201','0202')",
       "Update RoomList Set State='1', CardQTY = (CASE WHEN (CardQTY) IS Null THEN 1 ELSE CardQTY + "
       "1 END), SetCard = '' Where BuildNo= 1 AND FloorNo = 2 AND RoomNo in ('0201','0202')"},
      {"guest card insert",
       GuestInsert(access_first, "#2007-10-25 11:05:09#", "#1900-01-01#", "#2007-Oct-20 12:30:00#",
                   "#2007-Oct-21 12:00:00#"),
       GuestInsert(rewritten_first, "'2007-10-25 11:05:09'", "'1900-01-01 00:00:00'",
                   "'2007-10-20 12:30:00'", "'2007-10-21 12:00:00'"),
       GuestInsert(rewritten_first, "TIMESTAMP '2007-10-25 11:05:09'",
                   "TIMESTAMP '1900-01-01 00:00:00'", "TIMESTAMP '2007-10-20 12:30:00'",
                   "TIMESTAMP '2007-10-21 12:00:00'")},
      {"room check-out (no Access-only piece)",
       "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= 1 AND "
       "FloorNo = 2 AND RoomNo IN ('0202','0201') AND CardQTY>1",
       "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= 1 AND "
       "FloorNo = 2 AND RoomNo IN ('0202','0201') AND CardQTY>1",
       "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= 1 AND "
       "FloorNo = 2 AND RoomNo IN ('0202','0201') AND CardQTY>1"},
      {"card check-out: SET Table.Column, '#1' stays quoted",
       "UPDATE CardRecord SET CardRecord.ChkOutMark = '#1', ChkOutDate = #2007-Oct-25 11:05:09# "
       "WHERE CardNo='00000101'",
       "UPDATE CardRecord SET ChkOutMark = '#1', ChkOutDate = '2007-10-25 11:05:09' WHERE "
       "CardNo='00000101'",
       "UPDATE CardRecord SET ChkOutMark = '#1', ChkOutDate = TIMESTAMP '2007-10-25 11:05:09' "
       "WHERE CardNo='00000101'"},
      {"numbering queries pass unchanged",
       "SELECT CardNo as CardNoMax From CardRecord WHERE InfoNo IN (SELECT Max(InFoNo) FROM "
       "CardRecord);",
       "SELECT CardNo as CardNoMax From CardRecord WHERE InfoNo IN (SELECT Max(InFoNo) FROM "
       "CardRecord);",
       "SELECT CardNo as CardNoMax From CardRecord WHERE InfoNo IN (SELECT Max(InFoNo) FROM "
       "CardRecord);"},
      {"month abbreviations in any case, short times",
       "SELECT #2007-OCT-05 7:05#, #2007-oct-05#, #2008-feB-29 23:59:59#, #2007-1-2#",
       "SELECT '2007-10-05 07:05:00', '2007-10-05 00:00:00', '2008-02-29 23:59:59', "
       "'2007-01-02 00:00:00'",
       "SELECT TIMESTAMP '2007-10-05 07:05:00', TIMESTAMP '2007-10-05 00:00:00', TIMESTAMP "
       "'2008-02-29 23:59:59', TIMESTAMP '2007-01-02 00:00:00'"},
      {"quoted text is never touched",
       "SELECT 'it''s #1# IIf(a,b,c)', \"IsNull(x)\", '#2007-Oct-05#' FROM t",
       "SELECT 'it''s #1# IIf(a,b,c)', \"IsNull(x)\", '#2007-Oct-05#' FROM t",
       "SELECT 'it''s #1# IIf(a,b,c)', \"IsNull(x)\", '#2007-Oct-05#' FROM t"},
      {"nested IIf, commas and parentheses inside strings",
       "SELECT iif (a = 'x,y)', IIF(IsNull( b ), 1, 2), 'z') FROM t",
       "SELECT (CASE WHEN a = 'x,y)' THEN (CASE WHEN (( b ) IS NULL) THEN 1 ELSE 2 END) ELSE 'z' "
       "END) FROM t",
       "SELECT (CASE WHEN a = 'x,y)' THEN (CASE WHEN (( b ) IS NULL) THEN 1 ELSE 2 END) ELSE 'z' "
       "END) FROM t"},
      {"names that only contain the function names stay",
       "SELECT MyIIf(a,b,c), t.IsNull(x), IsNullable FROM t",
       "SELECT MyIIf(a,b,c), t.IsNull(x), IsNullable FROM t",
       "SELECT MyIIf(a,b,c), t.IsNull(x), IsNullable FROM t"},
      {"every qualified SET target, not the WHERE clause",
       "UPDATE t SET t.a = 1, t.b = IIf(t.c > 1, 'p', 'q') WHERE t.c = 2",
       "UPDATE t SET a = 1, b = (CASE WHEN t.c > 1 THEN 'p' ELSE 'q' END) WHERE t.c = 2",
       "UPDATE t SET a = 1, b = (CASE WHEN t.c > 1 THEN 'p' ELSE 'q' END) WHERE t.c = 2"},
      {"SetCard is no SET", "SELECT SetCard.x FROM SetCard", "SELECT SetCard.x FROM SetCard",
       "SELECT SetCard.x FROM SetCard"},
  };
}

TEST(SqlDialect, RewritesWhatEachDatabaseNeeds) {
  for (const RewriteCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RewriteStatement(c.access, SqlDialect::kSqlite), c.sqlite);
    EXPECT_EQ(RewriteStatement(c.access, SqlDialect::kPostgres), c.postgres);
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
    for (SqlDialect dialect : {SqlDialect::kSqlite, SqlDialect::kPostgres}) {
      try {
        RewriteStatement(statement, dialect);
        ADD_FAILURE() << "no error";
      } catch (const TavoError& e) {
        EXPECT_EQ(e.hresult(), kErrDatabase);
      }
    }
  }
}

}  // namespace
}  // namespace holvanter
