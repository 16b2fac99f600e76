// Scratch folders and a settings file of the test's own, for the store
// tests.
#ifndef HOLVANTER_TESTS_STORE_STORE_TEST_UTIL_H_
#define HOLVANTER_TESTS_STORE_STORE_TEST_UTIL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "store/database.h"
#include "support/failure.h"

namespace holvanter::store_test {

// A fresh folder under /tmp, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::string& path() const { return path_; }
  // A path in the folder; its parent folders are made.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// A settings folder of the test's own: while the guard lives,
// HOLVANTER_SETTINGS_FOLDER names a fresh scratch folder, so that the core in
// the test and every tavocard it runs read and write Tavoper.ini there, and
// tests in other processes run at the same time. The folder holds no
// Tavoper.ini at first; the variable is put back when the guard ends.
class SettingsFileGuard {
 public:
  SettingsFileGuard();
  ~SettingsFileGuard();
  // The Tavoper.ini of the guard that lives.
  static std::string Path();
  void Write(const std::string& content) const;
  void Remove() const;

 private:
  ScratchFolder folder_;
  std::optional<std::string> saved_;  // the variable before
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// An empty SQLite database file at `path`, holding table t.
void CreateSqliteFile(const std::string& path);

using test_support::Failure;
using test_support::FailureOf;

// One value of the first row of a query, "NULL" for Null, "<none>" without rows.
std::string Value(Connection& connection, const std::string& statement);

// While `first` holds the numbering turn, `second` waits for it; it gets the
// turn once `first` gives it back.
void ExpectNumberingTurnsOneAtATime(Connection& first, Connection& second);

}  // namespace holvanter::store_test

#endif  // HOLVANTER_TESTS_STORE_STORE_TEST_UTIL_H_
