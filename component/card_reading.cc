// ReadCard: the card on the encoder, decoded into card number, rooms and dates.
#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/diagnostic_log.h"
#include "component/thread_state.h"
#include "holvanter/tavo_card.h"

namespace holvanter {

namespace {

int16_t ReadCardOnEncoder(std::string& CardNo, std::string& RoomNO, std::string& BeginDate,
                          std::string& EndDate) {
  CardImage image{};  // all 0 before the read
  // Only an encoder opened on this thread is read (any state above 0 passes).
  if (ThisThreadState().port_state <= 0) return 0;
  if (ReadCardImage(image) != 0) return -128;

  DecodedCard card;
  switch (ClassifyCardKind(image[0])) {
    case CardKind::kKind01:
      return -500;
    case CardKind::kKindAA:
      return -600;
    case CardKind::kGuest:
      card = DecodeGuestImage(image);
      break;
    case CardKind::kVilla:
      card = DecodeVillaImage(image);
      break;
    case CardKind::kUnknown:
    default:
      return -700;
  }
  CardNo = card.card_no;
  RoomNO = card.room_no;
  BeginDate = card.begin_date;
  EndDate = card.end_date;
  return 0;
}

}  // namespace

int16_t TavoCard::ReadCard(int32_t /*IcDevH*/, std::string& CardNo, std::string& RoomNO,
                           std::string& BeginDate, std::string& EndDate) {
  return RunCardMethod("ReadCard", "", CardNo, [&] {
    const int16_t result = ReadCardOnEncoder(CardNo, RoomNO, BeginDate, EndDate);
    if (result == 0 && ThisThreadState().port_state <= 0)
      ThisThreadState().failure_reason = "the encoder is not open: nothing was read";
    return result;
  });
}

}  // namespace holvanter
