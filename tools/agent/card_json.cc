#include "tools/agent/card_json.h"

#include <cstdio>
#include <stdexcept>

#include "card/card_image.h"
#include "tools/tavocard/result_text.h"

namespace agent {
namespace {

std::vector<std::string> SplitHash(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find('#', from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

std::optional<int> Number(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

CardFields SplitReadCard(const std::string& card_no, const std::string& room_no,
                         const std::string& begin_date, const std::string& end_date) {
  CardFields card;
  card.card_no = card_no;
  card.begin = begin_date;
  card.end = end_date;
  const std::vector<std::string> parts = SplitHash(room_no);
  if (parts.size() >= 3) {
    card.building = Number(parts[0]);
    card.floor = Number(parts[1]);
  }
  if (parts.size() == 3) {
    card.kind = "guest";
    card.rooms = {parts[2]};
  } else if (parts.size() == 4) {
    card.kind = "villa";
    card.rooms = {parts[3], parts[2]};  // the card shows the second room first
  }
  return card;
}

std::string HexForm(const std::string& record_form) {
  if (record_form.empty() || record_form.size() > 8) return {};
  unsigned long value = 0;
  for (char c : record_form) {
    if (c < '0' || c > '9') return {};
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > 0xFFFFFF) return {};
  return holvanter::CardNoHexForm(static_cast<uint32_t>(value));
}

std::string RecordForm(const std::string& hex_form) {
  if (hex_form.empty() || hex_form.size() > 6) return {};
  unsigned long value = 0;
  for (char c : hex_form) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return {};
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return holvanter::CardNoRecordForm(static_cast<uint32_t>(value));
}

nlohmann::json ResultJson(int result) {
  return {{"result", result}, {"meaning", tavocard::ResultMeaning(result)}};
}

void AddCardFields(nlohmann::json& out, const CardFields& card) {
  const auto or_null = [](const std::string& s) {
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
  };
  const auto int_or_null = [](const std::optional<int>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
  };
  out["card_no"] = or_null(card.card_no);
  out["card_no_hex"] = or_null(HexForm(card.card_no));
  out["kind"] = or_null(card.kind);
  out["building"] = int_or_null(card.building);
  out["floor"] = int_or_null(card.floor);
  out["rooms"] = card.rooms;
  out["begin"] = or_null(card.begin);
  out["end"] = or_null(card.end);
}

nlohmann::json DecodeImageHex(const std::string& hex) {
  if (hex.size() != 2 * holvanter::kCardImageSize)
    throw std::invalid_argument("must be 56 hexadecimal figures, not " +
                                std::to_string(hex.size()));
  holvanter::CardImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) {
    const std::string pair = hex.substr(2 * i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      throw std::invalid_argument("holds '" + pair + "' at figure " +
                                  std::to_string(2 * i + 1) + ", which is not hexadecimal");
    image[i] = static_cast<uint8_t>(std::stoi(pair, nullptr, 16));
  }
  char kind_byte[8];
  std::snprintf(kind_byte, sizeof kind_byte, "%02X", image[0]);
  int result = 0;
  std::optional<holvanter::DecodedCard> decoded;
  switch (holvanter::ClassifyCardKind(image[0])) {
    case holvanter::CardKind::kGuest: decoded = holvanter::DecodeGuestImage(image); break;
    case holvanter::CardKind::kVilla: decoded = holvanter::DecodeVillaImage(image); break;
    case holvanter::CardKind::kKind01: result = -500; break;
    case holvanter::CardKind::kKindAA: result = -600; break;
    default: result = -700; break;
  }
  nlohmann::json out = ResultJson(result);
  out["kind_byte"] = kind_byte;
  std::string system_code;
  for (int i = 1; i <= 5; ++i)
    system_code += image[i] >= 0x20 && image[i] < 0x7F ? static_cast<char>(image[i]) : '?';
  out["system_code"] = system_code;
  CardFields card;
  if (decoded)
    card = SplitReadCard(decoded->card_no, decoded->room_no, decoded->begin_date,
                         decoded->end_date);
  AddCardFields(out, card);
  return out;
}

std::string Dump(const nlohmann::json& j, int indent) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace agent
