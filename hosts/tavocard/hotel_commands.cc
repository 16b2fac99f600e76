// tavocard hotel init|cards: setting up a hotel database and looking at the
// cards it has recorded.
#include <iostream>
#include <memory>
#include <string>

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
  try {
    frontdesk::SetUpHotel(setup, std::cout);
  } catch (const frontdesk::SetupError& e) {
    Fail(e.what(), e.exit_status());
  }
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

}  // namespace

void AddHotelCommands(CLI::App& app) {
  CLI::App* hotel = app.add_subcommand("hotel", "set up the hotel database and list its cards");
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
}

}  // namespace tavocard
