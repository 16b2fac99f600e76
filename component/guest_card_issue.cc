// WriteCard: guest card issue for one room, and check-out when the room
// code is "0000".
#include <string>
#include <utility>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/card_issue.h"
#include "component/card_statements.h"
#include "component/diagnostic_log.h"
#include "holvanter/tavo_card.h"
#include "util/text.h"

namespace holvanter {
namespace {

// Rooms without surrounding spaces, "0000" in front, the last four kept:
// 101 is 0101, empty is 0000 (check-out), 12345 is 2345.
std::string GuestRoomCode(const std::string& rooms) {
  const std::string padded = "0000" + std::string(Trim(rooms));
  return padded.substr(padded.size() - 4);
}

int16_t IssueGuestCard(CallContext& call, const std::string& BeginDate,
                       const std::string& EndDate, std::string& CardNo, int16_t BldgNo,
                       int16_t FloorNo, const std::string& Rooms, const std::string& HoderName) {
  if (const int16_t rc = ReadHotelSettings(call)) return rc;
  if (CharacterCount(BeginDate) < 12) return result::kBadBegin;
  if (CharacterCount(EndDate) < 12) return result::kBadEnd;
  const std::string begin_stamp = BeginDate.substr(0, 12);
  const std::string end_stamp = EndDate.substr(0, 12);
  if (const int16_t rc = CheckStayAndPlace(begin_stamp, end_stamp, BldgNo, FloorNo)) return rc;
  const std::string room_code = GuestRoomCode(Rooms);
  if (!AllFigures(room_code)) return result::kBadGuestRoom;
  if (room_code != "0000") CheckHolderName(HoderName);  // a check-out records no name
  if (const int16_t rc = OpenHotelDatabase(call)) return rc;

  if (room_code == "0000") return CheckOutCard(call, RoomRelease::kGuestStatement);

  CardImage image = StartCardImage(kGuestCardKind, call.system_code);
  CardRecordValues record;
  record.holder_name = HoderName;
  record.bldg_no = BldgNo;
  record.floor_no = FloorNo;
  record.room_value = room_code;
  record.begin_text = StayDateText(begin_stamp);
  record.end_text = StayDateText(end_stamp);
  const CardNumber number = RecordIssuedCard(
      call, CardNo, GuestRoomIssueStatement(BldgNo, FloorNo, room_code), std::move(record));
  FinishGuestImage(image, number.hex_form, begin_stamp, end_stamp, room_code, FloorNo, BldgNo);
  return WriteIssuedCard(call, image, number.record_form,
                         GuestRoomCheckOutStatement(BldgNo, FloorNo, room_code));
}

}  // namespace

int16_t TavoCard::WriteCard(int32_t /*IcDevH*/, const std::string& BeginDate,
                            const std::string& EndDate, std::string& CardNo, int16_t BldgNo,
                            int16_t FloorNo, const std::string& Rooms,
                            const std::string& HoderName) {
  return RunCardMethod(
      "WriteCard", IssueInputs(BeginDate, EndDate, BldgNo, FloorNo, "Rooms", Rooms, HoderName),
      CardNo, [&](CallContext& call) {
        return IssueGuestCard(call, BeginDate, EndDate, CardNo, BldgNo, FloorNo, Rooms,
                              HoderName);
      });
}

std::string TavoCard::LastFailureReason() const {
  return WithoutPasswords(ThisThreadState().failure_reason);
}

}  // namespace holvanter
