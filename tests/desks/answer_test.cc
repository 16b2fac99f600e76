// The link desk's answer to the PMS when a desk ran the request: its own
// record, with only what it may take from the desk, and none at all when
// the desk lies.
#include "hosts/desks/answer.h"

#include <gtest/gtest.h>

#include <string>

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
fias::Record Own(const fias::Record& request, const std::string& status) {
  fias::Record answer{request.id == "KZ" ? "KZ" : "KA", {}};
  answer.Add("AS", status).Add("CT", "").Add("KC", request.Value("KC")).Add("WS", request.Value("WS"));
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

}  // namespace
}  // namespace desks
