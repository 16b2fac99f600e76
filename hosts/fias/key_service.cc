#include "hosts/fias/key_service.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "holvanter/result_codes.h"
#include "hosts/frontdesk/frontdesk.h"
#include "hosts/frontdesk/hotel.h"
#include "util/calendar.h"
#include "util/text.h"

namespace fias {
namespace {

namespace result = holvanter::result;

constexpr std::size_t kClearTextLength = 40;  // bytes of CT (and of GN in a key read)

// Exactly `size` figures 0-9.
bool AllFigures(const std::string& text, std::size_t size) {
  return text.size() == size && holvanter::AllFigures(text);
}

// YYMMDD of a day that exists, years 2000 to 2099: the day of a card stamp.
bool IsDate(const std::string& text) {
  return text.size() == 6 && holvanter::IsCardStamp("20" + text + "0000");
}

// HHMM (or HHMMSS) of a time of day.
bool IsTimeOfDay(const std::string& text) {
  return (AllFigures(text, 4) || AllFigures(text, 6)) && std::stoi(text.substr(0, 2)) < 24 &&
         std::stoi(text.substr(2, 2)) < 60;
}

// The component ran on an open encoder and gave a result code (no refusal
// before the call, no failed call).
bool Answered(const frontdesk::CardAnswer& card) {
  return card.usage_error.empty() && !card.hresult && card.opened;
}
bool Done(const frontdesk::CardAnswer& card) {
  return Answered(card) && card.refusal_code.empty() && card.result == result::kDone;
}
// An issue that cut a card and recorded it: the card number is known.
bool Cut(const frontdesk::CardAnswer& card) { return Done(card) && card.card_no.has_value(); }

// The hotel database cannot be reached now (frontdesk::DatabaseUnreachable):
// its server is down, or its pair is changing over to the standby. The PMS
// should send the key again in a moment (RY), not give up on it (UR). The
// clear text: the database's own words begin with a path or a host, which
// would fill the 40 characters.
std::string UnreachableText(int result) {
  return result == result::kDatabaseNotOpen ? frontdesk::BriefMeaning(result)
                                            : "hotel database connection lost";
}

// A refusal or a negative answer: the status and the clerk's text.
struct Verdict {
  std::string status;
  std::string text;
};

// The answer status and text of a front-desk answer that did not end in
// success, in the core's own words.
Verdict VerdictOf(const frontdesk::CardAnswer& card) {
  if (!card.usage_error.empty()) return {"UR", card.usage_error};
  if (!card.refusal_code.empty()) return {card.refusal_may_pass ? "RY" : "UR", card.refusal};
  if (card.hresult) {  // a statement failed
    // A number the failure left recorded is named: the clerk finds it.
    const std::string named = card.card_no ? "card " + card.card_no->record + " not cut: " : "";
    if (frontdesk::DatabaseUnreachable(0, card.error_message))
      return {"RY", named + UnreachableText(0)};
    return {"UR", named + card.error_message};
  }
  if (!card.opened) return {"RY", frontdesk::BriefMeaning(card.result)};
  const int code = card.result;
  if (code == result::kDatabaseNotOpen) return {"RY", UnreachableText(code)};
  if (code == result::kNotWritten || code == result::kReadFailed || code == result::kNoCard ||
      (code >= 2 && code <= 255))
    return {"RY", frontdesk::BriefMeaning(code)};
  return {"UR", frontdesk::BriefMeaning(code)};
}

// Where a PMS room is: the room map first, then the RoomList rows whose
// RoomNo is the PMS room exactly. Several rows are several places.
struct Places {
  std::vector<RoomPlace> places;
  std::string failure;  // the hotel database could not say
  bool retry = false;   // because it cannot be reached now
};
Places PlacesOf(const KeyServiceOptions& options, const std::string& pms_room) {
  const auto mapped = options.rooms.find(pms_room);
  const std::string room = mapped != options.rooms.end() ? mapped->second.room : pms_room;
  const frontdesk::RoomListing listing = frontdesk::ListRooms({.room_no = room});
  const int result = listing.database.result;
  if (frontdesk::DatabaseUnreachable(result, listing.database.reason))
    return {{}, UnreachableText(result), true};
  if (result != result::kDone)
    return {{}, listing.database.reason.empty() ? frontdesk::BriefMeaning(result)
                                                : listing.database.reason};
  if (frontdesk::DatabaseUnreachable(0, listing.failure)) return {{}, UnreachableText(0), true};
  if (!listing.failure.empty()) return {{}, listing.failure};
  Places found;
  for (const frontdesk::RoomRow& row : listing.rows)
    found.places.push_back({row.building, row.floor, row.room});
  if (mapped == options.rooms.end()) return found;
  // A mapped room is looked for now, not only when the link started: the
  // room list may have lost it since.
  if (std::find(found.places.begin(), found.places.end(), mapped->second) == found.places.end())
    return {{}, "map " + pms_room + "=" + std::to_string(mapped->second.building) + "," +
                    std::to_string(mapped->second.floor) + "," + mapped->second.room +
                    " not in room list"};
  return {{mapped->second}, {}};
}

// The one place of a PMS room, or the refusal that names it.
std::optional<RoomPlace> OnePlace(const Places& found, const std::string& pms_room,
                                  std::string& refusal) {
  if (!found.failure.empty()) {
    refusal = found.failure;
  } else if (found.places.empty()) {
    refusal = "room " + pms_room + " is not in the room list";
  } else if (found.places.size() > 1) {
    refusal = "room " + pms_room + " is in several buildings";
  } else {
    return found.places.front();
  }
  return std::nullopt;
}

// The places a card is cut for: the PMS room and, with SI, a further room
// on its floor (a villa card). `refusal` (and `retry`) say why not.
struct CardPlaces {
  std::optional<RoomPlace> first, second;
  std::string refusal;
  bool retry = false;
};
CardPlaces PlacesOfCard(const KeyServiceOptions& options, const std::string& pms_room,
                        const std::string& second_room) {
  CardPlaces out;
  const Places first = PlacesOf(options, pms_room);
  out.first = OnePlace(first, pms_room, out.refusal);
  out.retry = first.retry;
  if (!out.first || second_room.empty()) return out;
  Places found = PlacesOf(options, second_room);
  std::erase_if(found.places, [&](const RoomPlace& p) {
    return p.building != out.first->building || p.floor != out.first->floor;
  });
  out.retry = found.retry;
  if (found.failure.empty() && found.places.empty())
    out.refusal = "at most two rooms of one floor per card";
  else
    out.second = OnePlace(found, second_room, out.refusal);
  if (!out.second) out.first.reset();
  return out;
}

// A check-out that read the card but could not erase it: the card still
// opens its rooms, and the front-desk layer kept its record open.
bool EraseFailed(const frontdesk::CardAnswer& card) {
  return Answered(card) && card.withheld.empty() &&
         (card.result == result::kNotWritten || (card.result >= 2 && card.result <= 255));
}

// The rooms of an SI value: further rooms separated by ';'.
std::vector<std::string> SuiteRooms(const std::string& suite) {
  std::vector<std::string> rooms;
  std::size_t from = 0;
  while (from <= suite.size()) {
    std::size_t to = suite.find(';', from);
    if (to == std::string::npos) to = suite.size();
    if (to > from) rooms.push_back(suite.substr(from, to - from));
    from = to + 1;
  }
  return rooms;
}

// The PMS's name of a place: the room map read backwards, else the room.
std::string PmsRoomOf(const KeyServiceOptions& options, const RoomPlace& place) {
  for (const auto& [pms_room, mapped] : options.rooms)
    if (mapped == place) return pms_room;
  return place.room;
}

// "card 00000101 room 0203", "card 00000102 rooms 0204 0205"
std::string CardText(const frontdesk::CardAnswer& card) {
  std::string text = "card " + (card.card_no ? card.card_no->record : std::string("?"));
  // The clerk at the PMS could not be asked before a live card was written
  // over: the clear text says which card was replaced (its record closed).
  if (card.replaced) return text + " replaced " + card.replaced->card_no.record;
  text += card.rooms.size() > 1 ? " rooms" : " room";
  for (const std::string& room : card.rooms) text += " " + room;
  return text;
}

}  // namespace

std::optional<RoomPlace> ParseRoomPlace(const std::string& text) {
  const std::size_t first = text.find(',');
  const std::size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return std::nullopt;
  const std::string building = text.substr(0, first);
  const std::string floor = text.substr(first + 1, second - first - 1);
  const std::string room = text.substr(second + 1);
  const auto number = [](const std::string& figures) {
    return figures.size() <= 2 && holvanter::AllFigures(figures)
               ? std::stoi(figures)
               : 0;
  };
  if (number(building) < 1 || number(floor) < 1 || !AllFigures(room, 4)) return std::nullopt;
  return RoomPlace{number(building), number(floor), room};
}

KeyService::KeyService(KeyServiceOptions options, Journal& journal, std::function<Moment()> now,
                       Log log)
    : options_(std::move(options)), journal_(journal), now_(std::move(now)), log_(std::move(log)) {}

Record KeyService::Answer(const Record& request, const std::string& status,
                          const std::string& text) const {
  const Moment now = now_();
  Record answer;
  answer.id = request.id == "KZ" ? "KZ" : "KA";
  answer.Add("AS", status);
  answer.Add("CT", CutToBytes(FromUtf8(text, options_.code_page), kClearTextLength, options_.code_page));
  answer.Add("KC", request.Value("KC"));
  answer.Add("WS", request.Value("WS"));
  if (request.Has("G#")) answer.Add("G#", request.Value("G#"));
  answer.Add("DA", now.date);
  answer.Add("TI", now.time);
  return answer;
}

Record KeyService::Busy(const Record& request) const {
  return Answer(request, "BY", "encoder busy: try again in a moment");
}

KeyJob KeyService::Plan(const Record& request) const {
  Coder coder{{}, options_.default_port};
  if (!options_.coders.empty()) {
    const auto found = options_.coders.find(request.Value("KC"));
    if (found == options_.coders.end())
      return {Answer(request, "UR", "unknown key coder"), -1, {}, nullptr};
    coder = found->second;
  }
  KeyJob job = PlanOn(request, coder.port);
  if (!job.answer && !coder.desk.empty()) {
    // The desk plans it again on its own encoder and hotel database; what
    // can be refused from the record alone was refused here.
    job.desk = coder.desk;
    job.run = nullptr;
  }
  return job;
}

KeyJob KeyService::PlanOn(const Record& request, int port,
                          const std::vector<std::string>* reservation_cards) const {
  // A record that came damaged is refused as a whole: acting on part of it
  // could cut a key for another stay than the one the PMS meant.
  if (!request.fault.empty()) return {Answer(request, "UR", request.fault), -1, {}, nullptr};
  if (request.id == "KR") return PlanKeyRequest(request, port);
  if (request.id == "KZ") return PlanKeyRead(request, port);
  if (request.id == "KD" || request.id == "KM") {
    const std::string reservation = request.Value("G#");
    std::vector<std::string> cards =
        reservation_cards ? *reservation_cards : journal_.CardsOf(reservation);
    return request.id == "KD" ? PlanKeyDelete(request, port, std::move(cards))
                              : PlanKeyChange(request, port, std::move(cards));
  }
  return {Answer(request, "UR", "record " + request.id + " is not handled"), -1, {}, nullptr};
}

KeyJob KeyService::PlanKeyRequest(const Record& request, int port) const {
  const auto refuse = [&](const std::string& text) {
    return KeyJob{Answer(request, "UR", text), -1, {}, nullptr};
  };
  const std::string type = request.Value("KT");
  if (type == "O") return refuse("one-shot keys are not supported");
  // A new key and a duplicate both cut a card for the stay: these locks are
  // offline, and a new card does not cancel the ones already out.
  if (!type.empty() && type != "N" && type != "D") return refuse("key type " + type + " is not supported");
  const std::vector<std::string> further = SuiteRooms(request.Value("SI"));
  if (further.size() > 1) return refuse("at most two rooms of one floor per card");
  if (request.Has("K#")) {
    const std::string count = request.Value("K#");
    if (count.size() > 2 || !holvanter::AllFigures(count) || std::stoi(count) > 1)
      return refuse("one key per request");
  }

  // The stay: from the PMS's clock, to the departure at its time or the
  // hotel's check-out time. Years are 2000 to 2099.
  std::string begin;
  if (request.Has("DA") || request.Has("TI")) {
    const std::string date = request.Value("DA"), time = request.Value("TI");
    if (!IsDate(date) || !AllFigures(time, 6) || !IsTimeOfDay(time))
      return refuse(frontdesk::BriefMeaning(result::kBadBegin));
    begin = "20" + date + time.substr(0, 4);
  } else {
    const Moment now = now_();
    begin = "20" + now.date + now.time.substr(0, 4);
  }
  // A guest arriving on a later day gets a key that opens from the hotel's
  // check-in time of that day, not from today.
  if (request.Has("GA")) {
    const std::string arrival = request.Value("GA");
    if (!IsDate(arrival)) return refuse("arrival date GA is not a date");
    if ("20" + arrival > begin.substr(0, 8)) {
      char at[16];
      std::snprintf(at, sizeof at, "%02d%02d", options_.checkin_minutes / 60 % 24,
                    options_.checkin_minutes % 60);
      begin = "20" + arrival + at;
    }
  }
  const std::string departure = request.Value("GD");
  if (departure.empty()) return refuse("no departure date (GD)");
  if (!IsDate(departure)) return refuse("departure date GD is not a date");
  std::string at;
  if (request.Has("DT")) {
    std::string time = request.Value("DT");
    time.erase(std::remove(time.begin(), time.end(), ':'), time.end());
    if (!AllFigures(time, 4) || !IsTimeOfDay(time)) return refuse("departure time DT is not HH:MM");
    at = time;
  } else {
    const int minutes = options_.checkout_minutes;
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d", minutes / 60 % 24, minutes % 60);
    at = text;
  }
  const std::string end = "20" + departure + at;
  if (end <= begin) return refuse(frontdesk::BriefMeaning(result::kBadEnd));
  // A card for a stay that has ended opens no door: the PMS is told so
  // before any card is touched (a key change's new stay included).
  {
    const Moment now = now_();
    if (end <= "20" + now.date + now.time.substr(0, 4)) return refuse("the stay has already ended");
  }

  const std::string holder = ToUtf8(request.Value("GN"), options_.code_page);
  const std::string pms_room = request.Value("RN");
  const std::string second_room = further.empty() ? std::string() : further.front();
  // Access areas and track data have no place on these cards: the card is
  // cut without them, and the clerk is told.
  std::string unused;
  for (const char* id : {"KO", "$1", "$2"})
    if (request.Has(id)) unused += (unused.empty() ? "; " : ", ") + std::string(id);
  if (!unused.empty()) unused += " ignored";
  KeyJob job;
  job.port = port;
  job.run = [this, request, port, begin, end, holder, pms_room, second_room, unused] {
    KeyOutcome outcome;
    const CardPlaces places = PlacesOfCard(options_, pms_room, second_room);
    if (!places.first) {
      outcome.answer = Answer(request, places.retry ? "RY" : "UR", places.refusal);
      return outcome;
    }
    const RoomPlace& place = *places.first;
    const frontdesk::CardAnswer card =
        places.second
            // The further room on the first room's floor: a villa card.
            ? frontdesk::IssueVillaCard(port, {begin, end, place.building, place.floor,
                                               place.room + places.second->room, holder,
                                               /*replace=*/true})
            : frontdesk::IssueGuestCard(port, {begin, end, place.building, place.floor,
                                               place.room, holder, /*replace=*/true});
    if (Cut(card)) {
      outcome.cut_card = card.card_no->record;
      outcome.answer = Answer(request, "OK", CardText(card) + unused);
      const Moment now = now_();
      // The card is cut and recorded in the hotel database either way; without
      // its journal line a key read cannot name its reservation.
      LogUnkept(log_, "fias: card " + outcome.cut_card + " cut for " + request.Value("G#"),
                journal_.Cut({outcome.cut_card, request.Value("G#"), request.Value("WS"),
                              now.date + now.time}));
      return outcome;
    }
    const Verdict verdict = VerdictOf(card);
    outcome.answer = Answer(request, verdict.status, verdict.text);
    return outcome;
  };
  return job;
}

namespace {

// The cards of the newest stay of a reservation in one room (PlacesOf's
// place), among `cards` (its cards the link cut): a PMS may give the G# of
// a stay still open to a new one, and a request means the newest.
struct NamedStay {
  std::vector<std::string> cards;    // the newest stay's cards with an open record there
  std::vector<std::string> earlier;  // the reservation's other open cards there
  std::string failure;               // the hotel database could not say
  bool retry = false;
};
NamedStay StayIn(const RoomPlace& place, const std::vector<std::string>& cards) {
  const frontdesk::StayLookup found =
      frontdesk::OpenStayRecords(place.building, place.floor, place.room, cards);
  if (found.database.result != result::kDone)
    return {{}, {}, UnreachableText(found.database.result),
            frontdesk::DatabaseUnreachable(found.database.result, found.database.reason)};
  if (!found.failure.empty())
    return {{}, {}, frontdesk::DatabaseUnreachable(0, found.failure) ? UnreachableText(0)
                                                                     : found.failure,
            frontdesk::DatabaseUnreachable(0, found.failure)};
  NamedStay stay;
  stay.cards = frontdesk::NewestStay(found.records);
  for (const frontdesk::StayRecord& record : found.records)
    if (std::find(stay.cards.begin(), stay.cards.end(), record.card_no) == stay.cards.end())
      stay.earlier.push_back(record.card_no);
  return stay;
}

bool Among(const std::vector<std::string>& cards, const std::string& card_no) {
  return std::find(cards.begin(), cards.end(), card_no) != cards.end();
}

}  // namespace

// A check-out needs no card: the guest has often kept it or left it in the
// room. The card on the encoder is checked out (erased, its record closed)
// only when it is a card of that room and not of another reservation or
// an earlier stay; the records of the stay are closed either way: the
// newest stay's cards this link cut for the reservation (G#) in that room,
// or without a G# every open card of the room. A card that was read but
// could not be erased keeps its record, and nothing else changes: the PMS
// is asked to send the KD again. A stay already closed is no error: the
// PMS sends KD once and shows its answer.
KeyJob KeyService::PlanKeyDelete(const Record& request, int port,
                                 std::vector<std::string> cards) const {
  const std::string pms_room = request.Value("RN");
  if (pms_room.empty()) return {Answer(request, "UR", "no room (RN)"), -1, {}, nullptr};
  KeyJob job;
  job.port = port;
  job.run = [this, request, port, pms_room, cards] {
    KeyOutcome outcome;
    const std::string reservation = request.Value("G#");
    const Places found = PlacesOf(options_, pms_room);
    if (!found.failure.empty()) {
      outcome.answer = Answer(request, found.retry ? "RY" : "UR", found.failure);
      return outcome;
    }
    if (found.places.empty()) {
      outcome.answer = Answer(request, "UR", "room " + pms_room + " is not in the room list");
      return outcome;
    }
    std::string refusal;
    const std::optional<RoomPlace> place = OnePlace(found, pms_room, refusal);
    NamedStay stay;
    if (place && !reservation.empty()) {
      stay = StayIn(*place, cards);
      if (!stay.failure.empty()) {
        outcome.answer = Answer(request, stay.retry ? "RY" : "UR", stay.failure);
        return outcome;
      }
    }
    const frontdesk::CardAnswer card =
        frontdesk::CheckOut(port, [&](const frontdesk::CardAnswer& read) -> std::string {
          bool ours = false;
          for (const RoomPlace& at : found.places)
            ours = ours || (read.building == at.building && read.floor == at.floor &&
                            std::find(read.rooms.begin(), read.rooms.end(), at.room) !=
                                read.rooms.end());
          if (!ours) return "another room's card";
          if (!reservation.empty() && read.card_no) {
            if (Among(stay.earlier, read.card_no->record)) return "an earlier stay's card";
            const auto cut = journal_.Find(read.card_no->record);
            if (cut && !cut->reservation.empty() && cut->reservation != reservation)
              return "another reservation's card";
          }
          return {};
        });
    if (EraseFailed(card)) {
      outcome.answer = Answer(request, "RY", "card " + card.card_no->record + " not erased");
      return outcome;
    }
    // A failure of the hotel database or of the call is the clerk's to see.
    // A card left as it was (withheld) reads as done: it was not erased.
    const bool erased = card.withheld.empty() &&
                        (Done(card) || (Answered(card) && card.result == result::kNoOpenRecord));
    if (!erased && card.withheld.empty()) {
      const Verdict verdict = VerdictOf(card);
      if (verdict.status != "RY" && !(Answered(card) && card.result == result::kNoCard)) {
        outcome.answer = Answer(request, verdict.status, verdict.text);
        return outcome;
      }
    }
    // The records of the stay, without the card.
    frontdesk::StayRecords closed;
    if (place) {
      std::optional<std::vector<std::string>> chosen;
      if (!reservation.empty()) chosen = stay.cards;
      if (!chosen || !chosen->empty())
        closed = frontdesk::CloseOpenRecords(place->building, place->floor, place->room, chosen);
      if (closed.database.result != result::kDone || !closed.failure.empty())
        refusal = closed.failure.empty() ? closed.database.reason : closed.failure;
      else
        refusal.clear();
    }
    if (!refusal.empty() && !erased) {
      outcome.answer = Answer(request, "UR", refusal);
      return outcome;
    }
    const std::string number = card.card_no ? card.card_no->record : std::string("?");
    if (erased && Done(card)) {
      outcome.answer = Answer(request, "OK", "card " + number + " checked out");
    } else if (erased) {
      outcome.answer = Answer(request, "OK", closed.cards.empty()
                                                 ? "card erased, no open record"
                                                 : "card erased; stay checked out");
    } else if (!closed.cards.empty()) {
      outcome.answer = Answer(request, "OK", "checked out; card not erased");
    } else {
      outcome.answer = Answer(request, "OK",
                              reservation.empty() ? "nothing open for room " + pms_room
                                                  : "nothing open for G# " + reservation);
    }
    return outcome;
  };
  return job;
}

// A changed stay of one reservation in the room the PMS names: a later (or
// earlier) end in RN, or a move from RO to RN. Only the newest stay of the
// reservation in that room changes; other reservations, and the
// reservation's cards of other rooms, keep theirs. Every refusal (the
// rooms, the new stay, no open key there) is given before any card or
// record changes. The locks are offline: they learn the change only from
// a card cut again, which a move does when the guest's card lies on the
// encoder.
KeyJob KeyService::PlanKeyChange(const Record& request, int port,
                                 std::vector<std::string> cards) const {
  const auto refuse = [&](const std::string& text) {
    return KeyJob{Answer(request, "UR", text), -1, {}, nullptr};
  };
  const std::string reservation = request.Value("G#");
  if (reservation.empty()) return refuse("no reservation (G#)");
  if (request.Value("RN").empty()) return refuse("no room (RN)");
  // The new stay is checked as a key request for it would be.
  Record cut = request;
  cut.id = "KR";
  std::erase_if(cut.fields, [](const auto& field) {
    return field.first == "RO" || field.first == "UO" || field.first == "KT";
  });
  cut.Add("KT", "N");
  KeyJob plan = PlanKeyRequest(cut, port);
  if (plan.answer) return refuse(plan.answer->Value("CT"));
  if (cards.empty()) return refuse("no key of G# " + reservation + " cut here");
  const std::string old_room = request.Value("RO");
  const bool move = !old_room.empty() && old_room != request.Value("RN");
  std::string end;
  {
    std::string time = request.Value("DT");
    time.erase(std::remove(time.begin(), time.end(), ':'), time.end());
    if (time.empty()) {
      char text[16];
      std::snprintf(text, sizeof text, "%02d%02d", options_.checkout_minutes / 60 % 24,
                    options_.checkout_minutes % 60);
      time = text;
    }
    end = "20" + request.Value("GD") + time;
  }
  const std::vector<std::string> further = SuiteRooms(request.Value("SI"));
  KeyJob job;
  job.port = port;
  job.run = [this, request, port, cards, move, old_room, end, further,
             run = std::move(plan.run)] {
    KeyOutcome outcome;
    const auto answer = [&](const std::string& status, const std::string& text) {
      outcome.answer = Answer(request, status, text);
      return outcome;
    };
    // The room the stay is in now, and the stay there.
    const std::string named = move ? old_room : request.Value("RN");
    const CardPlaces from = PlacesOfCard(options_, named, {});
    if (!from.first) return answer(from.retry ? "RY" : "UR", from.refusal);
    const NamedStay stay = StayIn(*from.first, cards);
    if (!stay.failure.empty()) return answer(stay.retry ? "RY" : "UR", stay.failure);
    if (stay.cards.empty())
      return answer("UR", "no open key of G# " + request.Value("G#") + " in " + named);
    if (!move) {
      const frontdesk::StayRecords changed = frontdesk::ChangeOpenRecordsEnd(stay.cards, end);
      if (changed.database.result != result::kDone || !changed.failure.empty())
        return answer("UR", changed.failure.empty() ? changed.database.reason : changed.failure);
      if (changed.cards.empty())
        return answer("UR", "no open key of G# " + request.Value("G#") + " in " + named);
      return answer("OK", "records changed; cut a new key");
    }
    // The rooms moved to, as the key request will look them up.
    const CardPlaces to =
        PlacesOfCard(options_, request.Value("RN"), further.empty() ? "" : further.front());
    if (!to.first) return answer(to.retry ? "RY" : "UR", to.refusal);
    // The guest's card, when it lies on the encoder, is checked out and cut
    // again for the new room; any other card stays as it is.
    const frontdesk::CardAnswer card =
        frontdesk::CheckOut(port, [&](const frontdesk::CardAnswer& read) -> std::string {
          return read.card_no && Among(stay.cards, read.card_no->record)
                     ? std::string()
                     : "not a card of this reservation";
        });
    if (EraseFailed(card))
      return answer("RY", "card " + card.card_no->record + " not erased");
    if (card.withheld.empty() && (card.hresult || !card.opened)) {
      const Verdict verdict = VerdictOf(card);
      return answer(verdict.status, verdict.text);
    }
    // A card left as it was (withheld) reads as done: it was not erased.
    const bool erased = card.withheld.empty() &&
                        (Done(card) || (Answered(card) && card.result == result::kNoOpenRecord));
    const frontdesk::StayRecords closed = frontdesk::CloseOpenRecords(
        from.first->building, from.first->floor, from.first->room, stay.cards);
    if (closed.database.result != result::kDone || !closed.failure.empty())
      return answer("UR", closed.failure.empty() ? closed.database.reason : closed.failure);
    if (erased) {
      outcome = run();
      return outcome;
    }
    return answer("OK", "records changed; cut a new key");
  };
  return job;
}

KeyJob KeyService::PlanKeyRead(const Record& request, int port) const {
  KeyJob job;
  job.port = port;
  job.run = [this, request, port] {
    KeyOutcome outcome;
    const frontdesk::CardAnswer card = frontdesk::ReadCardOnEncoder(port);
    const bool read = Done(card) && !card.nothing_read && card.card_no;
    if (!read) {
      const bool blank = Answered(card) && card.result == result::kNoCard;
      const Verdict verdict =
          blank ? Verdict{"NG", "no guest card on the encoder"} : VerdictOf(card);
      outcome.answer = Answer(request, verdict.status, verdict.text);
      return outcome;
    }
    Record answer = Answer(request, "OK", CardText(card));
    // The card's own fields, then the reservation when this link cut it.
    std::vector<std::pair<std::string, std::string>> fields;
    const std::string room = card.rooms.empty() ? std::string() : card.rooms.front();
    fields.emplace_back("RN", PmsRoomOf(options_, {card.building, card.floor, room}));
    fields.emplace_back("GN", CutToBytes(FromUtf8(card.holder, options_.code_page),
                                         kClearTextLength, options_.code_page));
    const std::string& end = card.end;  // YYYYMMDDhhmm
    if (holvanter::IsTwelveFigures(end)) {
      fields.emplace_back("GD", end.substr(2, 6));
      fields.emplace_back("DT", end.substr(8, 2) + ":" + end.substr(10, 2));
    }
    std::string reservation = request.Value("G#");
    if (auto cut = journal_.Find(card.card_no->record)) reservation = cut->reservation;
    // AS and CT lead; the echo of the request and the time follow.
    Record ordered;
    ordered.id = "KZ";
    for (const auto& [id, value] : answer.fields) {
      if (id == "G#") continue;
      if (id == "DA") {
        for (auto& field : fields) ordered.Add(field.first, field.second);
        if (!reservation.empty()) ordered.Add("G#", reservation);
      }
      ordered.Add(id, value);
    }
    outcome.answer = std::move(ordered);
    return outcome;
  };
  return job;
}

}  // namespace fias
