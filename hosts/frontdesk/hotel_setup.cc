#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "holvanter/error.h"
#include "platform/env.h"
#include "platform/paths.h"
#include "store/hotel_setup.h"
#include "store/odbc_connection.h"
#include "store/odbc_open.h"
#include "store/sqlite_connection.h"
#include "store/system_code.h"
#include "hosts/frontdesk/hotel.h"
#include "util/text.h"

namespace frontdesk {
namespace {

using holvanter::Result;
using holvanter::Status;

// Points the settings file beside the component at `database_path`. An
// existing file keeps every other line (a [Log] section, comments): only
// the DataBase line of [Setting] is replaced, and the clerk is told what it
// said before.
Result<std::string> WriteSettings(const std::string& database_path, std::ostream& clerk) {
  holvanter::Env* env = holvanter::Env::Default();
  const std::string file = SettingsFilePath();
  const std::string line = "DataBase=" + env->ToAnsi(database_path);

  std::vector<std::string> lines;
  {
    std::ifstream in(holvanter::Utf8Path(file), std::ios::binary);
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(l);
    }
  }
  auto is_section = [](const std::string& l) { return !l.empty() && l.front() == '['; };
  // The key of a "key = value" line; none without a '='.
  auto key_of = [](const std::string& l) {
    const std::size_t eq = l.find('=');
    if (eq == std::string::npos) return std::string_view();
    return holvanter::Trim(std::string_view(l).substr(0, eq), " \t");
  };
  std::size_t section = lines.size(), key = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is_section(lines[i])) {
      if (section != lines.size() && i > section) break;
      if (holvanter::EqualsIgnoreCase(lines[i], "[setting]")) section = i;
    } else if (section != lines.size() &&
               holvanter::EqualsIgnoreCase(key_of(lines[i]), "database")) {
      key = i;
      break;
    }
  }
  if (key != lines.size()) {
    if (lines[key] != line)
      clerk << "replacing " << lines[key] << " in " << file << "\n";
    lines[key] = line;
  } else if (section != lines.size()) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(section) + 1, line);
  } else {
    lines.insert(lines.begin(), {"[Setting]", line});
  }
  std::ofstream out(holvanter::Utf8Path(file), std::ios::binary | std::ios::trunc);
  for (const std::string& l : lines) out << l << "\r\n";
  out.close();
  if (!out) return Status::Database("cannot write the settings file " + file);
  return file;
}

// A fresh SQLite database file at `path`, in place of one that `force`
// lets go.
Result<std::unique_ptr<holvanter::Connection>> CreateSqliteDatabase(
    const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    std::filesystem::remove(path, ec);
    std::filesystem::remove(path.string() + "-journal", ec);
    if (std::filesystem::exists(path, ec))
      return Status::Database("cannot remove " + path.string());
  }
  return holvanter::Catching([&]() -> std::unique_ptr<holvanter::Connection> {
    return holvanter::SqliteConnection::Open(path.string(), /*create=*/true);
  });
}

// Connects to the database of the file data source at `dsn_path` as the
// component will; the driver's message when the file is no data source or
// the connection fails, and, unless `force`, when the database already holds
// a hotel (its CardRecord table).
Result<std::unique_ptr<holvanter::Connection>> OpenDataSourceForInit(const std::string& dsn_path,
                                                                    bool force) {
  const std::optional<holvanter::OdbcTarget> target =
      holvanter::PlanOdbcOpen(*holvanter::Env::Default(), dsn_path);
  if (!target) {
    return Status::Database(
        dsn_path + " is no ODBC file data source (an [ODBC] section naming a DRIVER and its "
                   "keywords)");
  }
  HV_ASSIGN_OR_RETURN(std::unique_ptr<holvanter::Connection> connection,
                      holvanter::Catching([&]() -> std::unique_ptr<holvanter::Connection> {
                        return std::make_unique<holvanter::OdbcConnection>(
                            target->connection_string, target->numbering_lock_path);
                      }));
  // Without a CardRecord table there is nothing to lose.
  if (!force && connection->Query("SELECT COUNT(*) AS N FROM CardRecord").ok()) {
    return Status::Database(
        "the database already holds a hotel; give --force to replace it with an empty one");
  }
  return connection;
}

}  // namespace

std::optional<CommandFailure> SetUpHotel(const HotelSetup& o, std::ostream& clerk) {
  const auto usage = [](std::string message) {
    return CommandFailure{kExitUsage, std::move(message)};
  };
  // Everything is checked before anything is created: a refused argument
  // leaves no file behind.
  holvanter::HotelPlan plan;
  try {
    plan.rooms = holvanter::ParseRoomSpec(o.rooms);
  } catch (const std::invalid_argument& e) {
    return usage(std::string("--rooms: ") + e.what());
  }
  plan.system_code = o.system_code;
  plan.start_no = o.start_no;
  try {
    holvanter::CheckHotelPlan(plan);
  } catch (const std::invalid_argument& e) {
    return usage(std::string("--system-code: ") + e.what());
  }

  if (o.path.empty() == o.dsn.empty())
    return usage("give either the database file PATH or --dsn FILE.dsn");
  const std::filesystem::path path =
      std::filesystem::absolute(o.dsn.empty() ? o.path : o.dsn).lexically_normal();
  std::size_t room_count = 0;
  for (const auto& range : plan.rooms) room_count += range.last - range.first + 1;
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  if (o.dsn.empty() && existed && !o.force)
    return CommandFailure{kExitRefused, path.string() + " exists already; give --force to "
                                                        "replace it with an empty hotel"};
  // A file data source names a server database that exists already.
  Result<std::unique_ptr<holvanter::Connection>> connection =
      o.dsn.empty() ? CreateSqliteDatabase(path) : OpenDataSourceForInit(path.string(), o.force);
  const Status created =
      connection.ok() ? holvanter::CreateHotelTables(**connection, plan) : connection.status();
  if (!created.ok()) {
    // A half-made SQLite file would only ask for --force next time.
    if (connection.ok()) connection->reset();
    if (o.dsn.empty() && !existed) {
      std::filesystem::remove(path, ec);
      std::filesystem::remove(path.string() + "-journal", ec);
    }
    return CommandFailure{kExitFailedCall, "cannot set up the hotel database " + path.string() +
                                               ": " + created.message()};
  }
  connection->reset();
  clerk << "hotel database " << path.string() << ": " << room_count << " rooms, system code "
            << (o.system_code.empty() ? holvanter::kDefaultSystemCode : o.system_code)
            << ", start number " << o.start_no << "\n";
  if (o.no_settings) {
    clerk << "settings " << SettingsFilePath() << " left as they were\n";
    return std::nullopt;
  }
  const Result<std::string> settings = WriteSettings(path.string(), clerk);
  if (!settings.ok()) return CommandFailure{kExitFailedCall, settings.status().message()};
  clerk << "settings " << settings.value() << " point at it\n";
  return std::nullopt;
}

}  // namespace frontdesk
