#include "hosts/agent/card_requests.h"

#include <algorithm>
#include <string_view>

#include "holvanter/result_codes.h"
#include "hosts/frontdesk/desk_time.h"
#include "util/encoding.h"

namespace agent {

const std::vector<FieldSpec> kGuestFields = {
    {"begin", FieldType::kText},    {"end", FieldType::kText},  {"building", FieldType::kInt16},
    {"floor", FieldType::kInt16},   {"room", FieldType::kText}, {"holder", FieldType::kText}};
const std::vector<FieldSpec> kVillaFields = {
    {"begin", FieldType::kText},  {"end", FieldType::kText},      {"building", FieldType::kInt16},
    {"floor", FieldType::kInt16}, {"rooms", FieldType::kTwoTexts}, {"holder", FieldType::kText}};
const std::vector<FieldSpec> kDecodeFields = {{"image", FieldType::kText}};
const std::vector<FieldSpec> kCheckOutFields = {};

bool ReplaceAsked(const nlohmann::json& in) {
  return in.contains("replace") && in["replace"].get<bool>();
}

Checked<nlohmann::json> CheckBody(const std::string& body, const std::vector<FieldSpec>& fields) {
  nlohmann::json in;
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    in = nlohmann::json::object();
  } else {
    try {
      in = nlohmann::json::parse(body);
    } catch (const nlohmann::json::parse_error& e) {
      // The parser's own text names its internals; the byte is what helps.
      return BadRequest{"bad_json", "",
                       "the body is not JSON: it breaks off or goes wrong at byte " +
                           std::to_string(e.byte)};
    }
  }
  if (!in.is_object()) return BadRequest{"bad_json", "", "the body must be a JSON object"};
  // The issue routes take "replace" beside their stay.
  const bool issue = &fields == &kGuestFields || &fields == &kVillaFields;
  for (auto it = in.begin(); it != in.end(); ++it) {
    bool known = issue && it.key() == "replace";
    for (const FieldSpec& f : fields) known = known || it.key() == f.name;
    if (!known) return BadRequest{"unknown_field", it.key(), "unknown field '" + it.key() + "'"};
  }
  if (issue && in.contains("replace") && !in["replace"].is_boolean())
    return BadRequest{"invalid_field", "replace", "field 'replace' must be true or false"};
  for (const FieldSpec& f : fields) {
    const std::string name = f.name;
    if (!in.contains(name)) return BadRequest{"missing_field", name, "field '" + name + "' is missing"};
    const nlohmann::json& v = in[name];
    switch (f.type) {
      case FieldType::kText:
        if (!v.is_string())
          return BadRequest{"invalid_field", name, "field '" + name + "' must be a string"};
        break;
      case FieldType::kInt16:
        if (!v.is_number_integer() || v.get<int64_t>() < -32768 || v.get<int64_t>() > 32767)
          return BadRequest{"invalid_field", name,
                           "field '" + name + "' must be an integer from -32768 to 32767"};
        break;
      case FieldType::kTwoTexts:
        if (!v.is_array() || v.size() != 2 || !v[0].is_string() || !v[1].is_string())
          return BadRequest{"invalid_field", name,
                           "field '" + name + "' must be an array of two strings"};
        break;
    }
  }
  return in;
}

namespace {

// The front-desk guards, answered as a bad request naming the field.
template <typename Stay>
Checked<Stay> Guarded(Stay stay) {
  if (auto refusal = frontdesk::RefuseStay(stay))
    return BadRequest{"invalid_field", refusal->field,
                      "field '" + refusal->field + "': " + refusal->message +
                          (refusal->checks_out ? " (a check-out is POST /v1/card/checkout)" : "")};
  return stay;
}

}  // namespace

Checked<frontdesk::GuestStay> GuestStayOf(const nlohmann::json& in) {
  frontdesk::GuestStay stay;
  stay.begin = in["begin"].get<std::string>();
  stay.end = in["end"].get<std::string>();
  stay.building = in["building"].get<int>();
  stay.floor = in["floor"].get<int>();
  stay.room = in["room"].get<std::string>();
  stay.holder = in["holder"].get<std::string>();
  frontdesk::TakeStayTimes(stay);
  return Guarded(std::move(stay));
}

Checked<frontdesk::VillaStay> VillaStayOf(const nlohmann::json& in) {
  frontdesk::VillaStay stay;
  stay.begin = in["begin"].get<std::string>();
  stay.end = in["end"].get<std::string>();
  stay.building = in["building"].get<int>();
  stay.floor = in["floor"].get<int>();
  stay.rooms = in["rooms"][0].get<std::string>() + in["rooms"][1].get<std::string>();
  stay.holder = in["holder"].get<std::string>();
  frontdesk::TakeStayTimes(stay);
  return Guarded(std::move(stay));
}

Checked<std::optional<std::string>> QueryValue(const std::string& target, const std::string& name) {
  const std::size_t q = target.find('?');
  if (q == std::string::npos) return std::optional<std::string>();
  std::size_t from = q + 1;
  while (from <= target.size()) {
    std::size_t to = target.find('&', from);
    if (to == std::string::npos) to = target.size();
    const std::string pair = target.substr(from, to - from);
    from = to + 1;
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) != name) continue;
    const std::string raw = eq == std::string::npos ? "" : pair.substr(eq + 1);
    // A browser's form and URLSearchParams write a blank as '+'.
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      // %XX: two figures (a '%' at the end has none).
      const auto escaped = [&] {
        return holvanter::HexDecode(std::string_view(raw).substr(i + 1, 2));
      };
      if (raw[i] == '+') {
        value += ' ';
      } else if (raw[i] != '%') {
        value += raw[i];
      } else if (const auto byte = escaped(); byte.ok() && byte.value().size() == 1) {
        value += byte.value();
        i += 2;
      } else {
        return BadRequest{"invalid_parameter", name, "query parameter '" + name + "' has a '%' that is no %XX escape"};
      }
    }
    for (unsigned char c : value)
      if (c < 0x20 || c == 0x7F)
        return BadRequest{"invalid_parameter", name, "query parameter '" + name + "' holds a control character"};
    try {
      (void)nlohmann::json(value).dump();  // throws on text that is not UTF-8
    } catch (const nlohmann::json::type_error&) {
      return BadRequest{"invalid_parameter", name, "query parameter '" + name + "' is not UTF-8 text"};
    }
    return std::optional<std::string>(value);
  }
  return std::optional<std::string>();
}

std::optional<BadRequest> UnknownQueryParameter(const std::string& target,
                                                const std::vector<std::string>& known) {
  const std::size_t q = target.find('?');
  if (q == std::string::npos) return std::nullopt;
  std::vector<std::string> seen;
  for (std::size_t from = q + 1; from <= target.size();) {
    std::size_t to = target.find('&', from);
    if (to == std::string::npos) to = target.size();
    const std::string pair = target.substr(from, to - from);
    from = to + 1;
    if (pair.empty()) continue;  // "?" alone, "&&"
    const std::string name = pair.substr(0, pair.find('='));
    if (std::find(known.begin(), known.end(), name) == known.end())
      return BadRequest{"unknown_parameter", name,
                        "unknown query parameter '" + name + "'" +
                            (known.empty() ? std::string(": this route takes none") : "")};
    // Only the first would count, and the caller might mean the other.
    if (std::find(seen.begin(), seen.end(), name) != seen.end())
      return BadRequest{"invalid_parameter", name,
                        "query parameter '" + name + "' is given more than once"};
    seen.push_back(name);
  }
  return std::nullopt;
}

Checked<frontdesk::CardFilter> CardFilterOf(const std::string& target) {
  frontdesk::CardFilter filter;
  filter.limit = 20;
  const auto limit = QueryValue(target, "limit");
  if (limit.refusal()) return *limit.refusal();
  if (const auto& text = *limit) {
    const bool digits = !text->empty() && text->size() <= 4 &&
                        text->find_first_not_of("0123456789") == std::string::npos;
    filter.limit = digits ? std::stoi(*text) : 0;
    if (filter.limit < 1 || filter.limit > 500)
      return BadRequest{"invalid_parameter", "limit", "limit must be a number from 1 to 500"};
  }
  const auto before = QueryValue(target, "before");
  if (before.refusal()) return *before.refusal();
  if (*before) {
    const std::optional<frontdesk::CardNumber> number = frontdesk::ParseCardNumber(**before);
    if (!number)
      return BadRequest{"invalid_parameter", "before",
                        "before must be a card number: eight figures, or six hexadecimal ones"};
    filter.before = number->record;
  }
  const auto room = QueryValue(target, "room"), holder = QueryValue(target, "holder");
  if (room.refusal()) return *room.refusal();
  if (holder.refusal()) return *holder.refusal();
  filter.room = room->value_or("");
  filter.holder = holder->value_or("");
  return filter;
}

namespace {

// A hotel database that was not read becomes the 500 answer's message.
holvanter::Status ReadOrNot(const frontdesk::HotelDatabase& database, const std::string& failure) {
  if (database.result == holvanter::result::kDatabaseNotOpen)
    return holvanter::Status::Database(frontdesk::ResultMeaning(database.result) + ": " + database.path);
  if (database.result != holvanter::result::kDone)
    return holvanter::Status::Database(frontdesk::ResultMeaning(database.result));
  if (!failure.empty()) return holvanter::Status::Database(failure);
  return holvanter::Status::Ok();
}

}  // namespace

holvanter::Result<nlohmann::json> NewestCards(const frontdesk::CardFilter& filter) {
  const frontdesk::CardListing listing = frontdesk::ListCards(filter);
  if (holvanter::Status read = ReadOrNot(listing.database, listing.failure); !read.ok()) return read;
  nlohmann::json cards = nlohmann::json::array();
  for (const frontdesk::CardRow& card : listing.rows) cards.push_back(frontdesk::ToItem(card));
  // The next page is before= this page's last card. A full page asks
  // whether that page has a record, so that no next leads to an empty page
  // (a card number with older records of its own leaves them out too).
  bool has_more = false;
  if (filter.limit > 0 && static_cast<int>(listing.rows.size()) == filter.limit &&
      cards.back()["card_no"].is_string()) {
    frontdesk::CardFilter after = filter;
    after.limit = 1;
    after.before = cards.back()["card_no"].get<std::string>();
    const frontdesk::CardListing more = frontdesk::ListCards(after);
    if (holvanter::Status read = ReadOrNot(more.database, more.failure); !read.ok()) return read;
    has_more = !more.rows.empty();
  }
  nlohmann::json next = has_more ? cards.back()["card_no"] : nlohmann::json(nullptr);
  return nlohmann::json{{"database", listing.database.path},
                        {"cards", std::move(cards)},
                        {"has_more", has_more},
                        {"next", std::move(next)}};
}

holvanter::Result<nlohmann::json> RoomBoard() {
  frontdesk::RoomFilter filter;
  filter.newest_card = true;
  const frontdesk::RoomListing listing = frontdesk::ListRooms(filter);
  if (holvanter::Status read = ReadOrNot(listing.database, listing.failure); !read.ok()) return read;
  nlohmann::json rooms = nlohmann::json::array();
  for (const frontdesk::RoomRow& room : listing.rows) {
    nlohmann::json newest = nullptr;
    if (room.newest)
      newest = {{"card_no", room.newest->card_no},
                {"holder", room.newest->holder.empty() ? nlohmann::json(nullptr)
                                                       : nlohmann::json(room.newest->holder)},
                {"end", frontdesk::DeskTimeJson(room.newest->end)}};
    rooms.push_back({{"building", room.building},
                     {"floor", room.floor},
                     {"room", room.room},
                     // What is out, from the records: RoomList's own State and
                     // CardQTY may still count a card checked out.
                     {"state", room.open_cards > 0 ? nlohmann::json("1") : nlohmann::json(nullptr)},
                     {"cards", room.open_cards},
                     {"newest", std::move(newest)}});
  }
  return nlohmann::json{{"database", listing.database.path}, {"rooms", std::move(rooms)}};
}

nlohmann::json DatabaseHealth() {
  const frontdesk::HotelDatabase database = frontdesk::ReachHotelDatabase();
  const bool reachable = database.result == holvanter::result::kDone;
  return {{"reachable", reachable},
          {"path", database.path.empty() ? nlohmann::json(nullptr) : nlohmann::json(database.path)},
          {"message", reachable ? "the hotel database opens" : frontdesk::ResultMeaning(database.result)}};
}

}  // namespace agent
