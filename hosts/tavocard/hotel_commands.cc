// tavocard hotel init|cards|rooms: setting up a hotel database, looking at
// the cards it has recorded, and keeping its room list.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/hotel.h"
#include "hosts/tavocard/commands.h"

namespace tavocard {
namespace {

[[noreturn]] void Fail(const std::string& message, int status) {
  std::cerr << "tavocard: " << message << "\n";
  throw CLI::RuntimeError(status);
}

void Init(const frontdesk::HotelSetup& setup) {
  if (const auto failure = frontdesk::SetUpHotel(setup, std::cout))
    Fail(failure->message, failure->exit_status);
}

void Cards(bool json) {
  const frontdesk::CardListing cards = frontdesk::ListCards({});
  if (cards.database.result != 0)
    Fail(std::to_string(cards.database.result) + ": " + cards.database.reason,
         frontdesk::kExitRefused);
  if (!cards.failure.empty())
    Fail("cannot read CardRecord: " + cards.failure, frontdesk::kExitFailedCall);

  if (json) {
    nlohmann::json rows = nlohmann::json::array();
    // Each record named as the agent's GET /v1/cards names it.
    for (const frontdesk::CardRow& card : cards.rows) rows.push_back(frontdesk::ToItem(card));
    // A holder name that is not valid UTF-8 is shown with replacement
    // characters rather than ending the listing.
    std::cout << frontdesk::Dump(rows, 2) << "\n";
    return;
  }
  std::cout << cards.rows.size() << " card(s) in " << cards.database.path << ", newest first\n";
  for (const frontdesk::CardRow& card : cards.rows) {
    auto text = [&](const char* column) { return card.Text(column); };
    std::cout << text("InfoNo") << "  card " << text("CardNo") << " ("
              << (card.card_no ? card.card_no->hex : "") << ")  " << text("cardName") << "  "
              << text("Name_F") << "  building " << text("BuildNo") << " floor " << text("FloorNo")
              << " room " << text("RoomNo") << "  issued " << text("Date_F") << "  stay "
              << text("BeginDate") << " to " << text("EndDate");
    if (!text("ChkOutMark").empty()) std::cout << "  checked out " << text("ChkOutDate");
    std::cout << "\n";
  }
}

// Fails as the card commands do when the database is not reached or the
// rooms given are not usable.
void FailUnlessReached(const frontdesk::HotelDatabase& database, const std::string& failure,
                       const std::string& usage = {}) {
  if (!usage.empty()) Fail(usage, frontdesk::kExitUsage);
  if (database.result != 0)
    Fail(std::to_string(database.result) + ": " + database.reason, frontdesk::kExitRefused);
  if (!failure.empty()) Fail("the room list is unchanged: " + failure, frontdesk::kExitFailedCall);
}

std::string Place(const frontdesk::RoomRow& room) {
  return std::to_string(room.building) + ":" + std::to_string(room.floor) + ":" + room.room;
}

void ListRoomList(bool json) {
  // The cards out by their records, as rooms remove counts them, not by
  // RoomList's CardQTY, which a check-out may leave as it was.
  const frontdesk::RoomListing rooms = frontdesk::ListRooms({.newest_card = true});
  FailUnlessReached(rooms.database, rooms.failure);
  if (json) {
    nlohmann::json rows = nlohmann::json::array();
    for (const frontdesk::RoomRow& room : rooms.rows)
      rows.push_back({{"building", room.building}, {"floor", room.floor}, {"room", room.room},
                      {"cards", room.open_cards}});
    std::cout << rows.dump(2) << "\n";
    return;
  }
  std::cout << rooms.rows.size() << " room(s) in " << rooms.database.path
            << " (building:floor:room)\n";
  for (const frontdesk::RoomRow& room : rooms.rows) {
    std::cout << Place(room);
    if (room.open_cards > 0) std::cout << "  " << room.open_cards << " card(s) out";
    std::cout << "\n";
  }
}

void AddRoomList(const std::string& spec) {
  const frontdesk::RoomChange change = frontdesk::AddRooms(spec);
  FailUnlessReached(change.database, change.failure, change.usage);
  for (const frontdesk::RoomRow& room : change.kept)
    std::cout << "room " << Place(room) << " is in the room list already\n";
  std::cout << "added " << change.changed.size() << " room(s) to " << change.database.path;
  if (!change.changed.empty())
    std::cout << ": " << Place(change.changed.front())
              << (change.changed.size() > 1 ? " to " + Place(change.changed.back()) : "");
  std::cout << "\n";
}

void RemoveRoomList(const std::vector<std::string>& rooms) {
  const frontdesk::RoomChange change = frontdesk::RemoveRooms(rooms);
  FailUnlessReached(change.database, change.failure, change.usage);
  if (!change.refused.empty()) {
    for (const std::string& why : change.refused) std::cerr << "tavocard: " << why << "\n";
    Fail("no room removed", frontdesk::kExitRefused);
  }
  std::cout << "removed " << change.changed.size() << " room(s) from " << change.database.path
            << ":";
  for (const frontdesk::RoomRow& room : change.changed) std::cout << " " << Place(room);
  std::cout << "\n";
}

}  // namespace

void AddHotelCommands(CLI::App& app) {
  CLI::App* hotel = app.add_subcommand("hotel", "set up the hotel database, list its cards and keep its room list");
  hotel->require_subcommand(1);

  auto init_options = std::make_shared<frontdesk::HotelSetup>();
  CLI::App* init = hotel->add_subcommand(
      "init",
      "create an SQLite hotel database, or a hotel on the server database of an ODBC file data "
      "source (--dsn), and point Tavoper.ini beside the component at it");
  CLI::Option* path_option =
      init->add_option("PATH", init_options->path, "the database file to create");
  init->add_option("--dsn", init_options->dsn,
                   "instead of PATH: an ODBC file data source ([ODBC] DRIVER=...) naming the "
                   "server database that several front desks share")
      ->excludes(path_option);
  init->add_option("--rooms", init_options->rooms,
                   "rooms as building:floor:first-last, comma-separated, e.g. 1:1:0101-0120,1:2:0201-0220")
      ->required();
  init->add_option("--system-code", init_options->system_code,
                   "the hotel's five-character system code (default TAVO1)");
  init->add_option("--start-no", init_options->start_no, "base of the card numbering (StartNo)");
  init->add_flag("--force", init_options->force, "replace an existing database file");
  init->add_flag("--no-settings", init_options->no_settings,
                 "leave Tavoper.ini as it is (try a test hotel without moving the live desk)");
  init->callback([init_options] { Init(*init_options); });

  auto json = std::make_shared<bool>(false);
  CLI::App* cards = hotel->add_subcommand(
      "cards", "list the cards recorded in the hotel database that Tavoper.ini names, newest first");
  cards->add_flag("--json", *json, "print the rows as JSON");
  cards->callback([json] { Cards(*json); });

  CLI::App* rooms = hotel->add_subcommand(
      "rooms", "list, add or remove the rooms of the hotel database that Tavoper.ini names");
  rooms->require_subcommand(1);
  auto rooms_json = std::make_shared<bool>(false);
  CLI::App* list = rooms->add_subcommand("list", "list the rooms as building:floor:room");
  list->add_flag("--json", *rooms_json, "print the rooms as JSON");
  list->callback([rooms_json] { ListRoomList(*rooms_json); });
  auto spec = std::make_shared<std::string>();
  CLI::App* add = rooms->add_subcommand(
      "add", "add rooms; a key request or a card for them is served at once");
  add->add_option("ROOMS", *spec,
                  "rooms as building:floor:first-last, comma-separated, e.g. 1:4:0401-0420,2:1:0105")
      ->required();
  add->callback([spec] { AddRoomList(*spec); });
  auto removed = std::make_shared<std::vector<std::string>>();
  CLI::App* remove = rooms->add_subcommand(
      "remove", "remove rooms; refused, and nothing removed, while any of them has a card out");
  remove->add_option("ROOM", *removed,
                     "a room number (0203), or building:floor:room when the number is in two "
                     "buildings (2:3:0301), or building:floor:first-last")
      ->required();
  remove->callback([removed] { RemoveRoomList(*removed); });
}

}  // namespace tavocard
