// The hotel database as the front desk sees it: whether it can be reached,
// the cards it records, and setting up a new hotel (tavocard hotel init).
#ifndef HOLVANTER_HOSTS_FRONTDESK_HOTEL_H_
#define HOLVANTER_HOSTS_FRONTDESK_HOTEL_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/frontdesk.h"

namespace frontdesk {

// The hotel database that Tavoper.ini names, as the card methods reach it.
struct HotelDatabase {
  int result = 0;      // 0, or -800, -820, -840 as a card method would give
  std::string path;    // the DataBase path the settings name
  std::string reason;  // why it was not reached, in words, with the paths
};
// Opens the database and closes it again.
HotelDatabase ReachHotelDatabase();

// Which cards to list; the newest record comes first.
struct CardFilter {
  int limit = 0;          // at most this many rows; 0: every one
  std::string card_no{};  // one card number, record form; empty: every card
  std::string room{};     // cards for this room, exactly (a villa card's either room); empty: all
  std::string holder{};   // holders whose name holds this text, ASCII case aside; empty: all
  // Paging: only records older than every record of this card number
  // (record form); empty: from the newest.
  std::string before{};
};
struct CardRow {
  // CardRecord's columns in the table's order; std::nullopt is Null.
  std::vector<std::pair<std::string, std::optional<std::string>>> fields;
  std::optional<CardNumber> card_no;  // CardNo in both forms, when it is a card number
  // The value of `column` (any case), empty for Null or no such column.
  std::string Text(std::string_view column) const;
};
struct CardListing {
  HotelDatabase database;  // result not 0: nothing was read
  std::string failure;     // the query failed: the database's message
  std::vector<CardRow> rows;
};
// One query, with the filter and the limit in it; never throws.
CardListing ListCards(const CardFilter& filter);
// A row's columns as one JSON object, each value a text or null.
nlohmann::json ToJson(const CardRow& row);
// A record as the API, the command's --json and the page name it:
// card_no, card_no_hex, kind, rooms, building, floor (numbers), holder
// (null when the record has none), begin, end, issued_at, checked_out_at
// (ISO 8601 local time with the desk's offset, "2026-12-08T14:00:00+08:00",
// DeskTime; null when the record has none, checked_out_at while it is
// open), open.
nlohmann::json ToItem(const CardRow& row);

// The hotel's rooms (RoomList), by building, floor and room.
struct RoomFilter {
  std::string room_no{};     // only rows whose RoomNo is this, exactly; empty: every room
  // Also each room's open cards (a second query): how many, and the newest.
  bool newest_card = false;
};
// A card that is out: its record not checked out.
struct OpenCard {
  std::string card_no;  // record form
  std::string holder;
  std::string end;      // YYYYMMDDhhmm; empty when the record has none
};
struct RoomRow {
  int building = 0, floor = 0;
  std::string room;   // RoomNo as the table holds it
  // RoomList's State and CardQTY (Null: 0) as the component keeps them: a
  // check-out of a room's last card may leave them as they were, so they
  // are its bookkeeping, not what is out.
  std::string state;
  int cards = 0;
  // With RoomFilter::newest_card: the records not checked out that name the
  // room (a villa card's for both its rooms), and the newest of them.
  int open_cards = 0;
  std::optional<OpenCard> newest;
};
struct RoomListing {
  HotelDatabase database;  // result not 0: nothing was read
  std::string failure;     // the query failed: the database's message
  std::vector<RoomRow> rows;
};
// One query, two with newest_card, on one connection; never throws.
RoomListing ListRooms(const RoomFilter& filter);

// Changing the room list after the hotel was set up (tavocard hotel rooms
// add|remove). Each change is one transaction: every room changes, or none.
struct RoomChange {
  HotelDatabase database;            // result not 0: nothing was changed
  std::string usage;                 // the rooms given are not usable: nothing was changed
  std::string failure;               // the database failed: nothing was changed
  std::vector<std::string> refused;  // why rooms may not be removed: nothing was changed
  std::vector<RoomRow> changed;      // the rooms added or removed
  std::vector<RoomRow> kept;         // add: rooms the list had already
};
// Adds the rooms of `spec` (building:floor:first-last, comma-separated, as
// hotel init takes them) that the list does not have yet.
RoomChange AddRooms(const std::string& spec);
// Removes each room given as ROOM (its RoomNo, when it is in one place
// only) or building:floor:first-last; refused, every room kept, while any
// of them has a card out (a record not checked out) or is not in the list.
RoomChange RemoveRooms(const std::vector<std::string>& rooms);

// Whether the hotel has the rooms of a stay: when RoomList has rows, each
// of `rooms` must be a row of that building and floor. The refusal in words
// naming the first room it lacks; empty when every room is there, when
// RoomList is empty (a hotel that keeps no list) or when the database cannot
// be read (the issue then says why itself).
std::string MissingRoom(int building, int floor, const std::vector<std::string>& rooms);

// The newest record of `card_no` (record form) when it is open (not checked
// out): its holder, building, floor, rooms and end.
struct OpenRecord {
  std::string holder;
  int building = 0, floor = 0;
  std::vector<std::string> rooms;
  std::string end;  // YYYYMMDDhhmm
};
// What the hotel database says of one card number. A lookup that could not
// be made is told apart from a card without an open record: a guard that
// took the one for the other would write over a guest's card.
struct RecordLookup {
  std::optional<OpenRecord> open;  // its newest record, when that is open
  bool recorded = false;           // any record of the number, open or closed
  std::string holder;              // the newest record's holder, open or closed
  std::string failure;             // not empty: the database could not say; why
  bool unreachable = false;        // that failure may pass by itself
};
RecordLookup LookUpRecord(const std::string& card_no);
// The open record alone; nullopt also when the database cannot be read.
std::optional<OpenRecord> OpenRecordOf(const std::string& card_no);

// Opens the newest record of `card_no` again, and takes its rooms again,
// after a check-out closed it but the encoder did not erase the card: the
// card still opens its rooms, so its record must say so. Takes the
// numbering turn, as a check-out does. Empty, or why it could not.
std::string ReopenRecord(const std::string& card_no);

// A new hotel database: an SQLite file at `path`, or the server database
// of the ODBC file data source `dsn`.
struct HotelSetup {
  std::string path;
  std::string dsn;
  std::string rooms;        // building:floor:first-last, comma-separated
  std::string system_code;  // empty: the default
  uint32_t start_no = 0;
  bool force = false;        // replace an existing hotel
  bool no_settings = false;  // leave Tavoper.ini as it is
};
// Checks every argument before it creates anything, makes the tables, and
// points Tavoper.ini at the new database unless told not to; tells the
// clerk on `out` what it did. A set-up that did not happen answers with the
// exit status it ends with (usage, refused: a file there already, failed)
// and why; nothing is left half-made.
std::optional<CommandFailure> SetUpHotel(const HotelSetup& setup, std::ostream& out);

// Stay records changed without the card (a check-out or a changed stay from
// the PMS while the guest keeps the card): the cards whose records changed.
struct StayRecords {
  HotelDatabase database;  // result not 0: nothing was changed
  std::string failure;     // a statement failed: the database's message
  std::vector<std::string> cards;  // record form, oldest first
};
// The open records of the room at `building`, `floor`, `room` (a villa
// card's either room) among `cards`, oldest first, with their end.
struct StayRecord {
  std::string card_no;  // record form
  std::string end;      // YYYYMMDDhhmm
};
struct StayLookup {
  HotelDatabase database;  // result not 0: nothing was read
  std::string failure;     // the query failed: the database's message
  std::vector<StayRecord> records;
};
StayLookup OpenStayRecords(int building, int floor, const std::string& room,
                           const std::vector<std::string>& cards);
// The cards of the newest stay among `records`: a PMS may give a
// reservation number to a new stay while an older one is still open, and
// a request names the newest. The stay of the newest record is every
// record with its end (a key change moves all of a stay's ends at once).
std::vector<std::string> NewestStay(const std::vector<StayRecord>& records);

// Closes the open records of the room at `building`, `floor`, `room` (a
// villa card's either room) and releases their rooms, as a check-out of
// each card would; only the records of `cards` when given. The cards
// themselves still open the room until their end.
StayRecords CloseOpenRecords(int building, int floor, const std::string& room,
                             const std::optional<std::vector<std::string>>& cards);
// Gives the open records of `cards` the end `end` (YYYYMMDDhhmm).
StayRecords ChangeOpenRecordsEnd(const std::vector<std::string>& cards, const std::string& end);

}  // namespace frontdesk

#endif  // HOLVANTER_HOSTS_FRONTDESK_HOTEL_H_
