// ReadCard: the card on the encoder, decoded into card number, rooms and
// dates, in the texts the interface has always given them.
#include "card/card_image.h"
#include "component/card_issue.h"
#include "component/diagnostic_log.h"
#include "holvanter/tavo_card.h"

namespace holvanter {
namespace {

std::string TwoFigures(int value) {
  const std::string figures = std::to_string(value);
  return figures.size() < 2 ? "0" + figures : figures;
}

// RoomNO: building "#" floor "#" room; a villa card its second room, then
// "#" its first room.
std::string RoomText(const DecodedCard& card) {
  std::string text = TwoFigures(card.building) + "#" + TwoFigures(card.floor);
  for (auto room = card.rooms.rbegin(); room != card.rooms.rend(); ++room) text += "#" + *room;
  return text;
}

}  // namespace

int16_t TavoCard::ReadCard(int32_t /*IcDevH*/, std::string& CardNo, std::string& RoomNO,
                           std::string& BeginDate, std::string& EndDate) {
  return RunCardMethod("ReadCard", "", CardNo, [&](CallContext& call) {
    DecodedCard card;
    const int16_t result = ReadCardOnEncoder(call, card);
    if (result != 0 || card.rooms.empty()) return result;
    CardNo = CardNoRecordForm(card.number);
    RoomNO = RoomText(card);
    if (card.kind == CardKind::kVilla) {
      // A villa card carries no begin date; its end date is the last 12
      // figures of the end text.
      BeginDate = "20000101";
      EndDate = card.end.size() > 12 ? card.end.substr(card.end.size() - 12) : card.end;
    } else {
      BeginDate = card.begin;
      EndDate = card.end;
    }
    return result;
  });
}

}  // namespace holvanter
