#include "store/store_test_util.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/settings.h"

namespace holvanter::store_test {

ScratchFolder::ScratchFolder() {
  char tmpl[] = "/tmp/holvanter-store-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScratchFolder::File(const std::string& name) const {
  const std::string file = path_ + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  return file;
}

constexpr char kSettingsFolderVariable[] = "HOLVANTER_SETTINGS_FOLDER";

std::string SettingsFileGuard::Path() {
  const char* folder = getenv(kSettingsFolderVariable);
  if (folder == nullptr || *folder == '\0') throw std::logic_error("no SettingsFileGuard lives");
  return std::string(folder) + "/" + kSettingsFileName;
}

SettingsFileGuard::SettingsFileGuard() {
  if (const char* before = getenv(kSettingsFolderVariable); before != nullptr) saved_ = before;
  setenv(kSettingsFolderVariable, folder_.path().c_str(), 1);
}

SettingsFileGuard::~SettingsFileGuard() {
  if (saved_) {
    setenv(kSettingsFolderVariable, saved_->c_str(), 1);
  } else {
    unsetenv(kSettingsFolderVariable);
  }
}

void SettingsFileGuard::Write(const std::string& content) const { WriteFile(Path(), content); }

void SettingsFileGuard::Remove() const {
  std::error_code ec;
  std::filesystem::remove(Path(), ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CreateSqliteFile(const std::string& path) {
  sqlite3* db = nullptr;
  const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, "CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT)", nullptr,
                               nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  if (!ok) throw std::runtime_error("cannot create " + path);
}

std::string Value(Connection& connection, const std::string& statement) {
  RecordSet records = Ok(connection.Query(statement));
  if (records.Eof()) return "<none>";
  const FieldValue& value = records.Field(records.Columns().at(0));
  return value ? *value : "NULL";
}

void ExpectNumberingTurnsOneAtATime(Connection& first, Connection& second) {
  auto turn = Ok(first.TakeNumberingTurn());
  std::atomic<bool> second_has_turn{false};
  std::thread waiter([&] {
    auto next = Ok(second.TakeNumberingTurn());
    second_has_turn = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(second_has_turn) << "two connections held the numbering turn at once";
  turn.reset();
  waiter.join();
  EXPECT_TRUE(second_has_turn);
}

}  // namespace holvanter::store_test
