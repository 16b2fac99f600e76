// tavocard hotel init --dsn against the data source in HOLVANTER_TEST_DSN,
// and tavocard hotel rooms there or, without one, on an SQLite file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hosts/frontdesk/desk_time.h"
#include "hosts/frontdesk/hotel.h"
#include "platform/env.h"
#include "store/odbc_open.h"
#include "store/open_database.h"
#include "store/store_test_util.h"

namespace holvanter {
namespace {

using store_test::SettingsFileGuard;
using store_test::Value;

int Tavocard(const std::string& arguments) {
  const std::string command = std::string(TAVOCARD_PATH) + " " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What `tavocard ARGUMENTS` printed (standard output and error) and its
// exit status.
std::pair<int, std::string> TavocardSays(const std::string& arguments) {
  const std::string command = std::string(TAVOCARD_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string said;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) said.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
}

// The room list kept after init, on the server of HOLVANTER_TEST_DSN or an
// SQLite file: each change whole or not at all, a room with a card out kept.
TEST(HotelRooms, AddListAndRemoveKeepTheListWhole) {
  store_test::ScratchFolder folder;
  SettingsFileGuard settings;
  const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
  const std::string where = dsn != nullptr && *dsn != '\0' ? std::string("--dsn ") + dsn
                                                           : folder.File("hotel.db");
  ASSERT_EQ(Tavocard("hotel init --force " + where + " --rooms 1:1:0101-0103,2:1:0101"), 0);
  std::unique_ptr<Connection> db;
  std::string why;
  ASSERT_TRUE(OpenDatabase(*Env::Default(), where.substr(where.rfind(' ') + 1), db, &why)) << why;
  // Cards out: a guest card for 1:1:0102, a villa card for 1:1:0102 and
  // 0103, and a checked-out one for 1:1:0101.
  Ok(db->BeginTrans());
  for (const char* row : {"1, '00000101', '0102', ''", "2, '00000102', '0102,0103', NULL",
                          "3, '00000103', '0101', '#1'"})
    Ok(db->Execute(std::string("INSERT INTO CardRecord (InfoNo, CardNo, RoomNo, ChkOutMark, "
                               "BuildNo, FloorNo) VALUES (") + row + ", 1, 1)"));
  Ok(db->CommitTrans());

  const struct {
    std::string arguments;
    int status;
    std::string said;  // a part of what it printed
    std::string rooms;  // RoomList after it, building:floor:room
  } steps[] = {
      {"hotel rooms list", 0, "4 room(s) in ", "1:1:0101 1:1:0102 1:1:0103 2:1:0101"},
      {"hotel rooms add 1:2:0201-0203,2:1:0101", 0,
       "room 2:1:0101 is in the room list already\nadded 3 room(s)",
       "1:1:0101 1:1:0102 1:1:0103 1:2:0201 1:2:0202 1:2:0203 2:1:0101"},
      {"hotel rooms add 1:2:0204,1:2:0204", 0, "added 1 room(s)",
       "1:1:0101 1:1:0102 1:1:0103 1:2:0201 1:2:0202 1:2:0203 1:2:0204 2:1:0101"},
      {"hotel rooms add 1:2:0209-0205", 64, "the first room comes after the last", ""},
      {"hotel rooms add 1:100:0101", 64, "floor must be 1 to 99", ""},
      // The same number in two buildings: which one is asked.
      {"hotel rooms remove 0101", 1, "name the one to remove: 1:1:0101, 2:1:0101", ""},
      // All or nothing: 0201 stays while 0103 has the villa card out.
      {"hotel rooms remove 0201 0103", 1, "room 0103 (building 1, floor 1) has card 00000102 out",
       ""},
      {"hotel rooms remove 0102", 1, "has card 00000101 out", ""},
      {"hotel rooms remove 0299", 1, "room 0299 is not in the room list", ""},
      {"hotel rooms remove 2:1:0101 1:2:0201-0202 0204", 0, "removed 4 room(s)",
       "1:1:0101 1:1:0102 1:1:0103 1:2:0203"},
      // A checked-out card holds no room.
      {"hotel rooms remove 1:1:0101", 0, "removed 1 room(s)", "1:1:0102 1:1:0103 1:2:0203"},
  };
  std::string rooms = "1:1:0101 1:1:0102 1:1:0103 2:1:0101";
  for (const auto& step : steps) {
    const auto [status, said] = TavocardSays(step.arguments);
    EXPECT_EQ(status, step.status) << step.arguments << ": " << said;
    EXPECT_NE(said.find(step.said), std::string::npos) << step.arguments << ": " << said;
    if (!step.rooms.empty()) rooms = step.rooms;
    std::string listed;
    Result<RecordSet> queried =
        db->Query("SELECT BuildNo, FloorNo, RoomNo FROM RoomList ORDER BY BuildNo, FloorNo, RoomNo");
    ASSERT_TRUE(queried.ok()) << queried.status().message();
    for (RecordSet& r = *queried; !r.Eof(); r.MoveNext())
      listed += (listed.empty() ? "" : " ") + r.Field("BuildNo").value_or("") + ":" +
                r.Field("FloorNo").value_or("") + ":" + r.Field("RoomNo").value_or("");
    EXPECT_EQ(listed, rooms) << step.arguments;
  }
  const auto [status, json] = TavocardSays("hotel rooms list --json");
  EXPECT_EQ(status, 0);
  EXPECT_NE(json.find("\"room\": \"0203\""), std::string::npos) << json;
}

TEST(HotelInitDsn, SetsUpTheServerHotelAndPointsTheSettingsAtTheDataSource) {
  const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
  if (dsn == nullptr || *dsn == '\0') GTEST_SKIP() << "HOLVANTER_TEST_DSN names no data source";
  SettingsFileGuard settings;

  ASSERT_EQ(Tavocard(std::string("hotel init --force --dsn ") + dsn +
                     " --rooms 1:1:0101-0120,2:3:0301 --start-no 500"),
            0);
  EXPECT_EQ(store_test::ReadFile(SettingsFileGuard::Path()),
            std::string("[Setting]\r\nDataBase=") + dsn + "\r\n");

  std::unique_ptr<Connection> db = OpenOdbcDatabase(*Env::Default(), dsn);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(Value(*db, "SELECT COUNT(*) FROM RoomList"), "21");
  EXPECT_EQ(Value(*db, "SELECT COUNT(*) FROM RoomList WHERE BuildNo = 2 AND FloorNo = 3 AND "
                       "RoomNo = '0301'"),
            "1");
  EXPECT_EQ(Value(*db, "SELECT StartNo FROM SpecRecord WHERE InfoNo = 1"), "500");
  EXPECT_EQ(Value(*db, "SELECT COUNT(*) FROM CardRecord"), "0");
  if (db->Dialect() == SqlDialect::kMariaDb) {
    // On a server whose own character set is latin1: transactional tables
    // that hold any Chinese name, with their keys and indexes.
    EXPECT_EQ(Value(*db, "SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                         "DATABASE() AND ENGINE = 'InnoDB' AND TABLE_COLLATION LIKE 'utf8mb4%'"),
              "3");
    EXPECT_EQ(Value(*db, "SELECT GROUP_CONCAT(DISTINCT CONCAT(TABLE_NAME, '.', INDEX_NAME, "
                         "IF(NON_UNIQUE = 0, '!', '')) ORDER BY TABLE_NAME, INDEX_NAME) FROM "
                         "information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE()"),
              "CardRecord.CardRecord_CardNo,CardRecord.CardRecord_InfoNo!,RoomList.PRIMARY!,"
              "SpecRecord.PRIMARY!");
  }

  // A hotel that is there already is kept unless --force says otherwise.
  Ok(db->BeginTrans());
  Ok(db->Execute("UPDATE SpecRecord SET StartNo = 7 WHERE InfoNo = 1"));
  Ok(db->CommitTrans());
  EXPECT_NE(Tavocard(std::string("hotel init --dsn ") + dsn + " --rooms 1:1:0101"), 0);
  EXPECT_EQ(Value(*db, "SELECT StartNo FROM SpecRecord WHERE InfoNo = 1"), "7");
  EXPECT_EQ(Value(*db, "SELECT COUNT(*) FROM RoomList"), "21");
}

// The front desk's listings in the server's own SQL: a villa card's rooms,
// a holder's name in any ASCII case, LIKE wildcards in it taken literally,
// and dates as the stamps the stays are given in.
TEST(HotelInitDsn, ListsRoomsAndCardsOnTheServer) {
  const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
  if (dsn == nullptr || *dsn == '\0') GTEST_SKIP() << "HOLVANTER_TEST_DSN names no data source";
  SettingsFileGuard settings;
  ASSERT_EQ(Tavocard(std::string("hotel init --force --dsn ") + dsn + " --rooms 1:1:0101-0103"), 0);
  std::unique_ptr<Connection> db = OpenOdbcDatabase(*Env::Default(), dsn);
  ASSERT_NE(db, nullptr);
  Ok(db->BeginTrans());
  for (const char* row : {"1, '00000101', 'Li Wei', '0101', '', #2025-12-09 12:00:00#",
                          "2, '00000102', 'Wu 50%_Off!', '0101,0102', '', #2025-12-10 11:30:00#",
                          "3, '00000103', 'li again', '0102', '#1', #2025-12-11 12:00:00#"})
    Ok(db->Execute(std::string("INSERT INTO CardRecord (InfoNo, CardNo, Name_F, RoomNo, "
                               "ChkOutMark, EndDate, BuildNo, FloorNo) VALUES (") + row + ", 1, 1)"));
  Ok(db->CommitTrans());

  const frontdesk::RoomListing rooms = frontdesk::ListRooms({.newest_card = true});
  ASSERT_EQ(rooms.failure, "");
  ASSERT_EQ(rooms.rows.size(), 3u);
  for (int i : {0, 1}) {
    ASSERT_TRUE(rooms.rows[i].newest) << rooms.rows[i].room;
    EXPECT_EQ(rooms.rows[i].newest->card_no + " " + rooms.rows[i].newest->end,
              "00000102 202512101130");
  }
  EXPECT_FALSE(rooms.rows[2].newest);

  const std::pair<frontdesk::CardFilter, std::string> cases[] = {
      {{.holder = "LI"}, "li again,Li Wei,"},  {{.holder = "%_o"}, "Wu 50%_Off!,"},
      {{.holder = "0_"}, ""},                   {{.holder = "!"}, "Wu 50%_Off!,"},
      {{.room = "0102"}, "li again,Wu 50%_Off!,"}, {{.limit = 1, .room = "0101"}, "Wu 50%_Off!,"},
  };
  for (const auto& [filter, names] : cases) {
    const frontdesk::CardListing cards = frontdesk::ListCards(filter);
    EXPECT_EQ(cards.failure, "");
    std::string listed;
    for (const frontdesk::CardRow& card : cards.rows) listed += card.Text("Name_F") + ",";
    EXPECT_EQ(listed, names) << filter.room << " " << filter.holder;
  }
}

// 1,200 cards on the server, read a page of 500 at a time, each page before
// the last card of the one before: every record once, newest first; the
// room list and the open records as the issue guards read them.
TEST(HotelInitDsn, PagesThroughCardsAndChecksRoomsOnTheServer) {
  const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
  if (dsn == nullptr || *dsn == '\0') GTEST_SKIP() << "HOLVANTER_TEST_DSN names no data source";
  SettingsFileGuard settings;
  ASSERT_EQ(Tavocard(std::string("hotel init --force --dsn ") + dsn + " --rooms 1:1:0101-0103"), 0);
  std::unique_ptr<Connection> db = OpenOdbcDatabase(*Env::Default(), dsn);
  ASSERT_NE(db, nullptr);
  Ok(db->BeginTrans());
  for (int i = 1; i <= 1200; ++i) {
    char row[160];
    std::snprintf(row, sizeof row, "%d, '%08d', 'Guest %d', '0101', '%s', #2025-12-09 12:00:00#, 1, 1",
                  i, 1000 + i, i, i == 1200 ? "" : "#1");
    Ok(db->Execute(std::string("INSERT INTO CardRecord (InfoNo, CardNo, Name_F, RoomNo, "
                               "ChkOutMark, EndDate, BuildNo, FloorNo) VALUES (") + row + ")"));
  }
  Ok(db->CommitTrans());

  std::vector<std::string> seen;
  std::string before;
  for (int page = 0; page < 5; ++page) {
    const frontdesk::CardListing cards = frontdesk::ListCards({.limit = 500, .before = before});
    ASSERT_EQ(cards.failure, "");
    for (const frontdesk::CardRow& card : cards.rows) seen.push_back(card.Text("CardNo"));
    if (cards.rows.size() < 500) break;
    before = seen.back();
  }
  ASSERT_EQ(seen.size(), 1200u);
  for (int i = 0; i < 1200; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%08d", 2200 - i);
    ASSERT_EQ(seen[i], number) << i;
  }
  const frontdesk::CardListing newest = frontdesk::ListCards({.limit = 1});
  ASSERT_EQ(newest.rows.size(), 1u);
  const nlohmann::json item = frontdesk::ToItem(newest.rows[0]);
  // The desk's local time with its offset, which reads back as the stamp.
  const std::string end = item["end"];
  EXPECT_EQ(end.rfind("2025-12-09T12:00:00", 0), 0u) << end;
  EXPECT_EQ(frontdesk::StampOfTime(end).value_or(""), "202512091200") << end;
  EXPECT_EQ(item["building"], 1);
  EXPECT_TRUE(item["open"].get<bool>());

  EXPECT_EQ(frontdesk::MissingRoom(1, 1, {"0101", "0103"}), "");
  EXPECT_NE(frontdesk::MissingRoom(1, 1, {"0101", "0104"}).find("0104"), std::string::npos);
  EXPECT_NE(frontdesk::MissingRoom(1, 2, {"0101"}), "");
  const std::optional<frontdesk::OpenRecord> open = frontdesk::OpenRecordOf("00002200");
  ASSERT_TRUE(open);
  EXPECT_EQ(open->holder + " " + open->end, "Guest 1200 202512091200");
  EXPECT_FALSE(frontdesk::OpenRecordOf("00002199"));
}

TEST(HotelInitDsn, AFileThatIsNoDataSourceIsRefused) {
  store_test::ScratchFolder folder;
  SettingsFileGuard settings;
  settings.Remove();
  const std::string not_dsn = folder.File("hotel.dsn");
  store_test::WriteFile(not_dsn, "[Setting]\nDataBase=/nowhere\n");
  EXPECT_EQ(Tavocard("hotel init --dsn " + not_dsn + " --rooms 1:1:0101"), 3);  // failed
  EXPECT_FALSE(Env::Default()->FileExists(SettingsFileGuard::Path()));
}

}  // namespace
}  // namespace holvanter
