#include "hosts/desks/messages.h"

#include <utility>

#include "hosts/fias/codepage.h"
#include "util/encoding.h"

namespace desks {
namespace {

using holvanter::Result;
using holvanter::Status;

// Runs `read`, which reads a message through nlohmann's accessors; they
// throw on a field missing or of another type: caught here, at the edge
// with the library, and answered as a value like every other refusal.
template <typename Read>
auto Reading(Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const nlohmann::json::exception& e) {
    return Status::InvalidArgument(e.what());
  }
}

// A record as its ID and fields, each value in Base64: a value travels
// byte for byte whatever the hotel's code page (a GBK name may hold the byte
// of '|'), and no framing is needed between desks.
nlohmann::json RecordJson(const fias::Record& record) {
  nlohmann::json fields = nlohmann::json::array();
  for (const auto& [id, value] : record.fields)
    fields.push_back({id, holvanter::Base64Encode(value)});
  return {{"id", record.id}, {"fields", fields}};
}

Result<fias::Record> ParsedRecord(const nlohmann::json& json) {
  return Reading([&]() -> Result<fias::Record> {
    fias::Record record;
    record.id = json.at("id").get<std::string>();
    if (record.id.size() != 2) return Status::InvalidArgument("a key record that is none");
    for (const auto& field : json.at("fields")) {
      const std::string id = field.at(0).get<std::string>();
      if (id.size() != 2) return Status::InvalidArgument("a field ID that is none");
      Result<std::string> value = holvanter::Base64Decode(field.at(1).get<std::string>());
      if (!value.ok())
        return Status::InvalidArgument("a field value that is " + value.status().message());
      record.Add(id, std::move(*value));
    }
    return record;
  });
}

}  // namespace

nlohmann::json SettingsMessage(const fias::KeyServiceOptions& settings) {
  nlohmann::json rooms = nlohmann::json::object();
  for (const auto& [pms_room, place] : settings.rooms)
    rooms[pms_room] =
        std::to_string(place.building) + "," + std::to_string(place.floor) + "," + place.room;
  return {{"type", kSettingsType},
          {"checkout_minutes", settings.checkout_minutes},
          {"checkin_minutes", settings.checkin_minutes},
          {"code_page", fias::NameOf(settings.code_page)},
          {"rooms", rooms}};
}

Result<fias::KeyServiceOptions> SettingsOf(const nlohmann::json& message) {
  return Reading([&]() -> Result<fias::KeyServiceOptions> {
    fias::KeyServiceOptions settings;
    settings.checkout_minutes = message.at("checkout_minutes").get<int>();
    settings.checkin_minutes = message.value("checkin_minutes", settings.checkin_minutes);
    const std::optional<fias::CodePage> page =
        fias::CodePageNamed(message.at("code_page").get<std::string>());
    if (!page) return Status::InvalidArgument("an unknown code page");
    settings.code_page = *page;
    for (const auto& [pms_room, place] : message.at("rooms").items()) {
      const std::optional<fias::RoomPlace> parsed = fias::ParseRoomPlace(place.get<std::string>());
      if (!parsed) return Status::InvalidArgument("a room place that is none");
      settings.rooms[pms_room] = *parsed;
    }
    return settings;
  });
}

nlohmann::json RequestMessage(uint64_t id, int port, const fias::Record& request,
                              const std::vector<std::string>& reservation_cards) {
  return {{"type", "request"},
          {"id", id},
          {"port", port},
          {"record", RecordJson(request)},
          {"cards", reservation_cards}};
}

Result<fias::Record> RecordOf(const nlohmann::json& message) {
  return Reading([&] { return ParsedRecord(message.at("record")); });
}

Result<std::vector<std::string>> ReservationCardsOf(const nlohmann::json& message) {
  return Reading([&]() -> Result<std::vector<std::string>> {
    std::vector<std::string> cards;
    if (message.contains("cards"))
      for (const auto& card : message.at("cards")) {
        cards.push_back(card.get<std::string>());
        if (cards.back().size() != 8 ||
            cards.back().find_first_not_of("0123456789") != std::string::npos)
          return Status::InvalidArgument("a card number that is none");
      }
    return cards;
  });
}

nlohmann::json AnswerMessage(uint64_t id, const fias::KeyOutcome& outcome) {
  return {{"type", "answer"},
          {"id", id},
          {"record", RecordJson(outcome.answer)},
          {"cut", outcome.cut_card}};
}

Result<fias::KeyOutcome> OutcomeOf(const nlohmann::json& message) {
  return Reading([&]() -> Result<fias::KeyOutcome> {
    HV_ASSIGN_OR_RETURN(fias::Record answer, ParsedRecord(message.at("record")));
    return fias::KeyOutcome{std::move(answer), message.at("cut").get<std::string>()};
  });
}

nlohmann::json LateMessage(const fias::CutCard& card) {
  return {{"type", "late"},
          {"card", card.card_no},
          {"reservation", card.reservation},
          {"workstation", card.workstation},
          {"requested_at", card.requested_at}};
}

Result<fias::CutCard> LateCardOf(const nlohmann::json& message) {
  return Reading([&]() -> Result<fias::CutCard> {
    return fias::CutCard{message.at("card").get<std::string>(),
                         message.at("reservation").get<std::string>(),
                         message.at("workstation").get<std::string>(),
                         message.at("requested_at").get<std::string>()};
  });
}

}  // namespace desks
