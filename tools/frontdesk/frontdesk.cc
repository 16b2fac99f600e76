#include "tools/frontdesk/frontdesk.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/open_database.h"
#include "store/settings.h"

namespace frontdesk {
namespace {

bool AllFigures(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The present local time as a stamp YYYYMMDDhhmm, for a check-out, whose
// dates the component checks but does not use.
std::string NowStamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M", &tm);
  return buf;
}

std::string HresultText(int32_t hresult) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hresult));
  return buffer;
}

// The holder name of the newest record of a card, looked up in the hotel
// database that Tavoper.ini names; empty when it cannot be found.
std::string HolderOfCard(const std::string& record_form) {
  try {
    std::string database_path;
    if (holvanter::ReadDatabasePath(*holvanter::Env::Default(), database_path) != 0) return {};
    std::unique_ptr<holvanter::Connection> connection;
    if (!holvanter::OpenDatabase(*holvanter::Env::Default(), database_path, connection)) return {};
    std::string status;
    auto rows = holvanter::ExecuteSql(
        *connection,
        "SELECT Name_F FROM CardRecord WHERE CardNo='" + record_form + "' ORDER BY InfoNo DESC",
        status);
    if (!rows || rows->Eof()) return {};
    return rows->Field("Name_F").value_or("");
  } catch (...) {
    return {};
  }
}

// Fills the card fields of `answer` from what ReadCard gave: the room text
// is "BB#FF#RRRR" for a guest card, "BB#FF#second#first" for a villa card.
void DescribeCard(CardAnswer& answer, const std::string& card_no, const std::string& room_no,
                  const std::string& begin_date, const std::string& end_date) {
  answer.card_no = FromRecordForm(card_no);
  std::vector<std::string> parts;
  std::stringstream in(room_no);
  for (std::string part; std::getline(in, part, '#');) parts.push_back(part);
  if (parts.size() >= 3) {
    answer.building = std::atoi(parts[0].c_str());
    answer.floor = std::atoi(parts[1].c_str());
  }
  if (parts.size() == 3) {
    answer.kind = "guest";
    answer.rooms = {parts[2]};
    answer.begin = begin_date;
  } else if (parts.size() == 4) {
    answer.kind = "villa";
    answer.rooms = {parts[3], parts[2]};  // the villa card carries the second room first
  }
  answer.end = end_date;
  if (answer.card_no) answer.holder = HolderOfCard(answer.card_no->record);
}

// Opens the encoder on answer.port, runs `call`, closes the encoder. A
// failed call is kept in the answer with its HRESULT.
template <typename Call>
void WithEncoder(CardAnswer& answer, Call call) {
  try {
    holvanter::TavoCard card;
    const int32_t opened = card.OpenPort(answer.port);
    if (opened != answer.port + 1) {
      answer.opened = false;
      answer.result = opened;
      answer.meaning = OpenPortMeaning(opened);
      card.ClosePort();
      return;
    }
    try {
      answer.result = call(card);
    } catch (...) {
      card.ClosePort();
      throw;
    }
    answer.reason = card.LastFailureReason();
    card.ClosePort();
    answer.meaning = ResultMeaning(answer.result);
  } catch (const holvanter::TavoError& e) {
    answer.hresult = e.hresult();
    answer.error_message = e.what();
  } catch (const std::exception& e) {
    answer.hresult = holvanter::kErrDatabase;
    answer.error_message = e.what();
  }
}

}  // namespace

int ExitStatusOf(int result) {
  if (result == 0) return kExitDone;
  if (result == -129 || (result >= 2 && result <= 255)) return kExitNotWritten;
  return kExitRefused;
}

int ExitStatusOf(const CardAnswer& answer) {
  if (!answer.usage_error.empty()) return kExitUsage;
  if (answer.hresult) return kExitFailedCall;
  if (!answer.opened || answer.nothing_read) return kExitRefused;
  return ExitStatusOf(answer.result);
}

std::string ResultMeaning(int code) {
  switch (code) {
    case 0:
      return "done";
    case -99:
      return "the encoder did not open";
    case -128:
      return "the card could not be read through the encoder";
    case -129:
      return "the encoder did not write the card";
    case -500:
      return "the card on the encoder has card kind 01, not a guest or villa card";
    case -600:
      return "the card on the encoder has card kind AA, not a guest or villa card";
    case -700:
      return "no guest or villa card was read: the card is blank, erased or of an unknown kind, or the encoder is not open";
    case -710:
      return "the card was erased, but it had no open record: it was checked out before (or is a copy), so no room was released";
    case -800:
      return "the settings file Tavoper.ini is missing";
    case -820:
      return "no database file at the path named in Tavoper.ini";
    case -840:
      return "the hotel database cannot be opened";
    case -851:
      return "the begin date is not acceptable";
    case -852:
      return "the end date is not acceptable, or the stay ends before it begins";
    case -854:
      return "the building number must be 1 to 99";
    case -855:
      return "the floor number must be 1 to 99";
    case -856:
      return "the room must be four figures";
    case -857:
      return "the two rooms must be eight figures";
    default:
      break;
  }
  if (code > 0 && code <= 255) {
    return "the encoder did not write the card (write status " + std::to_string(code) + ")";
  }
  return "result " + std::to_string(code);
}

std::string OpenPortMeaning(int code) {
  if (code == -99) return ResultMeaning(-99);
  return "the encoder is open on port " + std::to_string(code - 1) + " (library port " +
         std::to_string(code) + ")";
}

std::optional<std::string> RefuseGuestRoom(std::string_view room) {
  const std::string_view r = Trimmed(room);
  // The component keeps the last four characters of "0000" + room: an empty
  // room, 0, 00, 0000 or 10000 all become room code 0000, a check-out.
  const std::string padded = "0000" + std::string(r);
  if (padded.substr(padded.size() - 4) == "0000")
    return "no room given (\"" + std::string(room) +
           "\" is room 0000, which checks the card out): give the room, up to four figures; "
           "use 'tavocard checkout' to check a card out";
  return std::nullopt;
}

std::optional<std::string> RefuseVillaRooms(std::string_view rooms) {
  const std::string_view r = Trimmed(rooms);
  if (r.empty() || r == "00000000")
    return "no rooms given (\"" + std::string(rooms) +
           "\"): give both rooms as eight figures, first room then second; "
           "00000000 checks the card out: use 'tavocard checkout' for that";
  return std::nullopt;
}

std::optional<CardNumber> FromHexForm(std::string_view hex) {
  if (hex.empty() || hex.size() > 6) return std::nullopt;
  unsigned long value = 0;
  for (char c : hex) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return std::nullopt;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  char record[16], hex_form[16];
  std::snprintf(record, sizeof record, "%08lu", value);
  std::snprintf(hex_form, sizeof hex_form, "%06lX", value);
  return CardNumber{record, hex_form};
}

std::optional<CardNumber> FromRecordForm(std::string_view record) {
  if (record.empty() || record.size() > 8 || !AllFigures(record)) return std::nullopt;
  const unsigned long value = std::stoul(std::string(record));
  if (value > 0xFFFFFF) return std::nullopt;
  char record_form[16], hex[16];
  std::snprintf(record_form, sizeof record_form, "%08lu", value);
  std::snprintf(hex, sizeof hex, "%06lX", value);
  return CardNumber{record_form, hex};
}

std::optional<CardNumber> ParseCardNumber(std::string_view text) {
  const std::string_view t = Trimmed(text);
  if (t.size() == 8) return FromRecordForm(t);
  return FromHexForm(t);
}

std::string Dump(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json ToJson(const CardAnswer& a) {
  nlohmann::json j{{"command", a.command}, {"port", a.port}};
  if (!a.usage_error.empty()) {
    j["error"] = "usage";
    j["message"] = a.usage_error;
    return j;
  }
  if (a.hresult) {
    j["error"] = HresultText(*a.hresult);
    j["message"] = a.error_message;
    // A number handed out before the failure is in the database now.
    if (a.card_no) {
      j["card_no"] = a.card_no->record;
      j["card_no_hex"] = a.card_no->hex;
    }
    return j;
  }
  j["result"] = a.result;
  j["meaning"] = a.meaning;
  if (!a.reason.empty()) j["reason"] = a.reason;
  if (!a.opened) j["encoder_open"] = false;
  if (a.nothing_read) j["nothing_read"] = true;
  j["card_no"] = a.card_no ? nlohmann::json(a.card_no->record) : nlohmann::json(nullptr);
  j["card_no_hex"] = a.card_no ? nlohmann::json(a.card_no->hex) : nlohmann::json(nullptr);
  j["kind"] = a.kind.empty() ? nlohmann::json(nullptr) : nlohmann::json(a.kind);
  j["holder"] = a.holder;
  j["building"] = a.building == 0 ? nlohmann::json(nullptr) : nlohmann::json(a.building);
  j["floor"] = a.floor == 0 ? nlohmann::json(nullptr) : nlohmann::json(a.floor);
  j["rooms"] = a.rooms;
  j["begin"] = a.begin;
  j["end"] = a.end;
  return j;
}

std::string ToText(const CardAnswer& a) {
  std::ostringstream out;
  if (!a.usage_error.empty()) {
    out << "tavocard " << a.command << ": " << a.usage_error << "\n";
    return out.str();
  }
  if (a.hresult) {
    out << "tavocard " << a.command << ": failed with " << HresultText(*a.hresult) << ": "
        << a.error_message << "\n";
    if (a.card_no)
      out << "card number " << a.card_no->record << " (hex " << a.card_no->hex
          << ") was handed out before the failure\n";
    return out.str();
  }
  if (!a.opened) {
    out << "OpenPort " << a.result << ": " << a.meaning << " (port " << a.port << ")\n";
    return out.str();
  }
  if (a.card_no)
    out << "card number  " << a.card_no->record << " (hex " << a.card_no->hex << ")\n";
  if (!a.kind.empty()) out << "kind         " << a.kind << "\n";
  if (!a.holder.empty()) out << "holder       " << a.holder << "\n";
  if (a.building != 0)
    out << "place        building " << a.building << ", floor " << a.floor << "\n";
  if (!a.rooms.empty()) {
    out << "rooms        ";
    for (std::size_t i = 0; i < a.rooms.size(); ++i) out << (i ? ", " : "") << a.rooms[i];
    out << "\n";
  }
  if (!a.begin.empty()) out << "begin        " << a.begin << "\n";
  if (!a.end.empty()) out << "end          " << a.end << "\n";
  if (a.nothing_read) {
    out << "result       nothing read: " << a.meaning << "\n";
    return out.str();
  }
  out << "result       " << a.result << ": " << a.meaning << "\n";
  if (!a.reason.empty()) out << "reason       " << a.reason << "\n";
  return out.str();
}

// What an issue answer says of the stay asked for, before the encoder is
// touched: kind, holder, building, floor, begin and end.
template <typename Stay>
void DescribeStay(CardAnswer& answer, const char* kind, const Stay& stay) {
  answer.kind = kind;
  answer.holder = stay.holder;
  answer.building = stay.building;
  answer.floor = stay.floor;
  answer.begin = stay.begin;
  answer.end = stay.end;
}

// Runs one issue on the encoder; the answer carries the card number that the
// issue handed out, also when the call then failed.
template <typename Issue>
void IssueOnEncoder(CardAnswer& answer, Issue issue) {
  std::string card_no;
  WithEncoder(answer, [&](holvanter::TavoCard& card) {
    try {
      return issue(card, card_no);
    } catch (...) {
      answer.card_no = FromHexForm(card_no);  // handed out before the failure
      throw;
    }
  });
  if (!card_no.empty()) answer.card_no = FromHexForm(card_no);
}

CardAnswer IssueGuestCard(int port, const GuestStay& stay) {
  CardAnswer answer;
  answer.command = "issue";
  answer.port = port;
  if (auto refusal = RefuseGuestRoom(stay.room)) {
    answer.usage_error = *refusal;
    return answer;
  }
  DescribeStay(answer, "guest", stay);
  const std::string_view room = Trimmed(stay.room);
  const std::string padded = "0000" + std::string(room);
  answer.rooms = {padded.substr(padded.size() - 4)};
  IssueOnEncoder(answer, [&](holvanter::TavoCard& card, std::string& card_no) {
    return card.WriteCard(0, stay.begin, stay.end, card_no, static_cast<int16_t>(stay.building),
                          static_cast<int16_t>(stay.floor), stay.room, stay.holder);
  });
  return answer;
}

CardAnswer IssueVillaCard(int port, const VillaStay& stay) {
  CardAnswer answer;
  answer.command = "villa";
  answer.port = port;
  if (auto refusal = RefuseVillaRooms(stay.rooms)) {
    answer.usage_error = *refusal;
    return answer;
  }
  DescribeStay(answer, "villa", stay);
  const std::string_view rooms = Trimmed(stay.rooms);
  if (rooms.size() == 8) answer.rooms = {std::string(rooms.substr(0, 4)), std::string(rooms.substr(4))};
  IssueOnEncoder(answer, [&](holvanter::TavoCard& card, std::string& card_no) {
    return card.VillaCard(0, stay.begin, stay.end, card_no, static_cast<int16_t>(stay.building),
                          static_cast<int16_t>(stay.floor), stay.rooms, stay.holder);
  });
  return answer;
}

CardAnswer CheckOut(int port) {
  CardAnswer answer;
  answer.command = "checkout";
  answer.port = port;
  WithEncoder(answer, [&](holvanter::TavoCard& card) -> int16_t {
    std::string card_no, room_no, begin_date, end_date;
    const int16_t read = card.ReadCard(0, card_no, room_no, begin_date, end_date);
    if (read != 0) return read;
    if (!card_no.empty()) DescribeCard(answer, card_no, room_no, begin_date, end_date);
    const std::string now = NowStamp();
    std::string ignored;
    return card.VillaCard(0, now, now, ignored, 1, 1, "00000000", "");
  });
  return answer;
}

CardAnswer ReadCardOnEncoder(int port) {
  CardAnswer answer;
  answer.command = "read";
  answer.port = port;
  WithEncoder(answer, [&](holvanter::TavoCard& card) -> int16_t {
    std::string card_no, room_no, begin_date, end_date;
    const int16_t read = card.ReadCard(0, card_no, room_no, begin_date, end_date);
    if (read == 0 && card_no.empty()) {
      // ReadCard answers 0 without reading when the encoder is not open.
      answer.nothing_read = true;
    } else if (read == 0) {
      DescribeCard(answer, card_no, room_no, begin_date, end_date);
    }
    return read;
  });
  if (answer.nothing_read) answer.meaning = "the encoder is not open, no card was read";
  return answer;
}

std::string SettingsFilePath() {
  holvanter::Env* env = holvanter::Env::Default();
  return env->ComponentFolder() + env->PathSeparator() + holvanter::kSettingsFileName;
}

}  // namespace frontdesk
