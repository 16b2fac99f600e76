// What a card request carries, checked before anything is queued: each
// refusal as a value with its stable code and field, in the order a
// request meets them.
#include "hosts/agent/card_requests.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hosts/agent/health_cache.h"
#include "tests/support/stays.h"

namespace agent {
namespace {

// A live stay's dates, as a body's first two fields.
std::string Dates() {
  using holvanter::test_support::StayStamp;
  return R"("begin": ")" + StayStamp(0, "1400") + R"(", "end": ")" + StayStamp(2) + R"(", )";
}

TEST(CardRequests, TheBodyOfAGuestCard) {
  const std::string stay = Dates() + R"("building": 1, "floor": 2, "room": "0203", "holder": "Li Wei")";
  struct Case {
    std::string body, code, field;  // code empty: taken
  } cases[] = {
      {"{" + stay + "}", "", ""},
      {"{" + stay + R"(, "replace": true})", "", ""},
      {"", "missing_field", "begin"},  // an empty body is an empty object
      {"{" + stay, "bad_json", ""},
      {"[1]", "bad_json", ""},
      {"{" + stay + R"(, "replace": 1})", "invalid_field", "replace"},
      {"{" + stay + R"(, "rooms": ["0203", "0204"]})", "unknown_field", "rooms"},
      {R"({"begin": ")" + holvanter::test_support::StayStamp(0, "1400") + R"("})", "missing_field", "end"},
      {"{" + Dates() + R"("building": "1", "floor": 2,
           "room": "0203", "holder": "Li"})", "invalid_field", "building"},
      {"{" + Dates() + R"("building": 1, "floor": 40000,
           "room": "0203", "holder": "Li"})", "invalid_field", "floor"},
  };
  for (const Case& c : cases) {
    const Checked<nlohmann::json> in = CheckBody(c.body, kGuestFields);
    EXPECT_EQ(in.refusal() ? in.refusal()->code : "", c.code) << c.body;
    EXPECT_EQ(in.refusal() ? in.refusal()->field : "", c.field) << c.body;
    if (in.refusal()) EXPECT_FALSE(in.refusal()->message.empty());
  }
  // A room that would check the card on the encoder out is refused with the
  // front desk's guard, naming the field.
  const Checked<nlohmann::json> empty_room = CheckBody(
      "{" + Dates() + R"("building": 1, "floor": 2,
          "room": "", "holder": "Li Wei"})", kGuestFields);
  ASSERT_EQ(empty_room.refusal(), nullptr);
  const Checked<frontdesk::GuestStay> refused = GuestStayOf(*empty_room);
  ASSERT_NE(refused.refusal(), nullptr);
  EXPECT_EQ(refused.refusal()->code, "invalid_field");
  EXPECT_EQ(refused.refusal()->field, "room");
}

TEST(CardRequests, TheFilterOfTheCardList) {
  struct Case {
    std::string target, code, field;  // code empty: taken
    int limit = 0;
    std::string room, holder;
  } cases[] = {
      {"/v1/cards", "", "", 20},
      {"/v1/cards?limit=500&room=0203&holder=Li+Wei", "", "", 500, "0203", "Li Wei"},
      {"/v1/cards?holder=%E6%9D%8E", "", "", 20, "", "\xE6\x9D\x8E"},
      {"/v1/cards?limit=0", "invalid_parameter", "limit"},
      {"/v1/cards?limit=501", "invalid_parameter", "limit"},
      {"/v1/cards?limit=1e2", "invalid_parameter", "limit"},
      {"/v1/cards?before=nine", "invalid_parameter", "before"},
      {"/v1/cards?room=%zz", "invalid_parameter", "room"},
      // An escape cut short at the end, and a lower-case one.
      {"/v1/cards?room=02%3", "invalid_parameter", "room"},
      {"/v1/cards?room=02%", "invalid_parameter", "room"},
      {"/v1/cards?room=%3a", "", "", 20, ":"},
      {"/v1/cards?holder=%0A", "invalid_parameter", "holder"},
      {"/v1/cards?holder=%FF", "invalid_parameter", "holder"},
      // The parameters are met in order: the limit before the others.
      {"/v1/cards?room=%zz&limit=0", "invalid_parameter", "limit"},
  };
  for (const Case& c : cases) {
    const Checked<frontdesk::CardFilter> filter = CardFilterOf(c.target);
    EXPECT_EQ(filter.refusal() ? filter.refusal()->code : "", c.code) << c.target;
    EXPECT_EQ(filter.refusal() ? filter.refusal()->field : "", c.field) << c.target;
    if (filter.refusal()) continue;
    EXPECT_EQ(filter->limit, c.limit) << c.target;
    EXPECT_EQ(filter->room, c.room) << c.target;
    EXPECT_EQ(filter->holder, c.holder) << c.target;
  }
}

// A query parameter a route does not take is refused as an unknown body
// field is, naming it; one given twice would count once, so it is refused.
TEST(CardRequests, QueryParametersARouteTakes) {
  const std::vector<std::string> cards = {"limit", "room", "holder", "before"};
  struct Case {
    std::string target;
    std::vector<std::string> known;
    std::string code, field;  // code empty: taken
  } cases[] = {
      {"/v1/cards", cards, "", ""},
      {"/v1/cards?", cards, "", ""},
      {"/v1/cards?limit=5&&room=0203", cards, "", ""},
      {"/v1/cards?holder", cards, "", ""},
      {"/v1/cards?limt=5", cards, "unknown_parameter", "limt"},
      {"/v1/cards?limit=5&page=2", cards, "unknown_parameter", "page"},
      {"/v1/cards?Limit=5", cards, "unknown_parameter", "Limit"},
      {"/v1/cards?limit=5&limit=6", cards, "invalid_parameter", "limit"},
      {"/v1/rooms?floor=2", {}, "unknown_parameter", "floor"},
      {"/v1/card?for=checkout", {"for"}, "", ""},
      {"/v1/card?for=checkout&x=", {"for"}, "unknown_parameter", "x"},
  };
  for (const Case& c : cases) {
    const std::optional<BadRequest> refused = UnknownQueryParameter(c.target, c.known);
    EXPECT_EQ(refused ? refused->code : "", c.code) << c.target;
    EXPECT_EQ(refused ? refused->field : "", c.field) << c.target;
    if (refused) EXPECT_NE(refused->message.find("'" + c.field + "'"), std::string::npos);
  }
}

// A stay's times in ISO 8601 reach the front desk as the stamps of desk
// local time; the zone is the test's own.
TEST(CardRequests, StayTimesInIso8601) {
  const holvanter::test_support::ScopedTimeZone shanghai("Asia/Shanghai");
  using holvanter::test_support::StayStamp;
  // Today 06:00 UTC is 14:00 at this desk.
  const std::string day = StayStamp(0).substr(0, 8);
  const std::string iso_day = day.substr(0, 4) + "-" + day.substr(4, 2) + "-" + day.substr(6, 2);
  const std::string place = R"(, "building": 1, "floor": 2, "holder": "Li Wei")";
  const Checked<nlohmann::json> in = CheckBody(
      R"({"begin": ")" + iso_day + R"(T06:00:00Z", "end": ")" + StayStamp(2) + R"(", "room": "0203")" +
          place + "}",
      kGuestFields);
  ASSERT_EQ(in.refusal(), nullptr);
  const Checked<frontdesk::GuestStay> guest = GuestStayOf(*in);
  ASSERT_EQ(guest.refusal(), nullptr);
  EXPECT_EQ(guest->begin, StayStamp(0, "1400"));
  EXPECT_EQ(guest->end, StayStamp(2));
  const Checked<nlohmann::json> villa = CheckBody(
      R"({"begin": ")" + iso_day + R"(T14:00", "end": ")" + iso_day + R"(", "rooms": ["0203", "0204"])" +
          place + "}",
      kVillaFields);
  ASSERT_EQ(villa.refusal(), nullptr);
  const Checked<frontdesk::VillaStay> refused = VillaStayOf(*villa);
  ASSERT_NE(refused.refusal(), nullptr);
  EXPECT_EQ(refused.refusal()->field, "end");
}

// The health answer's database check is kept for 5 s of the agent's clock:
// health asked often opens no connection each time, and a lost database
// shows after at most that. Asks while a check runs get that check.
TEST(HealthCache, ACheckIsKeptForFiveSeconds) {
  boost::asio::io_context io;
  const auto keep_running = boost::asio::make_work_guard(io);  // the check comes back from another thread
  boost::asio::thread_pool database(1);
  hosts::TestClock clock(1'000'000);
  std::atomic<int> checks{0};
  HealthCache cache(io, database, clock, [&] {
    return nlohmann::json{{"reachable", ++checks == 1}};  // the database goes after the first
  });
  const auto ask = [&](int asks) {
    std::vector<nlohmann::json> seen;
    for (int i = 0; i < asks; ++i) cache.With([&](const nlohmann::json& j) { seen.push_back(j); });
    for (int turn = 0; seen.size() < static_cast<std::size_t>(asks) && turn < 500; ++turn) {
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
    }
    return seen;
  };
  const struct {
    int advance_ms, asks, checks;
    bool reachable;
  } rows[] = {{0, 3, 1, true},    {4999, 1, 1, true},  {1, 1, 2, false},
              {4999, 2, 2, false}, {1, 1, 3, false}, {60000, 1, 4, false}};
  for (const auto& row : rows) {
    clock.Advance(std::chrono::milliseconds(row.advance_ms));
    const std::vector<nlohmann::json> seen = ask(row.asks);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(row.asks)) << row.advance_ms;
    for (const nlohmann::json& answer : seen) EXPECT_EQ(answer["reachable"], row.reachable);
    EXPECT_EQ(checks, row.checks) << "after " << row.advance_ms << " ms";
  }
  database.join();
}

}  // namespace
}  // namespace agent
