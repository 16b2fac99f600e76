#include "tools/agent/image_decode.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "card/card_image.h"
#include "tools/frontdesk/frontdesk.h"

namespace agent {

nlohmann::json DecodeImageHex(const std::string& hex) {
  if (hex.size() != 2 * holvanter::kCardImageSize)
    throw std::invalid_argument("must be 56 hexadecimal figures, not " +
                                std::to_string(hex.size()));
  holvanter::CardImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) {
    const std::string pair = hex.substr(2 * i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      throw std::invalid_argument("holds '" + pair + "' at figure " + std::to_string(2 * i + 1) +
                                  ", which is not hexadecimal");
    image[i] = static_cast<uint8_t>(std::stoi(pair, nullptr, 16));
  }
  frontdesk::CardAnswer answer;
  answer.command = "decode";
  std::optional<holvanter::DecodedCard> card;
  switch (holvanter::ClassifyCardKind(image[0])) {
    case holvanter::CardKind::kGuest: card = holvanter::DecodeGuestImage(image); break;
    case holvanter::CardKind::kVilla: card = holvanter::DecodeVillaImage(image); break;
    case holvanter::CardKind::kKind01: answer.result = -500; break;
    case holvanter::CardKind::kKindAA: answer.result = -600; break;
    default: answer.result = -700; break;
  }
  answer.meaning = frontdesk::ResultMeaning(answer.result);
  if (card) {
    // The room text is "BB#FF#RRRR" on a guest card and
    // "BB#FF#second#first" on a villa card.
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
      const std::size_t at = card->room_no.find('#', from);
      parts.push_back(card->room_no.substr(from, at == std::string::npos ? at : at - from));
      if (at == std::string::npos) break;
      from = at + 1;
    }
    answer.card_no = frontdesk::FromRecordForm(card->card_no);
    if (parts.size() >= 3) {
      answer.building = std::atoi(parts[0].c_str());
      answer.floor = std::atoi(parts[1].c_str());
    }
    answer.kind = parts.size() == 4 ? "villa" : "guest";
    answer.rooms = parts.size() == 4 ? std::vector<std::string>{parts[3], parts[2]}
                                     : std::vector<std::string>{parts.back()};
    answer.begin = card->begin_date;
    answer.end = card->end_date;
  }
  nlohmann::json out = frontdesk::ToJson(answer);
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

}  // namespace agent
