// VillaCard: villa card issue for two rooms on one floor, and check-out when
// RoomNO is "00000000".
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

int16_t IssueVillaCard(CallContext& call, const std::string& BeginDate,
                       const std::string& EndDate, std::string& CardNo, int16_t BldgNo,
                       int16_t FloorNo, const std::string& RoomNO, const std::string& HoderName) {
  const std::string room_no(Trim(RoomNO));
  if (room_no.size() != 8 || !AllFigures(room_no)) return result::kBadVillaRooms;
  if (const int16_t rc = ReadHotelSettings(call)) return rc;
  if (CharacterCount(BeginDate) != 12) return result::kBadBegin;
  if (CharacterCount(EndDate) < 12) return result::kBadEnd;
  const std::string begin_stamp = BeginDate.substr(0, 12);
  const std::string end_stamp = EndDate.substr(0, 12);
  // The stamps go on the card and into the record: figures and real dates.
  if (const int16_t rc = CheckStayAndPlace(begin_stamp, end_stamp, BldgNo, FloorNo)) return rc;
  if (room_no != "00000000") CheckHolderName(HoderName);  // a check-out records no name
  if (const int16_t rc = OpenHotelDatabase(call)) return rc;

  if (room_no == "00000000")
    return CheckOutCard(call, RoomRelease::kVillaStatement);

  const std::string first_room = room_no.substr(0, 4);
  const std::string second_room = room_no.substr(4, 4);
  CardImage image = StartCardImage(kVillaCardKind, call.system_code);
  CardRecordValues record;
  record.villa = true;
  record.holder_name = HoderName;
  record.bldg_no = BldgNo;
  record.floor_no = FloorNo;
  record.room_value = first_room + "," + second_room;
  record.begin_text = StayDateText(begin_stamp);
  record.end_text = StayDateText(end_stamp);
  const CardNumber number = RecordIssuedCard(
      call, CardNo, VillaRoomIssueStatement(BldgNo, FloorNo, first_room, second_room),
      std::move(record));
  FinishVillaImage(image, number.hex_form, end_stamp, room_no, FloorNo, BldgNo);
  return WriteIssuedCard(call, image, number.record_form,
                         VillaRoomCheckOutStatement(BldgNo, FloorNo, second_room, first_room));
}

}  // namespace

int16_t TavoCard::VillaCard(int32_t /*IcDevH*/, const std::string& BeginDate,
                            const std::string& EndDate, std::string& CardNo, int16_t BldgNo,
                            int16_t FloorNo, const std::string& RoomNO,
                            const std::string& HoderName) {
  return RunCardMethod(
      "VillaCard", IssueInputs(BeginDate, EndDate, BldgNo, FloorNo, "RoomNO", RoomNO, HoderName),
      CardNo, [&](CallContext& call) {
        return IssueVillaCard(call, BeginDate, EndDate, CardNo, BldgNo, FloorNo, RoomNO,
                              HoderName);
      });
}

}  // namespace holvanter
