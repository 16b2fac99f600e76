#include "component/result_meanings.h"

#include "holvanter/result_codes.h"

namespace holvanter {
namespace {

namespace r = result;

constexpr ResultMeaningRow kRows[] = {
    {r::kDone, false, "done",
     "Done", "done", "done"},
    {r::kPortNotOpened, true, "encoder did not answer: check it",
     "The encoder did not answer: check its cable and power, then try again",
     "the encoder did not open", "port_not_opened"},
    {r::kReadFailed, false, "card not read: lay it flat, try again",
     "The card could not be read: lay it flat on the encoder and try again",
     "the card could not be read through the encoder", "read_failed"},
    {r::kNotWritten, false, "card not written: lay it flat, retry",
     "The card was not written: lay it flat on the encoder and press Issue again",
     "the encoder did not write the card", "not_written"},
    {r::kCardKind01, false, "not a guest card (kind 01)",
     "This is not a guest card (kind 01): take a guest card and try again",
     "the card on the encoder has card kind 01, not a guest or villa card", "card_kind_01"},
    {r::kCardKindAA, false, "not a guest card (kind AA)",
     "This is not a guest card (kind AA): take a guest card and try again",
     "the card on the encoder has card kind AA, not a guest or villa card", "card_kind_aa"},
    {r::kNoCard, false, "no card on the encoder: put a blank one",
     "No card on the encoder: put a blank card on it and press Issue again",
     "no guest or villa card was read: the card is blank, erased or of an unknown kind, or the "
     "encoder is not open", "no_card"},
    {r::kNoOpenRecord, false, "card erased, no open record",
     "The card was already checked out: it is erased now, nothing else to do",
     "the card was erased, but it had no open record: it was checked out before (or is a copy), "
     "so no room was released", "no_open_record"},
    {r::kNoSettingsFile, false, "desk not set up for cards: call IT",
     "This desk is not set up for card issue: call the system administrator",
     "the settings file Tavoper.ini is missing", "no_settings_file"},
    {r::kNoDatabaseFile, false, "hotel database not found: call IT",
     "The hotel database is not where this desk looks for it: call the system administrator",
     "no database file at the path named in Tavoper.ini", "no_database_file"},
    {r::kDatabaseNotOpen, false, "hotel database not reachable: call IT",
     "The hotel database is not reachable: wait a moment and try again, then call the system "
     "administrator",
     "the hotel database cannot be opened", "database_not_open"},
    {r::kBadBegin, false, "arrival date and time not accepted",
     "Check the arrival date and time, then try again",
     "the begin date is not acceptable", "bad_begin"},
    {r::kBadEnd, false, "departure must come after arrival",
     "Check the departure date and time: it must come after the arrival",
     "the end date is not acceptable, or the stay ends before it begins", "bad_end"},
    {r::kBadBuilding, false, "building number must be 1 to 99",
     "Check the building number: 1 to 99",
     "the building number must be 1 to 99", "bad_building"},
    {r::kBadFloor, false, "floor number must be 1 to 99",
     "Check the floor number: 1 to 99", "the floor number must be 1 to 99", "bad_floor"},
    {r::kBadGuestRoom, false, "room must be four figures",
     "Check the room number: four figures, such as 0203",
     "the room must be four figures", "bad_guest_room"},
    {r::kBadVillaRooms, false, "two rooms must be four figures each",
     "Check the two rooms: four figures each, the first room first, such as 02030204",
     "the two rooms must be eight figures", "bad_villa_rooms"},
};

const ResultMeaningRow* RowOf(int code) {
  for (const ResultMeaningRow& row : kRows)
    if (row.code == code) return &row;
  return nullptr;
}

}  // namespace

std::span<const ResultMeaningRow> ResultMeaningTable() { return kRows; }

bool IsWriteStatus(int code) { return code >= 2 && code <= 255; }

std::string ClerkMeaning(int code) {
  if (const ResultMeaningRow* row = RowOf(code)) return row->clerk;
  if (IsWriteStatus(code))
    return "The card was not written (encoder status " + std::to_string(code) +
           "): lay it flat on the encoder and press Issue again";
  return "Unexpected result " + std::to_string(code) + ": note it and call the system administrator";
}

std::string BriefMeaning(int code) {
  if (const ResultMeaningRow* row = RowOf(code)) return row->brief;
  if (IsWriteStatus(code)) return "card not written (status " + std::to_string(code) + "): retry";
  return "result " + std::to_string(code) + ": call IT";
}

std::string FullMeaning(int code) {
  if (const ResultMeaningRow* row = RowOf(code)) return row->full;
  if (IsWriteStatus(code))
    return "the encoder did not write the card (write status " + std::to_string(code) + ")";
  return "result " + std::to_string(code);
}

std::string ResultName(int code) {
  if (const ResultMeaningRow* row = RowOf(code)) return row->name;
  if (IsWriteStatus(code)) return "write_status";
  return "result_" + std::to_string(code);
}

}  // namespace holvanter
