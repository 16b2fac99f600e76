// Guest and villa card issue and check-out through the public C++ face, on a
// real hotel database and the simulated encoder.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>
#include <string>

#include "card/card_image.h"
#include "component/call_context.h"
#include "component/diagnostic_log.h"
#include "component/thread_state.h"
#include "holvanter/holvanter.h"
#include "holvanter/tavo_card.h"
#include "store/database.h"
#include "support/component_env.h"
#include "support/failure.h"
#include "test_hotel.h"

namespace holvanter {
namespace {

using test_support::FailureOf;
using namespace std::string_literals;
using testing::TestHotel;

constexpr char kBegin[] = "200710201230";
constexpr char kEnd[] = "200710221200";

class IssueFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    hotel_ = std::make_unique<TestHotel>();
    ASSERT_EQ(card_.OpenPort(0), 1);
  }
  void TearDown() override {
    card_.ClosePort();
    hotel_.reset();
  }

  int16_t Guest(const std::string& rooms, std::string& card_no, int16_t bldg = 1,
                int16_t floor = 2, const std::string& begin = kBegin,
                const std::string& end = kEnd, const std::string& name = "Li Wei") {
    return card_.WriteCard(0, begin, end, card_no, bldg, floor, rooms, name);
  }
  int16_t Villa(const std::string& rooms, std::string& card_no, int16_t bldg = 2,
                int16_t floor = 3, const std::string& begin = kBegin,
                const std::string& end = kEnd, const std::string& name = "Zhang Min") {
    return card_.VillaCard(0, begin, end, card_no, bldg, floor, rooms, name);
  }
  std::string Room(int b, int f, const std::string& room, const std::string& column) {
    return hotel_->Value("SELECT " + column + " FROM RoomList WHERE BuildNo = " +
                         std::to_string(b) + " AND FloorNo = " + std::to_string(f) +
                         " AND RoomNo = '" + room + "'");
  }
  std::string Cards() { return hotel_->Value("SELECT COUNT(*) FROM CardRecord"); }
  std::string Record(const std::string& card_no, const std::string& column) {
    return hotel_->Value("SELECT " + column + " FROM CardRecord WHERE CardNo = '" + card_no + "'");
  }

  std::unique_ptr<TestHotel> hotel_;
  TavoCard card_;
};

// Every checked failure of an issue, in the order the checks run: the code,
// and nothing changed (database, card, CardNo).
struct Refusal {
  const char* what;
  const char* begin;
  const char* end;
  int16_t bldg;
  int16_t floor;
  const char* rooms;
  int16_t code;
};

TEST_F(IssueFlow, GuestChecksRefuseInOrderAndChangeNothing) {
  const Refusal cases[] = {
      {"begin of 11 characters", "20071020123", kEnd, 1, 2, "0203", -851},
      {"end of 11 characters", kBegin, "20071022120", 1, 2, "0203", -852},
      {"end faulty at 8 before begin at 9", "20071017A400", "2007101X1200", 1, 2, "0203", -852},
      {"both faulty at 8: begin first", "2007101X1200", "2007101X1200", 1, 2, "0203", -851},
      {"begin day after end day", "200710211200", "200710201300", 1, 2, "0203", -852},
      {"building 0", kBegin, kEnd, 0, 2, "0203", -854},
      {"building 100", kBegin, kEnd, 100, 2, "0203", -854},
      {"negative building", kBegin, kEnd, -1, 2, "0203", -854},
      {"floor 0", kBegin, kEnd, 1, 0, "0203", -855},
      {"floor 100", kBegin, kEnd, 1, 100, "0203", -855},
      {"negative floor", kBegin, kEnd, 1, -3, "0203", -855},
      {"room with a letter", kBegin, kEnd, 1, 2, "12a4", -856},
      {"room with an inner blank", kBegin, kEnd, 1, 2, "1 2", -856},
      {"a checked-out request is checked too", "20071020123", kEnd, 1, 2, "0000", -851},
      {"begin month 13", "200713201230", kEnd, 1, 2, "0203", -851},
      {"begin 30 February", "200802301230", "200803011200", 1, 2, "0203", -851},
      {"begin year 1999", "199910201230", kEnd, 1, 2, "0203", -851},
      {"end hour 25", kBegin, "200710222500", 1, 2, "0203", -852},
      {"end minute 60", kBegin, "200710221260", 1, 2, "0203", -852},
      {"calendar before day order", "200713201230", "200701011200", 1, 2, "0203", -851},
      {"calendar before building", kBegin, "200710321200", 0, 2, "0203", -852},
  };
  const CardImage blank = BlankCardImage();
  for (const auto& c : cases) {
    std::string card_no = "untouched";
    EXPECT_EQ(Guest(c.rooms, card_no, c.bldg, c.floor, c.begin, c.end), c.code) << c.what;
    EXPECT_EQ(card_no, "untouched") << c.what;
    EXPECT_EQ(Cards(), "0") << c.what;
    EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "NULL") << c.what;
    EXPECT_EQ(hotel_->CardOnEncoder(), blank) << c.what;
  }
}

TEST_F(IssueFlow, VillaChecksRefuseInOrderAndChangeNothing) {
  const Refusal cases[] = {
      {"seven figures", kBegin, kEnd, 2, 3, "0102030", -857},
      {"nine figures", kBegin, kEnd, 2, 3, "010203040", -857},
      {"a letter", kBegin, kEnd, 2, 3, "0102030A", -857},
      {"an inner blank", kBegin, kEnd, 2, 3, "0102 304", -857},
      {"room test comes before the dates", "2007", kEnd, 2, 3, "0102030", -857},
      {"begin of 13 characters", "2007102012300", kEnd, 2, 3, "01020304", -851},
      {"begin of 11 characters", "20071020123", kEnd, 2, 3, "01020304", -851},
      {"check-out request with a short begin", "20071020123", kEnd, 2, 3, "00000000", -851},
      {"end of 11 characters", kBegin, "20071022120", 2, 3, "01020304", -852},
      {"begin not figures", "2007102012x0", kEnd, 2, 3, "01020304", -851},
      {"end not figures before begin", "20071020123x", "2007102A1200", 2, 3, "01020304", -852},
      {"end hour 24", kBegin, "200710222400", 2, 3, "01020304", -852},
      {"begin day 00", "200710001230", kEnd, 2, 3, "01020304", -851},
      {"begin day after end day", "200710211200", "200710201300", 2, 3, "01020304", -852},
      {"building 0", kBegin, kEnd, 0, 3, "01020304", -854},
      {"building 100", kBegin, kEnd, 100, 3, "01020304", -854},
      {"negative building", kBegin, kEnd, -2, 3, "01020304", -854},
      {"floor 0", kBegin, kEnd, 2, 0, "01020304", -855},
      {"negative floor", kBegin, kEnd, 2, -1, "01020304", -855},
  };
  const CardImage blank = BlankCardImage();
  for (const auto& c : cases) {
    std::string card_no = "untouched";
    EXPECT_EQ(Villa(c.rooms, card_no, c.bldg, c.floor, c.begin, c.end), c.code) << c.what;
    EXPECT_EQ(card_no, "untouched") << c.what;
    EXPECT_EQ(Cards(), "0") << c.what;
    EXPECT_EQ(Room(2, 3, "0102", "CardQTY"), "NULL") << c.what;
    EXPECT_EQ(hotel_->CardOnEncoder(), blank) << c.what;
  }
}

TEST_F(IssueFlow, SettingsAreCheckedBeforeEverythingButTheVillaRooms) {
  // Each refusal names what it looked at: the settings file, the path.
  TestHotel::RemoveSettings();
  std::string card_no = "untouched";
  EXPECT_EQ(Guest("12a4", card_no, 0, 0, "x", "y"), -800);
  EXPECT_NE(card_.LastFailureReason().find("/Tavoper.ini"), std::string::npos);
  EXPECT_EQ(Villa("01020304", card_no, 0, 0, "x", "y"), -800);
  EXPECT_EQ(Villa("0102030", card_no, 0, 0, "x", "y"), -857);
  EXPECT_EQ(card_.LastFailureReason(), "");

  const std::string missing = hotel_->folder() + "/missing.db";
  TestHotel::WriteSettings("[Setting]\nDataBase=" + missing + "\n");
  EXPECT_EQ(Guest("0203", card_no), -820);
  EXPECT_EQ(Villa("01020304", card_no), -820);
  EXPECT_NE(card_.LastFailureReason().find(missing), std::string::npos);
  EXPECT_EQ(std::string(tavo_last_reason()), card_.LastFailureReason());

  // A file that is no database the component can open: the database's own
  // word for it.
  TestHotel::WriteSettings("[Setting]\nDataBase=" + hotel_->card_file() + "\n");
  EXPECT_EQ(Guest("0203", card_no), -840);
  EXPECT_EQ(Villa("01020304", card_no), -840);
  EXPECT_NE(card_.LastFailureReason().find(hotel_->card_file()), std::string::npos);
  EXPECT_GT(card_.LastFailureReason().size(), hotel_->card_file().size() + 10);
  EXPECT_EQ(card_no, "untouched");
}

// The services of the Env the card methods ran on, with the clock stopped.
class StoppedClock : public EnvWrapper {
 public:
  explicit StoppedClock(const LocalTime& at) : EnvWrapper(&ComponentEnv()), at_(at) {}
  LocalTime Now() override { return at_; }

 private:
  LocalTime at_;
};

TEST_F(IssueFlow, GuestCardIsRecordedMarkedAndWritten) {
  StoppedClock clock({2031, 2, 3, 4, 5, 6});
  test_support::ScopedComponentEnv installed(clock);
  std::string card_no;
  ASSERT_EQ(Guest(" 203 ", card_no), 0);
  EXPECT_EQ(card_no, "000001");

  EXPECT_EQ(Room(1, 2, "0203", "State"), "1");
  EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "1");
  EXPECT_EQ(Room(1, 2, "0203", "SetCard"), "");
  EXPECT_EQ(Room(1, 2, "0204", "CardQTY"), "NULL");

  const RecordSet rs = hotel_->Query("SELECT * FROM CardRecord");
  ASSERT_EQ(rs.RecordCount(), 1u);
  const std::pair<const char*, const char*> expected[] = {
      {"InfoNo", "1"},        {"CardNo", "00000001"},      {"CardType", "1"},
      {"cardName", "宾客卡"}, {"Name_F", "Li Wei"},        {"PaperNo", ""},
      {"BuildNo", "1"},       {"FloorNo", "2"},            {"RoomNo", "0203"},
      {"RoomNumber", "0"},    {"ChkOutMark", ""},          {"CardQty", "0"},
      {"UserName", "000"},         {"RFData", ""},
      {"BeginDate", "2007-10-20 12:30:00"},                {"EndDate", "2007-10-22 12:00:00"},
      {"ChkOutDate", "1900-01-01 00:00:00"},                {"Date_F", "2031-02-03 04:05:06"},
  };
  for (const auto& [column, value] : expected)
    EXPECT_EQ(rs.Field(column).value_or("NULL"), value) << column;
  EXPECT_EQ(std::stod(rs.Field("Yajin").value_or("-1")), 0.0);  // a sum of money

  EXPECT_EQ(hotel_->CardOnEncoder(),
            BuildGuestImage("TAVO1", "000001", kBegin, kEnd, "0203", 2, 1));

  // A second card for the same room counts up.
  ASSERT_EQ(Guest("0203", card_no), 0);
  EXPECT_EQ(card_no, "000002");
  EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "2");
  EXPECT_EQ(Record("00000002", "InfoNo"), "2");
}

TEST_F(IssueFlow, RoomCodesArePaddedOrCut) {
  struct Case {
    const char* rooms;
    const char* code;
  } cases[] = {{"101", "0101"}, {"12345", "2345"}, {"0205", "0205"}};
  hotel_->Execute("INSERT INTO RoomList (BuildNo, FloorNo, RoomNo) VALUES (1, 2, '2345')");
  hotel_->Execute("INSERT INTO RoomList (BuildNo, FloorNo, RoomNo) VALUES (1, 2, '0101')");
  for (const auto& c : cases) {
    std::string card_no;
    ASSERT_EQ(Guest(c.rooms, card_no), 0) << c.rooms;
    EXPECT_EQ(Room(1, 2, c.code, "CardQTY"), "1") << c.rooms;
    EXPECT_EQ(hotel_->CardOnEncoder(),
              BuildGuestImage("TAVO1", card_no, kBegin, kEnd, c.code, 2, 1))
        << c.rooms;
  }
}

TEST_F(IssueFlow, LongerStampsUseTheirFirstTwelveFigures) {
  std::string card_no;
  ASSERT_EQ(Guest("0203", card_no, 1, 2, "20071020123099", "20071022120099"), 0);
  EXPECT_EQ(Record("00000001", "BeginDate"), "2007-10-20 12:30:00");
  ASSERT_EQ(Villa("01020304", card_no, 2, 3, kBegin, "20071022120099"), 0);
  EXPECT_EQ(Record("00000002", "EndDate"), "2007-10-22 12:00:00");
  // Same day, earlier hour: accepted.
  EXPECT_EQ(Guest("0203", card_no, 1, 2, "200710201200", "200710201100"), 0);
}

TEST_F(IssueFlow, VillaCardMarksBothRoomsAndRecordsThemJoined) {
  std::string card_no;
  ASSERT_EQ(Villa(" 01020304 ", card_no, 2, 3), 0);
  EXPECT_EQ(card_no, "000001");
  for (const char* room : {"0102", "0304"}) {
    EXPECT_EQ(Room(2, 3, room, "CardQTY"), "1") << room;
    EXPECT_EQ(Room(2, 3, room, "State"), "1") << room;
  }
  EXPECT_EQ(Record("00000001", "RoomNo"), "0102,0304");
  EXPECT_EQ(Record("00000001", "cardName"), "别墅卡");
  EXPECT_EQ(Record("00000001", "BeginDate"), "2007-10-20 12:30:00");
  EXPECT_EQ(hotel_->CardOnEncoder(), BuildVillaImage("TAVO1", "000001", kEnd, "01020304", 3, 2));

  // The same room twice marks its one row once.
  ASSERT_EQ(Villa("03050305", card_no, 2, 3), 0);
  EXPECT_EQ(Room(2, 3, "0305", "CardQTY"), "1");
  EXPECT_EQ(Record("00000002", "RoomNo"), "0305,0305");
}

TEST_F(IssueFlow, NumberingFollowsStartNumberAndLastCard) {
  struct Case {
    const char* what;
    const char* start_no;  // SpecRecord.StartNo
    const char* last;      // CardNo of the newest record, or nullptr for none
    const char* hex;
    const char* record;
  } cases[] = {
      {"empty table ignores the start number", "100", nullptr, "000001", "00000001"},
      {"start number above the last card", "100", "00000020", "000065", "00000101"},
      {"last card above the start number", "5", "00000010", "00000B", "00000011"},
      {"Null start number", "NULL", "00000041", "00002A", "00000042"},
      {"after the last number a card can carry", "0", "16777215", "000001", "00000001"},
  };
  for (const auto& c : cases) {
    hotel_->Execute("DELETE FROM CardRecord");
    hotel_->Execute(std::string("UPDATE SpecRecord SET StartNo = ") + c.start_no +
                    " WHERE InfoNo = 1");
    if (c.last != nullptr)
      hotel_->Execute(std::string("INSERT INTO CardRecord (InfoNo, CardNo) VALUES (7, '") +
                      c.last + "')");
    std::string card_no;
    ASSERT_EQ(Guest("0203", card_no), 0) << c.what;
    EXPECT_EQ(card_no, c.hex) << c.what;
    EXPECT_EQ(Record(c.record, "InfoNo"), c.last != nullptr ? "8" : "1") << c.what;
  }
}

TEST_F(IssueFlow, GuestAndVillaCardsShareOneNumbering) {
  hotel_->Execute("UPDATE SpecRecord SET StartNo = 20 WHERE InfoNo = 1");
  hotel_->Execute("INSERT INTO CardRecord (InfoNo, CardNo) VALUES (3, '00000020')");
  std::string card_no;
  ASSERT_EQ(Villa("01020304", card_no), 0);
  EXPECT_EQ(card_no, "000015");
  EXPECT_EQ(Record("00000021", "RoomNo"), "0102,0304");
  ASSERT_EQ(Guest("0203", card_no), 0);
  EXPECT_EQ(card_no, "000016");
}

TEST_F(IssueFlow, ALastCardNumberThatIsNoNumberEndsTheCall) {
  hotel_->Execute("INSERT INTO CardRecord (InfoNo, CardNo) VALUES (1, 'A0000001')");
  std::string card_no = "untouched";
  EXPECT_EQ(FailureOf([&] { Guest("0203", card_no); }).hresult, kErrTypeMismatch);
  EXPECT_EQ(card_no, "untouched");
  EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "NULL");
}

TEST_F(IssueFlow, AFailingStatementEndsTheCallAfterTheNumberIsGiven) {
  hotel_->Execute("DROP TABLE RoomList");
  std::string card_no = "untouched";
  const test_support::Failure failure = FailureOf([&] { Guest("0203", card_no); });
  EXPECT_EQ(failure.hresult, kErrDatabase);
  // The database's own message names the table, in its own letter case.
  std::string message = failure.message;
  for (char& c : message) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(message.find("roomlist"), std::string::npos) << failure.message;
  EXPECT_EQ(card_no, "000001");
  EXPECT_EQ(Cards(), "0");
  EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage());

  // Through the C face the number reaches the caller's buffer as well, with
  // the failure's HRESULT and message.
  tavo_card* c_card = nullptr;
  ASSERT_EQ(tavo_card_create(&c_card), 0);
  char buffer[TAVO_TEXT_CAP] = "untouched";
  int16_t result = 99;
  EXPECT_EQ(tavo_write_card(c_card, 0, kBegin, kEnd, buffer, 1, 2, "0203", "Li Wei", &result),
            kErrDatabase);
  EXPECT_STREQ(buffer, "000001");
  EXPECT_EQ(result, 99);
  EXPECT_NE(std::string(tavo_last_error()), "");
  tavo_card_release(c_card);

  // The numbering turn was given back, though the failed issue's connection
  // stays open: another desk does not wait for it.
  const auto asked = std::chrono::steady_clock::now();
  hotel_->TakeNumberingTurn().reset();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
  hotel_->Execute("CREATE TABLE RoomList (BuildNo INTEGER, FloorNo INTEGER, RoomNo TEXT, "
                  "State TEXT, CardQTY INTEGER, SetCard TEXT)");
  EXPECT_EQ(Guest("0203", card_no), 0);
}

// Backslashes before, after and between quotes are plain characters on every
// server, also on a PostgreSQL server that reads backslash escapes in
// literals (standard_conforming_strings off).
TEST_F(IssueFlow, HolderNamesAreRecordedUnchanged) {
  const std::string names[] = {
      "O'Brien",
      "王小明's 房卡 ''",
      "'); DELETE FROM RoomList; --",
      "\\\\'",
      "\\'); DELETE FROM RoomList; --",
      "'\\",
      "a'\\'b\\\\''c",
      "\\",
      "?{fn UCASE('x')} \\n",
  };
  for (const auto& name : names) {
    std::string card_no;
    ASSERT_EQ(Guest("0203", card_no, 1, 2, kBegin, kEnd, name), 0) << name;
    EXPECT_EQ(hotel_->Value("SELECT Name_F FROM CardRecord WHERE InfoNo = (SELECT MAX(InfoNo) "
                            "FROM CardRecord)"),
              name);
  }
  EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM RoomList"), "30");
}

TEST_F(IssueFlow, AHolderNameHoldingNulIsRefusedBeforeAnyDatabaseWork) {
  const std::string name("Li\0'); DELETE FROM RoomList; --", 31);
  std::string card_no = "untouched";
  for (auto issue : {std::function<void()>([&] { Guest("0203", card_no, 1, 2, kBegin, kEnd, name); }),
                     std::function<void()>([&] { Villa("02030204", card_no, 1, 2, kBegin, kEnd, name); })}) {
    const test_support::Failure failure = FailureOf(issue);
    EXPECT_EQ(failure.hresult, kErrInvalidProcedureCall);
    EXPECT_NE(failure.message.find("NUL"), std::string::npos) << failure.message;
  }
  EXPECT_EQ(card_no, "untouched");
  EXPECT_EQ(Cards(), "0");
  EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "NULL");
  EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage());
  // No card number was taken: the next issue gets the first.
  ASSERT_EQ(Guest("0203", card_no, 1, 2, kBegin, kEnd, "Li Wei"), 0);
  EXPECT_EQ(card_no, "000001");
}

TEST_F(IssueFlow, ACardThatWasNotWrittenLeavesNoOpenRecord) {
  // Two live guest cards on 0203 and one live villa card on 0102 and 0304.
  std::string card_no;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Guest("0203", card_no), 0);
  ASSERT_EQ(Villa("01020304", card_no), 0);
  const CardImage live = hotel_->CardOnEncoder();
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* fail;  // LYCOMM_SIM_FAIL, or nullptr
    int16_t result;
  } cases[] = {
      {"write status 0", [] {}, "write", -129},
      {"write status 7", [] {}, "write=7", 7},
      {"write status 255", [] {}, "write=255", 255},
      {"no card on the encoder", [this] { hotel_->RemoveCard(); }, nullptr, -129},
      {"encoder not opened", [this] { card_.ClosePort(); TavoCard fresh; }, nullptr, -129},
  };
  int issued = 3;
  for (const auto& c : cases) {
    hotel_->InsertCard(live);
    ASSERT_EQ(card_.OpenPort(0), 1);
    c.arrange();
    if (c.fail != nullptr) setenv("LYCOMM_SIM_FAIL", c.fail, 1);
    std::string guest_no, villa_no;
    EXPECT_EQ(Guest("0203", guest_no), c.result) << c.what;
    EXPECT_NE(card_.LastFailureReason().find("not written"), std::string::npos) << c.what;
    EXPECT_EQ(Villa("01020304", villa_no), c.result) << c.what;
    unsetenv("LYCOMM_SIM_FAIL");
    // Each number is handed out once and its record closed at once; the
    // rooms count as they did before the issue.
    issued += 2;
    EXPECT_EQ(guest_no, CardNoHexForm(issued - 1)) << c.what;
    EXPECT_EQ(villa_no, CardNoHexForm(issued)) << c.what;
    EXPECT_EQ(Cards(), std::to_string(issued)) << c.what;
    EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM CardRecord WHERE ChkOutMark = '#1'"),
              std::to_string(issued - 3)) << c.what;
    EXPECT_EQ(Record(CardNoRecordForm(issued), "ChkOutMark"), "#1") << c.what;
    EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "2") << c.what;
    EXPECT_EQ(Room(2, 3, "0102", "CardQTY"), "1") << c.what;
    EXPECT_EQ(Room(2, 3, "0304", "CardQTY"), "1") << c.what;
  }
}

TEST_F(IssueFlow, GuestCheckOutReleasesClosesAndErases) {
  StoppedClock clock({2031, 11, 30, 23, 59, 58});
  test_support::ScopedComponentEnv installed(clock);
  std::string card_no;
  ASSERT_EQ(Guest("0203", card_no), 0);  // CardQTY 1
  hotel_->InsertCard(BlankCardImage());
  ASSERT_EQ(Guest("0203", card_no), 0);  // CardQTY 2, this card stays on the encoder

  // Every way of asking for a check-out.
  for (const char* rooms : {"", " 0 ", "00", "0000"}) {
    if (rooms != std::string("")) {
      ASSERT_EQ(Guest("0203", card_no), 0);
    }
    const std::string before = Room(1, 2, "0203", "CardQTY");
    std::string untouched = "untouched";
    ASSERT_EQ(Guest(rooms, untouched), 0) << "[" << rooms << "]";
    EXPECT_EQ(untouched, "untouched");
    EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), std::to_string(std::stoi(before) - 1)) << rooms;
    EXPECT_EQ(Room(1, 2, "0203", "State"), "") << rooms;
    const std::string record = CardNoRecordForm(std::stoul(card_no, nullptr, 16));
    EXPECT_EQ(Record(record, "ChkOutMark"), "#1") << rooms;
    EXPECT_EQ(Record(record, "ChkOutDate"), "2031-11-30 23:59:58") << rooms;
    EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage()) << rooms;
  }
}

TEST_F(IssueFlow, CheckOutLeavesARoomWithOneCardAlone) {
  std::string card_no;
  ASSERT_EQ(Guest("0203", card_no), 0);
  ASSERT_EQ(card_.WriteCard(0, kBegin, kEnd, card_no, 1, 2, "0000", ""), 0);
  EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "1");
  EXPECT_EQ(Room(1, 2, "0203", "State"), "1");
  EXPECT_EQ(Record("00000001", "ChkOutMark"), "#1");
  EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage());
}

TEST_F(IssueFlow, CheckOutClosesEveryRecordOfTheCard) {
  std::string card_no;
  ASSERT_EQ(Guest("0203", card_no), 0);
  hotel_->Execute("INSERT INTO CardRecord (InfoNo, CardNo, ChkOutMark) VALUES (50, '00000001', '')");
  ASSERT_EQ(Guest("0000", card_no), 0);
  EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM CardRecord WHERE ChkOutMark = '#1'"), "2");
}

TEST_F(IssueFlow, VillaCheckOutReleasesBothRooms) {
  std::string card_no;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Villa("01020304", card_no), 0);
  ASSERT_EQ(Villa("00000000", card_no), 0);
  EXPECT_EQ(card_no, "000002");
  for (const char* room : {"0102", "0304"}) {
    EXPECT_EQ(Room(2, 3, room, "CardQTY"), "1") << room;
    EXPECT_EQ(Room(2, 3, room, "State"), "") << room;
  }
  EXPECT_EQ(Record("00000002", "ChkOutMark"), "#1");
  EXPECT_EQ(Record("00000001", "ChkOutMark"), "");
  EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage());
}

TEST_F(IssueFlow, CheckOutAcrossMethods) {
  std::string card_no;
  // A villa card checked out through WriteCard releases only the room that
  // ends its room text: the villa's first room.
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Villa("01020304", card_no), 0);
  ASSERT_EQ(Guest("0000", card_no), 0);
  EXPECT_EQ(Room(2, 3, "0102", "CardQTY"), "1");
  EXPECT_EQ(Room(2, 3, "0304", "CardQTY"), "2");
  EXPECT_EQ(Record("00000002", "ChkOutMark"), "#1");

  // A guest card checked out through VillaCard releases its one room.
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Guest("0203", card_no), 0);
  ASSERT_EQ(Villa("00000000", card_no), 0);
  EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "1");
  EXPECT_EQ(Record("00000004", "ChkOutMark"), "#1");
  EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage());
}

TEST_F(IssueFlow, CheckOutWithoutACardChangesNothing) {
  std::string card_no;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(Guest("0203", card_no), 0);
  const CardImage issued = hotel_->CardOnEncoder();
  struct Case {
    const char* what;
    std::function<void()> arrange;
    int16_t code;
  } cases[] = {
      {"encoder not opened", [this] { TavoCard fresh; }, -700},
      {"blank card", [this] { hotel_->InsertCard(BlankCardImage()); }, -700},
      {"no card", [this] { hotel_->RemoveCard(); }, -128},
      {"card kind 0x01", [this] { CardImage i = BlankCardImage(); i[0] = 0x01; hotel_->InsertCard(i); }, -500},
      {"card kind 0xAA", [this] { CardImage i = BlankCardImage(); i[0] = 0xAA; hotel_->InsertCard(i); }, -600},
  };
  for (const auto& c : cases) {
    hotel_->InsertCard(issued);
    ASSERT_EQ(card_.OpenPort(0), 1);
    c.arrange();
    EXPECT_EQ(Guest("0000", card_no), c.code) << c.what;
    EXPECT_EQ(Villa("00000000", card_no), c.code) << c.what;
    EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "2") << c.what;
    EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM CardRecord WHERE ChkOutMark = '#1'"), "0")
        << c.what;
  }
}

TEST_F(IssueFlow, AFailedEraseIsReportedAndTheCheckOutStays) {
  struct Case {
    const char* fail;
    int16_t result;
  } cases[] = {{"write", -129}, {"write=9", 9}};
  for (int i = 0; i < 2; ++i) {
    std::string card_no;
    ASSERT_EQ(Guest("0203", card_no), 0);
  }
  for (const auto& c : cases) {
    std::string card_no;
    ASSERT_EQ(Guest("0203", card_no), 0);  // CardQTY 3
    setenv("LYCOMM_SIM_FAIL", c.fail, 1);
    EXPECT_EQ(Guest("0000", card_no), c.result) << c.fail;
    unsetenv("LYCOMM_SIM_FAIL");
    const std::string record = CardNoRecordForm(std::stoul(card_no, nullptr, 16));
    EXPECT_EQ(Record(record, "ChkOutMark"), "#1") << c.fail;
    EXPECT_NE(hotel_->CardOnEncoder(), BlankCardImage()) << c.fail;
    EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "2") << c.fail;

    // The retry erases the card and releases nothing a second time.
    EXPECT_EQ(Guest("0000", card_no), -710) << c.fail;
    EXPECT_EQ(Room(1, 2, "0203", "CardQTY"), "2") << c.fail;
    EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage()) << c.fail;
  }
}

TEST_F(IssueFlow, ACopiedCardBroughtBackReleasesNothing) {
  struct Case {
    const char* what;
    bool villa;
  } cases[] = {{"guest card", false}, {"villa card", true}};
  for (const auto& c : cases) {
    hotel_->Execute("DELETE FROM CardRecord");
    hotel_->Execute("UPDATE RoomList SET CardQTY = NULL, State = ''");
    std::string card_no;
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(c.villa ? Villa("01020304", card_no) : Guest("0203", card_no), 0) << c.what;
    const CardImage copy = hotel_->CardOnEncoder();
    const auto count = [&] { return c.villa ? Room(2, 3, "0304", "CardQTY") : Room(1, 2, "0203", "CardQTY"); };
    ASSERT_EQ(c.villa ? Villa("00000000", card_no) : Guest("0000", card_no), 0) << c.what;
    EXPECT_EQ(count(), "2") << c.what;
    hotel_->InsertCard(copy);
    EXPECT_EQ(c.villa ? Villa("00000000", card_no) : Guest("0000", card_no), -710) << c.what;
    EXPECT_NE(card_.LastFailureReason().find("no open record"), std::string::npos) << c.what;
    EXPECT_EQ(count(), "2") << c.what;
    EXPECT_EQ(hotel_->Value("SELECT COUNT(*) FROM CardRecord WHERE ChkOutMark = '#1'"), "1");
    EXPECT_EQ(hotel_->CardOnEncoder(), BlankCardImage()) << c.what;
  }
}

TEST_F(IssueFlow, TheDiagnosticLogHasOneLinePerCardMethodAndNoPassword) {
  const std::string log = hotel_->folder() + "/cards.log";
  const std::string settings = "[Setting]\nDataBase=" + hotel_->database_path() + "\n[Log]\nFile=" + log;
  const std::string dsn = hotel_->folder() + "/wrong.dsn";
  {
    std::ofstream(dsn) << "[ODBC]\nDRIVER=No Such Driver\nDatabase=hotel\nUID=desk\nPWD=s3cret\n";
  }
  std::string card_no;
  TestHotel::WriteSettings(settings + "\nLevel=calls\n");
  ASSERT_EQ(Guest("0203", card_no, 1, 2, kBegin, kEnd, "Zhang Wei"), 0);
  std::string read_no, rooms, begin, end;
  ASSERT_EQ(card_.ReadCard(0, read_no, rooms, begin, end), 0);
  TestHotel::WriteSettings("[Setting]\nDataBase=" + dsn + "\n[Log]\nFile=" + log + "\n");
  EXPECT_EQ(Villa("01020304", card_no), -840);
  EXPECT_EQ(card_.LastFailureReason().find("s3cret"), std::string::npos);
  // Only what did not do all its work.
  TestHotel::WriteSettings(settings + "\nLevel=failures\n");
  ASSERT_EQ(Guest("0203", card_no), 0);
  EXPECT_EQ(Guest("0203", card_no, 1, 2, "2007", kEnd), -851);
  TestHotel::WriteSettings(settings + "\nLevel=off\n");
  EXPECT_EQ(Guest("0203", card_no, 1, 2, "2007", kEnd), -851);

  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
  const std::vector<std::vector<std::string>> expected = {
      {" the diagnostic log of the card methods, one line each: at 4 MiB it becomes cards.log.1 "},
      {" WriteCard ", "Rooms=\"0203\"", "HoderName=\"Zh…\"", "CardNo=000001 result=0 ", " ms"},
      {" ReadCard ", "CardNo=00000001 result=0 "},
      {" VillaCard ", "result=-840 reason=\"", dsn},
      {" WriteCard ", "BeginDate=\"2007\"", "result=-851"},
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (const std::string& part : expected[i])
      EXPECT_NE(lines[i].find(part), std::string::npos) << part << " in " << lines[i];
    EXPECT_EQ(lines[i].find("Zhang Wei"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("s3cret"), std::string::npos) << lines[i];
  }
}

TEST(DiagnosticLog, EveryFormOfAPasswordIsMasked) {
  const std::pair<std::string, std::string> cases[] = {
      {"DRIVER=X;PWD=s3cret;UID=desk", "DRIVER=X;PWD=***;UID=desk"},
      {"uid=desk;password=s3cret", "uid=desk;password=***"},
      {"PWD =s3cret;UID=desk", "PWD =***;UID=desk"},
      {"PassWord\t=\ts3cret", "PassWord\t=\t***"},
      {"Pwd=two words;UID=desk", "Pwd=***;UID=desk"},
      {"reason=\"Pwd=two words\"", "reason=\"Pwd=***"},
      {"PWD={a;b};UID=desk", "PWD=***;UID=desk"},
      {"pwd = {a}}b;c};UID=desk", "pwd = ***;UID=desk"},
      {"PWD={never closed;UID=desk", "PWD=***"},
      {"PWD=a;PASSWORD=b;pwd=c", "PWD=***;PASSWORD=***;pwd=***"},
      {"PWD=", "PWD=***"},
      {"DBQ=C:\\hotel.mdb;pwd=lockhousepw", "DBQ=C:\\hotel.mdb;pwd=***"},
      {"no hotel opens with lockhousepw.", "no hotel opens with ***."},
      {"[ODBC]\nPWD=s3cret\nUID=desk", "[ODBC]\nPWD=***"},
      // Not passwords: left as they are.
      {"password authentication failed for user \"desk\"",
       "password authentication failed for user \"desk\""},
      {"UID=pwd;Database=passwords", "UID=pwd;Database=passwords"},
  };
  for (const auto& [text, masked] : cases) EXPECT_EQ(WithoutPasswords(text), masked) << text;
}

std::vector<std::string> LogLines(const std::string& log) {
  std::ifstream in(log, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(IssueFlow, EachCardMethodLogsOneLineWhateverItsInputsHold) {
  const std::string log = hotel_->folder() + "/cards.log";
  TestHotel::WriteSettings("[Setting]\nDataBase=" + hotel_->database_path() + "\n[Log]\nFile=" +
                           log + "\n");
  struct Case {
    const char* what;
    std::string begin;
    std::string rooms;
    std::string name;
    std::string shown;
  } cases[] = {
      {"a begin stamp that would forge a line", std::string(kBegin) + "\n2007-10-20 12:30:00 "
       "WriteCard CardNo=000009 result=0", "0203", "Li Wei",
       "BeginDate=\"200710201230\\n2007-10-20 12:30:00 WriteCard CardNo=000009 result=0\""},
      {"a room with a carriage return and a tab", kBegin, "02\r\t03", "Li Wei",
       "Rooms=\"02\\r\\t03\""},
      {"a holder name of other control bytes", kBegin, "0203", "\x01\x7F", "HoderName=\"\\x01\\x7F\""},
  };
  std::size_t calls = 0;
  for (const Case& c : cases) {
    std::string card_no;
    Guest(c.rooms, card_no, 1, 2, c.begin, kEnd, c.name);
    ++calls;
    const std::vector<std::string> lines = LogLines(log);
    ASSERT_EQ(lines.size(), calls + 1) << c.what << ::testing::PrintToString(lines);  // and the first
    EXPECT_NE(lines.back().find(c.shown), std::string::npos) << c.what << ": " << lines.back();
    EXPECT_TRUE(std::none_of(lines.back().begin(), lines.back().end(),
                             [](char ch) { return ch == 0x7F || (ch >= 0 && ch < 0x20); }))
        << c.what;
  }
}

// The log rolls where a line crosses its size, not after: the older files
// move up one, the oldest goes, and the next line starts a new file that
// says how it rolls.
TEST_F(IssueFlow, TheDiagnosticLogRollsAtItsSize) {
  const std::string log = hotel_->folder() + "/cards.log";
  TestHotel::WriteSettings("[Setting]\nDataBase=" + hotel_->database_path() + "\n[Log]\nFile=" +
                           log + "\n");
  const auto text = [](const std::string& file) {
    std::stringstream read;
    read << std::ifstream(file).rdbuf();
    return read.str();
  };
  constexpr std::size_t kRoll = 4u << 20;
  for (const std::size_t filled : {kRoll - 1000, kRoll + 10, 2 * kRoll - 10}) {
    const bool rolls = filled == 2 * kRoll - 10;
    const std::string filler = std::string(filled - 1, 'x') + "\n";
    for (const auto& [file, held] : {std::pair{log, filler}, {log + ".1", "one\n"s},
                                     {log + ".2", "two\n"s}, {log + ".3", "three\n"s}})
      std::ofstream(file, std::ios::trunc) << held;
    std::string card_no;
    ASSERT_EQ(Guest("0203", card_no), 0);
    const std::string kept = text(rolls ? log + ".1" : log);
    EXPECT_EQ(kept.substr(0, filled), filler) << filled;
    EXPECT_NE(kept.find(" WriteCard ", filled), std::string::npos) << filled;
    EXPECT_EQ(text(log + ".2") + text(log + ".3"), rolls ? "one\ntwo\n" : "two\nthree\n") << filled;
    EXPECT_EQ(std::filesystem::exists(log), !rolls) << filled;
  }
  std::string card_no;
  ASSERT_EQ(Guest("0203", card_no), 0);
  const std::vector<std::string> lines = LogLines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("at 4 MiB it becomes cards.log.1 and a new one starts; 3 older files"),
            std::string::npos) << lines[0];
}

// Programs that log at the same moment: each line is kept once, and only
// the one line that crosses the size rolls the log, so that no rolled file
// is cut short by a second roll.
TEST_F(IssueFlow, TheDiagnosticLogRollsOnceWhenProgramsLogAtOnce) {
  const std::string log = hotel_->folder() + "/cards.log";
  TestHotel::WriteSettings("[Setting]\nDataBase=" + hotel_->database_path() + "\n[Log]\nFile=" +
                           log + "\n");
  constexpr int kPrograms = 4, kLines = 2500;  // about 10 MB: two rolls
  std::vector<pid_t> children;
  for (int p = 0; p < kPrograms; ++p) {
    children.push_back(fork());
    ASSERT_GE(children.back(), 0);
    if (children.back() != 0) continue;
    for (int i = 0; i < kLines; ++i)
      LogCardMethod(ComponentEnv(), "WriteCard", "line=" + std::to_string(p * kLines + i) + " " +
                    std::string(1000, 'p'), "result=0", false, 1.0);
    _exit(0);
  }
  for (pid_t child : children) ASSERT_EQ(waitpid(child, nullptr, 0), child);
  std::vector<std::string> seen;
  for (const std::string& file : {log + ".2", log + ".1", log}) {
    if (file != log) {
      EXPECT_GE(std::filesystem::file_size(file), 4u << 20) << file;
    }
    for (const std::string& line : LogLines(file))
      if (line.find("line=") != std::string::npos) seen.push_back(line.substr(line.find("line=")));
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()) - seen.begin(), kPrograms * kLines);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kPrograms * kLines));
}

TEST_F(IssueFlow, TheDiagnosticLogFollowsNoLinkAndIsSharedLikeItsFolder) {
  namespace fs = std::filesystem;
  const std::string target = hotel_->folder() + "/database-backup.txt";
  std::ofstream(target) << "untouched\n";
  const std::string link = hotel_->folder() + "/cards.log";
  fs::create_symlink(target, link);
  const std::string settings = "[Setting]\nDataBase=" + hotel_->database_path() + "\n[Log]\nFile=";
  TestHotel::WriteSettings(settings + link + "\n");
  std::string card_no;
  EXPECT_EQ(Guest("0203", card_no), 0);  // the card is issued all the same
  std::stringstream content;
  content << std::ifstream(target).rdbuf();
  EXPECT_EQ(content.str(), "untouched\n");
  EXPECT_TRUE(fs::is_symlink(link));
  // A dangling link: nothing is created where it points.
  fs::remove(target);
  EXPECT_EQ(Guest("0203", card_no), 0);
  EXPECT_FALSE(fs::exists(target));

  // A new log takes its folder's group and read and write permissions,
  // whatever the umask of the desk that wrote the first line. (Only a
  // member of another group, or root, can give the folder that group.)
  const std::string folder = hotel_->folder() + "/logs";
  fs::create_directory(folder);
  ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
  if (chown(folder.c_str(), static_cast<uid_t>(-1), getegid() + 1) != 0) {
    // Not allowed here: the folder keeps this user's group.
  }
  TestHotel::WriteSettings(settings + folder + "/cards.log\n");
  const mode_t umask_before = umask(077);
  EXPECT_EQ(Guest("0203", card_no), 0);
  umask(umask_before);
  struct stat folder_st {}, log_st {};
  ASSERT_EQ(stat(folder.c_str(), &folder_st), 0);
  ASSERT_EQ(stat((folder + "/cards.log").c_str(), &log_st), 0);
  EXPECT_EQ(log_st.st_mode & 07777, 0660u);
  EXPECT_EQ(log_st.st_gid, folder_st.st_gid);
}

TEST_F(IssueFlow, ADatabaseLockedByAnotherProgramIsBusy) {
  if (getenv("HOLVANTER_TEST_DSN") != nullptr) GTEST_SKIP() << "an SQLite file's own lock";
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(hotel_->database_path().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::string card_no = "untouched";
  {
    // The component waits out the time limit on a test clock, trying the
    // real lock all the while: the whole limit passes on that clock (to
    // within a step of its wait, 50 ms), next to none of it really.
    test_support::TestClock clock;
    test_support::ScopedComponentEnv installed(clock);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Guest("0203", card_no), -840);
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(clock.SleptSeconds(), kCommandTimeoutSeconds);
    EXPECT_LE(clock.SleptSeconds(), kCommandTimeoutSeconds + 0.05);
    EXPECT_LT(waited.count(), 2.0);
  }
  EXPECT_EQ(card_.LastFailureReason().rfind("busy: ", 0), 0u) << card_.LastFailureReason();
  EXPECT_NE(card_.LastFailureReason().find(
                "limit of " + std::to_string(kCommandTimeoutSeconds) + " seconds"),
            std::string::npos)
      << card_.LastFailureReason();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(Guest("0203", card_no), 0);
}

TEST_F(IssueFlow, SystemCodeOnTheCardComesFromTheHotel) {
  hotel_->Execute("DELETE FROM SpecRecord");
  std::string card_no;
  ASSERT_EQ(Guest("0203", card_no), 0);
  const CardImage image = hotel_->CardOnEncoder();
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(image[i], 0x20) << i;
}

}  // namespace
}  // namespace holvanter
