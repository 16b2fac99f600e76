// The statement texts that reach the hotel database, piece for piece.
#include "component/card_statements.h"
#include "util/text.h"

#include <gtest/gtest.h>

namespace holvanter {
namespace {

TEST(CardStatements, GuestRoomIssueForBuilding1Floor2Room0203) {
  EXPECT_EQ(GuestRoomIssueStatement(1, 2, "0203"),
            "Update RoomList Set State='1', CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1), "
            "SetCard = '' Where BuildNo= 1 AND FloorNo = 2 AND RoomNo = '0203'");
}

TEST(CardStatements, VillaRoomIssueNamesBothRooms) {
  EXPECT_EQ(VillaRoomIssueStatement(2, 3, "0102", "0304"),
            "Update RoomList Set State='1', CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1), "
            "SetCard = '' Where BuildNo= 2 AND FloorNo = 3 AND RoomNo in ('0102','0304')");
}

TEST(CardStatements, CheckOutOfCard101ReadOn25October2007) {
  const LocalTime read_at{2007, 10, 25, 11, 5, 9};
  EXPECT_EQ(GuestRoomCheckOutStatement(1, 2, "0203"),
            "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= 1 "
            "AND FloorNo = 2 AND RoomNo = '0203' AND CardQTY>1");
  EXPECT_EQ(CardCheckOutStatement("00000101", read_at),
            "UPDATE CardRecord SET CardRecord.ChkOutMark = '#1', ChkOutDate = "
            "#2007-Oct-25 11:05:09# WHERE CardNo='00000101'");
  EXPECT_EQ(VillaRoomCheckOutStatement(2, 3, "0304", "0102"),
            "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= 2 "
            "AND FloorNo = 3 AND RoomNo IN ('0304','0102') AND CardQTY>1");
}

TEST(CardStatements, DateTexts) {
  struct Case {
    const char* stamp;
    const char* text;
  } cases[] = {
      {"200710201230", "#2007-Oct-20 12:30:00#"},
      {"200001010000", "#2000-Jan-01 00:00:00#"},
      {"209912312359", "#2099-Dec-31 23:59:00#"},
      {"200802291705", "#2008-Feb-29 17:05:00#"},
  };
  for (const auto& c : cases) EXPECT_EQ(StayDateText(c.stamp), c.text) << c.stamp;
  const LocalTime t{2026, 3, 4, 5, 6, 7};
  EXPECT_EQ(IssueMomentText(t), "2026-03-04 05:06:07");
  EXPECT_EQ(CheckOutMomentText(t), "2026-Mar-04 05:06:07");
}

CardRecordValues GuestRecord() {
  CardRecordValues v;
  v.record_form = "00000101";
  v.holder_name = "Li Wei";
  v.bldg_no = 1;
  v.floor_no = 2;
  v.room_value = "0203";
  v.issued_at = LocalTime{2007, 10, 20, 9, 15, 42};
  v.begin_text = StayDateText("200710201230");
  v.end_text = StayDateText("200710221200");
  return v;
}

TEST(CardStatements, GuestCardInsertPieceForPiece) {
  EXPECT_EQ(CardRecordInsertStatement(GuestRecord()),
            "Insert Into CardRecord (InfoNo, CardNo, CardType, cardName, Name_F, PaperNo, "
            "Address, Remark, BuildNo, FloorNo, RoomNo, RoomNumber, ChkOutMark, CardQty, Date_F, "
            "ChkOutDate, Yajin, BeginDate, EndDate, UserName, BlackList, CardRand, Remark1, "
            "RFData) SELECT IIf(IsNull(Max(InfoNo)),1,Max(InfoNo)+1), '00000101', '1', "
            "'宾客卡', 'Li Wei', '', '', '', 1, 2, '0203', 0, '', 0, #2007-10-20 09:15:42#, "
            "#1900-01-01#, 0, #2007-Oct-20 12:30:00#,#2007-Oct-22 12:00:00#, '000', '', '','','' "
            "From CardRecord ");
}

TEST(CardStatements, VillaCardInsertDiffersInNameAndRooms) {
  CardRecordValues v = GuestRecord();
  v.villa = true;
  v.room_value = "0102,0304";
  const std::string s = CardRecordInsertStatement(v);
  EXPECT_NE(s.find("'1', '别墅卡', 'Li Wei', '', '', '', 1, 2, '0102,0304', 0, ''"),
            std::string::npos)
      << s;
}

TEST(CardStatements, HolderNameQuotesAreDoubled) {
  CardRecordValues v = GuestRecord();
  v.holder_name = "O'Brien', '') --";
  const std::string s = CardRecordInsertStatement(v);
  EXPECT_NE(s.find("'宾客卡', 'O''Brien'', '''') --', '', '', ''"), std::string::npos) << s;
  EXPECT_EQ(QuoteSqlText(""), "''");
  EXPECT_EQ(QuoteSqlText("''"), "''''''");
}

}  // namespace
}  // namespace holvanter
