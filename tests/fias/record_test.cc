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
      {"KR|RN1|GNAnn Lee|CT|G#|", {{"RN", "1"}, {"GN", "Ann Lee"}, {"CT", ""}, {"G#", ""}}, "KR|RN1|GNA...|CT|G#|"},
      {"LD|V#1|CGFidCryptAB;abc==|", {{"V#", "1"}, {"CG", "FidCryptAB;abc=="}}, "LD|V#1|CG...|"},
  };
  for (const auto& c : valid) {
    const std::optional<Record> record = ParseRecord(c.text);
    ASSERT_TRUE(record) << c.text;
    EXPECT_EQ(record->id, c.text.substr(0, 2));
    EXPECT_EQ(record->fault, "") << c.text;
    EXPECT_EQ(record->fields, c.fields) << c.text;
    EXPECT_EQ(EncodeRecord(*record), kStx + c.text + kEtx);
    EXPECT_EQ(ForLog(*record), c.logged.empty() ? c.text : c.logged);
  }
  for (const char* text : {"", "K", "kr|", "K-|RN1|", "KRX|", "|RN1|"}) {
    EXPECT_FALSE(ParseRecord(text).has_value()) << text;
  }

  // A record with an ID is answered even when it cannot be served: its
  // fault says why, and the fields that could be read give the answer's
  // echo (WS, KC, G#).
  const struct {
    std::string text;
    std::string fault;  // empty: sound
    Fields fields;
  } faulty[] = {
      {"KR|G+35607|RN134|", "", {{"G+", "35607"}, {"RN", "134"}}},  // the document's own G+
      {"KR|FO-PC1|KC1|", "", {{"FO", "-PC1"}, {"KC", "1"}}},        // a first field without its ID, as printed
      {"KR", "no '|' after the record ID", {}},
      {"KR|RN1", "text after the last '|'", {{"RN", "1"}}},
      {"KR|WS3|KC1", "text after the last '|'", {{"WS", "3"}, {"KC", "1"}}},
      {"KR||WS3|", "a field without a field ID", {{"WS", "3"}}},
      {"KR|R|WS3|", "a field without a field ID", {{"WS", "3"}}},
      {"KR|rn1|WS3|", "a field without a field ID", {{"WS", "3"}}},
      {"KR|R%1|", "a field without a field ID", {}},
      {"KR|WS3|CTline\nbreak|KC1|", "a control character in CT", {{"WS", "3"}, {"CT", "line\nbreak"}, {"KC", "1"}}},
      {"KR|RN1\x7F|", "a control character in RN", {{"RN", "1\x7F"}}},
      {"KR|RN0203|RN0205|G#7|", "field RN given twice", {{"RN", "0203"}, {"RN", "0205"}, {"G#", "7"}}},
  };
  for (const auto& c : faulty) {
    const std::optional<Record> record = ParseRecord(c.text);
    ASSERT_TRUE(record) << c.text;
    EXPECT_EQ(record->id, "KR");
    EXPECT_EQ(record->fault, c.fault) << c.text;
    EXPECT_EQ(record->fields, c.fields) << c.text;
  }

  // What cannot travel in a value goes as '?'; the log shows a control
  // character escaped.
  Record answer;
  answer.id = "KA";
  answer.Add("AS", "OK").Add("CT", "a|b\x02" "c\x03\x7F");
  EXPECT_EQ(EncodeRecord(answer), "\x02KA|ASOK|CTa?b?c??|\x03");
  EXPECT_EQ(ForLog(answer), "KA|ASOK|CTa?b\\x02c\\x03\\x7F|");
  // A name's first letter shows only when it is a printable letter.
  EXPECT_EQ(ForLog(Record{"KR", {{"GN", std::string("\0" "03", 3)}, {"G#", "1"}}}), "KR|GN...|G#1|");
}

// GBK puts '|' (0x7C) as the second byte of characters such as 東 (96 7C):
// such a name is one field, wherever the character stands, and goes out
// with '?' for that character, never half of it.
TEST(Record, DoubleByteNamesHoldingTheSeparatorByte) {
  const std::string east = "\x96\x7C", other = "\xD6\x7C";  // 東, and another of the kind
  const struct {
    std::string name;
    std::string sent;  // the name as it goes out
  } cases[] = {
      {east + "SI0205", "?SI0205"},
      {"Li " + east + " Wei", "Li ? Wei"},
      {"Wang" + other, "Wang?"},
      {east + other, "??"},
      {"\xCD\xF5\xB7\xBC", "\xCD\xF5\xB7\xBC"},  // no 0x7C: as it is
  };
  for (const auto& c : cases) {
    const std::string text = "KR|RN0203|GN" + c.name + "|WS1|";
    const std::optional<Record> record = ParseRecord(text, TextBytes::kDoubleByte);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->fault, "");
    EXPECT_EQ(record->fields, (Fields{{"RN", "0203"}, {"GN", c.name}, {"WS", "1"}})) << text;
    EXPECT_EQ(EncodeRecord(*record, TextBytes::kDoubleByte),
              "\x02KR|RN0203|GN" + c.sent + "|WS1|\x03");
    // Read as single bytes, the same text is another record: the reason the
    // link reads in the site's code page.
    const std::optional<Record> split = ParseRecord(text);
    if (c.name.find('|') != std::string::npos)
      EXPECT_TRUE(!split || split->fields.size() != 3 || split->fault != "") << text;
  }
  // A literal '|' in a name is a separator in any code page: it ends the
  // name, and what follows must be a field of its own (here SI0205, which
  // the record's room check then sees).
  const Record plain = *ParseRecord("KR|RN0203|GNAnn|SI0205|", TextBytes::kDoubleByte);
  EXPECT_EQ(plain.Value("GN"), "Ann");
  // A lead byte at the end of a value, before the separator, takes nothing
  // along: the separator still ends the field.
  Record cut;
  cut.id = "KA";
  cut.Add("CT", "ab\x96");
  EXPECT_EQ(EncodeRecord(cut, TextBytes::kDoubleByte), "\x02KA|CTab?|\x03");
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
      {{"\x02KR|RN1\x03\x02LA|\x03"}, {"KR|RN1|", "LA|"}, 0},             // answered: its fault says why
      {{"\x02kr|RN1|\x03\x02LA|\x03"}, {"malformed:kr|RN1|", "LA|"}, 0},
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
