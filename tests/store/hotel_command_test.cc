// tavocard hotel init and hotel cards, run as a front desk runs them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/env.h"
#include "store/open_database.h"
#include "store/store_test_util.h"

namespace holvanter {
namespace {

using store_test::ReadFile;
using store_test::ScratchFolder;
using store_test::SettingsFileGuard;

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome Shell(const std::string& command) {
  Outcome outcome;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
  const int raw = pclose(pipe);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return outcome;
}

std::string Tavocard(const std::string& arguments) { return std::string(TAVOCARD_PATH) + " " + arguments; }

class HotelCommandTest : public ::testing::Test {
 protected:
  SettingsFileGuard settings_;
  ScratchFolder folder_;
};

TEST_F(HotelCommandTest, InitCreatesWhatSqlite3Shows) {
  const std::string db = folder_.File("hotel.db");
  const Outcome init = Shell(Tavocard("hotel init " + db +
                                    " --rooms 1:1:0101-0103,2:5:0501 --system-code AB123 --start-no 250"));
  ASSERT_EQ(init.status, 0) << init.output;

  EXPECT_EQ(Shell("sqlite3 " + db + " .tables").output, "CardRecord  RoomList    SpecRecord\n");
  const Outcome rows = Shell("sqlite3 " + db +
                           " \"SELECT InfoNo, StartNo, length(CardID), CardID = upper(CardID) FROM SpecRecord;"
                           " SELECT BuildNo, FloorNo, RoomNo, State, quote(CardQTY) FROM RoomList ORDER BY 1, 2, 3;"
                           " SELECT count(*) FROM CardRecord;\"");
  EXPECT_EQ(rows.output,
            "1|250|16|1\n"
            "1|1|0101||NULL\n1|1|0102||NULL\n1|1|0103||NULL\n2|5|0501||NULL\n"
            "0\n");
  const Outcome indexes = Shell("sqlite3 " + db + " \"SELECT sql FROM sqlite_master WHERE type = 'index' "
                                                "AND sql IS NOT NULL ORDER BY name;\"");
  EXPECT_EQ(indexes.output,
            "CREATE INDEX CardRecord_CardNo ON CardRecord (CardNo)\n"
            "CREATE UNIQUE INDEX CardRecord_InfoNo ON CardRecord (InfoNo)\n");

  // (BuildNo, FloorNo, RoomNo) is the key of RoomList.
  EXPECT_NE(Shell("sqlite3 " + db + " \"INSERT INTO RoomList (BuildNo, FloorNo, RoomNo) "
                                  "VALUES (2, 5, '0501')\"").status, 0);

  EXPECT_EQ(ReadFile(SettingsFileGuard::Path()), "[Setting]\r\nDataBase=" + db + "\r\n");
  std::unique_ptr<Connection> connection;
  ASSERT_TRUE(OpenDatabase(db, connection));
}

TEST_F(HotelCommandTest, InitRefusesToOverwriteUnlessForced) {
  const std::string db = folder_.File("hotel.db");
  ASSERT_EQ(Shell(Tavocard("hotel init " + db + " --rooms 1:1:0101")).status, 0);
  Shell("sqlite3 " + db + " \"INSERT INTO CardRecord (InfoNo, CardNo) VALUES (1, '00000001')\"");

  const Outcome again = Shell(Tavocard("hotel init " + db + " --rooms 1:1:0101-0102"));
  EXPECT_NE(again.status, 0);
  EXPECT_NE(again.output.find("--force"), std::string::npos) << again.output;
  EXPECT_EQ(Shell("sqlite3 " + db + " \"SELECT count(*) FROM CardRecord\"").output, "1\n");

  const Outcome forced = Shell(Tavocard("hotel init " + db + " --rooms 1:1:0101-0102 --force"));
  ASSERT_EQ(forced.status, 0) << forced.output;
  EXPECT_EQ(Shell("sqlite3 " + db + " \"SELECT count(*) FROM CardRecord; SELECT count(*) FROM RoomList\"").output,
            "0\n2\n");

  const Outcome bad_rooms = Shell(Tavocard("hotel init " + folder_.File("other.db") + " --rooms 1:1:0000"));
  EXPECT_NE(bad_rooms.status, 0);
  EXPECT_FALSE(std::filesystem::exists(folder_.File("other.db")));
}

TEST_F(HotelCommandTest, CardsListsNewestFirst) {
  const std::string db = folder_.File("宾馆 hotel.db");
  ASSERT_EQ(Shell(Tavocard("hotel init '" + db + "' --rooms 1:1:0101")).status, 0);
  Shell("sqlite3 '" + db + "' \"INSERT INTO CardRecord (InfoNo, CardNo, cardName, Name_F) VALUES "
      "(1, '00000101', '宾客卡', 'Li'), (2, '00000102', '别墅卡', 'Wang')\"");

  const Outcome text = Shell(Tavocard("hotel cards"));
  ASSERT_EQ(text.status, 0) << text.output;
  const auto wang = text.output.find("00000102 (000066)");
  const auto li = text.output.find("00000101 (000065)");
  ASSERT_NE(wang, std::string::npos) << text.output;
  ASSERT_NE(li, std::string::npos) << text.output;
  EXPECT_LT(wang, li);

  const Outcome json = Shell(Tavocard("hotel cards --json"));
  ASSERT_EQ(json.status, 0) << json.output;
  const auto rows = nlohmann::json::parse(json.output);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["Name_F"], "Wang");
  EXPECT_EQ(rows[1]["cardName"], "宾客卡");
  EXPECT_TRUE(rows[1]["Date_F"].is_null());

  settings_.Remove();
  EXPECT_NE(Shell(Tavocard("hotel cards")).status, 0);
}

}  // namespace
}  // namespace holvanter
