// The hotel set-up's room plan and system code, LoadSystemCode, and the
// stand-in card-reader library. The tables themselves are checked through
// tavocard hotel init (hotel_command_test), the statements of issue and
// check-out by the issue flow suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "holvanter/tavo_card.h"
#include "store/hotel_setup.h"
#include "store/mwic_32.h"
#include "store/sqlite_connection.h"
#include "store/store_test_util.h"
#include "store/system_code.h"

namespace holvanter {
namespace {

using store_test::ScratchFolder;
using store_test::Value;

class HotelDatabaseTest : public ::testing::Test {
 protected:
  void Create(const std::string& system_code = "") {
    connection_ = SqliteConnection::Open(folder_.File("hotel.db"), /*create=*/true);
    HotelPlan plan;
    plan.rooms = ParseRoomSpec("1:1:0101");
    plan.system_code = system_code;
    Ok(CreateHotelTables(*connection_, plan));
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

// The system code enciphered the way the stand-in mwic_32 does it.
std::string Encipher(const std::string& plain8) {
  auto ic_encrypt = reinterpret_cast<IcEncryptFunction>(VendorFunction("mwic_32", "ic_encrypt").value());
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
  EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_), "TAVO1");  // empty CardID
  Ok(connection_->Execute("UPDATE SpecRecord SET CardID = NULL"));
  EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_), "TAVO1");

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
    Ok(connection_->Execute("UPDATE SpecRecord SET CardID = '" + c.card_id + "'"));
    EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_), c.code);
  }

  // Blanks only are not empty: they go to the conversion, not to the default.
  Ok(connection_->Execute("UPDATE SpecRecord SET CardID = '   '"));
  const std::string from_blanks = LoadSystemCode(*Env::Default(), *connection_).value();
  EXPECT_EQ(from_blanks.size(), 5u);
  EXPECT_NE(from_blanks, "TAVO1");

  Ok(connection_->Execute("DELETE FROM SpecRecord"));
  EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_), "     ");

  Ok(connection_->Execute("DROP TABLE SpecRecord"));
  EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_).status().code(), Status::Code::kDatabase);
}

TEST_F(HotelDatabaseTest, SetUpEnciphersTheSystemCode) {
  Create("AB123");
  EXPECT_EQ(Value(*connection_, "SELECT CardID FROM SpecRecord"), Encipher("AB123   "));
  EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_), "AB123");
  for (const char* bad : {"AB12", "AB1234", "AB\t23"}) {
    HotelPlan plan;
    plan.system_code = bad;
    EXPECT_THROW(Ok(CreateHotelTables(*connection_, plan)), StatusError) << bad;
  }
  // A refused set-up changes nothing.
  EXPECT_EQ(LoadSystemCode(*Env::Default(), *connection_), "AB123");
}

TEST(MwicStandIn, IsDesInEcbMode) {
  auto asc_hex = reinterpret_cast<AscHexFunction>(VendorFunction("mwic_32", "asc_hex").value());
  auto ic_encrypt =
      reinterpret_cast<IcEncryptFunction>(VendorFunction("mwic_32", "ic_encrypt").value());
  auto ic_decrypt =
      reinterpret_cast<IcDecryptFunction>(VendorFunction("mwic_32", "ic_decrypt").value());

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
