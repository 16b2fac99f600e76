#include "hosts/desks/messages.h"

#include <stdexcept>

#include "hosts/fias/authkey.h"
#include "hosts/fias/codepage.h"

namespace desks {
namespace {

std::string RecordBytes(const fias::Record& record) {
  const std::string framed = fias::EncodeRecord(record);  // STX ... ETX
  return fias::Base64Encode(reinterpret_cast<const uint8_t*>(framed.data()) + 1,
                            framed.size() - 2);
}

fias::Record ParsedRecord(const std::string& base64) {
  std::optional<fias::Record> record = fias::ParseRecord(fias::Base64Decode(base64));
  if (!record) throw std::invalid_argument("a key record that is none");
  return *record;
}

}  // namespace

nlohmann::json SiteMessage(const fias::KeyServiceOptions& site) {
  nlohmann::json rooms = nlohmann::json::object();
  for (const auto& [pms_room, place] : site.rooms)
    rooms[pms_room] =
        std::to_string(place.building) + "," + std::to_string(place.floor) + "," + place.room;
  return {{"type", "site"},
          {"checkout_minutes", site.checkout_minutes},
          {"code_page", fias::NameOf(site.code_page)},
          {"rooms", rooms}};
}

fias::KeyServiceOptions SiteOf(const nlohmann::json& message) {
  fias::KeyServiceOptions site;
  site.checkout_minutes = message.at("checkout_minutes").get<int>();
  const std::optional<fias::CodePage> page =
      fias::CodePageNamed(message.at("code_page").get<std::string>());
  if (!page) throw std::invalid_argument("an unknown code page");
  site.code_page = *page;
  for (const auto& [pms_room, place] : message.at("rooms").items()) {
    const std::optional<fias::RoomPlace> parsed = fias::ParseRoomPlace(place.get<std::string>());
    if (!parsed) throw std::invalid_argument("a room place that is none");
    site.rooms[pms_room] = *parsed;
  }
  return site;
}

nlohmann::json RequestMessage(uint64_t id, int port, const fias::Record& request) {
  return {{"type", "request"}, {"id", id}, {"port", port}, {"record", RecordBytes(request)}};
}

fias::Record RecordOf(const nlohmann::json& message) {
  return ParsedRecord(message.at("record").get<std::string>());
}

nlohmann::json AnswerMessage(uint64_t id, const fias::KeyOutcome& outcome) {
  return {{"type", "answer"},
          {"id", id},
          {"record", RecordBytes(outcome.answer)},
          {"cut", outcome.cut_card}};
}

fias::KeyOutcome OutcomeOf(const nlohmann::json& message) {
  return {ParsedRecord(message.at("record").get<std::string>()),
          message.at("cut").get<std::string>()};
}

nlohmann::json LateMessage(const fias::CutCard& card) {
  return {{"type", "late"},
          {"card", card.card_no},
          {"reservation", card.reservation},
          {"workstation", card.workstation},
          {"requested_at", card.requested_at}};
}

fias::CutCard LateCardOf(const nlohmann::json& message) {
  return {message.at("card").get<std::string>(), message.at("reservation").get<std::string>(),
          message.at("workstation").get<std::string>(),
          message.at("requested_at").get<std::string>()};
}

}  // namespace desks
