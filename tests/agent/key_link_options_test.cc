// tavocard serve's key link and desks options, checked before anything
// starts: each wrong one is an invalid argument that names it (the command
// ends with 64), and sound ones come out as the link and the desks run.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "hosts/agent/agent.h"
#include "store/store_test_util.h"

namespace agent {
namespace {

using holvanter::Status;

// The checks in the order tavocard serve makes them: the first failure.
Status Check(const AgentOptions& options, const std::string& rooms_file = "") {
  if (Status hours = CheckHotelHours(options); !hours.ok()) return hours;
  holvanter::Result<std::optional<KeyLinkSetup>> key_link = KeyLinkSetupOf(options, rooms_file);
  if (!key_link.ok()) return key_link.status();
  return DesksSetupOf(options, *key_link).status();
}

class KeyLinkOptionsTest : public ::testing::Test {
 protected:
  AgentOptions Options(const std::function<void(AgentOptions&)>& set) const {
    AgentOptions options;
    options.token_file = folder_.File("state/agent-token");  // no key, no secret beside it
    set(options);
    return options;
  }
  holvanter::store_test::ScratchFolder folder_;
};

TEST_F(KeyLinkOptionsTest, EachWrongOptionIsNamed) {
  const std::string rooms_file = folder_.File("agent.ini");
  std::ofstream(rooms_file) << "[serve]\nfias = 127.0.0.1:5010\n[fias-rooms]\n2781 = 1,2,0203\nA1=1,2\n";
  const auto fias = [](AgentOptions& o) { o.fias = "127.0.0.1:5010"; };
  const auto join = [](AgentOptions& o) {
    o.join = "link-desk:5020";
    o.desk = "desk-2";
  };
  const struct {
    const char* what;
    std::function<void(AgentOptions&)> set;
    const char* says;
  } cases[] = {
      {"a check-in time without its zero", [](AgentOptions& o) { o.checkin_time = "7:00"; },
       "--checkin-time '7:00' is not HH:MM"},
      {"a check-out time past midnight", [](AgentOptions& o) { o.checkout_time = "24:00"; },
       "--checkout-time '24:00' is not HH:MM"},
      {"a link without a port", [](AgentOptions& o) { o.fias = "pms.hotel.lan"; },
       "--fias 'pms.hotel.lan' is not HOST:PORT"},
      {"a link without a host", [](AgentOptions& o) { o.fias = ":5010"; }, "is not HOST:PORT"},
      {"an encoder port past 254", [&](AgentOptions& o) { fias(o); o.fias_coders = {"1=255"}; },
       "--fias-coder '1=255'"},
      {"a key coder of nine characters",
       [&](AgentOptions& o) { fias(o); o.fias_coders = {"123456789=1"}; }, "--fias-coder"},
      {"a desk name with a blank",
       [&](AgentOptions& o) { fias(o); o.fias_coders = {"1=front desk:1"}; }, "--fias-coder"},
      {"a room place of two parts", [&](AgentOptions& o) { fias(o); o.fias_rooms = {"2781=1,2"}; },
       "--fias-room '2781=1,2' is not PMSROOM=BUILDING,FLOOR,ROOM"},
      {"an encoding the link does not know",
       [&](AgentOptions& o) { fias(o); o.fias_encoding = "latin1"; },
       "--fias-encoding 'latin1' is none of"},
      {"a link check-out time that is none",
       [&](AgentOptions& o) { fias(o); o.fias_checkout_time = "12"; },
       "--fias-checkout-time '12' is not HH:MM"},
      {"a key file that is not there",
       [&](AgentOptions& o) { fias(o); o.fias_authkey_file = folder_.File("none"); },
       "--fias-authkey-file: "},
      {"a coder of a desk, but no desks listened for",
       [&](AgentOptions& o) { fias(o); o.fias_coders = {"1=desk-2:0"}; },
       "--fias-coder names desk desk-2, but no --desks-listen"},
      {"a desk name without a join", [](AgentOptions& o) { o.desk = "desk-2"; },
       "--desk and --pair go with --join"},
      {"desks listened for without a link", [](AgentOptions& o) { o.desks_listen = "0.0.0.0:5020"; },
       "--desks-listen is for the desk that keeps the key link"},
      {"desks listened for on no port",
       [&](AgentOptions& o) { fias(o); o.desks_listen = "0.0.0.0:70000"; },
       "--desks-listen '0.0.0.0:70000' is not ADDR:PORT"},
      {"a join beside a link", [&](AgentOptions& o) { join(o); fias(o); },
       "--join is for a desk without a key link of its own"},
      {"a join without a port", [](AgentOptions& o) { o.join = "link-desk"; },
       "--join 'link-desk' is not HOST:PORT"},
      {"a join without a desk name", [](AgentOptions& o) { o.join = "link-desk:5020"; },
       "--join needs --desk NAME"},
      {"a pairing code that is none", [&](AgentOptions& o) { join(o); o.pair = "xyz"; },
       "--pair 'xyz' is not a pairing code"},
      {"a join before the desk is paired", join, "desk desk-2 is not paired"},
  };
  for (const auto& c : cases) {
    const Status status = Check(Options(c.set));
    ASSERT_FALSE(status.ok()) << c.what;
    EXPECT_EQ(status.code(), Status::Code::kInvalidArgument) << c.what;
    EXPECT_NE(status.message().find(c.says), std::string::npos) << c.what << ": " << status.message();
  }
  // A settings file's room line is named as such.
  const Status from_file = Check(Options(fias), rooms_file);
  EXPECT_NE(from_file.message().find("[fias-rooms] line 'A1=1,2'"), std::string::npos)
      << from_file.message();
}

TEST_F(KeyLinkOptionsTest, SoundOptionsAsTheLinkRunsThem) {
  EXPECT_TRUE(Check(Options([](AgentOptions&) {})).ok());
  const std::string rooms_file = folder_.File("agent.ini");
  std::ofstream(rooms_file) << "[FIAS-Rooms]\n; the suite\n\"A101\" = '1,1,0101'\n[other]\nB=1,1,0102\n";
  const AgentOptions options = Options([](AgentOptions& o) {
    o.fias = "[::1]:5010";
    o.fias_coders = {"1=0", "KC2=desk-2:3"};
    o.fias_rooms = {" 2781 = 2,3,0301 "};
    o.fias_encoding = "GBK";
    o.checkout_time = "11:30";
    o.desks_listen = "[::]:5020";
  });
  holvanter::Result<std::optional<KeyLinkSetup>> key_link = KeyLinkSetupOf(options, rooms_file);
  ASSERT_TRUE(key_link.ok()) << key_link.status().message();
  ASSERT_TRUE(*key_link);
  const KeyLinkSetup& setup = **key_link;
  EXPECT_EQ(setup.host, "::1");
  EXPECT_EQ(setup.port, "5010");
  EXPECT_EQ(setup.keys.coders.at("1").port, 0);
  EXPECT_EQ(setup.keys.coders.at("KC2").desk, "desk-2");
  EXPECT_EQ(setup.keys.coders.at("KC2").port, 3);
  EXPECT_EQ(setup.keys.rooms.size(), 2u);  // the other section's line is not the map's
  EXPECT_EQ(setup.keys.rooms.at("A101"), (fias::RoomPlace{1, 1, "0101"}));
  EXPECT_EQ(setup.keys.rooms.at("2781"), (fias::RoomPlace{2, 3, "0301"}));
  EXPECT_EQ(setup.keys.code_page, fias::CodePage::kGbk);
  EXPECT_EQ(setup.keys.checkout_minutes, 11 * 60 + 30);
  EXPECT_EQ(setup.keys.checkin_minutes, 14 * 60);
  holvanter::Result<std::optional<DesksSetup>> desks = DesksSetupOf(options, *key_link);
  ASSERT_TRUE(desks.ok()) << desks.status().message();
  ASSERT_TRUE(*desks);
  EXPECT_EQ((*desks)->listen_address, "::");
  EXPECT_EQ((*desks)->listen_port, 5020);
  EXPECT_EQ((*desks)->coders.at("desk-2"), std::vector<std::string>{"KC2"});
}

// A settings file: each line the reader would pass over refuses the file,
// naming the line and the nearest known name; names compare without case.
TEST(SettingsFile, EachLineIsKnownOrNamed) {
  const SettingsSections sections{
      {"serve", {"listen-port", "checkin-time", "checkout-time", "fias-encoding", "origin"}},
      {"fias-rooms", {}}};
  const struct {
    std::string text;
    const char* says;  // nullptr: taken, as `normal`
    std::string normal;
  } cases[] = {
      {"[serve]\nchekin-time = 15:00\n",
       "agent.ini line 2 \"chekin-time = 15:00\": no key chekin-time in [serve]; the nearest known "
       "key is checkin-time"},
      {"[serve]\n# hours\n\ncheckout-time 11:00\n",
       "line 4 \"checkout-time 11:00\": not key = value; the nearest known key is checkout-time"},
      {"[serve]\nfias-encoding gbk", "line 2 \"fias-encoding gbk\": not key = value; the nearest "
                                    "known key is fias-encoding"},
      {"[serve]\nlisten-port =\n", "not key = value; the nearest known key is listen-port"},
      {"[sevre]\nlisten-port = 0\n",
       "line 1 \"[sevre]\": no section of that name; the nearest known section is [serve]"},
      {"[fias-room]\n", "the nearest known section is [fias-rooms]"},
      {"[serve\n", "line 1 \"[serve\": no section of that name"},
      {"listen-port = 0\n[serve]\n",
       "line 1 \"listen-port = 0\": a key before any section; the nearest known key is "
       "listen-port, in [serve]"},
      {"[fias-rooms]\nA101\n", "line 2 \"A101\": not key = value"},
      // A section or key in any case is the known one, in its own case.
      {"\xEF\xBB\xBF[Serve]\r\nListen-Port = 0\r\n; note\r\n", nullptr,
       "[serve]\nlisten-port = 0\n; note\n"},
      {"[ SERVE ]\nCHECKIN-TIME=15:00", nullptr, "[serve]\ncheckin-time = 15:00\n"},
      // The room map's keys are the PMS's room names: any key, its case kept.
      {"[FIAS-ROOMS]\nA101 = 1,1,0101\n", nullptr, "[fias-rooms]\nA101 = 1,1,0101\n"},
      // An array over several lines is one value, whatever its lines hold.
      {"[serve]\norigin = [\n  \"https://a\",\n  \"https://b\"]\nlisten-port = 0\n", nullptr,
       "[serve]\norigin = [\n\"https://a\",\n\"https://b\"]\nlisten-port = 0\n"},
      {"[serve]\norigin = [\"https://a\"]\nlisten-prot = 1\n",
       "line 3 \"listen-prot = 1\": no key listen-prot in [serve]; the nearest known key is "
       "listen-port"},
  };
  for (const auto& c : cases) {
    const holvanter::Result<std::string> checked = CheckedSettings("agent.ini", c.text, sections);
    if (c.says == nullptr) {
      ASSERT_TRUE(checked.ok()) << c.text << ": " << checked.status().message();
      EXPECT_EQ(checked.value(), c.normal) << c.text;
    } else {
      ASSERT_FALSE(checked.ok()) << c.text;
      EXPECT_EQ(checked.status().code(), Status::Code::kInvalidArgument) << c.text;
      EXPECT_NE(checked.status().message().find(c.says), std::string::npos)
          << c.text << ": " << checked.status().message();
      EXPECT_EQ(checked.status().message().rfind("agent.ini line ", 0), 0u) << c.text;
    }
  }
}

}  // namespace
}  // namespace agent
