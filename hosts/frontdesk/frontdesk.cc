#include "hosts/frontdesk/frontdesk.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/result_meanings.h"
#include "holvanter/result_codes.h"
#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/settings.h"
#include "hosts/frontdesk/desk_time.h"
#include "hosts/frontdesk/hotel.h"
#include "util/calendar.h"
#include "util/database_words.h"
#include "util/text.h"

namespace frontdesk {
namespace {

// The present local time as a stamp YYYYMMDDhhmm, for a check-out, whose
// dates the component checks but does not use.
std::string NowStamp() {
  const holvanter::LocalTime t = holvanter::Env::Default()->Now();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute);
  return buf;
}

// A stamp YYYYMMDDhhmm as the clerk reads it in words: "2026-12-09 12:00".
std::string WordsTime(const std::string& stamp) {
  if (!holvanter::IsTwelveFigures(stamp)) return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " +
         stamp.substr(8, 2) + ":" + stamp.substr(10, 2);
}

std::string HresultText(int32_t hresult) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hresult));
  return buffer;
}

// Fills the card fields of `answer` from what ReadCard gave: the room text
// is "BB#FF#RRRR" for a guest card, "BB#FF#second#first" for a villa card.
void DescribeCardOnly(CardAnswer& answer, const std::string& card_no, const std::string& room_no,
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
}

// The same, with the holder of the card's record.
void DescribeCard(CardAnswer& answer, const std::string& card_no, const std::string& room_no,
                  const std::string& begin_date, const std::string& end_date) {
  DescribeCardOnly(answer, card_no, room_no, begin_date, end_date);
  if (answer.card_no) answer.holder = LookUpRecord(answer.card_no->record).holder;
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
  if (result == holvanter::result::kDone) return kExitDone;
  if (result == holvanter::result::kNotWritten || holvanter::IsWriteStatus(result))
    return kExitNotWritten;
  return kExitRefused;
}

int ExitStatusOf(const CardAnswer& answer) {
  if (!answer.usage_error.empty()) return kExitUsage;
  if (!answer.refusal_code.empty()) return kExitRefused;
  if (answer.hresult) return kExitFailedCall;
  if (!answer.opened || answer.nothing_read) return kExitRefused;
  return ExitStatusOf(answer.result);
}

std::string ResultMeaning(int code) { return holvanter::FullMeaning(code); }
std::string ClerkMeaning(int code) { return holvanter::ClerkMeaning(code); }
std::string BriefMeaning(int code) { return holvanter::BriefMeaning(code); }
std::string ResultName(int code) { return holvanter::ResultName(code); }

std::optional<int> ResultCodeNamed(const std::string& name) {
  for (const holvanter::ResultMeaningRow& row : holvanter::ResultMeaningTable())
    if (name == row.name) return row.code;
  return std::nullopt;
}

bool DatabaseUnreachable(int result, const std::string& message) {
  return result == holvanter::result::kDatabaseNotOpen ||
         message.find(holvanter::kDatabaseConnectionLost) != std::string::npos;
}

std::string OpenPortMeaning(int code) {
  if (code == holvanter::result::kPortNotOpened) return ResultMeaning(code);
  return "the encoder is open on port " + std::to_string(code - 1) + " (library port " +
         std::to_string(code) + ")";
}

namespace {

// Only stamps of twelve figures reach the component: whatever else a form
// or a script sends (a line break, a stamp cut short) would end up in its
// log and in the answer. A time in ISO 8601 became such a stamp before
// (TakeStayTimes).
std::optional<Refusal> RefuseStamps(std::string_view begin, std::string_view end) {
  for (const auto& [field, stamp] : {std::pair{"begin", begin}, std::pair{"end", end}})
    if (!holvanter::IsTwelveFigures(stamp))
      return Refusal{field, std::string("the ") + field +
                                " of the stay must be a date and time: ISO 8601 such as "
                                "2026-12-09T14:00 (an offset such as +08:00 may follow), or "
                                "twelve figures YYYYMMDDhhmm"};
  return std::nullopt;
}

}  // namespace

std::optional<Refusal> RefuseStay(const GuestStay& stay) {
  const std::string_view room = holvanter::Trim(stay.room);
  // The component keeps the last four characters of "0000" + room: an empty
  // room, 0, 00, 0000 or 10000 all become room code 0000, a check-out.
  const std::string padded = "0000" + std::string(room);
  if (room.empty() || (holvanter::AllFigures(room) && padded.substr(padded.size() - 4) == "0000"))
    return Refusal{"room",
                   "no room given (\"" + stay.room +
                       "\" is room 0000, which checks the card out): give the room, four "
                       "figures; use 'tavocard checkout' to check a card out",
                   true};
  if (room.size() != 4 || !holvanter::AllFigures(room))
    return Refusal{"room", "the room must be four figures, such as 0203"};
  return RefuseStamps(stay.begin, stay.end);
}

std::optional<Refusal> RefuseStay(const VillaStay& stay) {
  const std::string_view rooms = holvanter::Trim(stay.rooms);
  if (rooms.empty() || rooms == "00000000")
    return Refusal{"rooms",
                   "no rooms given (\"" + stay.rooms +
                       "\"): give both rooms as eight figures, first room then second; "
                       "00000000 checks the card out: use 'tavocard checkout' for that",
                   true};
  if (rooms.size() != 8 || !holvanter::AllFigures(rooms))
    return Refusal{"rooms", "the two rooms must be eight figures, first room then second, such "
                            "as 02030204"};
  return RefuseStamps(stay.begin, stay.end);
}

namespace {

CardNumber BothForms(unsigned long value) {
  const auto number = static_cast<uint32_t>(value);
  return CardNumber{holvanter::CardNoRecordForm(number), holvanter::CardNoHexForm(number)};
}

}  // namespace

std::optional<CardNumber> FromHexForm(std::string_view hex) {
  if (hex.empty() || hex.size() > 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != hex.npos)
    return std::nullopt;
  return BothForms(std::stoul(std::string(hex), nullptr, 16));
}

std::optional<CardNumber> FromRecordForm(std::string_view record) {
  if (record.empty() || record.size() > 8 || !holvanter::AllFigures(record)) return std::nullopt;
  const unsigned long value = std::stoul(std::string(record));
  if (value > 0xFFFFFF) return std::nullopt;
  return BothForms(value);
}

std::optional<CardNumber> ParseCardNumber(std::string_view text) {
  const std::string_view t = holvanter::Trim(text);
  if (t.size() == 8) return FromRecordForm(t);
  return FromHexForm(t);
}

std::string Describe(const LiveCard& card) {
  std::string rooms;
  for (const std::string& room : card.rooms) rooms += (rooms.empty() ? "" : " + ") + room;
  return "card " + card.card_no.record + " (" + card.kind + " card, room" +
         (card.rooms.size() > 1 ? "s " : " ") + rooms + ", building " +
         std::to_string(card.building) + ", floor " + std::to_string(card.floor) +
         (card.holder.empty() ? "" : ", " + card.holder) +
         (card.end.empty() ? "" : ", until " + WordsTime(card.end)) + ")";
}

LiveCardLookup LiveCardOf(const std::string& card_no, const std::string& room_no,
                          const std::string& end) {
  CardAnswer read;
  DescribeCardOnly(read, card_no, room_no, "", end);
  if (!read.card_no || read.kind.empty()) return {};
  const RecordLookup lookup = LookUpRecord(read.card_no->record);
  if (!lookup.failure.empty()) return {std::nullopt, lookup.failure, lookup.unreachable};
  const std::optional<OpenRecord>& record = lookup.open;
  // A card of another hotel, or one whose number this hotel gave a card of
  // other rooms, is not this record's card.
  if (!record || record->building != read.building || record->floor != read.floor ||
      record->rooms != read.rooms)
    return {};
  LiveCard live{*read.card_no, read.kind, read.building, read.floor, read.rooms, record->holder,
                end.size() == 12 ? end : record->end};
  live.expired = !live.end.empty() && live.end <= NowStamp();
  return {std::move(live), {}, false};
}

nlohmann::json ToJson(const LiveCard& card) {
  return {{"card_no", card.card_no.record},
          {"card_no_hex", card.card_no.hex},
          {"kind", card.kind},
          {"building", card.building},
          {"floor", card.floor},
          {"rooms", card.rooms},
          {"holder", card.holder.empty() ? nlohmann::json(nullptr) : nlohmann::json(card.holder)},
          {"end", DeskTimeJson(card.end)}};
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
  if (!a.refusal_code.empty()) {
    j["error"] = a.refusal_code;
    j["message"] = a.refusal;
    if (a.in_use) j["card"] = ToJson(*a.in_use);
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
  j["holder"] = a.holder.empty() ? nlohmann::json(nullptr) : nlohmann::json(a.holder);
  j["building"] = a.building == 0 ? nlohmann::json(nullptr) : nlohmann::json(a.building);
  j["floor"] = a.floor == 0 ? nlohmann::json(nullptr) : nlohmann::json(a.floor);
  j["rooms"] = a.rooms;
  // A guest card carries the day its stay begins, not the time: a day alone.
  j["begin"] = DeskTimeJson(a.begin);
  j["end"] = DeskTimeJson(a.end);
  if (a.replaced) j["replaced"] = ToJson(*a.replaced);
  return j;
}

std::string ToText(const CardAnswer& a) {
  std::ostringstream out;
  if (!a.usage_error.empty()) {
    out << "tavocard " << a.command << ": " << a.usage_error << "\n";
    return out.str();
  }
  if (!a.refusal_code.empty()) {
    out << "tavocard " << a.command << ": " << a.refusal << "\n";
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
  if (a.replaced) out << "replaced     " << Describe(*a.replaced) << ", now checked out\n";
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

CardAnswer AnswerOf(const char* command, int port) {
  CardAnswer answer;
  answer.command = command;
  answer.port = port;
  return answer;
}

// The result code the component would refuse the stay with (0: none), as
// it checks the stamps and the place, so that a live card is never checked
// out for an issue that is then refused.
template <typename Stay>
int16_t RefusalOfStay(const Stay& stay) {
  namespace result = holvanter::result;
  if (!holvanter::IsCardStamp(stay.begin)) return result::kBadBegin;
  if (!holvanter::IsCardStamp(stay.end)) return result::kBadEnd;
  if (stay.begin.substr(0, 8) > stay.end.substr(0, 8)) return result::kBadEnd;
  if (stay.building < 1 || stay.building > 99) return result::kBadBuilding;
  if (stay.floor < 1 || stay.floor > 99) return result::kBadFloor;
  return result::kDone;
}

// A check-out's erase that failed: the component closed the card's record
// before it erased, but the card still opens its rooms, so its record is
// opened again. The words that say so, for the answer's reason; the
// answer tells when the record could not be opened again.
std::string ReopenAfterFailedErase(CardAnswer& answer, const CardNumber& card_no, int erased) {
  const std::string status =
      erased == holvanter::result::kNotWritten ? std::string("0") : std::to_string(erased);
  const std::string why = ReopenRecord(card_no.record);
  if (!why.empty()) answer.record_left_closed = true;
  return "card " + card_no.record + " was not erased (write status " + status +
         "), so it still opens its rooms; " +
         (why.empty() ? "its record stays open"
                      : "its record was closed and could not be opened again: " + why +
                            "; check the card out again");
}

bool WriteFailed(int result) {
  return result == holvanter::result::kNotWritten || holvanter::IsWriteStatus(result);
}

bool ChangedCards(const CardAnswer& answer) {
  namespace result = holvanter::result;
  if (!answer.usage_error.empty() || !answer.refusal_code.empty()) return false;
  if (answer.hresult || answer.replaced || answer.record_left_closed) return true;
  if (!answer.opened || answer.nothing_read) return false;
  // A write that failed wrote nothing: an issue's new record is closed by
  // the component, a check-out's record opened again (ReopenAfterFailedErase).
  if (WriteFailed(answer.result)) return false;
  switch (answer.result) {
    // Each is answered before anything is written: the card read, the
    // hotel database opened, the stay and the place checked.
    case result::kReadFailed: case result::kCardKind01: case result::kCardKindAA:
    case result::kNoCard: case result::kNoSettingsFile: case result::kNoDatabaseFile:
    case result::kDatabaseNotOpen: case result::kBadBegin: case result::kBadEnd:
    case result::kBadBuilding: case result::kBadFloor: case result::kBadGuestRoom:
    case result::kBadVillaRooms:
      return false;
    default:  // done, an erased card without an open record (-710), anything unforeseen
      return true;
  }
}

// Runs one issue on the encoder; the answer carries the card number that the
// issue handed out, also when the call then failed, when that number is
// recorded. Whatever lies on the encoder is looked at first: a card that
// cannot be read, or whose record cannot be looked up, may be a guest's and
// is not written over. A live card of the hotel is written over only when
// the stay says `replace` (or when it has expired): its record is closed as
// a check-out first, by the component's own check-out, so that its rooms no
// longer count it. The old card cannot be checked out once the new one is
// on it, hence that order; a write that then fails leaves a blank card, its
// answer says so.
template <typename Stay, typename Issue>
void IssueOnEncoder(CardAnswer& answer, const Stay& stay, Issue issue) {
  std::string card_no;
  std::string guard;  // why the guard stopped the issue, in place of the component's words
  std::string failed_note;  // what a failed call left, said after its message
  WithEncoder(answer, [&](holvanter::TavoCard& card) -> int16_t {
    std::string old_no, room_no, begin_date, end_date;
    const int16_t read = card.ReadCard(0, old_no, room_no, begin_date, end_date);
    if (read == holvanter::result::kReadFailed) {
      guard = "the card on the encoder could not be read, so it was not written over: lay it "
              "flat on the encoder (or lay a card there) and try again";
      return read;
    }
    if (read == 0 && !old_no.empty()) {
      LiveCardLookup looked = LiveCardOf(old_no, room_no, end_date);
      if (!looked.failure.empty()) {
        answer.refusal_code = kCardNotChecked;
        answer.refusal_may_pass = looked.unreachable;
        answer.refusal = "card " + old_no + " on the encoder could not be looked up in the hotel "
                         "database, so it was not written over: " + looked.failure;
        return holvanter::result::kDone;
      }
      if (std::optional<LiveCard>& live = looked.live) {
        // A stay the component refuses is said first; the old card stays.
        if (const int16_t refused = RefusalOfStay(stay)) return refused;
        if (!live->expired && !stay.replace) {
          answer.refusal_code = kCardInUse;
          answer.refusal = "the card on the encoder is in use: " + Describe(*live) +
                           "; check it out first, use another card, or replace it";
          answer.in_use = std::move(live);
          return holvanter::result::kDone;
        }
        const std::string now = NowStamp();
        std::string ignored;
        int16_t out;
        try {
          out = card.VillaCard(0, now, now, ignored, 1, 1, "00000000", "");
        } catch (...) {
          // The check-out may have closed the record before it failed; it
          // had not erased the card, which still opens its rooms.
          const std::string why = ReopenRecord(live->card_no.record);
          failed_note = Describe(*live) + " was not erased; " +
                        (why.empty() ? "its record stays open"
                                     : "its record could not be opened again: " + why);
          throw;
        }
        if (out != holvanter::result::kDone) {
          guard = WriteFailed(out) ? ReopenAfterFailedErase(answer, live->card_no, out) + "; no new card was written"
                                   : Describe(*live) + " was not replaced: " +
                                         card.LastFailureReason();
          return out;
        }
        answer.replaced = std::move(live);
      }
    }
    try {
      return issue(card, card_no);
    } catch (...) {
      answer.card_no = FromHexForm(card_no);  // handed out before the failure
      throw;
    }
  });
  if (!answer.refusal_code.empty()) {
    answer.meaning.clear();
    answer.reason.clear();
    return;
  }
  if (!guard.empty()) answer.reason = guard;
  if (!failed_note.empty() && answer.hresult) answer.error_message += "; " + failed_note;
  if (!card_no.empty() && !answer.hresult) answer.card_no = FromHexForm(card_no);
  if (answer.replaced && answer.result != holvanter::result::kDone && !answer.hresult)
    answer.reason = Describe(*answer.replaced) + " was checked out to be replaced; the new card " +
                    "was not written" + (answer.reason.empty() ? "" : ": " + answer.reason);
  if (!answer.card_no) return;
  // The number is the clerk's to write down only when the hotel database
  // holds it; a number whose record never came to be is handed out again.
  const RecordLookup record = LookUpRecord(answer.card_no->record);
  const bool done = answer.opened && !answer.hresult && answer.result == holvanter::result::kDone;
  if (!done) {
    if (!record.recorded) answer.card_no.reset();
    // A call that failed did not write its card (the card is written last);
    // a record it left open would stand for a card nobody holds.
    if (answer.hresult && record.open && !record.open->rooms.empty()) {
      const StayRecords closed =
          CloseOpenRecords(record.open->building, record.open->floor, record.open->rooms.front(),
                           std::vector<std::string>{answer.card_no->record});
      answer.error_message +=
          "; card " + answer.card_no->record + " was recorded but not written: " +
          (closed.database.result == holvanter::result::kDone && closed.failure.empty()
               ? std::string("its record is closed")
               : "its record could not be closed: " +
                     (closed.failure.empty() ? closed.database.reason : closed.failure));
    }
    return;
  }
  // Done only for a card whose record is open for the stay's place.
  if (record.open && record.open->building == answer.building &&
      record.open->floor == answer.floor && record.open->rooms == answer.rooms)
    return;
  answer.hresult = holvanter::kErrDatabase;
  answer.error_message =
      "card " + answer.card_no->record + " was written, but its record " +
      (!record.failure.empty() ? "could not be looked up: " + record.failure
                               : std::string("is not open for it")) +
      "; read the card before handing it over";
  if (!record.recorded) answer.card_no.reset();
}

// A stay whose end has passed: its card would open no door, and the clerk
// would hand it over all the same.
bool RefuseEndedStay(CardAnswer& answer, const std::string& end) {
  const std::string now = NowStamp();
  if (end > now) return false;
  answer.refusal_code = kStayEnded;
  answer.refusal = "the stay ended at " + WordsTime(end) + " (it is " + WordsTime(now) +
                   " now): its card would open no door; give the stay's end";
  return true;
}

// The rooms of a stay in the hotel's room list, or the refusal.
bool RefuseUnknownRooms(CardAnswer& answer, int building, int floor,
                        const std::vector<std::string>& rooms) {
  std::string missing = MissingRoom(building, floor, rooms);
  if (missing.empty()) return false;
  answer.refusal_code = kUnknownRoom;
  answer.refusal = std::move(missing);
  return true;
}

CardAnswer IssueGuestCard(int port, const GuestStay& given) {
  GuestStay stay = given;
  TakeStayTimes(stay);
  CardAnswer answer = AnswerOf("issue", port);
  if (auto refusal = RefuseStay(stay)) {
    answer.usage_error = refusal->message;
    return answer;
  }
  DescribeStay(answer, "guest", stay);
  answer.rooms = {std::string(holvanter::Trim(stay.room))};
  if (RefuseEndedStay(answer, stay.end)) return answer;
  if (RefuseUnknownRooms(answer, stay.building, stay.floor, answer.rooms)) return answer;
  IssueOnEncoder(answer, stay, [&](holvanter::TavoCard& card, std::string& card_no) {
    return card.WriteCard(0, stay.begin, stay.end, card_no, static_cast<int16_t>(stay.building),
                          static_cast<int16_t>(stay.floor), stay.room, stay.holder);
  });
  return answer;
}

CardAnswer IssueVillaCard(int port, const VillaStay& given) {
  VillaStay stay = given;
  TakeStayTimes(stay);
  CardAnswer answer = AnswerOf("villa", port);
  if (auto refusal = RefuseStay(stay)) {
    answer.usage_error = refusal->message;
    return answer;
  }
  DescribeStay(answer, "villa", stay);
  const std::string_view rooms = holvanter::Trim(stay.rooms);
  answer.rooms = {std::string(rooms.substr(0, 4)), std::string(rooms.substr(4))};
  if (RefuseEndedStay(answer, stay.end)) return answer;
  if (RefuseUnknownRooms(answer, stay.building, stay.floor, answer.rooms)) return answer;
  IssueOnEncoder(answer, stay, [&](holvanter::TavoCard& card, std::string& card_no) {
    return card.VillaCard(0, stay.begin, stay.end, card_no, static_cast<int16_t>(stay.building),
                          static_cast<int16_t>(stay.floor), stay.rooms, stay.holder);
  });
  return answer;
}

CardAnswer CheckOut(int port) { return CheckOut(port, nullptr); }

CardAnswer CheckOut(int port, const std::function<std::string(const CardAnswer&)>& withhold) {
  CardAnswer answer = AnswerOf("checkout", port);
  bool was_open = false;  // the card's record before the check-out
  std::string failed_note;
  WithEncoder(answer, [&](holvanter::TavoCard& card) -> int16_t {
    std::string card_no, room_no, begin_date, end_date;
    const int16_t read = card.ReadCard(0, card_no, room_no, begin_date, end_date);
    if (read != 0) return read;
    if (!card_no.empty()) {
      DescribeCardOnly(answer, card_no, room_no, begin_date, end_date);
      if (answer.card_no) {
        const RecordLookup record = LookUpRecord(answer.card_no->record);
        was_open = record.open.has_value();
        answer.holder = record.holder;
      }
    }
    if (withhold) {
      answer.withheld = withhold(answer);
      if (!answer.withheld.empty()) return read;
    }
    const std::string now = NowStamp();
    std::string ignored;
    try {
      return card.VillaCard(0, now, now, ignored, 1, 1, "00000000", "");
    } catch (...) {
      // Failed before its erase: a record it closed is opened again.
      if (was_open) failed_note = ReopenRecord(answer.card_no->record);
      throw;
    }
  });
  if (answer.hresult && was_open)
    answer.error_message += "; card " + answer.card_no->record + " was not erased: " +
                            (failed_note.empty() ? std::string("its record stays open")
                                                 : "its record could not be opened again: " +
                                                       failed_note);
  // The component closes the record before it erases the card; a card the
  // encoder did not erase still opens its rooms, so its record stays open.
  if (was_open && answer.opened && !answer.hresult && answer.card_no && WriteFailed(answer.result))
    answer.reason = ReopenAfterFailedErase(answer, *answer.card_no, answer.result);
  return answer;
}

CardAnswer ReadCardOnEncoder(int port) {
  CardAnswer answer = AnswerOf("read", port);
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

std::vector<uint8_t> CardPasswordBytes() {
  const auto bytes = holvanter::CardPasswordBytes();
  return {bytes.begin(), bytes.end()};
}

std::string SettingsFilePath() { return holvanter::SettingsFilePath(*holvanter::Env::Default()); }

}  // namespace frontdesk
