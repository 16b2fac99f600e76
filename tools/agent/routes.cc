#include "tools/agent/routes.h"

#include <ctime>
#include <memory>
#include <optional>

#include "store/execute_sql.h"
#include "store/open_database.h"
#include "store/settings.h"
#include "tools/agent/card_json.h"

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

void RefuseCheckOutRoom(const std::string& field, const std::string& rooms) {
  if (rooms.find_first_not_of('0') == std::string::npos)
    throw BadRequest("field '" + field +
                     "' names no room; a check-out is POST /v1/card/checkout");
}

namespace {

std::string NowStamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M", &tm);
  return buf;
}

// The answer when the encoder does not open: OpenPort's result.
std::optional<nlohmann::json> NotOpen(EncoderWorker& worker, holvanter::TavoCard& card) {
  const int32_t opened = worker.EnsureOpen(card);
  if (opened == worker.port() + 1) return std::nullopt;
  nlohmann::json out = ResultJson(opened);
  out["meaning"] = "the encoder on port " + std::to_string(worker.port()) + " did not open";
  AddCardFields(out, {});
  return out;
}

nlohmann::json Issued(int result, const std::string& card_no_hex, const std::string& kind,
                      const nlohmann::json& in, std::vector<std::string> rooms) {
  nlohmann::json out = ResultJson(result);
  CardFields card;
  card.card_no = RecordForm(card_no_hex);
  card.kind = kind;
  card.building = in["building"].get<int>();
  card.floor = in["floor"].get<int>();
  card.rooms = std::move(rooms);
  card.begin = in["begin"].get<std::string>();
  card.end = in["end"].get<std::string>();
  AddCardFields(out, card);
  out["holder"] = in["holder"];
  return out;
}

}  // namespace

nlohmann::json IssueGuest(EncoderWorker& worker, holvanter::TavoCard& card,
                          const nlohmann::json& in) {
  const std::string room = in["room"].get<std::string>();
  if (auto refused = NotOpen(worker, card)) return *refused;
  std::string card_no;
  const int16_t result = card.WriteCard(
      0, in["begin"].get<std::string>(), in["end"].get<std::string>(), card_no,
      static_cast<int16_t>(in["building"].get<int>()), static_cast<int16_t>(in["floor"].get<int>()),
      room, in["holder"].get<std::string>());
  return Issued(result, card_no, "guest", in, {room});
}

nlohmann::json IssueVilla(EncoderWorker& worker, holvanter::TavoCard& card,
                          const nlohmann::json& in) {
  const std::string first = in["rooms"][0].get<std::string>();
  const std::string second = in["rooms"][1].get<std::string>();
  if (auto refused = NotOpen(worker, card)) return *refused;
  std::string card_no;
  const int16_t result = card.VillaCard(
      0, in["begin"].get<std::string>(), in["end"].get<std::string>(), card_no,
      static_cast<int16_t>(in["building"].get<int>()), static_cast<int16_t>(in["floor"].get<int>()),
      first + second, in["holder"].get<std::string>());
  return Issued(result, card_no, "villa", in, {first, second});
}

nlohmann::json ReadOnEncoder(EncoderWorker& worker, holvanter::TavoCard& card) {
  if (auto refused = NotOpen(worker, card)) return *refused;
  std::string card_no, room_no, begin_date, end_date;
  const int16_t result = card.ReadCard(0, card_no, room_no, begin_date, end_date);
  nlohmann::json out = ResultJson(result);
  AddCardFields(out, SplitReadCard(card_no, room_no, begin_date, end_date));
  return out;
}

nlohmann::json CheckOutOnEncoder(EncoderWorker& worker, holvanter::TavoCard& card) {
  if (auto refused = NotOpen(worker, card)) return *refused;
  std::string card_no, room_no, begin_date, end_date;
  int16_t result = card.ReadCard(0, card_no, room_no, begin_date, end_date);
  if (result == 0 && card_no.empty()) result = -700;
  if (result == 0) {
    // The villa check-out releases every room the card carries: the one
    // room of a guest card or both of a villa card.
    const std::string now = NowStamp();
    std::string ignored;
    result = card.VillaCard(0, now, now, ignored, 1, 1, "00000000", "");
  }
  nlohmann::json out = ResultJson(result);
  AddCardFields(out, SplitReadCard(card_no, room_no, begin_date, end_date));
  return out;
}

nlohmann::json NewestCards(int limit) {
  std::string path;
  const int16_t found = holvanter::ReadDatabasePath(path);
  if (found != 0) throw std::runtime_error(ResultJson(found)["meaning"].get<std::string>());
  std::unique_ptr<holvanter::Connection> connection;
  if (!holvanter::OpenDatabase(path, connection))
    throw std::runtime_error(ResultJson(-840)["meaning"].get<std::string>() + ": " + path);
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
    const auto& card_no = rows->Field("CardNo");
    row["card_no_hex"] = card_no ? HexForm(*card_no) : "";
    cards.push_back(std::move(row));
  }
  return {{"database", path}, {"cards", std::move(cards)}};
}

nlohmann::json DatabaseHealth() {
  std::string path;
  const int16_t found = holvanter::ReadDatabasePath(path);
  nlohmann::json out{{"reachable", false}, {"path", path}};
  if (found != 0) {
    out["message"] = ResultJson(found)["meaning"];
    return out;
  }
  std::unique_ptr<holvanter::Connection> connection;
  const bool opened = holvanter::OpenDatabase(path, connection);
  out["reachable"] = opened;
  out["message"] = opened ? "the hotel database opens" : ResultJson(-840)["meaning"];
  return out;
}

}  // namespace agent
