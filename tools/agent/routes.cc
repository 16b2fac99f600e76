#include "tools/agent/routes.h"

#include <memory>
#include <optional>

#include "store/execute_sql.h"
#include "store/open_database.h"
#include "store/settings.h"

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

frontdesk::GuestStay GuestStayOf(const nlohmann::json& in) {
  frontdesk::GuestStay stay;
  stay.begin = in["begin"].get<std::string>();
  stay.end = in["end"].get<std::string>();
  stay.building = in["building"].get<int>();
  stay.floor = in["floor"].get<int>();
  stay.room = in["room"].get<std::string>();
  stay.holder = in["holder"].get<std::string>();
  if (auto refusal = frontdesk::RefuseGuestRoom(stay.room))
    throw BadRequest("field 'room': " + *refusal + " (a check-out is POST /v1/card/checkout)");
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
  if (auto refusal = frontdesk::RefuseVillaRooms(stay.rooms))
    throw BadRequest("field 'rooms': " + *refusal + " (a check-out is POST /v1/card/checkout)");
  return stay;
}

nlohmann::json NewestCards(int limit) {
  std::string path;
  const int16_t found = holvanter::ReadDatabasePath(*holvanter::Env::Default(), path);
  if (found != 0) throw std::runtime_error(frontdesk::ResultMeaning(found));
  std::unique_ptr<holvanter::Connection> connection;
  if (!holvanter::OpenDatabase(*holvanter::Env::Default(), path, connection))
    throw std::runtime_error(frontdesk::ResultMeaning(-840) + ": " + path);
  std::string status;
  std::optional<holvanter::RecordSet> rows =
      holvanter::ExecuteSql(*connection, "SELECT * FROM CardRecord ORDER BY InfoNo DESC", status);
  nlohmann::json cards = nlohmann::json::array();
  for (int n = 0; n < limit && !rows->Eof(); ++n, rows->MoveNext()) {
    nlohmann::json row = nlohmann::json::object();
    for (const std::string& column : rows->Columns()) {
      const auto& value = rows->Field(column);
      row[column] = value ? nlohmann::json(*value) : nlohmann::json(nullptr);
    }
    const auto number = frontdesk::FromRecordForm(rows->Field("CardNo").value_or(""));
    row["card_no_hex"] = number ? number->hex : "";
    cards.push_back(std::move(row));
  }
  return {{"database", path}, {"cards", std::move(cards)}};
}

nlohmann::json DatabaseHealth() {
  std::string path;
  const int16_t found = holvanter::ReadDatabasePath(*holvanter::Env::Default(), path);
  nlohmann::json out{{"reachable", false}, {"path", path}};
  if (found != 0) {
    out["message"] = frontdesk::ResultMeaning(found);
    return out;
  }
  std::unique_ptr<holvanter::Connection> connection;
  const bool opened = holvanter::OpenDatabase(*holvanter::Env::Default(), path, connection);
  out["reachable"] = opened;
  out["message"] = opened ? "the hotel database opens" : frontdesk::ResultMeaning(-840);
  return out;
}

}  // namespace agent
