// What a card request carries, checked before anything is queued: each
// refusal as a value with its stable code and field, in the order a
// request meets them.
#include "hosts/agent/card_requests.h"

#include <string>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace agent
