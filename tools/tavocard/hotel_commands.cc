// tavocard hotel init|cards: setting up a hotel database and looking at the
// cards it has recorded.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/hotel_setup.h"
#include "store/open_database.h"
#include "store/settings.h"
#include "store/sqlite_connection.h"
#include "store/system_code.h"
#include "tools/tavocard/commands.h"
#include "tools/tavocard/hotel_dsn.h"

namespace tavocard {
namespace {

constexpr int kExitRefused = 1;
constexpr int kExitFailed = 2;

struct InitOptions {
  std::string path;
  std::string dsn;  // an ODBC file data source naming a server database
  std::string rooms;
  std::string system_code;
  uint32_t start_no = 0;
  bool force = false;
};

[[noreturn]] void Fail(const std::string& message, int status = kExitFailed) {
  std::cerr << "tavocard: " << message << "\n";
  throw CLI::RuntimeError(status);
}

// The settings file beside the component, pointing at `database_path`.
std::string WriteSettings(const std::string& database_path) {
  holvanter::Env* env = holvanter::Env::Default();
  const std::string file = env->ComponentFolder() + env->PathSeparator() +
                           holvanter::kSettingsFileName;
  std::ofstream out(std::filesystem::path(std::u8string(file.begin(), file.end())),
                    std::ios::binary | std::ios::trunc);
  out << "[Setting]\r\nDataBase=" << env->ToAnsi(database_path) << "\r\n";
  out.close();
  if (!out) Fail("cannot write the settings file " + file);
  return file;
}

// A fresh SQLite database file at `path`; an existing file is replaced
// only when `force` says so.
std::unique_ptr<holvanter::Connection> CreateSqliteDatabase(const std::filesystem::path& path,
                                                            bool force) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    if (!force)
      Fail(path.string() + " exists already; give --force to replace it with an empty hotel",
           kExitRefused);
    std::filesystem::remove(path, ec);
    std::filesystem::remove(path.string() + "-journal", ec);
    if (std::filesystem::exists(path)) Fail("cannot remove " + path.string());
  }
  return holvanter::SqliteConnection::Open(path.string(), /*create=*/true);
}

void Init(const InitOptions& o) {
  holvanter::HotelPlan plan;
  try {
    plan.rooms = holvanter::ParseRoomSpec(o.rooms);
  } catch (const std::invalid_argument& e) {
    Fail(std::string("--rooms: ") + e.what(), kExitRefused);
  }
  plan.system_code = o.system_code;
  plan.start_no = o.start_no;

  if (o.path.empty() == o.dsn.empty())
    Fail("give either the database file PATH or --dsn FILE.dsn", kExitRefused);
  const std::filesystem::path path =
      std::filesystem::absolute(o.dsn.empty() ? o.path : o.dsn).lexically_normal();
  std::size_t room_count = 0;
  for (const auto& range : plan.rooms) room_count += range.last - range.first + 1;
  try {
    // A file data source names a server database that exists already.
    std::unique_ptr<holvanter::Connection> connection =
        o.dsn.empty() ? CreateSqliteDatabase(path, o.force)
                      : OpenDataSourceForInit(path.string(), o.force);
    holvanter::CreateHotelTables(*connection, plan);
  } catch (const holvanter::TavoError& e) {
    Fail("cannot set up the hotel database " + path.string() + ": " + e.what());
  }
  const std::string settings = WriteSettings(path.string());
  std::cout << "hotel database " << path.string() << ": " << room_count << " rooms, system code "
            << (o.system_code.empty() ? holvanter::kDefaultSystemCode : o.system_code)
            << ", start number " << o.start_no << "\n"
            << "settings " << settings << " point at it\n";
}

// The hexadecimal form of a record-form card number, as the issue methods
// hand it out; empty when the text is no number.
std::string HexCardNo(const std::optional<std::string>& record_form) {
  if (!record_form || record_form->empty()) return {};
  unsigned long value = 0;
  for (char c : *record_form) {
    if (c < '0' || c > '9') return {};
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%06lX", value);
  return hex;
}

void Cards(bool json) {
  std::string database_path;
  const int16_t found = holvanter::ReadDatabasePath(database_path);
  if (found == -800) Fail("no settings file Tavoper.ini beside the component (-800)");
  if (found != 0) Fail("the settings file names no existing database: '" + database_path + "' (-820)");
  std::unique_ptr<holvanter::Connection> connection;
  if (!holvanter::OpenDatabase(database_path, connection))
    Fail("cannot open the hotel database " + database_path + " (-840)");

  std::optional<holvanter::RecordSet> cards;
  try {
    std::string status;
    cards = holvanter::ExecuteSql(*connection, "SELECT * FROM CardRecord ORDER BY InfoNo DESC",
                                  status);
  } catch (const holvanter::TavoError& e) {
    Fail(std::string("cannot read CardRecord: ") + e.what());
  }

  if (json) {
    nlohmann::json rows = nlohmann::json::array();
    for (; !cards->Eof(); cards->MoveNext()) {
      nlohmann::json row = nlohmann::json::object();
      for (const std::string& column : cards->Columns()) {
        const auto& value = cards->Field(column);
        row[column] = value ? nlohmann::json(*value) : nlohmann::json(nullptr);
      }
      rows.push_back(row);
    }
    std::cout << rows.dump(2) << "\n";
    return;
  }
  std::cout << cards->RecordCount() << " card(s) in " << database_path << ", newest first\n";
  auto text = [&](const char* column) { return cards->Field(column).value_or(""); };
  for (; !cards->Eof(); cards->MoveNext()) {
    std::cout << text("InfoNo") << "  card " << text("CardNo") << " (" << HexCardNo(cards->Field("CardNo"))
              << ")  " << text("cardName") << "  " << text("Name_F") << "  building "
              << text("BuildNo") << " floor " << text("FloorNo") << " room " << text("RoomNo")
              << "  issued " << text("Date_F") << "  stay " << text("BeginDate") << " to "
              << text("EndDate");
    if (!text("ChkOutMark").empty()) std::cout << "  checked out " << text("ChkOutDate");
    std::cout << "\n";
  }
}

}  // namespace

void AddHotelCommands(CLI::App& app) {
  CLI::App* hotel = app.add_subcommand("hotel", "set up the hotel database and list its cards");
  hotel->require_subcommand(1);

  auto init_options = std::make_shared<InitOptions>();
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
  init->callback([init_options] { Init(*init_options); });

  auto json = std::make_shared<bool>(false);
  CLI::App* cards = hotel->add_subcommand(
      "cards", "list the cards recorded in the hotel database that Tavoper.ini names, newest first");
  cards->add_flag("--json", *json, "print the rows as JSON");
  cards->callback([json] { Cards(*json); });
}

}  // namespace tavocard
