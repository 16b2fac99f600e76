#include "hosts/agent/routes.h"

#include "holvanter/result_codes.h"
#include "hosts/frontdesk/hotel.h"

namespace agent {

const std::vector<FieldSpec> kGuestFields = {
    {"begin", FieldType::kText},    {"end", FieldType::kText},  {"building", FieldType::kInt16},
    {"floor", FieldType::kInt16},   {"room", FieldType::kText}, {"holder", FieldType::kText}};
const std::vector<FieldSpec> kVillaFields = {
    {"begin", FieldType::kText},  {"end", FieldType::kText},      {"building", FieldType::kInt16},
    {"floor", FieldType::kInt16}, {"rooms", FieldType::kTwoTexts}, {"holder", FieldType::kText}};
const std::vector<FieldSpec> kDecodeFields = {{"image", FieldType::kText}};

nlohmann::json CheckBody(const std::string& body, const std::vector<FieldSpec>& fields) {
  nlohmann::json in;
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    in = nlohmann::json::object();
  } else {
    try {
      in = nlohmann::json::parse(body);
    } catch (const nlohmann::json::parse_error& e) {
      throw BadRequest(std::string("the body is not JSON: ") + e.what());
    }
  }
  if (!in.is_object()) throw BadRequest("the body must be a JSON object");
  for (auto it = in.begin(); it != in.end(); ++it) {
    bool known = false;
    for (const FieldSpec& f : fields) known = known || it.key() == f.name;
    if (!known) throw BadRequest("unknown field '" + it.key() + "'");
  }
  for (const FieldSpec& f : fields) {
    const std::string name = f.name;
    if (!in.contains(name)) throw BadRequest("field '" + name + "' is missing");
    const nlohmann::json& v = in[name];
    switch (f.type) {
      case FieldType::kText:
        if (!v.is_string()) throw BadRequest("field '" + name + "' must be a string");
        break;
      case FieldType::kInt16:
        if (!v.is_number_integer() || v.get<int64_t>() < -32768 || v.get<int64_t>() > 32767)
          throw BadRequest("field '" + name + "' must be an integer from -32768 to 32767");
        break;
      case FieldType::kTwoTexts:
        if (!v.is_array() || v.size() != 2 || !v[0].is_string() || !v[1].is_string())
          throw BadRequest("field '" + name + "' must be an array of two strings");
        break;
    }
  }
  return in;
}

namespace {

// The front-desk guards, answered as a bad request naming the field.
template <typename Stay>
void RefuseAsBadRequest(const Stay& stay) {
  if (auto refusal = frontdesk::RefuseStay(stay))
    throw BadRequest("field '" + refusal->field + "': " + refusal->message +
                     (refusal->checks_out ? " (a check-out is POST /v1/card/checkout)" : ""));
}

}  // namespace

frontdesk::GuestStay GuestStayOf(const nlohmann::json& in) {
  frontdesk::GuestStay stay;
  stay.begin = in["begin"].get<std::string>();
  stay.end = in["end"].get<std::string>();
  stay.building = in["building"].get<int>();
  stay.floor = in["floor"].get<int>();
  stay.room = in["room"].get<std::string>();
  stay.holder = in["holder"].get<std::string>();
  RefuseAsBadRequest(stay);
  return stay;
}

frontdesk::VillaStay VillaStayOf(const nlohmann::json& in) {
  frontdesk::VillaStay stay;
  stay.begin = in["begin"].get<std::string>();
  stay.end = in["end"].get<std::string>();
  stay.building = in["building"].get<int>();
  stay.floor = in["floor"].get<int>();
  stay.rooms = in["rooms"][0].get<std::string>() + in["rooms"][1].get<std::string>();
  stay.holder = in["holder"].get<std::string>();
  RefuseAsBadRequest(stay);
  return stay;
}

nlohmann::json NewestCards(int limit) {
  frontdesk::CardFilter filter;
  filter.limit = limit;
  const frontdesk::CardListing listing = frontdesk::ListCards(filter);
  const frontdesk::HotelDatabase& database = listing.database;
  if (database.result == holvanter::result::kDatabaseNotOpen)
    throw std::runtime_error(frontdesk::ResultMeaning(database.result) + ": " + database.path);
  if (database.result != holvanter::result::kDone)
    throw std::runtime_error(frontdesk::ResultMeaning(database.result));
  if (!listing.failure.empty()) throw std::runtime_error(listing.failure);
  nlohmann::json cards = nlohmann::json::array();
  for (const frontdesk::CardRow& card : listing.rows) {
    nlohmann::json row = frontdesk::ToJson(card);
    row["card_no_hex"] = card.card_no ? card.card_no->hex : "";
    cards.push_back(std::move(row));
  }
  return {{"database", database.path}, {"cards", std::move(cards)}};
}

nlohmann::json DatabaseHealth() {
  const frontdesk::HotelDatabase database = frontdesk::ReachHotelDatabase();
  const bool reachable = database.result == holvanter::result::kDone;
  return {{"reachable", reachable},
          {"path", database.path},
          {"message", reachable ? "the hotel database opens" : frontdesk::ResultMeaning(database.result)}};
}

}  // namespace agent
