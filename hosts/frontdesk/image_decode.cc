#include "hosts/frontdesk/image_decode.h"

#include <cstdio>

#include "card/card_image.h"
#include "holvanter/result_codes.h"
#include "hosts/frontdesk/frontdesk.h"
#include "util/encoding.h"

namespace frontdesk {

holvanter::Result<nlohmann::json> DecodeImageHex(const std::string& text) {
  // As a dump prints it: the bytes apart, in lines.
  std::string hex;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') hex += c;
  if (hex.size() != 2 * holvanter::kCardImageSize)
    return holvanter::Status::InvalidArgument("must be 56 hexadecimal figures, not " +
                                              std::to_string(hex.size()));
  holvanter::CardImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) {
    const std::string pair = hex.substr(2 * i, 2);
    const holvanter::Result<std::string> byte = holvanter::HexDecode(pair);
    if (!byte.ok())
      return holvanter::Status::InvalidArgument("holds '" + pair + "' at figure " +
                                                std::to_string(2 * i + 1) +
                                                ", which is not hexadecimal");
    image[i] = static_cast<uint8_t>(byte.value()[0]);
  }
  CardAnswer answer;
  answer.command = "decode";
  const holvanter::DecodedCard card = holvanter::DecodeCardImage(image);
  switch (card.kind) {
    case holvanter::CardKind::kGuest:
    case holvanter::CardKind::kVilla: answer.result = holvanter::result::kDone; break;
    case holvanter::CardKind::kKind01: answer.result = holvanter::result::kCardKind01; break;
    case holvanter::CardKind::kKindAA: answer.result = holvanter::result::kCardKindAA; break;
    default: answer.result = holvanter::result::kNoCard; break;
  }
  answer.meaning = ResultMeaning(answer.result);
  if (!card.rooms.empty()) {
    const bool villa = card.kind == holvanter::CardKind::kVilla;
    answer.card_no = FromRecordForm(holvanter::CardNoRecordForm(card.number));
    answer.building = card.building;
    answer.floor = card.floor;
    answer.kind = villa ? "villa" : "guest";
    answer.rooms = card.rooms;
    // A villa card carries no begin date (ReadCard gives 20000101 in its
    // place): none; a guest card the day alone.
    answer.begin = villa ? "" : card.begin;
    answer.end = villa && card.end.size() > 12 ? card.end.substr(card.end.size() - 12) : card.end;
  }
  nlohmann::json out = ToJson(answer);
  out.erase("port");
  char kind_byte[8];
  std::snprintf(kind_byte, sizeof kind_byte, "%02X", image[0]);
  out["kind_byte"] = kind_byte;
  std::string system_code;
  for (int i = 1; i <= 5; ++i)
    system_code += image[i] >= 0x20 && image[i] < 0x7F ? static_cast<char>(image[i]) : '?';
  out["system_code"] = system_code;
  return out;
}

}  // namespace frontdesk
