// tavocard hotel init|cards: setting up a hotel database and looking at the
// cards it has recorded.
#include <cctype>
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
#include "tools/frontdesk/frontdesk.h"
#include "tools/tavocard/commands.h"
#include "tools/tavocard/hotel_dsn.h"

namespace tavocard {
namespace {

constexpr int kExitRefused = frontdesk::kExitRefused;
constexpr int kExitFailed = frontdesk::kExitFailedCall;
constexpr int kExitUsage = frontdesk::kExitUsage;

struct InitOptions {
  std::string path;
  std::string dsn;  // an ODBC file data source naming a server database
  std::string rooms;
  std::string system_code;
  uint32_t start_no = 0;
  bool force = false;
  bool no_settings = false;  // leave Tavoper.ini as it is
};

[[noreturn]] void Fail(const std::string& message, int status = kExitFailed) {
  std::cerr << "tavocard: " << message << "\n";
  throw CLI::RuntimeError(status);
}

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Points the settings file beside the component at `database_path`. An
// existing file keeps every other line (a [Log] section, comments): only
// the DataBase line of [Setting] is replaced, and the clerk is told what it
// said before.
std::string WriteSettings(const std::string& database_path) {
  holvanter::Env* env = holvanter::Env::Default();
  const std::string file = frontdesk::SettingsFilePath();
  const std::string line = "DataBase=" + env->ToAnsi(database_path);

  std::vector<std::string> lines;
  {
    std::ifstream in(FsPath(file), std::ios::binary);
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(l);
    }
  }
  auto is_section = [](const std::string& l) { return !l.empty() && l.front() == '['; };
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  // The key of a "key = value" line, trimmed and in lower case.
  auto key_of = [&](const std::string& l) {
    const std::size_t eq = l.find('=');
    if (eq == std::string::npos) return std::string();
    std::string k = l.substr(0, eq);
    k.erase(0, k.find_first_not_of(" \t"));
    k.erase(k.find_last_not_of(" \t") + 1);
    return lower(k);
  };
  std::size_t section = lines.size(), key = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is_section(lines[i])) {
      if (section != lines.size() && i > section) break;
      if (lower(lines[i]) == "[setting]") section = i;
    } else if (section != lines.size() && key_of(lines[i]) == "database") {
      key = i;
      break;
    }
  }
  if (key != lines.size()) {
    if (lines[key] != line)
      std::cout << "replacing " << lines[key] << " in " << file << "\n";
    lines[key] = line;
  } else if (section != lines.size()) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(section) + 1, line);
  } else {
    lines.insert(lines.begin(), {"[Setting]", line});
  }
  std::ofstream out(FsPath(file), std::ios::binary | std::ios::trunc);
  for (const std::string& l : lines) out << l << "\r\n";
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
  // Everything is checked before anything is created: a refused argument
  // leaves no file behind.
  holvanter::HotelPlan plan;
  try {
    plan.rooms = holvanter::ParseRoomSpec(o.rooms);
  } catch (const std::invalid_argument& e) {
    Fail(std::string("--rooms: ") + e.what(), kExitUsage);
  }
  plan.system_code = o.system_code;
  plan.start_no = o.start_no;
  try {
    holvanter::CheckHotelPlan(plan);
  } catch (const std::invalid_argument& e) {
    Fail(std::string("--system-code: ") + e.what(), kExitUsage);
  }

  if (o.path.empty() == o.dsn.empty())
    Fail("give either the database file PATH or --dsn FILE.dsn", kExitUsage);
  const std::filesystem::path path =
      std::filesystem::absolute(o.dsn.empty() ? o.path : o.dsn).lexically_normal();
  std::size_t room_count = 0;
  for (const auto& range : plan.rooms) room_count += range.last - range.first + 1;
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  try {
    // A file data source names a server database that exists already.
    std::unique_ptr<holvanter::Connection> connection =
        o.dsn.empty() ? CreateSqliteDatabase(path, o.force)
                      : OpenDataSourceForInit(path.string(), o.force);
    holvanter::CreateHotelTables(*connection, plan);
  } catch (const holvanter::TavoError& e) {
    // A half-made SQLite file would only ask for --force next time.
    if (o.dsn.empty() && !existed) {
      std::filesystem::remove(path, ec);
      std::filesystem::remove(path.string() + "-journal", ec);
    }
    Fail("cannot set up the hotel database " + path.string() + ": " + e.what());
  }
  std::cout << "hotel database " << path.string() << ": " << room_count << " rooms, system code "
            << (o.system_code.empty() ? holvanter::kDefaultSystemCode : o.system_code)
            << ", start number " << o.start_no << "\n";
  if (o.no_settings) {
    std::cout << "settings " << frontdesk::SettingsFilePath() << " left as they were\n";
    return;
  }
  const std::string settings = WriteSettings(path.string());
  std::cout << "settings " << settings << " point at it\n";
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
  const int16_t found = holvanter::ReadDatabasePath(*holvanter::Env::Default(), database_path);
  if (found == -800)
    Fail("-800: no settings file " + frontdesk::SettingsFilePath(), kExitRefused);
  if (found != 0)
    Fail("-820: the settings file " + frontdesk::SettingsFilePath() + " names DataBase=\"" +
             database_path + "\", where no file is",
         kExitRefused);
  std::unique_ptr<holvanter::Connection> connection;
  std::string why;
  if (!holvanter::OpenDatabase(*holvanter::Env::Default(), database_path, connection, &why))
    Fail("-840: the hotel database " + database_path + " cannot be opened: " + why,
         kExitRefused);

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
      // The form the issue methods hand out, beside the record form.
      row["CardNoHex"] = HexCardNo(cards->Field("CardNo"));
      rows.push_back(row);
    }
    // A holder name that is not valid UTF-8 is shown with replacement
    // characters rather than ending the listing.
    std::cout << frontdesk::Dump(rows, 2) << "\n";
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
