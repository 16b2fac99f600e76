// A hotel for the card issue tests: a fresh database with its tables and
// rooms, Tavoper.ini pointing at it in a component folder of the hotel's own
// (the folder the card methods see while the hotel lives), and a simulated
// encoder of its own with a blank card on port 0. Tests of other processes
// share none of these, so they run at the same time.
//
// The database is a new SQLite file unless HOLVANTER_TEST_DSN names an ODBC
// file data source, whose database is then set up anew: the same tests run
// on every backend.
#ifndef HOLVANTER_TESTS_ISSUE_TEST_HOTEL_H_
#define HOLVANTER_TESTS_ISSUE_TEST_HOTEL_H_

#include <memory>
#include <string>

#include "card/card_image.h"
#include "store/database.h"
#include "store/hotel_setup.h"
#include "support/component_env.h"
#include "support/failure.h"

namespace holvanter::testing {

class TestHotel {
 public:
  // Rooms 1:2:0201-0210 and 2:3:0101-0110,0301-0310 unless told otherwise.
  explicit TestHotel(const std::string& rooms = "1:2:0201-0210,2:3:0101-0110,2:3:0301-0310",
                     uint32_t start_no = 0);
  ~TestHotel();
  TestHotel(const TestHotel&) = delete;
  TestHotel& operator=(const TestHotel&) = delete;

  const std::string& database_path() const { return database_path_; }
  const std::string& folder() const { return folder_; }

  // The fixture's own connection, a desk of its own beside the component's.
  Connection& connection() { return *connection_; }
  // A new connection in place of one that the server dropped.
  void Reconnect();

  // Runs a statement of the component's dialect in a transaction of its own.
  void Execute(const std::string& statement);
  RecordSet Query(const std::string& statement);
  // One value of the first row, "NULL" for Null, "<none>" without rows.
  std::string Value(const std::string& statement);
  // The card numbering turn, taken as another desk would take it.
  std::unique_ptr<NumberingTurn> TakeNumberingTurn() { return Ok(connection_->TakeNumberingTurn()); }

  // The card lying on the simulated encoder of port 0.
  void InsertCard(const CardImage& image);
  void RemoveCard();
  CardImage CardOnEncoder() const;
  std::string card_file() const;

  // Tavoper.ini beside the component the card methods see, written or removed.
  static void WriteSettings(const std::string& content);
  static void RemoveSettings();

 private:
  std::string folder_;
  std::unique_ptr<test_support::TestComponentFolder> component_;
  std::string database_path_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace holvanter::testing

#endif  // HOLVANTER_TESTS_ISSUE_TEST_HOTEL_H_
