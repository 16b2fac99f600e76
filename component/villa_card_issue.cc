// VillaCard: villa card issue for two rooms on one floor, and check-out when
// RoomNO is "00000000".
#include <string>
#include <utility>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/card_issue.h"
#include "component/card_statements.h"
#include "component/diagnostic_log.h"
#include "component/thread_state.h"
#include "holvanter/tavo_card.h"
#include "store/settings.h"

namespace holvanter {
namespace {

bool IsVillaRoomNo(std::string_view room_no) {
  if (room_no.size() != 8) return false;
  for (char c : room_no)
    if (c < '0' || c > '9') return false;
  return true;
}

int16_t IssueVillaCard(TavoCard& self, int32_t IcDevH, const std::string& BeginDate,
                       const std::string& EndDate, std::string& CardNo, int16_t BldgNo,
                       int16_t FloorNo, const std::string& RoomNO, const std::string& HoderName) {
  const std::string room_no(TrimSpaces(RoomNO));
  if (!IsVillaRoomNo(room_no)) return -857;
  ThreadState& state = ThisThreadState();
  if (const int16_t rc = ReadHotelSettings(state)) return rc;
  if (CharacterCount(BeginDate) != 12) return -851;
  if (CharacterCount(EndDate) < 12) return -852;
  const std::string begin_stamp = BeginDate.substr(0, 12);
  const std::string end_stamp = EndDate.substr(0, 12);
  // The stamps go on the card and into the record: figures and real dates.
  if (const int16_t rc = CheckStayAndPlace(begin_stamp, end_stamp, BldgNo, FloorNo)) return rc;
  if (const int16_t rc = OpenHotelDatabase(state)) return rc;

  if (room_no == "00000000")
    return CheckOutCard(self, IcDevH, state, RoomRelease::kVillaStatement);

  const std::string first_room = room_no.substr(0, 4);
  const std::string second_room = room_no.substr(4, 4);
  CardImage image = StartCardImage(kVillaCardKind, state.system_code);
  CardRecordValues record;
  record.villa = true;
  record.holder_name = HoderName;
  record.bldg_no = BldgNo;
  record.floor_no = FloorNo;
  record.room_value = first_room + "," + second_room;
  record.begin_text = StayDateText(begin_stamp);
  record.end_text = StayDateText(end_stamp);
  const CardNumber number = RecordIssuedCard(
      state, CardNo, VillaRoomIssueStatement(BldgNo, FloorNo, first_room, second_room),
      std::move(record));
  FinishVillaImage(image, number.hex_form, end_stamp, room_no, FloorNo, BldgNo);
  return WriteIssuedCard(state, image, number.record_form,
                         VillaRoomCheckOutStatement(BldgNo, FloorNo, second_room, first_room));
}

}  // namespace

int16_t TavoCard::VillaCard(int32_t IcDevH, const std::string& BeginDate,
                            const std::string& EndDate, std::string& CardNo, int16_t BldgNo,
                            int16_t FloorNo, const std::string& RoomNO,
                            const std::string& HoderName) {
  return RunCardMethod(
      "VillaCard", IssueInputs(BeginDate, EndDate, BldgNo, FloorNo, "RoomNO", RoomNO, HoderName),
      CardNo, [&] {
        return IssueVillaCard(*this, IcDevH, BeginDate, EndDate, CardNo, BldgNo, FloorNo, RoomNO,
                              HoderName);
      });
}

}  // namespace holvanter
