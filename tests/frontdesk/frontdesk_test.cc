// The front-desk rules every host shares: which rooms a clerk may not issue
// for, how a card number is read in either form, and the exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "component/result_meanings.h"
#include "holvanter/result_codes.h"
#include "store/sqlite_connection.h"
#include "store/store_test_util.h"
#include "hosts/frontdesk/desk_time.h"
#include "hosts/frontdesk/frontdesk.h"
#include "hosts/frontdesk/hotel.h"
#include "hosts/frontdesk/image_decode.h"
#include "tests/support/stays.h"
#include "util/database_words.h"

namespace frontdesk {
namespace {

// Refused before any call: a room that would check the card out, and any
// room or stamp with other than its figures. `field` is the one named, or
// nullptr when the stay may be issued.
TEST(FrontDesk, StaysThatAreRefused) {
  const std::string begin = holvanter::test_support::StayStamp(-1, "1400"),
                    end = holvanter::test_support::StayStamp(2);
  const struct {
    std::string begin, end, room;
    const char* field;
  } guest[] = {{begin, end, "", "room"},          {begin, end, "0", "room"},
               {begin, end, " 0000 ", "room"},    {begin, end, "10000", "room"},
               {begin, end, "203", "room"},       {begin, end, "02a3", "room"},
               {begin, end, "12345", "room"},     {begin, end, "02\n3", "room"},
               {begin, end, "0203", nullptr},     {begin, end, " 0203 ", nullptr},
               {begin + "\n", end, "0203", "begin"}, {begin.substr(0, 11), end, "0203", "begin"},
               {begin, end + "0", "0203", "end"}};
  for (const auto& c : guest) {
    const auto refusal = RefuseStay(GuestStay{c.begin, c.end, 1, 2, c.room, "Li"});
    EXPECT_EQ(refusal ? refusal->field : "", c.field ? c.field : "")
        << c.begin << "/" << c.end << "/" << c.room;
    if (refusal) {
      EXPECT_EQ(refusal->message.find('\n'), std::string::npos) << refusal->message;
    }
  }
  const struct {
    std::string end, rooms;
    const char* field;
  } villa[] = {{end, "", "rooms"},         {end, " 00000000 ", "rooms"}, {end, "0000000", "rooms"},
               {end, "0203020", "rooms"},  {end, "0203020x", "rooms"},   {end, "02030204", nullptr},
               {end.substr(0, 9), "02030204", "end"}};
  for (const auto& c : villa) {
    const auto refusal = RefuseStay(VillaStay{begin, c.end, 1, 2, c.rooms, "Li"});
    EXPECT_EQ(refusal ? refusal->field : "", c.field ? c.field : "") << c.rooms;
  }
}

TEST(FrontDesk, CardNumbersInEitherForm) {
  const struct {
    const char* text;
    const char* record;  // nullptr: not a card number
    const char* hex;
  } cases[] = {
      {"00000101", "00000101", "000065"}, {"000065", "00000101", "000065"},
      {"ff", "00000255", "0000FF"},       {" 16777215 ", "16777215", "FFFFFF"},
      {"16777216", nullptr, nullptr},     {"00000G01", nullptr, nullptr},
      {"1234567", nullptr, nullptr},      {"", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const auto number = ParseCardNumber(c.text);
    ASSERT_EQ(number.has_value(), c.record != nullptr) << c.text;
    if (!number) continue;
    EXPECT_EQ(number->record, c.record) << c.text;
    EXPECT_EQ(number->hex, c.hex) << c.text;
  }
}

// Every time a host gives is ISO 8601 local time with the desk's offset
// at that moment, summer time included; a day alone where only the day is
// known; nothing for no time. Each zone is the test's own.
TEST(FrontDesk, DeskTimesGiven) {
  const struct {
    const char* zone;
    const char* stamp;  // as the card, the stay or the record holds it
    const char* iso;    // "": no time
  } rows[] = {
      {"Asia/Shanghai", "202512092004", "2025-12-09T20:04:00+08:00"},
      {"Europe/Berlin", "202501151400", "2025-01-15T14:00:00+01:00"},
      {"Europe/Berlin", "202507151400", "2025-07-15T14:00:00+02:00"},
      {"Europe/Berlin", "202503300159", "2025-03-30T01:59:00+01:00"},
      {"Europe/Berlin", "202503300300", "2025-03-30T03:00:00+02:00"},
      {"America/St_Johns", "202507151400", "2025-07-15T14:00:00-02:30"},
      {"America/St_Johns", "202501151400", "2025-01-15T14:00:00-03:30"},
      {"UTC", "202501151400", "2025-01-15T14:00:00+00:00"},
      // A record's date, to the second.
      {"Europe/Berlin", "2025-07-01 09:05:37", "2025-07-01T09:05:37+02:00"},
      // A guest card carries the day its stay begins.
      {"Europe/Berlin", "20250315", "2025-03-15"},
      {"Europe/Berlin", "", ""},
      {"Europe/Berlin", "1900-01-01 00:00:00", ""},  // the records' none
      {"Europe/Berlin", "202513011200", ""},
      {"Europe/Berlin", "202502291200", ""},
      {"Europe/Berlin", "202507152400", ""},
      {"Europe/Berlin", "2025071", ""},
  };
  for (const auto& row : rows) {
    const holvanter::test_support::ScopedTimeZone zone(row.zone);
    EXPECT_EQ(DeskTime(row.stamp), row.iso) << row.zone << " " << row.stamp;
    EXPECT_EQ(DeskTimeJson(row.stamp),
              *row.iso ? nlohmann::json(row.iso) : nlohmann::json(nullptr));
  }
}

// Every time a host takes: twelve figures as they are, ISO 8601 without an
// offset as desk local time, with one converted to desk local time; nothing
// else.
TEST(FrontDesk, DeskTimesTaken) {
  const struct {
    const char* zone;
    const char* text;
    const char* stamp;  // nullptr: not a time
  } rows[] = {
      {"Asia/Shanghai", "202512091400", "202512091400"},
      {"Asia/Shanghai", "2025-12-09T14:00", "202512091400"},
      {"Asia/Shanghai", "2025-12-09 14:00:59", "202512091400"},
      {"Asia/Shanghai", "2025-12-09T14:00:00+08:00", "202512091400"},
      {"Asia/Shanghai", "2025-12-09T06:00:00.000Z", "202512091400"},
      {"Asia/Shanghai", "2025-12-09T01:00-05:00", "202512091400"},
      {"Asia/Shanghai", "2025-12-09T11:30+0530", "202512091400"},
      {"Asia/Shanghai", "2025-12-09T16:00+10", "202512091400"},
      {"Asia/Shanghai", "2024-12-31T20:00:00Z", "202501010400"},  // into the next year
      // Either side of summer time, and the hour that comes twice.
      {"Europe/Berlin", "2025-03-30T00:30:00Z", "202503300130"},
      {"Europe/Berlin", "2025-03-30T01:30:00Z", "202503300330"},
      {"Europe/Berlin", "2025-10-26T00:30:00Z", "202510260230"},
      {"Europe/Berlin", "2025-10-26T01:30:00Z", "202510260230"},
      {"Europe/Berlin", "2025-10-26T02:30:00+01:00", "202510260230"},
      // No such moment: the component refuses the figures with its own code.
      {"Asia/Shanghai", "2025-13-09T14:00+08:00", "202513091400"},
      {"Asia/Shanghai", "2025-13-09T14:00", "202513091400"},
      {"Asia/Shanghai", "202513091400", "202513091400"},
      {"Asia/Shanghai", "2025-12-09", nullptr},
      {"Asia/Shanghai", "20251209", nullptr},
      {"Asia/Shanghai", "2025-12-09T14", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:00 ", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:00\n", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:00+8", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:00+08:", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:00+24:00", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:00:00.Z", nullptr},
      {"Asia/Shanghai", "2025/12/09 14:00", nullptr},
      {"Asia/Shanghai", "2025-12-09T14:0", nullptr},
  };
  for (const auto& row : rows) {
    const holvanter::test_support::ScopedTimeZone zone(row.zone);
    const std::optional<std::string> stamp = StampOfTime(row.text);
    EXPECT_EQ(stamp.value_or("none"), row.stamp ? row.stamp : "none") << row.zone << " " << row.text;
  }
  // What a host gives, it takes back as the same stamp, through a day of
  // each change of summer time (the skipped hour is no local time).
  const holvanter::test_support::ScopedTimeZone berlin("Europe/Berlin");
  for (const std::string day : {"20250330", "20251026"})
    for (int minutes = 0; minutes < 24 * 60; minutes += 15) {
      char hhmm[8];
      std::snprintf(hhmm, sizeof hhmm, "%02d%02d", minutes / 60, minutes % 60);
      if (day == "20250330" && minutes / 60 == 2) continue;
      const std::string stamp = day + hhmm;
      EXPECT_EQ(StampOfTime(DeskTime(stamp)).value_or("none"), stamp);
    }
  // A stay given in ISO 8601 reaches the guards as stamps; what is no
  // time stays as it was, for the guard to name.
  const holvanter::test_support::ScopedTimeZone shanghai("Asia/Shanghai");
  GuestStay stay{"2025-12-09T06:00:00Z", "2025-12-11T12:00", 1, 2, "0203", "Li"};
  TakeStayTimes(stay);
  EXPECT_EQ(stay.begin + " " + stay.end, "202512091400 202512111200");
  VillaStay villa{"2025-12-09", "202512111200", 1, 2, "02030204", "Li"};
  TakeStayTimes(villa);
  EXPECT_EQ(villa.begin, "2025-12-09");
  const auto refusal = RefuseStay(villa);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->field, "begin");
  EXPECT_NE(refusal->message.find("ISO 8601"), std::string::npos) << refusal->message;
}

TEST(FrontDesk, ExitStatuses) {
  const std::pair<int, int> cases[] = {{0, 0},    {-710, 1}, {-840, 1}, {-99, 1},
                                       {-129, 2}, {2, 2},    {255, 2}};
  for (const auto& [result, status] : cases) EXPECT_EQ(ExitStatusOf(result), status) << result;
  CardAnswer usage;
  usage.usage_error = "no room";
  EXPECT_EQ(ExitStatusOf(usage), kExitUsage);
  CardAnswer failed;
  failed.hresult = static_cast<int32_t>(0x80004005);
  EXPECT_EQ(ExitStatusOf(failed), kExitFailedCall);
}

// A hotel that is not set up says how the command ends: usage before
// anything is made, a refusal for a hotel already there, a failed call
// when the file cannot be made; none leaves a file or a settings line.
TEST(FrontDesk, HotelSetUpFailuresByKind) {
  holvanter::store_test::SettingsFileGuard settings;
  holvanter::store_test::ScratchFolder folder;
  const std::string there = folder.File("there.db"), fresh = folder.File("fresh.db");
  {
    std::ofstream(there) << "a file of another program";
  }
  settings.Write("[Setting]\r\nDataBase=kept.db\r\n");
  const auto setup = [](std::string path, std::string dsn, std::string rooms,
                         std::string system_code = "") {
    HotelSetup setup;
    setup.path = std::move(path);
    setup.dsn = std::move(dsn);
    setup.rooms = std::move(rooms);
    setup.system_code = std::move(system_code);
    return setup;
  };
  const struct {
    const char* what;
    HotelSetup setup;
    int status;
    const char* says;
  } cases[] = {
      {"rooms that are none", setup(fresh, "", "1:1:0000"), kExitUsage, "--rooms"},
      {"a short system code", setup(fresh, "", "1:1:0101", "AB"), kExitUsage, "--system-code"},
      {"no database named", setup("", "", "1:1:0101"), kExitUsage, "either the database file"},
      {"both a file and a data source", setup(fresh, there, "1:1:0101"), kExitUsage,
       "either the database file"},
      {"a file there already", setup(there, "", "1:1:0101"), kExitRefused, "--force"},
      // Its folder would be a file.
      {"a file that cannot be made", setup(there + "/hotel.db", "", "1:1:0101"), kExitFailedCall,
       "cannot set up the hotel database"},
      {"a data source file that is none", setup("", there, "1:1:0101"), kExitFailedCall,
       "no ODBC file data source"},
  };
  for (const auto& c : cases) {
    std::ostringstream said;
    const std::optional<CommandFailure> failure = SetUpHotel(c.setup, said);
    ASSERT_TRUE(failure) << c.what << ": " << said.str();
    EXPECT_EQ(failure->exit_status, c.status) << c.what << ": " << failure->message;
    EXPECT_NE(failure->message.find(c.says), std::string::npos) << c.what << ": " << failure->message;
  }
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_EQ(holvanter::store_test::ReadFile(there), "a file of another program");
  EXPECT_EQ(holvanter::store_test::ReadFile(settings.Path()), "[Setting]\r\nDataBase=kept.db\r\n");
}

// A card image from a reader's dump: what is wrong with the text is an
// invalid argument that names it; an image that is no card of this hotel is
// decoded with the result reading would give.
TEST(FrontDesk, ImageDecoding) {
  const std::string blank(56, 'F');
  const struct {
    std::string hex;
    const char* says;  // nullptr: decoded
  } cases[] = {
      {"", "not 0"},
      {blank.substr(2), "not 54"},
      {blank + "FF", "not 58"},
      {"0G" + blank.substr(2), "'0G' at figure 1"},
      {blank.substr(0, 54) + "F-", "'F-' at figure 55"},
      {blank, nullptr},
      {std::string(56, 'f'), nullptr},  // either case
      {"FF FF FF FF\n" + blank.substr(8), nullptr},
  };
  for (const auto& c : cases) {
    const holvanter::Result<nlohmann::json> card = DecodeImageHex(c.hex);
    ASSERT_EQ(card.ok(), c.says == nullptr) << c.hex;
    if (c.says) {
      EXPECT_EQ(card.status().code(), holvanter::Status::Code::kInvalidArgument) << c.hex;
      EXPECT_NE(card.status().message().find(c.says), std::string::npos) << card.status().message();
    } else {
      EXPECT_EQ(card.value()["result"], holvanter::result::kNoCard) << card.value();
      EXPECT_EQ(card.value()["kind_byte"], "FF") << card.value();
    }
  }
}

// The listing runs one query with the filter and the limit in it, on the
// hotel that Tavoper.ini names: a real SQLite file. The room listing adds
// one query for the newest open card of every room.
TEST(FrontDesk, CardListing) {
  holvanter::store_test::SettingsFileGuard settings;
  holvanter::store_test::ScratchFolder folder;
  std::ostringstream said;
  HotelSetup setup;
  setup.path = folder.File("hotel.db");
  setup.rooms = "1:1:0101-0104";
  ASSERT_FALSE(SetUpHotel(setup, said)) << said.str();
  {
    auto db = holvanter::SqliteConnection::Open(folder.File("hotel.db"));
    Ok(db->BeginTrans());
    Ok(db->Execute(
        "INSERT INTO CardRecord (InfoNo, CardNo, Name_F, BuildNo, FloorNo, RoomNo, ChkOutMark, "
        "EndDate) VALUES (1, '00000101', 'Li', 1, 1, '0101', '#1', '2025-12-08 12:00:00'), "
        "(2, '00000102', 'O''Brien \"Jr\" INTO', 1, 1, '0101,0102', '', '2025-12-09 11:30:00'), "
        "(3, '00000101', 'Li again', 1, 1, '0101', NULL, '2025-12-10 12:00:00'), "
        "(4, '00000103', NULL, 1, 1, '0102', '#1', NULL), "
        "(5, '00000104', 'Wu 50%_Off!', 1, 1, '0103', '', NULL), "
        "(6, '00000105', '李伟 LI', 1, 1, '0101', '#1', NULL)"));
    // The component's own count, left by a check-out as it was: not what is out.
    Ok(db->Execute("UPDATE RoomList SET State = '1', CardQTY = 3 WHERE RoomNo = '0104'"));
    Ok(db->CommitTrans());
  }
  const std::string obrien = "O'Brien \"Jr\" INTO";
  const struct {
    CardFilter filter;
    std::vector<std::string> names;  // Name_F of the rows, in their order
  } cases[] = {
      {{}, {"李伟 LI", "Wu 50%_Off!", "", "Li again", obrien, "Li"}},
      {{2, ""}, {"李伟 LI", "Wu 50%_Off!"}},
      {{1, "00000101"}, {"Li again"}},
      {{0, "00000101"}, {"Li again", "Li"}},
      {{0, "00000102"}, {obrien}},
      {{0, "0' OR '1'='1"}, {}},
      // A room: a villa card's record names both of its rooms.
      {{.room = "0101"}, {"李伟 LI", "Li again", obrien, "Li"}},
      {{.room = "0102"}, {"", obrien}},
      {{.room = "010"}, {}},
      {{.limit = 1, .room = "0101"}, {"李伟 LI"}},
      // A part of the holder, ASCII case aside; wildcards and quotes literal.
      {{.holder = "li"}, {"李伟 LI", "Li again", "Li"}},
      {{.holder = "伟"}, {"李伟 LI"}},
      {{.holder = "%"}, {"Wu 50%_Off!"}},
      {{.holder = "0_"}, {}},
      {{.holder = "!"}, {"Wu 50%_Off!"}},
      {{.holder = "%_o"}, {"Wu 50%_Off!"}},
      {{.holder = "n \"j"}, {obrien}},
      {{.holder = "' OR ''='"}, {}},
      {{.room = "0101", .holder = "AGAIN"}, {"Li again"}},
  };
  for (const auto& c : cases) {
    const CardListing listing = ListCards(c.filter);
    ASSERT_EQ(listing.database.result, 0) << listing.database.reason;
    EXPECT_EQ(listing.failure, "");
    std::vector<std::string> names;
    for (const CardRow& row : listing.rows) names.push_back(row.Text("name_f"));
    EXPECT_EQ(names, c.names) << c.filter.limit << " " << c.filter.card_no << " "
                              << c.filter.room << " " << c.filter.holder;
  }
  CardFilter newest_only;
  newest_only.limit = 1;
  const CardRow newest = ListCards(newest_only).rows.at(0);
  EXPECT_EQ(newest.card_no->hex, "000069");
  EXPECT_TRUE(ToJson(ListCards({.card_no = "00000103"}).rows.at(0))["Name_F"].is_null());
  {
    // As the API and --json name a record: null for what it lacks, its
    // times with the desk's offset.
    const holvanter::test_support::ScopedTimeZone zone("Asia/Shanghai");
    const nlohmann::json lacking = ToItem(ListCards({.card_no = "00000103"}).rows.at(0));
    for (const char* field : {"holder", "begin", "end", "issued_at", "checked_out_at"})
      EXPECT_TRUE(lacking[field].is_null()) << field << ": " << lacking;
    EXPECT_EQ(lacking["open"], false);
    EXPECT_EQ(ToItem(ListCards({.card_no = "00000102"}).rows.at(0))["end"],
              "2025-12-09T11:30:00+08:00");
  }

  // Each room's newest card that is not checked out: the villa card for
  // 0102, whose own guest card is out; none for 0104.
  const auto newest_cards = [](const RoomListing& listing) {
    std::vector<std::string> out;
    for (const RoomRow& room : listing.rows)
      out.push_back(room.room + ": " + std::to_string(room.open_cards) + " out, " +
                    (room.newest ? room.newest->card_no + " " + room.newest->holder + " " +
                                       room.newest->end
                                 : "-"));
    return out;
  };
  const RoomListing rooms = ListRooms({.newest_card = true});
  EXPECT_EQ(rooms.failure, "");
  EXPECT_EQ(newest_cards(rooms),
            (std::vector<std::string>{"0101: 2 out, 00000101 Li again 202512101200",
                                      "0102: 1 out, 00000102 " + obrien + " 202512091130",
                                      "0103: 1 out, 00000104 Wu 50%_Off! ", "0104: 0 out, -"}));
  EXPECT_EQ(rooms.rows.at(3).cards, 3);  // RoomList's own columns stay as they are
  EXPECT_EQ(newest_cards(ListRooms({.room_no = "0102", .newest_card = true})),
            (std::vector<std::string>{"0102: 1 out, 00000102 " + obrien + " 202512091130"}));
  EXPECT_FALSE(ListRooms({}).rows.at(0).newest);

  settings.Remove();
  EXPECT_EQ(ListCards({}).database.result, holvanter::result::kNoSettingsFile);
  EXPECT_EQ(ListRooms({.newest_card = true}).database.result, holvanter::result::kNoSettingsFile);
}

// The result codes the README tells integrators about are the codes the
// component has meanings for: none missing on either side.
// The documents' table of result codes is checked against the meaning
// table by the documents' own test.
TEST(FrontDesk, BriefMeaningsFitAPmsLine) {
  // A PMS shows the key link's answer in one line of 40 characters.
  for (const holvanter::ResultMeaningRow& row : holvanter::ResultMeaningTable())
    EXPECT_LE(std::string(row.brief).size(), holvanter::kBriefMeaningLength) << row.code;
  for (int code : {2, 255, -1, -32768})
    EXPECT_LE(BriefMeaning(code).size(), holvanter::kBriefMeaningLength) << code;
}

TEST(FrontDesk, DatabaseFailuresThatMayPass) {
  // The key link answers these RY: a PMS sends the key again in a moment.
  const std::string lost = holvanter::kDatabaseConnectionLost;
  struct Case {
    int result;
    std::string message;
    bool may_pass;
  } cases[] = {
      {holvanter::result::kDatabaseNotOpen, "", true},
      {holvanter::result::kDatabaseNotOpen, "password authentication failed", true},
      {0, lost + ": server closed the connection unexpectedly", true},
      {0, "the card numbering turn (the PostgreSQL advisory lock) could not be taken: " + lost + ": x",
       true},
      {0, "ERROR: relation \"cardrecord\" does not exist", false},
      {0, "no card numbering turn within 10 seconds", false},
      {holvanter::result::kBadBegin, "", false},
      {0, "", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DatabaseUnreachable(c.result, c.message), c.may_pass) << c.result << " " << c.message;
}

// The names programs switch on (the agent's error codes): one per code,
// snake_case, never two codes with one name; the encoder's statuses share one.
TEST(FrontDesk, ResultNamesAreDistinctAndStable) {
  std::set<std::string> names;
  for (const holvanter::ResultMeaningRow& row : holvanter::ResultMeaningTable()) {
    const std::string name = ResultName(row.code);
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos)
        << name;
  }
  EXPECT_EQ(ResultName(holvanter::result::kBadEnd), "bad_end");
  EXPECT_EQ(ResultName(2), "write_status");
  EXPECT_EQ(ResultName(255), "write_status");
  EXPECT_FALSE(names.count(ResultName(-1)));
}

}  // namespace
}  // namespace frontdesk
