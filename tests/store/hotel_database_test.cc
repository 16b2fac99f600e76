// The hotel tables as the set-up creates them, the statements of the card
// issue and check-out flows against them, and the system code.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "holvanter/tavo_card.h"
#include "store/execute_sql.h"
#include "store/hotel_setup.h"
#include "store/mwic_32.h"
#include "store/sqlite_connection.h"
#include "store/store_test_util.h"
#include "store/system_code.h"

namespace holvanter {
namespace {

using store_test::ScratchFolder;
using store_test::Value;

// The statements exactly as the issue and check-out flows build them.
std::string RoomIssue(int building, int floor, const std::string& room_condition) {
  return "Update RoomList Set State='1', CardQTY = IIF((CardQTY) IS Null,1,CardQTY + 1), "
         "SetCard = '' Where BuildNo= " + std::to_string(building) + " AND FloorNo = " +
         std::to_string(floor) + room_condition;
}

std::string CardInsert(const std::string& card_no, const std::string& card_name,
                       const std::string& holder, int building, int floor, const std::string& room,
                       const std::string& issued, const std::string& begin,
                       const std::string& end) {
  return "Insert Into CardRecord (InfoNo, CardNo, CardType, cardName, Name_F, PaperNo, Address, "
         "Remark, BuildNo, FloorNo, RoomNo, RoomNumber, ChkOutMark, CardQty, Date_F, ChkOutDate, "
         "Yajin, BeginDate, EndDate, UserName, BlackList, CardRand, Remark1, RFData) SELECT "
         "IIf(IsNull(Max(InfoNo)),1,Max(InfoNo)+1), '" + card_no + "', '1', '" + card_name +
         "', '" + holder + "', '', '', '', " + std::to_string(building) + ", " +
         std::to_string(floor) + ", '" + room + "', 0, '', 0, #" + issued +
         "#, #1900-01-01#, 0, " + begin + "," + end + ", '000', '', '','','' From CardRecord ";
}

std::string RoomCheckOut(int building, int floor, const std::string& room_condition) {
  return "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' Where BuildNo= " +
         std::to_string(building) + " AND FloorNo = " + std::to_string(floor) + room_condition +
         " AND CardQTY>1";
}

std::string CardCheckOut(const std::string& when, const std::string& card_no) {
  return "UPDATE CardRecord SET CardRecord.ChkOutMark = '#1', ChkOutDate = #" + when +
         "# WHERE CardNo='" + card_no + "'";
}

const char kStartNoQuery[] =
    "SELECT Max(SpecRecord.StartNo) AS StartNoMax FROM SpecRecord Where InfoNo= 1";
const char kCardNoQuery[] =
    "SELECT CardNo as CardNoMax From CardRecord WHERE InfoNo IN (SELECT Max(InFoNo) FROM "
    "CardRecord);";

class HotelDatabaseTest : public ::testing::Test {
 protected:
  void Create(const std::string& system_code = "", uint32_t start_no = 100) {
    connection_ = SqliteConnection::Open(folder_.File("hotel.db"), /*create=*/true);
    HotelPlan plan;
    plan.rooms = ParseRoomSpec("1:2:0201-0205, 2:3:0301");
    plan.system_code = system_code;
    plan.start_no = start_no;
    CreateHotelTables(*connection_, plan);
  }

  void RunFlow(const std::string& statement) {
    std::string status;
    EXPECT_FALSE(ExecuteSql(*connection_, statement, status).has_value()) << statement;
  }

  // State|CardQTY of a room.
  std::string Room(const std::string& room) {
    return Value(*connection_, "SELECT State || '|' || ifnull(CardQTY, 'Null') FROM RoomList "
                               "WHERE RoomNo = '" + room + "'");
  }

  ScratchFolder folder_;
  std::unique_ptr<SqliteConnection> connection_;
};

TEST(ParseRoomSpec, ReadsRangesAndRefusesNonsense) {
  const auto ranges = ParseRoomSpec("1:1:0101-0120, 2:12:7 ,99:99:9999-9999");
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_EQ((std::vector<int>{ranges[0].building, ranges[0].floor, ranges[0].first, ranges[0].last}),
            (std::vector<int>{1, 1, 101, 120}));
  EXPECT_EQ((std::vector<int>{ranges[1].building, ranges[1].floor, ranges[1].first, ranges[1].last}),
            (std::vector<int>{2, 12, 7, 7}));
  EXPECT_EQ(ranges[2].last, 9999);
  for (const char* bad : {"", "1:1", "1:1:0101-0120:3", "0:1:0101", "1:100:0101", "1:1:0000",
                          "1:1:0120-0101", "1:1:10000", "a:1:0101", "1:1:01-02-03", "1:1:0101,"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseRoomSpec(bad), std::invalid_argument);
  }
}

TEST_F(HotelDatabaseTest, SetUpCreatesKeysAndSeedsRows) {
  Create();
  EXPECT_EQ(Value(*connection_, "SELECT InfoNo || '|' || StartNo || '|' || CardID FROM SpecRecord"),
            "1|100|");
  EXPECT_EQ(Value(*connection_, "SELECT count(*) FROM SpecRecord"), "1");
  EXPECT_EQ(Value(*connection_, "SELECT group_concat(BuildNo || ':' || FloorNo || ':' || RoomNo, ',') "
                                 "FROM (SELECT * FROM RoomList ORDER BY 1, 2, 3)"),
            "1:2:0201,1:2:0202,1:2:0203,1:2:0204,1:2:0205,2:3:0301");
  EXPECT_EQ(Room("0201"), "|Null");
  EXPECT_THROW(connection_->Execute("INSERT INTO RoomList (BuildNo, FloorNo, RoomNo) VALUES (1, 2, '0201')"),
               TavoError);
  connection_->Execute("INSERT INTO CardRecord (InfoNo, CardNo) VALUES (7, '00000001')");
  EXPECT_THROW(connection_->Execute("INSERT INTO CardRecord (InfoNo, CardNo) VALUES (7, '00000002')"),
               TavoError);
  EXPECT_EQ(Value(*connection_, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                                 "tbl_name = 'CardRecord' AND sql LIKE '%(CardNo)%'"),
            "1");

  // Setting up again starts a new hotel.
  HotelPlan plan;
  plan.rooms = ParseRoomSpec("3:1:0101");
  CreateHotelTables(*connection_, plan);
  EXPECT_EQ(Value(*connection_, "SELECT count(*) FROM CardRecord"), "0");
  EXPECT_EQ(Value(*connection_, "SELECT count(*) || RoomNo FROM RoomList"), "10101");
}

TEST_F(HotelDatabaseTest, IssueAndCheckOutStatementsHaveTheirEffect) {
  Create();
  std::string status;
  auto start = ExecuteSql(*connection_, kStartNoQuery, status);
  ASSERT_FALSE(start->Eof());
  EXPECT_EQ(start->Field("StartNoMax"), "100");
  auto last = ExecuteSql(*connection_, kCardNoQuery, status);
  EXPECT_TRUE(last->Eof() && last->Bof());

  // Guest card for 1#2#0203, issued twice for the room.
  RunFlow(RoomIssue(1, 2, " AND RoomNo = '0203'"));
  EXPECT_EQ(Room("0203"), "1|1");
  RunFlow(RoomIssue(1, 2, " AND RoomNo = '0203'"));
  EXPECT_EQ(Room("0203"), "1|2");
  RunFlow(CardInsert("00000101", "宾客卡", "Li Lei", 1, 2, "0203", "2007-10-25 11:05:09",
                 "#2007-Oct-20 12:30:00#", "#2007-Oct-21 12:00:00#"));
  auto card = ExecuteSql(*connection_, "Select * From CardRecord ", status);
  ASSERT_EQ(card->RecordCount(), 1u);
  const std::vector<std::pair<const char*, FieldValue>> expected = {
      {"InfoNo", "1"},          {"CardNo", "00000101"},  {"CardType", "1"},
      {"cardName", "宾客卡"},   {"Name_F", "Li Lei"},    {"PaperNo", ""},
      {"Address", ""},          {"Remark", ""},          {"BuildNo", "1"},
      {"FloorNo", "2"},         {"RoomNo", "0203"},      {"RoomNumber", "0"},
      {"ChkOutMark", ""},       {"CardQty", "0"},        {"Date_F", "2007-10-25 11:05:09"},
      {"ChkOutDate", "1900-01-01 00:00:00"},             {"Yajin", "0"},
      {"BeginDate", "2007-10-20 12:30:00"},              {"EndDate", "2007-10-21 12:00:00"},
      {"UserName", "000"},      {"BlackList", ""},       {"CardRand", ""},
      {"Remark1", ""},          {"RFData", ""}};
  for (const auto& [column, value] : expected) EXPECT_EQ(card->Field(column), value) << column;
  EXPECT_EQ(ExecuteSql(*connection_, kCardNoQuery, status)->Field("CardNoMax"), "00000101");

  // Villa card for 0201 and 0202 of the same floor.
  RunFlow(RoomIssue(1, 2, " AND RoomNo in ('0201','0202')"));
  EXPECT_EQ(Room("0201"), "1|1");
  EXPECT_EQ(Room("0202"), "1|1");
  EXPECT_EQ(Room("0204"), "|Null");
  RunFlow(CardInsert("00000102", "别墅卡", "Wang Fang", 1, 2, "0201,0202", "2007-10-25 11:06:00",
                 "#2007-oct-20 12:30:00#", "#2007-OCT-22 12:00:00#"));
  EXPECT_EQ(Value(*connection_, "SELECT InfoNo || RoomNo || cardName || EndDate FROM CardRecord "
                                 "WHERE CardNo = '00000102'"),
            "20201,0202别墅卡2007-10-22 12:00:00");
  EXPECT_EQ(ExecuteSql(*connection_, kCardNoQuery, status)->Field("CardNoMax"), "00000102");

  // Guest check-out: the count comes down while above 1, then nothing moves.
  RunFlow(RoomCheckOut(1, 2, " AND RoomNo = '0203'"));
  EXPECT_EQ(Room("0203"), "|1");
  RunFlow(RoomCheckOut(1, 2, " AND RoomNo = '0203'"));
  EXPECT_EQ(Room("0203"), "|1");
  RunFlow(CardCheckOut("2007-Oct-25 11:05:09", "00000101"));
  EXPECT_EQ(Value(*connection_, "SELECT ChkOutMark || ' ' || ChkOutDate FROM CardRecord WHERE "
                                 "CardNo = '00000101'"),
            "#1 2007-10-25 11:05:09");
  EXPECT_EQ(Value(*connection_, "SELECT ChkOutMark || ' ' || ChkOutDate FROM CardRecord WHERE "
                                 "CardNo = '00000102'"),
            " 1900-01-01 00:00:00");

  // Villa check-out: rooms at 1 keep their state; Null counts stay Null.
  RunFlow(RoomCheckOut(1, 2, " AND RoomNo IN ('0202','0201')"));
  EXPECT_EQ(Room("0201"), "1|1");
  EXPECT_EQ(Room("0202"), "1|1");
  RunFlow(RoomCheckOut(1, 2, " AND RoomNo = '0204'"));
  EXPECT_EQ(Room("0204"), "|Null");
  RunFlow(CardCheckOut("2007-Oct-26 09:00:00", "00000102"));
  EXPECT_EQ(Value(*connection_, "SELECT count(*) FROM CardRecord WHERE ChkOutMark = '#1'"), "2");
}

TEST_F(HotelDatabaseTest, EveryRecordOfACardNumberIsClosed) {
  Create();
  for (const char* issued : {"2007-10-25 11:05:09", "2007-10-25 11:06:09"})
    RunFlow(CardInsert("00000101", "宾客卡", "A", 1, 2, "0203", issued, "#2007-Oct-20 12:30:00#",
                   "#2007-Oct-21 12:00:00#"));
  RunFlow(CardCheckOut("2007-Dec-01 00:00:00", "00000101"));
  EXPECT_EQ(Value(*connection_, "SELECT group_concat(InfoNo || ChkOutMark || ChkOutDate, ',') FROM "
                                 "CardRecord"),
            "1#12007-12-01 00:00:00,2#12007-12-01 00:00:00");
}

// The system code enciphered the way the stand-in mwic_32 does it.
std::string Encipher(const std::string& plain8) {
  auto ic_encrypt = reinterpret_cast<IcEncryptFunction>(VendorFunction("mwic_32", "ic_encrypt"));
  uint8_t in[8];
  std::memcpy(in, plain8.data(), 8);
  char out[8];
  EXPECT_EQ(ic_encrypt(kSystemCodeKey, in, 8, out), 0);
  std::string hex;
  for (char c : out) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
    hex += pair;
  }
  return hex;
}

TEST_F(HotelDatabaseTest, SystemCodeFromSpecRecord) {
  Create();
  EXPECT_EQ(LoadSystemCode(*connection_), "TAVO1");  // empty CardID
  connection_->Execute("UPDATE SpecRecord SET CardID = NULL");
  EXPECT_EQ(LoadSystemCode(*connection_), "TAVO1");

  const std::string hex = Encipher("HOTEL   ");
  std::string lower = hex;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const struct {
    std::string card_id;
    std::string code;
  } cases[] = {
      {hex, "HOTEL"},
      {"  " + hex + "   ", "HOTEL"},  // blanks stripped before the conversion
      {lower, "HOTEL"},
      {Encipher("ABCDEFGH"), "ABCDE"},  // only the first five count
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card_id);
    connection_->Execute("UPDATE SpecRecord SET CardID = '" + c.card_id + "'");
    EXPECT_EQ(LoadSystemCode(*connection_), c.code);
  }

  // Blanks only are not empty: they go to the conversion, not to the default.
  connection_->Execute("UPDATE SpecRecord SET CardID = '   '");
  const std::string from_blanks = LoadSystemCode(*connection_);
  EXPECT_EQ(from_blanks.size(), 5u);
  EXPECT_NE(from_blanks, "TAVO1");

  connection_->Execute("DELETE FROM SpecRecord");
  EXPECT_EQ(LoadSystemCode(*connection_), "     ");

  connection_->Execute("DROP TABLE SpecRecord");
  try {
    LoadSystemCode(*connection_);
    ADD_FAILURE() << "no error";
  } catch (const TavoError& e) {
    EXPECT_EQ(e.hresult(), kErrDatabase);
  }
}

TEST_F(HotelDatabaseTest, SetUpEnciphersTheSystemCode) {
  Create("AB123");
  EXPECT_EQ(Value(*connection_, "SELECT CardID FROM SpecRecord"), Encipher("AB123   "));
  EXPECT_EQ(LoadSystemCode(*connection_), "AB123");
  for (const char* bad : {"AB12", "AB1234", "AB\t23"}) {
    HotelPlan plan;
    plan.system_code = bad;
    EXPECT_THROW(CreateHotelTables(*connection_, plan), TavoError) << bad;
  }
  EXPECT_EQ(LoadSystemCode(*connection_), "AB123");  // a refused set-up changes nothing
}

TEST(MwicStandIn, IsDesInEcbMode) {
  auto asc_hex = reinterpret_cast<AscHexFunction>(VendorFunction("mwic_32", "asc_hex"));
  auto ic_encrypt = reinterpret_cast<IcEncryptFunction>(VendorFunction("mwic_32", "ic_encrypt"));
  auto ic_decrypt = reinterpret_cast<IcDecryptFunction>(VendorFunction("mwic_32", "ic_decrypt"));

  // The classic DES example: key 0123456789ABCDEF, "Now is t".
  uint8_t key_bytes[8];
  ASSERT_EQ(asc_hex("0123456789abcdef", key_bytes, 8), 0);
  std::string key(reinterpret_cast<char*>(key_bytes), 8);
  uint8_t plain[16];
  std::memcpy(plain, "Now is the time ", 16);
  char cipher[16];
  ASSERT_EQ(ic_encrypt(key.c_str(), plain, 16, cipher), 0);
  uint8_t expected[16];
  ASSERT_EQ(asc_hex("3FA40E8A984D48156A271787AB8883F9", expected, 16), 0);
  EXPECT_EQ(std::memcmp(cipher, expected, 16), 0);
  char back[16];
  ASSERT_EQ(ic_decrypt(key.c_str(), expected, 16, back), 0);
  EXPECT_EQ(std::string(back, 16), "Now is the time ");

  uint8_t bytes[8] = {};
  EXPECT_EQ(asc_hex("00FF10", bytes, 8), -1);            // too short
  EXPECT_EQ(asc_hex("00FF10GG00000000", bytes, 8), -1);  // not hexadecimal
  EXPECT_EQ(ic_decrypt("RmKeyIdx", bytes, 7, back), -1);  // not whole blocks
  EXPECT_EQ(ic_decrypt("short", bytes, 8, back), -1);
}

}  // namespace
}  // namespace holvanter
