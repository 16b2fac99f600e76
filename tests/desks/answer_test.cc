// The link desk's answer to the PMS when a desk ran the request: its own
// record, with only what it may take from the desk, and none at all when
// the desk lies; and the routing that brings the request there and the
// answer back, on the time passed in.
#include "hosts/desks/answer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "hosts/desks/routing.h"

namespace desks {
namespace {

fias::Record Parsed(const std::string& text) {
  std::optional<fias::Record> record = fias::ParseRecord(text);
  EXPECT_TRUE(record) << text;
  return record.value_or(fias::Record{});
}

std::string Text(const fias::Record& record) {
  const std::string framed = fias::EncodeRecord(record);
  return framed.substr(1, framed.size() - 2);
}

// The key services' own answer to `request`, as KeyService::Answer makes it.
fias::Record Own(const fias::Record& request, const std::string& status,
                 const std::string& text = "") {
  fias::Record answer{request.id == "KZ" ? "KZ" : "KA", {}};
  answer.Add("AS", status).Add("CT", text).Add("KC", request.Value("KC"));
  answer.Add("WS", request.Value("WS"));
  if (request.Has("G#")) answer.Add("G#", request.Value("G#"));
  return answer.Add("DA", "251208").Add("TI", "093000");
}

std::optional<fias::Record> Answer(const std::string& request_text, const std::string& told,
                                   const std::string& cut, std::string& why,
                                   fias::CodePage page = fias::CodePage::kWindows1252) {
  const fias::Record request = Parsed(request_text);
  return AnswerFor(
      request, Parsed(told), cut, page,
      [&](const std::string& status) { return Own(request, status); },
      [](const std::string& card) -> std::optional<std::string> {
        if (card == "00000123") return std::string("777");
        return std::nullopt;
      },
      why);
}

const std::string kKr = "KR|WS3|KC6|RN0101|GD251210|G#111|DA251208|TI093000|";
const std::string kKz = "KZ|WS3|KC6|DA251208|TI093000|";
const std::string kKm = "KM|WS3|KC6|RN0102|RO0101|GD251211|G#111|DA251208|TI093000|";
const std::string kKd = "KD|WS3|KC6|RN0101|G#111|DA251208|TI093000|";

TEST(DeskAnswer, BuiltFromTheRequestWithTheDesksStatusTextAndFacts) {
  const struct {
    const char* what;
    std::string request, told, cut, answer;
  } cases[] = {
      {"a card cut", kKr, "KA|ASOK|CTcard 00000456 room 0101|KC6|WS3|G#111|", "00000456",
       "KA|ASOK|CTcard 00000456 room 0101|KC6|WS3|G#111|DA251208|TI093000|"},
      {"fields the desk adds are left out", kKr, "KA|ASUR|CTno|KC6|WS3|G#111|RN9999|$2x|", "",
       "KA|ASUR|CTno|KC6|WS3|G#111|DA251208|TI093000|"},
      {"the desk's own time is not taken", kKr, "KA|ASBY|CTbusy|KC6|WS3|G#111|DA991231|TI235959|",
       "", "KA|ASBY|CTbusy|KC6|WS3|G#111|DA251208|TI093000|"},
      {"a long clear text cut to 40 bytes", kKr,
       "KA|ASNG|CT" + std::string(60, 'y') + "|KC6|WS3|G#111|", "",
       "KA|ASNG|CT" + std::string(40, 'y') + "|KC6|WS3|G#111|DA251208|TI093000|"},
      {"a card read, the reservation from this journal", kKz,
       "KZ|ASOK|CTcard 00000123 room 0203|KC6|WS3|RN0203|GNAnna|GD251210|DT11:00|G#999|", "",
       "KZ|ASOK|CTcard 00000123 room 0203|KC6|WS3|RN0203|GNAnna|GD251210|DT11:00|G#777|"
       "DA251208|TI093000|"},
      {"a card read this link desk never cut", kKz,
       "KZ|ASOK|CTcard 00000124 room 0203|KC6|WS3|RN0203|GN" + std::string(50, 'n') + "|G#999|",
       "", "KZ|ASOK|CTcard 00000124 room 0203|KC6|WS3|RN0203|GN" + std::string(40, 'n') +
               "|DA251208|TI093000|"},
      {"no card on the encoder", kKz, "KZ|ASNG|CTno guest card|KC6|WS3|", "",
       "KZ|ASNG|CTno guest card|KC6|WS3|DA251208|TI093000|"},
      {"a card cut for a room move", kKm, "KA|ASOK|CTcard 00000457 room 0102|KC6|WS3|G#111|",
       "00000457", "KA|ASOK|CTcard 00000457 room 0102|KC6|WS3|G#111|DA251208|TI093000|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    const std::optional<fias::Record> answer = Answer(c.request, c.told, c.cut, why);
    ASSERT_TRUE(answer) << why;
    EXPECT_EQ(Text(*answer), c.answer);
  }
}

TEST(DeskAnswer, WhatADeskLiesIsRefused) {
  const struct {
    const char* what;
    std::string request, told, cut, why;
  } cases[] = {
      {"an LE", kKr, "LE|DA251208|TI093000|", "", "a LE record for a KR"},
      {"a GI", kKr, "GI|RN0101|G#111|", "", "a GI record for a KR"},
      {"a KZ for a KR", kKr, "KZ|ASOK|CTx|KC6|WS3|G#111|", "", "a KZ record for a KR"},
      {"another workstation", kKr, "KA|ASOK|CTx|KC6|WS4|G#111|", "", "another WS"},
      {"another key coder", kKr, "KA|ASOK|CTx|KC7|WS3|G#111|", "", "another KC"},
      {"another reservation", kKr, "KA|ASOK|CTx|KC6|WS3|G#112|", "", "another G#"},
      {"no reservation", kKr, "KA|ASOK|CTx|KC6|WS3|", "", "another G#"},
      {"a status that is none", kKr, "KA|ASXX|CTx|KC6|WS3|G#111|", "", "status"},
      {"no status", kKr, "KA|CTx|KC6|WS3|G#111|", "", "status"},
      {"a card of 7 figures", kKr, "KA|ASOK|CTx|KC6|WS3|G#111|", "0000045", "cut card"},
      {"a card of letters", kKr, "KA|ASOK|CTx|KC6|WS3|G#111|", "0000045A", "cut card"},
      {"a card cut for a refusal", kKr, "KA|ASUR|CTx|KC6|WS3|G#111|", "00000456", "cut card"},
      {"a card cut for a read", kKz, "KZ|ASOK|CTx|KC6|WS3|RN0101|", "00000456", "cut card"},
      {"a card cut for a check-out", kKd, "KA|ASOK|CTx|KC6|WS3|G#111|", "00000456", "cut card"},
      {"a clear text past 8 KiB", kKr, "KA|ASOK|CT" + std::string(9000, 'x') + "|KC6|WS3|G#111|",
       "", "clear text"},
      {"a read with no room", kKz, "KZ|ASOK|CTx|KC6|WS3|GNAnna|", "", "card facts"},
      {"a read of a room too long", kKz, "KZ|ASOK|CTx|KC6|WS3|RN012345678|", "", "card facts"},
      {"a departure that is no date", kKz, "KZ|ASOK|CTx|KC6|WS3|RN0101|GD2612|", "", "card facts"},
      {"a departure time past the day", kKz, "KZ|ASOK|CTx|KC6|WS3|RN0101|DT24:00|", "",
       "card facts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_FALSE(Answer(c.request, c.told, c.cut, why));
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

TEST(DeskAnswer, ClearTextAndNamesAreCutInTheSitesCodePage) {
  const std::string gbk = fias::FromUtf8("张三李四王五赵六孙七周八吴九郑十冯一陈二", fias::CodePage::kGbk);
  ASSERT_EQ(gbk.size(), 40u);
  std::string why;
  const std::optional<fias::Record> answer =
      Answer(kKr, "KA|ASUR|CTa" + gbk + "|KC6|WS3|G#111|", "", why, fias::CodePage::kGbk);
  ASSERT_TRUE(answer) << why;
  EXPECT_EQ(answer->Value("CT"), "a" + gbk.substr(0, 38));  // never half a character
}

// What the routing tells the hub to do, one line each; the log is left out.
std::vector<std::string> Shown(const std::vector<RoutingAction>& actions) {
  std::vector<std::string> lines;
  for (const RoutingAction& a : actions) {
    const fias::CutCard& c = a.card;
    const std::string card = c.card_no + " G#" + c.reservation + " WS" + c.workstation;
    std::string cards;
    for (const std::string& each : a.cards) cards += " " + each;
    const fias::Record& told = a.outcome.answer;
    switch (a.kind) {
      case RoutingAction::kRequest:
        lines.push_back("request " + std::to_string(a.id) + " to " + a.desk + cards);
        break;
      case RoutingAction::kAnswer:
        lines.push_back("answer " + std::to_string(a.id) + " " + told.Value("AS") + " " +
                        told.Value("CT") + " G#" + told.Value("G#"));
        break;
      case RoutingAction::kDrop: lines.push_back("drop " + a.desk + ": " + a.text); break;
      case RoutingAction::kReadCards: lines.push_back("read cards of G#" + a.text); break;
      case RoutingAction::kReadCard: lines.push_back("read card " + a.text); break;
      case RoutingAction::kJournalCut:
        lines.push_back("journal cut " + card + " " + c.requested_at);
        break;
      case RoutingAction::kJournalLost:
        lines.push_back("journal lost " + card + " " + c.requested_at);
        break;
      case RoutingAction::kLateKept: lines.push_back("late-kept " + c.card_no); break;
      case RoutingAction::kLateRefused: lines.push_back("late-refused " + c.card_no); break;
      case RoutingAction::kReadRegistry: lines.push_back("read registry"); break;
      case RoutingAction::kLog: break;
    }
  }
  return lines;
}

const auto kStart = std::chrono::steady_clock::time_point() + std::chrono::hours(1);

// Desk east joins and leaves, the PMS's requests are routed to it, and it
// answers and reports, with a queue wait of 2 s: a request is lost 4 s after
// it was routed. Each step names a request by its id.
TEST(DeskRouting, RequestsAnswersAndReportsOnTheTimePassedIn) {
  enum Act { kJoin, kLeave, kRoute, kCards, kAnswer, kCardRead, kLate, kRegistry, kTick };
  struct Step {
    int at_ms;
    Act act;
    std::string what{};  // kRoute: the request; kAnswer: the desk's answer; kLate: card G# WS;
                         // kCards: a card of the reservation; kCardRead: the reservation
    std::vector<std::string> actions{};  // "..." first: these are the last ones
    int deadline_ms = -1;                // -1: none
    uint64_t id = 1;
    std::string cut{};    // kAnswer
    std::string why{};    // kAnswer: the refusal
    int times = 1;        // kRoute
  };
  const std::string kKa = "KA|ASOK|CTcard 00000456 room 0101|KC6|WS3|G#111|";
  const std::vector<std::string> kLost = {"answer 1 RY desk east lost G#111",
                                          "drop east: no answer in time"};
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"an answer in time: its card is journaled before the PMS hears it",
       {{0, kJoin}, {0, kRoute, kKr, {"request 1 to east"}, 4000},
        {1500, kAnswer, kKa, {"journal cut 00000456 G#111 WS3 251208093001",
                              "answer 1 OK card 00000456 room 0101 G#111"}, -1, 1, "00000456"}}},
      {"no answer in the queue wait and 2 s: RY, the desk given up",
       {{0, kJoin}, {0, kRoute, kKr, {"request 1 to east"}, 4000},
        {3999, kTick, "", {"read registry"}, 4000},
        {4000, kTick, "", kLost, 4999},
        {4000, kAnswer, kKa, {}, 4999, 1, "00000456"}}},  // a dropped desk is not heard
      {"an answer after the time is journaled as unanswered, once",
       {{0, kJoin}, {0, kRoute, kKr, {"request 1 to east"}, 4000},
        {4000, kTick, "", kLost, 5000},
        {4500, kJoin, "", {}, 5000},
        {4500, kAnswer, kKa, {"journal lost 00000456 G#111 WS3 251208093004"}, 5000, 1, "00000456"},
        {4600, kAnswer, kKa, {}, 5000, 1, "00000456", "an answer to no request of this desk"}}},
      {"a late report is kept for a lost KR of its G# and WS alone, once",
       {{0, kJoin}, {0, kRoute, kKr, {"request 1 to east"}, 4000},
        {1000, kLeave, "", {"answer 1 RY desk east lost G#111"}},
        {2000, kJoin}, {2000, kLate, "00000457 999 3", {"late-refused 00000457"}},
        {2000, kLate, "00000457 111 4", {"late-refused 00000457"}},
        {2000, kLate, "00000457 111 3", {"journal lost 00000457 G#111 WS3 251208093001",
                                          "late-kept 00000457"}},
        {2000, kLate, "00000457 111 3", {"late-refused 00000457"}}}},
      {"past 64 lost requests of a desk the oldest go first",
       {{0, kJoin}, {0, kRoute, kKr, {"...", "request 65 to east"}, 4000, 1, "", "", 65},
        {0, kLeave, "", {"...", "answer 65 RY desk east lost G#111"}},
        {0, kJoin}, {0, kAnswer, kKa, {}, -1, 1, "", "an answer to no request of this desk"},
        {0, kAnswer, kKa, {}, -1, 2}}},
      {"a desk that leaves fails its requests, a check-out waiting for the journal too",
       {{0, kJoin}, {0, kRoute, kKr, {"request 1 to east"}, 4000},
        {0, kRoute, kKd, {"read cards of G#111"}, 4000},
        {100, kLeave, "", {"answer 1 RY desk east lost G#111", "answer 2 RY desk east lost G#111"}},
        {200, kCards, "", {}, -1, 2},
        {200, kRoute, kKd, {"answer 3 UR desk east not connected G#111"}}}},
      {"a check-out goes with the reservation's cards; a card read with its reservation",
       {{0, kJoin}, {0, kRoute, kKd, {"read cards of G#111"}, 4000},
        {10, kCards, "00000123", {"request 1 to east 00000123"}, 4000},
        {20, kRoute, kKz, {"request 2 to east"}, 4000},
        {30, kAnswer, "KZ|ASOK|CTcard 00000123 room 0203|KC6|WS3|RN0203|GNAnna|",
         {"read card 00000123"}, 4000, 2},
        {4000, kTick, "", kLost, 5000},
        {4000, kCardRead, "777", {"answer 2 OK card 00000123 room 0203 G#777"}, 5000, 2}}},
      {"the registry drops a desk it no longer pairs, not one that joined after the read",
       {{0, kJoin}, {0, kTick, "", {"read registry"}, 1000},
        {10, kLeave, "", {}, 1000}, {10, kJoin, "", {}, 1000}, {20, kRegistry, "", {}, 1000},
        {1000, kTick, "", {"read registry"}, 2000},
        {1010, kRegistry, "", {"drop east: removed"}, 2000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routing routing(std::chrono::milliseconds(2000), fias::CodePage::kWindows1252,
                    [](const fias::Record& request, const std::string& status,
                       const std::string& text) { return Own(request, status, text); });
    uint64_t registry_read = 0;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.at_ms);
      // The wall clock at 2025-12-08 09:30:00 and on: the rows stay within a minute.
      const int second = step.at_ms / 1000;
      const RoutingTime now{kStart + std::chrono::milliseconds(step.at_ms),
                            "2512080930" + std::string(second < 10 ? "0" : "") +
                                std::to_string(second)};
      if (step.act == kJoin) routing.Joined("east", Secret{}, now);
      if (step.act == kLeave) routing.Left("east", "gone", now);
      if (step.act == kCards)
        routing.CardsRead(step.id, std::vector<std::string>(!step.what.empty(), step.what), now);
      if (step.act == kCardRead) routing.CardRead(step.id, step.what, now);
      if (step.act == kRegistry)  // east is paired no more
        routing.RegistryRead(registry_read, std::map<std::string, Secret>{}, now);
      if (step.act == kTick) routing.Tick(now);
      for (int i = 0; step.act == kRoute && i < step.times; ++i)
        routing.Route("east", 0, Parsed(step.what), now);
      if (step.act == kAnswer) {
        const holvanter::Status answered =
            routing.Answered("east", step.id, {Parsed(step.what), step.cut}, now);
        EXPECT_NE(answered.message().find(step.why), std::string::npos) << answered.message();
        EXPECT_EQ(answered.ok(), step.why.empty());
      }
      if (step.act == kLate) {
        char card[9], reservation[9], workstation[9];
        ASSERT_EQ(std::sscanf(step.what.c_str(), "%8s %8s %8s", card, reservation, workstation), 3);
        routing.Late("east", {card, reservation, workstation, "991231235959"}, now);
      }
      const std::vector<RoutingAction> actions = routing.TakeActions();
      for (const RoutingAction& a : actions)
        if (a.kind == RoutingAction::kReadRegistry) registry_read = a.id;
      std::vector<std::string> shown = Shown(actions);
      if (!step.actions.empty() && step.actions[0] == "...") {
        ASSERT_GE(shown.size(), step.actions.size() - 1);
        shown.erase(shown.begin(), shown.end() - (std::ptrdiff_t(step.actions.size()) - 1));
        shown.insert(shown.begin(), "...");
      }
      EXPECT_EQ(shown, step.actions);
      const auto deadline = routing.next_deadline();
      EXPECT_EQ(deadline ? (*deadline - kStart) / std::chrono::milliseconds(1) : -1,
                step.deadline_ms);
    }
  }
}

}  // namespace
}  // namespace desks
