#include "component/card_statements.h"

#include <cstdio>
#include <string>

namespace holvanter {
namespace {

int Figures(std::string_view s, std::size_t pos, std::size_t count) {
  int value = 0;
  for (std::size_t i = pos; i < pos + count && i < s.size(); ++i) value = value * 10 + (s[i] - '0');
  return value;
}

std::string TwoFigures(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

// "YYYY-<month>-DD HH:mm:ss" with the month as given.
std::string MomentText(const LocalTime& t, std::string_view month) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%.*s-%02d %02d:%02d:%02d", t.year,
                static_cast<int>(month.size()), month.data(), t.day, t.hour, t.minute, t.second);
  return buf;
}

std::string RoomIssuePrefix(int bldg_no, int floor_no) {
  return "Update RoomList Set State='1', CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1), "
         "SetCard = '' Where BuildNo= " +
         std::to_string(bldg_no) + " AND FloorNo = " + std::to_string(floor_no);
}

std::string RoomCheckOutPrefix(int bldg_no, int floor_no) {
  return "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= " +
         std::to_string(bldg_no) + " AND FloorNo = " + std::to_string(floor_no);
}

}  // namespace

std::string StayDateText(std::string_view stamp) {
  LocalTime t{Figures(stamp, 0, 4), Figures(stamp, 4, 2), Figures(stamp, 6, 2),
              Figures(stamp, 8, 2), Figures(stamp, 10, 2), 0};
  return "#" + MomentText(t, MonthAbbreviation(t.month)) + "#";
}

std::string IssueMomentText(const LocalTime& now) { return MomentText(now, TwoFigures(now.month)); }

std::string CheckOutMomentText(const LocalTime& now) {
  return MomentText(now, MonthAbbreviation(now.month));
}

std::string GuestRoomIssueStatement(int bldg_no, int floor_no, std::string_view room_code) {
  return RoomIssuePrefix(bldg_no, floor_no) + " AND RoomNo = '" + std::string(room_code) + "'";
}

std::string VillaRoomIssueStatement(int bldg_no, int floor_no, std::string_view first_room,
                                    std::string_view second_room) {
  return RoomIssuePrefix(bldg_no, floor_no) + " AND RoomNo in ('" + std::string(first_room) +
         "','" + std::string(second_room) + "')";
}

std::string CardRecordInsertStatement(const CardRecordValues& v) {
  std::string s;
  s += "Insert Into CardRecord ";
  s += "(InfoNo, CardNo, CardType, cardName, Name_F, PaperNo, Address, Remark, BuildNo, FloorNo, ";
  s += "RoomNo, RoomNumber, ChkOutMark, CardQty, Date_F, ChkOutDate, Yajin, BeginDate, EndDate, ";
  s += "UserName, BlackList, CardRand, Remark1, RFData) ";
  s += "SELECT IIf(IsNull(Max(InfoNo)),1,Max(InfoNo)+1), '";
  s += v.record_form;
  s += "', '1', ";
  s += v.villa ? "'别墅卡', " : "'宾客卡', ";
  // The holder name is the one free text that reaches a statement.
  s += QuoteSqlText(v.holder_name);
  s += ", '', '', '', ";
  s += std::to_string(v.bldg_no);
  s += ", ";
  s += std::to_string(v.floor_no);
  s += ", '";
  s += v.room_value;
  s += "', 0, '', ";
  s += "0, #";
  s += IssueMomentText(v.issued_at);
  s += "#, #1900-01-01#, 0, ";
  s += v.begin_text;
  s += ",";
  s += v.end_text;
  s += ", '000', ";
  s += "'', '','','' From CardRecord ";
  return s;
}

std::string GuestRoomCheckOutStatement(int bldg_no, int floor_no, std::string_view room) {
  return RoomCheckOutPrefix(bldg_no, floor_no) + " AND RoomNo = '" + std::string(room) +
         "' AND CardQTY>1";
}

std::string VillaRoomCheckOutStatement(int bldg_no, int floor_no, std::string_view room_a,
                                       std::string_view room_b) {
  return RoomCheckOutPrefix(bldg_no, floor_no) + " AND RoomNo IN ('" + std::string(room_a) +
         "','" + std::string(room_b) + "') AND CardQTY>1";
}

std::string OpenCardRecordsQuery(std::string_view record_form) {
  return "SELECT Count(*) AS OpenCount FROM CardRecord WHERE CardNo='" + std::string(record_form) +
         "' AND (ChkOutMark IS NULL OR ChkOutMark <> '#1')";
}

std::string CardCheckOutStatement(std::string_view record_form, const LocalTime& now) {
  return "UPDATE CardRecord SET CardRecord.ChkOutMark = '#1', ChkOutDate = #" +
         CheckOutMomentText(now) + "# WHERE CardNo='" + std::string(record_form) + "'";
}

}  // namespace holvanter
