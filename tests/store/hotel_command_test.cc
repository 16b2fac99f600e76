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
#include "tests/support/stays.h"

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
  settings_.Remove();  // a new settings file holds the one line
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
  ASSERT_TRUE(OpenDatabase(*Env::Default(), db, connection));
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

}

TEST_F(HotelCommandTest, InitChecksEverythingBeforeItCreatesAnything) {
  const std::string other = folder_.File("other.db");
  for (const char* arguments : {" --rooms 1:1:0000", " --rooms 1:1:0101 --system-code AB",
                                " --rooms 1:1:0101 --system-code ABCDEF"}) {
    const Outcome refused = Shell(Tavocard("hotel init " + other + arguments));
    EXPECT_EQ(refused.status, 64) << arguments << ": " << refused.output;
    EXPECT_FALSE(std::filesystem::exists(other)) << arguments;
  }
  EXPECT_EQ(Shell(Tavocard("hotel init " + other + " --rooms 1:1:0101")).status, 0);
}

TEST_F(HotelCommandTest, InitReplacesOnlyTheDataBaseLineOrLeavesTheSettingsAlone) {
  const std::string live = folder_.File("live.db"), trial = folder_.File("trial.db");
  ASSERT_EQ(Shell(Tavocard("hotel init " + live + " --rooms 1:1:0101")).status, 0);
  const std::string with_log = "[Setting]\r\nDataBase=" + live + "\r\n[Log]\r\nFile=/tmp/x.log\r\n";
  settings_.Write(with_log);

  const Outcome kept = Shell(Tavocard("hotel init " + trial + " --rooms 1:1:0101 --no-settings"));
  ASSERT_EQ(kept.status, 0) << kept.output;
  EXPECT_EQ(ReadFile(SettingsFileGuard::Path()), with_log);

  const Outcome moved = Shell(Tavocard("hotel init " + trial + " --rooms 1:1:0101 --force"));
  ASSERT_EQ(moved.status, 0) << moved.output;
  EXPECT_NE(moved.output.find("replacing DataBase=" + live), std::string::npos) << moved.output;
  EXPECT_EQ(ReadFile(SettingsFileGuard::Path()),
            "[Setting]\r\nDataBase=" + trial + "\r\n[Log]\r\nFile=/tmp/x.log\r\n");
}

TEST_F(HotelCommandTest, CardsListsNewestFirst) {
  const std::string db = folder_.File("宾馆 hotel.db");
  ASSERT_EQ(Shell(Tavocard("hotel init '" + db + "' --rooms 1:1:0101")).status, 0);
  Shell("sqlite3 '" + db + "' \"INSERT INTO CardRecord (InfoNo, CardNo, cardName, Name_F) VALUES "
      "(1, '00000101', '宾客卡', 'Li'), (2, '00000102', '别墅卡', 'Wang'), "
      "(3, '00000103', '宾客卡', 'Bad' || X'FF' || 'Name')\"");

  const Outcome text = Shell(Tavocard("hotel cards"));
  ASSERT_EQ(text.status, 0) << text.output;
  const auto wang = text.output.find("00000102 (000066)");
  EXPECT_LT(text.output.find("00000103 (000067)"), wang);
  const auto li = text.output.find("00000101 (000065)");
  ASSERT_NE(wang, std::string::npos) << text.output;
  ASSERT_NE(li, std::string::npos) << text.output;
  EXPECT_LT(wang, li);

  const Outcome json = Shell(Tavocard("hotel cards --json"));
  ASSERT_EQ(json.status, 0) << json.output;
  const auto rows = nlohmann::json::parse(json.output);
  ASSERT_EQ(rows.size(), 3u);
  // A name that is not UTF-8 arrives with a replacement character.
  EXPECT_EQ(rows[0]["holder"], "Bad\xEF\xBF\xBDName");
  EXPECT_EQ(rows[1]["holder"], "Wang");
  EXPECT_EQ(rows[1]["card_no"], "00000102");
  EXPECT_EQ(rows[1]["card_no_hex"], "000066");
  EXPECT_TRUE(rows[2]["issued_at"].is_null());
  EXPECT_TRUE(rows[2]["open"].get<bool>());

  settings_.Remove();
  const Outcome missing = Shell(Tavocard("hotel cards"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find(SettingsFileGuard::Path()), std::string::npos) << missing.output;
}

// The card commands on a hotel and the simulated encoder: the guards, the
// answers and the exit statuses a clerk and a script rely on.
class CardCommandTest : public HotelCommandTest {
 protected:
  void SetUp() override {
    setenv("LYCOMM_SIM_DIR", folder_.File("encoder").c_str(), 1);
    unsetenv("LYCOMM_SIM_FAIL");
    db_ = folder_.File("hotel.db");
    ASSERT_EQ(Shell(Tavocard("hotel init " + db_ + " --rooms 1:2:0201-0205")).status, 0);
    ASSERT_EQ(Shell(Tavocard("encoder insert")).status, 0);
  }
  void TearDown() override { unsetenv("LYCOMM_SIM_DIR"); }
  std::string Sql(const std::string& query) { return Shell("sqlite3 " + db_ + " \"" + query + "\"").output; }
  static std::string Issue(const std::string& room) {
    return "issue" + Stay() + " --building 1 --floor 2 --name 'Li Wei' --room '" + room + "'";
  }
  // A live stay: begun yesterday, ending the day after tomorrow.
  static std::string Stay() {
    return " --begin " + test_support::StayStamp(-1, "1400") + " --end " + test_support::StayStamp(2);
  }
  std::string db_;
};

TEST_F(CardCommandTest, ExitStatusesAndGuards) {
  const std::string villa =
      "villa" + Stay() + " --building 1 --floor 2 --name Wang --rooms ";
  struct Case {
    const char* what;
    std::string arguments;
    std::string fail;  // LYCOMM_SIM_FAIL, or another variable given as NAME=VALUE
    int status;
    const char* says;
  } cases[] = {
      {"version", "--version", "", 0, "tavocard 1."},
      {"unknown command", "frobnicate", "", 64, "unknown command 'frobnicate'"},
      // The Windows service's command points to the systemd unit here.
      {"Windows service", "service install --config agent.ini", "", 64,
       "holvanter-agent.service"},
      {"missing option", "issue --room 0201", "", 64, "--begin"},
      {"empty room", Issue(""), "", 64, "tavocard checkout"},
      {"room 0", Issue("0"), "", 64, "tavocard checkout"},
      {"room 0000", Issue(" 0000 "), "", 64, "tavocard checkout"},
      {"villa 00000000", villa + "00000000", "", 64, "tavocard checkout"},
      {"encoder does not open", Issue("0201"), "open", 1, "-99"},
      {"room not four figures", Issue("02a1"), "", 64, "four figures"},
      {"write status 7", Issue("0201"), "write=7", 2, "write status 7"},
      {"written", Issue("0202"), "", 0, "card number  00000002 (hex 000002)"},
      // The live card of 0202 lies on the encoder from here: what cannot
      // be read or looked up is not written over, a stay that has ended is
      // not cut, and a check-out that could not erase keeps its record.
      {"a card that cannot be read", Issue("0203") + " --replace", "read", 1,
       "could not be read, so it was not written over"},
      {"a card whose record cannot be looked up", Issue("0203") + " --replace",
       "HOLVANTER_SETTINGS_FOLDER=" + folder_.File("nowhere"), 1, "could not be looked up"},
      {"a stay that has ended",
       "issue --begin " + test_support::StayStamp(-3) + " --end " +
           test_support::StayStamp(0, "0000") + " --building 1 --floor 2 --room 0203 --name Li --replace",
       "", 1, "its card would open no door"},
      {"a replace whose erase fails", Issue("0203") + " --replace", "write", 2,
       "card 00000002 was not erased (write status 0), so it still opens its rooms; its record "
       "stays open"},
      {"a check-out whose erase fails", "checkout", "write=9", 2, "its record stays open"},
      {"read", "read", "", 0, "rooms        0202"},
      {"read, encoder does not open", "read", "open", 1, "did not open"},
      {"check-out", "checkout", "", 0, "card number  00000002 (hex 000002)"},
      {"check-out of an erased card", "checkout", "", 1, "-700"},
      // Every command ends by the one table: usage, refusal, failed call.
      {"an option the command lacks", "read --bogus", "", 64, "--bogus"},
      {"decode: not an image", "decode 0G" + std::string(54, 'F'), "", 64,
       "the image holds '0G' at figure 1"},
      {"decode: no card", "decode " + std::string(56, 'F'), "", 1, "-700"},
      {"serve: a check-in time that is none", "serve --checkin-time 25:00", "", 64,
       "--checkin-time '25:00' is not HH:MM"},
      {"serve: a key coder that is none", "serve --fias 127.0.0.1:9 --fias-coder 1=300", "", 64,
       "--fias-coder '1=300'"},
      {"serve: a join without a desk name", "serve --join 127.0.0.1:9", "", 64, "--desk NAME"},
      {"fias-authkey: a key file there already", "fias-authkey new --file " + db_, "", 1,
       "exists already and is kept"},
      {"fias-authkey: a key file that cannot be made",
       "fias-authkey new --file " + db_ + "/fias-authkey", "", 3, "fias-authkey"},
      {"desks: a registry that cannot be read", "desks list --registry " + db_ + "/desks", "", 3,
       "desks"},
      {"card taken off", "encoder remove", "", 0, "taken off"},
      {"no card to show", "encoder show", "", 1, "no card lies"},
  };
  for (const auto& c : cases) {
    const std::string env =
        c.fail.find('=') != std::string::npos && c.fail.find("write=") != 0 ? c.fail
                                                                            : "LYCOMM_SIM_FAIL=" + c.fail;
    const Outcome outcome = Shell(env + " " + Tavocard(c.arguments));
    EXPECT_EQ(outcome.status, c.status) << c.what << ": " << outcome.output;
    EXPECT_NE(outcome.output.find(c.says), std::string::npos) << c.what << ": " << outcome.output;
  }
  // The guards checked nothing out; the refused write left no open record.
  EXPECT_EQ(Sql("SELECT CardNo, ChkOutMark FROM CardRecord ORDER BY InfoNo"),
            "00000001|#1\n00000002|#1\n");
  for (const char* help : {"--help", "issue --help"})
    EXPECT_NE(Shell(Tavocard(help)).output.find("64  usage"), std::string::npos) << help;
}

// ISO 8601 of a stamp YYYYMMDDhhmm in a zone of +08:00 all year.
std::string ShanghaiIso(const std::string& stamp) {
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + "T" +
         stamp.substr(8, 2) + ":" + stamp.substr(10, 2) + ":00+08:00";
}

TEST_F(CardCommandTest, JsonAnswersCarryTheWholeCard) {
  // The desk's zone is the test's own; its offset shows in every time.
  const test_support::ScopedTimeZone zone("Asia/Shanghai");
  // The end as the PMS of another zone may give it: the desk's own moment.
  const std::string end = test_support::StayStamp(2);
  const std::string end_utc = end.substr(0, 4) + "-" + end.substr(4, 2) + "-" + end.substr(6, 2) +
                              "T04:00:00Z";
  const Outcome issued = Shell(Tavocard(
      "villa --json --begin " + test_support::StayStamp(-1, "1400") + " --end " + end_utc +
      " --building 1 --floor 2 --rooms 02030204 --name '王 Wang'"));
  ASSERT_EQ(issued.status, 0) << issued.output;
  const auto checked_out = [] {
    const Outcome o = Shell(Tavocard("checkout --json"));
    return std::make_pair(o.status, nlohmann::json::parse(o.output));
  }();
  const nlohmann::json issue = nlohmann::json::parse(issued.output);
  ASSERT_EQ(checked_out.first, 0);
  // A villa card carries no begin: the check-out read none.
  EXPECT_EQ(issue["begin"], ShanghaiIso(test_support::StayStamp(-1, "1400"))) << issue;
  EXPECT_TRUE(checked_out.second["begin"].is_null()) << checked_out.second;
  for (const nlohmann::json& answer : {issue, checked_out.second}) {
    EXPECT_EQ(answer["card_no"], "00000001") << answer;
    EXPECT_EQ(answer["card_no_hex"], "000001") << answer;
    EXPECT_EQ(answer["kind"], "villa") << answer;
    EXPECT_EQ(answer["holder"], "王 Wang") << answer;
    EXPECT_EQ(answer["building"], 1) << answer;
    EXPECT_EQ(answer["floor"], 2) << answer;
    EXPECT_EQ(answer["rooms"], nlohmann::json({"0203", "0204"})) << answer;
    EXPECT_EQ(answer["end"], ShanghaiIso(end)) << answer;
    EXPECT_EQ(answer["result"], 0) << answer;
    EXPECT_EQ(answer["meaning"], "done") << answer;
  }

  // A refusal says what the component looked at.
  settings_.Write("[Setting]\r\nDataBase=" + folder_.File("gone.db") + "\r\n");
  const Outcome refused = Shell(Tavocard(Issue("0201") + " --json"));
  EXPECT_EQ(refused.status, 1);
  const nlohmann::json answer = nlohmann::json::parse(refused.output);
  EXPECT_EQ(answer["result"], -820);
  EXPECT_NE(answer["reason"].get<std::string>().find(folder_.File("gone.db")), std::string::npos);
  EXPECT_NE(answer["reason"].get<std::string>().find(SettingsFileGuard::Path()), std::string::npos);
}

}  // namespace
}  // namespace holvanter
