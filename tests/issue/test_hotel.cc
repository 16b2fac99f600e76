#include "test_hotel.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "component/call_context.h"
#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/open_database.h"
#include "support/failure.h"

namespace holvanter::testing {
namespace {

namespace fs = std::filesystem;

std::string SettingsFile() { return ComponentEnv().ComponentFolder() + "/Tavoper.ini"; }

// An empty SQLite database file, which the component recognises by its header.
void CreateSqliteFile(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot create " + path);
  sqlite3_close(db);
}

}  // namespace

TestHotel::TestHotel(const std::string& rooms, uint32_t start_no) {
  char tmpl[] = "/tmp/holvanter-hotel-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  folder_ = tmpl;
  component_ = std::make_unique<test_support::TestComponentFolder>(folder_);
  fs::create_directories(folder_ + "/encoder");
  setenv("LYCOMM_SIM_DIR", (folder_ + "/encoder").c_str(), 1);
  unsetenv("LYCOMM_SIM_FAIL");

  if (const char* dsn = std::getenv("HOLVANTER_TEST_DSN"); dsn != nullptr && *dsn != '\0') {
    database_path_ = dsn;
  } else {
    database_path_ = folder_ + "/hotel.db";
    CreateSqliteFile(database_path_);
  }
  if (!OpenDatabase(*Env::Default(), database_path_, connection_))
    throw std::runtime_error("cannot open the test hotel " + database_path_);
  HotelPlan plan;
  plan.rooms = ParseRoomSpec(rooms);
  plan.start_no = start_no;
  Ok(CreateHotelTables(*connection_, plan));
  WriteSettings("[Setting]\nDataBase=" + database_path_ + "\n");
  InsertCard(BlankCardImage());
}

TestHotel::~TestHotel() {
  connection_.reset();
  RemoveSettings();
  component_.reset();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void TestHotel::Reconnect() {
  if (!OpenDatabase(*Env::Default(), database_path_, connection_))
    throw std::runtime_error("cannot open the test hotel " + database_path_);
}

void TestHotel::Execute(const std::string& statement) {
  Ok(connection_->BeginTrans());
  Ok(connection_->Execute(statement));
  Ok(connection_->CommitTrans());
}

RecordSet TestHotel::Query(const std::string& statement) { return Ok(connection_->Query(statement)); }

std::string TestHotel::Value(const std::string& statement) {
  RecordSet rs = Query(statement);
  if (rs.Eof()) return "<none>";
  const FieldValue& v = rs.Field(rs.Columns().at(0));
  return v ? *v : "NULL";
}

std::string TestHotel::card_file() const { return folder_ + "/encoder/port1.card"; }

void TestHotel::InsertCard(const CardImage& image) {
  std::ofstream out(card_file(), std::ios::binary | std::ios::trunc);
  const unsigned char password[4] = {0x5C, 0x1E, 0x93, 0xA7};
  out.write(reinterpret_cast<const char*>(password), 4);
  out.write(reinterpret_cast<const char*>(image.data()), image.size());
}

void TestHotel::RemoveCard() { std::remove(card_file().c_str()); }

CardImage TestHotel::CardOnEncoder() const {
  std::ifstream in(card_file(), std::ios::binary);
  char bytes[32] = {};
  in.read(bytes, 32);
  if (in.gcount() != 32) throw std::runtime_error("no card on the encoder");
  CardImage image;
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(bytes[4 + i]);
  return image;
}

void TestHotel::WriteSettings(const std::string& content) {
  std::ofstream(SettingsFile(), std::ios::trunc) << content;
}

void TestHotel::RemoveSettings() { std::remove(SettingsFile().c_str()); }

}  // namespace holvanter::testing
