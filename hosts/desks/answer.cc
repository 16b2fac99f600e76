#include "hosts/desks/answer.h"

#include <utility>
#include <vector>

#include "util/text.h"

namespace desks {
namespace {

// `count` figures 0-9 and nothing else.
bool Figures(const std::string& text, std::size_t count) {
  return text.size() == count && holvanter::AllFigures(text);
}

// The answer statuses the key services give.
bool KnownStatus(const std::string& status) {
  for (const char* known : {"OK", "UR", "RY", "BY", "NG", "DN"})
    if (status == known) return true;
  return false;
}

// Values that FIAS fields can carry: no separator, no control character,
// no longer than a record the link takes from the PMS.
bool FieldText(const std::string& text, std::size_t most) {
  if (text.size() > most) return false;
  for (char c : text)
    if (c == '|' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

bool TimeOfDay(const std::string& text) {
  return text.size() == 5 && text[2] == ':' && Figures(text.substr(0, 2), 2) &&
         Figures(text.substr(3), 2) && std::stoi(text.substr(0, 2)) < 24 &&
         std::stoi(text.substr(3)) < 60;
}

std::optional<fias::Record> Lie(std::string& why, std::string what) {
  why = std::move(what);
  return std::nullopt;
}

}  // namespace

std::optional<fias::Record> AnswerFor(
    const fias::Record& request, const fias::Record& told, const std::string& cut,
    fias::CodePage page, const std::function<fias::Record(const std::string& status)>& answer,
    const std::function<std::optional<std::string>(const std::string& card)>& reservation_of,
    std::string& why) {
  const bool read = request.id == "KZ";
  const std::string status = told.Value("AS");
  if (told.id != (read ? "KZ" : "KA"))
    return Lie(why, "a " + told.id + " record for a " + request.id);
  for (const char* field : {"WS", "KC", "G#"})
    if (told.Value(field) != request.Value(field) && !(read && std::string(field) == "G#"))
      return Lie(why, std::string("an answer for another ") + field);
  if (!KnownStatus(status)) return Lie(why, "an answer status that is none");
  // A card is cut by a key request, and by a room move whose guest's card
  // lay on the encoder.
  if (!cut.empty() && ((request.id != "KR" && request.id != "KM") || status != "OK" ||
                       !Figures(cut, 8)))
    return Lie(why, "a cut card that is none");
  constexpr std::size_t kMostField = fias::FrameReader::kMaxRecord;
  if (!FieldText(told.Value("CT"), kMostField)) return Lie(why, "a clear text that is none");
  fias::Record own = answer(status);
  for (auto& [id, value] : own.fields)
    if (id == "CT") value = fias::CutToBytes(told.Value("CT"), kClearTextBytes, page);
  if (!read || status != "OK") return own;
  // A card read: its room, holder and stay, each of its form; the
  // reservation from the link desk's own journal, as a read there finds it.
  const std::string room = told.Value("RN"), holder = told.Value("GN");
  const std::string departure = told.Value("GD"), time = told.Value("DT");
  if (room.empty() || !FieldText(room, 8) || !FieldText(holder, kMostField) ||
      (!departure.empty() && !Figures(departure, 6)) || (!time.empty() && !TimeOfDay(time)))
    return Lie(why, "card facts that are none");
  std::vector<std::pair<std::string, std::string>> facts{
      {"RN", room}, {"GN", fias::CutToBytes(holder, kClearTextBytes, page)}};
  if (!departure.empty()) facts.emplace_back("GD", departure);
  if (!time.empty()) facts.emplace_back("DT", time);
  std::string reservation = request.Value("G#");
  const std::string text = told.Value("CT");  // "card 00000123 room 0203"
  if (text.rfind("card ", 0) == 0 && text.size() >= 13 && Figures(text.substr(5, 8), 8))
    if (std::optional<std::string> found = reservation_of(text.substr(5, 8)))
      reservation = *found;
  // As the key services order a KZ: AS and CT lead, the card's fields and
  // the reservation come before DA and TI.
  fias::Record ordered;
  ordered.id = "KZ";
  for (const auto& [id, value] : own.fields) {
    if (id == "G#") continue;
    if (id == "DA") {
      for (auto& fact : facts) ordered.Add(fact.first, fact.second);
      if (!reservation.empty()) ordered.Add("G#", reservation);
    }
    ordered.Add(id, value);
  }
  return ordered;
}

}  // namespace desks
