// FIAS records: parsing, encoding, the log form, and framing a byte stream
// however the reads cut it.
#include "hosts/fias/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fias {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(Record, ParsedEncodedAndLoggedByteForByte) {
  const struct {
    std::string text;
    Fields fields;
    std::string logged;  // empty: the text itself
  } valid[] = {
      {"KR|WS3|KC1|RN2781|", {{"WS", "3"}, {"KC", "1"}, {"RN", "2781"}}, ""},
      {"LS|", {}, ""},
      {"KR|RN|", {{"RN", ""}}, ""},
      {"KR|RN 0203 |G#011|$1;9|K#1|", {{"RN", " 0203 "}, {"G#", "011"}, {"$1", ";9"}, {"K#", "1"}}, ""},
      {"KR|GN\xCD\xF5\xB7\xBC|", {{"GN", "\xCD\xF5\xB7\xBC"}}, "KR|GN...|"},  // a GBK name
      {"KR|RN1|GNAnn Lee|RN2|GN|", {{"RN", "1"}, {"GN", "Ann Lee"}, {"RN", "2"}, {"GN", ""}}, "KR|RN1|GNA...|RN2|GN|"},
      {"LD|V#1|CGFidCryptAB;abc==|", {{"V#", "1"}, {"CG", "FidCryptAB;abc=="}}, "LD|V#1|CG...|"},
  };
  for (const auto& c : valid) {
    const std::optional<Record> record = ParseRecord(c.text);
    ASSERT_TRUE(record) << c.text;
    EXPECT_EQ(record->id, c.text.substr(0, 2));
    EXPECT_EQ(record->fields, c.fields) << c.text;
    EXPECT_EQ(EncodeRecord(*record), kStx + c.text + kEtx);
    EXPECT_EQ(ForLog(*record), c.logged.empty() ? c.text : c.logged);
  }
  for (const char* text : {"", "KR", "kr|", "K-|RN1|", "KRX|", "KR|RN1", "KR||", "KR|R|", "KR|rn1|", "KR|R%1|",
                           "KR|RN1\x01|", "KR|RN1\x7F|"}) {
    EXPECT_FALSE(ParseRecord(text).has_value()) << text;
  }
  const Record twice = *ParseRecord("KR|RN0203|RN999|");
  EXPECT_EQ(twice.Get("RN"), "0203");
  EXPECT_EQ(twice.Get("GN"), std::nullopt);

  // What cannot travel in a value becomes a blank.
  Record answer;
  answer.id = "KA";
  answer.Add("AS", "OK").Add("CT", "a|b\x02" "c\x03\x7F");
  EXPECT_EQ(EncodeRecord(answer), "\x02KA|ASOK|CTa b c  |\x03");
  EXPECT_EQ(ForLog(answer), "KA|ASOK|CTa bc|");
}

// The events as text: a record's fields, or what was dropped.
std::vector<std::string> Shown(const std::vector<FrameReader::Event>& events) {
  std::vector<std::string> shown;
  for (const auto& e : events) {
    shown.push_back(e.kind == FrameReader::Event::kRecord      ? e.record.id + "|"
                    : e.kind == FrameReader::Event::kMalformed ? "malformed:" + e.text
                                                                : "oversize:" + e.text);
    for (const auto& [id, value] : e.record.fields) shown.back() += id + value + "|";
  }
  return shown;
}

TEST(FrameReader, RecordsHoweverTheReadsCutThem) {
  constexpr std::size_t kMax = FrameReader::kMaxRecord;
  const std::string longest = "KR|RN" + std::string(kMax - 6, '7') + "|";
  const std::string too_long = "KR|RN" + std::string(kMax - 5, '7') + "|";
  const struct {
    std::vector<std::string> reads;
    std::vector<std::string> events;
    std::size_t pending;
  } cases[] = {
      {{"\x02LS|DA1|TI2|\x03\x02KR|RN1|\x03"}, {"LS|DA1|TI2|", "KR|RN1|"}, 0},
      {{"\x02KR|R", "N02", "03|\x03"}, {"KR|RN0203|"}, 0},
      {{"xx\x02LA|\x03y\r\n", "\x03\x02LA|\x03zz"}, {"LA|", "LA|"}, 0},  // garbage, an ETX without STX
      {{"\x02KR|RN1\x02LA|\x03"}, {"malformed:KR|RN1", "LA|"}, 0},       // a new STX drops the record
      {{"\x02KR|RN1\x03\x02LA|\x03"}, {"malformed:KR|RN1", "LA|"}, 0},
      {{"\x02KR|", "RN1|"}, {}, 7},
      {{"\x02" + longest + "\x03"}, {longest}, 0},
      {{"\x02" + too_long, "99\x03", "\x02LA|\x03"}, {"oversize:" + too_long.substr(0, 80), "LA|"}, 0},
  };
  for (const auto& c : cases) {
    std::string joined;
    FrameReader as_read, at_once, by_byte;
    std::vector<FrameReader::Event> read_events, once_events, byte_events;
    for (const std::string& read : c.reads) {
      as_read.Feed(read, read_events);
      joined += read;
    }
    at_once.Feed(joined, once_events);
    for (char b : joined) by_byte.Feed(std::string_view(&b, 1), byte_events);
    EXPECT_EQ(Shown(read_events), c.events) << joined.substr(0, 40);
    EXPECT_EQ(Shown(once_events), c.events) << joined.substr(0, 40) << ", in one read";
    EXPECT_EQ(Shown(byte_events), c.events) << joined.substr(0, 40) << ", byte by byte";
    EXPECT_EQ(by_byte.pending(), c.pending) << joined.substr(0, 40);
  }
}

}  // namespace
}  // namespace fias
