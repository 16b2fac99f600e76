// The statement texts of card issue and check-out, built piece by piece as
// the hotel database expects them (Access SQL; the store rewrites them for
// other databases), and the date texts that go into them.
#ifndef HOLVANTER_COMPONENT_CARD_STATEMENTS_H_
#define HOLVANTER_COMPONENT_CARD_STATEMENTS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "util/calendar.h"  // MonthAbbreviation: the month names the date literals carry
#include "util/text.h"      // QuoteSqlText: a holder name cannot end its value early

namespace holvanter {

// "#YYYY-MMM-DD HH:mm:00#" from a 12-figure stamp YYYYMMDDhhmm.
std::string StayDateText(std::string_view stamp);
// "YYYY-MM-DD HH:mm:ss": the moment of issue.
std::string IssueMomentText(const LocalTime& now);
// "YYYY-MMM-DD HH:mm:ss": the moment of check-out.
std::string CheckOutMomentText(const LocalTime& now);

// The two card number queries.
inline constexpr char kStartNoQuery[] =
    "SELECT Max(SpecRecord.StartNo) AS StartNoMax FROM SpecRecord Where InfoNo= 1";
inline constexpr char kLastCardNoQuery[] =
    "SELECT CardNo as CardNoMax From CardRecord WHERE InfoNo IN (SELECT Max(InFoNo) FROM "
    "CardRecord);";

// RoomList at issue: one room (guest card) or two rooms (villa card).
std::string GuestRoomIssueStatement(int bldg_no, int floor_no, std::string_view room_code);
std::string VillaRoomIssueStatement(int bldg_no, int floor_no, std::string_view first_room,
                                    std::string_view second_room);

// What the CardRecord insert records of one card.
struct CardRecordValues {
  std::string record_form;  // card number, 8 decimal figures
  bool villa = false;       // cardName '别墅卡' instead of '宾客卡'
  std::string holder_name;  // HoderName, recorded unchanged
  int bldg_no = 0;
  int floor_no = 0;
  std::string room_value;   // "0203", or "0102,0304" for a villa card
  LocalTime issued_at;
  std::string begin_text;   // StayDateText of the begin stamp
  std::string end_text;     // StayDateText of the end stamp
};
std::string CardRecordInsertStatement(const CardRecordValues& values);

// RoomList at check-out: rooms whose count is above 1 lose one card.
std::string GuestRoomCheckOutStatement(int bldg_no, int floor_no, std::string_view room);
std::string VillaRoomCheckOutStatement(int bldg_no, int floor_no, std::string_view room_a,
                                       std::string_view room_b);
// How many records of a card are still open (column OpenCount): a record
// is closed by the check-out mark '#1'.
std::string OpenCardRecordsQuery(std::string_view record_form);
// CardRecord at check-out: every record of the card is closed.
std::string CardCheckOutStatement(std::string_view record_form, const LocalTime& now);

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_CARD_STATEMENTS_H_
