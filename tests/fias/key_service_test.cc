// The key service's answers that need no encoder and no database: every
// refusal a PMS can provoke with the record alone, the stay it computes, and
// the journal a key read looks reservations up in.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hosts/clock/clock.h"
#include "hosts/fias/clock.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"

namespace fias {
namespace {

Moment FixedNow() { return {SteadyTime{}, "221208", "093000"}; }
// These plans keep every journal line they write.
void NoUnkeptLine(const std::string& line) { ADD_FAILURE() << line; }

Record KeyRequest(std::vector<std::pair<std::string, std::string>> fields) {
  Record record{"KR", {{"KC", "1"}, {"WS", "3"}, {"G#", "11122"}}};
  for (auto& field : fields) record.fields.push_back(std::move(field));
  return record;
}

// A record as the link reads it off the wire: a repeated field is then the
// codec's fault.
Record AsRead(const Record& record) {
  const std::string framed = EncodeRecord(record);
  return *ParseRecord(framed.substr(1, framed.size() - 2));
}

// Each test's journal in a folder of its own: test runs of other build
// trees on the machine use the same test names at the same time.
class KeyServiceTest : public testing::Test {
 protected:
  KeyServiceTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fias-journal-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
  }
  ~KeyServiceTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::string JournalPath() const { return folder_ + "/fias-journal"; }
  void WriteJournal(const std::string& text) const {
    std::ofstream(JournalPath(), std::ios::binary) << text;
  }
  std::string JournalText() const {
    std::stringstream text;
    text << std::ifstream(JournalPath(), std::ios::binary).rdbuf();
    return text.str();
  }

 private:
  std::string folder_;
};

TEST_F(KeyServiceTest, RequestsRefusedFromTheRecordAlone) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> fields;
    const char* text;  // the CT of the UR answer
  } cases[] = {
      {"one-shot key", {{"KT", "O"}, {"RN", "0203"}, {"GD", "221210"}},
       "one-shot keys are not supported"},
      {"unknown key type", {{"KT", "X"}, {"RN", "0203"}, {"GD", "221210"}},
       "key type X is not supported"},
      {"three rooms", {{"RN", "0203"}, {"SI", "0204;0205"}, {"GD", "221210"}},
       "at most two rooms of one floor per card"},
      {"no departure", {{"RN", "0203"}}, "no departure date (GD)"},
      {"departure not YYMMDD", {{"RN", "0203"}, {"GD", "2612"}}, "departure date GD is not a date"},
      {"departure in month 13", {{"RN", "0203"}, {"GD", "221310"}}, "departure date GD is not a date"},
      {"departure on 29 February of a common year", {{"RN", "0203"}, {"GD", "230229"}},
       "departure date GD is not a date"},
      {"departure on day 0", {{"RN", "0203"}, {"GD", "221200"}}, "departure date GD is not a date"},
      {"departure with a blank", {{"RN", "0203"}, {"GD", "26121 "}}, "departure date GD is not a date"},
      {"departure time past midnight", {{"RN", "0203"}, {"GD", "221210"}, {"DT", "24:00"}},
       "departure time DT is not HH:MM"},
      {"arrival on 31 April", {{"RN", "0203"}, {"GD", "221210"}, {"DA", "220431"}, {"TI", "093000"}},
       "arrival date and time not accepted"},
      {"departure time not HH:MM", {{"RN", "0203"}, {"GD", "221210"}, {"DT", "noon"}},
       "departure time DT is not HH:MM"},
      {"arrival not figures", {{"RN", "0203"}, {"GD", "221210"}, {"DA", "26120"}, {"TI", "093000"}},
       "arrival date and time not accepted"},
      {"departure before arrival", {{"RN", "0203"}, {"GD", "221207"}},
       "departure must come after arrival"},
      {"departure at the arrival",
       {{"RN", "0203"}, {"GD", "221208"}, {"DT", "09:30"}, {"DA", "221208"}, {"TI", "093000"}},
       "departure must come after arrival"},
      // A later arrival's key opens at check-in (14:00): a departure at 11:00
      // that day is no stay; GA today keeps the request's time.
      {"departure before a later arrival's check-in", {{"RN", "0203"}, {"GA", "221210"}, {"GD", "221210"}, {"DT", "11:00"}},
       "departure must come after arrival"},
      {"arrival not a date", {{"RN", "0203"}, {"GA", "221232"}, {"GD", "221240"}}, "arrival date GA is not a date"},
      {"two keys", {{"RN", "0203"}, {"GD", "221210"}, {"K#", "2"}}, "one key per request"},
      {"a key count that is no count", {{"RN", "0203"}, {"GD", "221210"}, {"K#", "x"}}, "one key per request"},
      {"an empty key count", {{"RN", "0203"}, {"GD", "221210"}, {"K#", ""}}, "one key per request"},
      {"a repeated field", {{"RN", "0203"}, {"GD", "221210"}, {"RN", "0205"}}, "field RN given twice"},
  };
  Journal journal(JournalPath());
  KeyService keys({}, journal, FixedNow, NoUnkeptLine);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const KeyJob job = keys.Plan(AsRead(KeyRequest(c.fields)));
    ASSERT_TRUE(job.answer.has_value());
    EXPECT_EQ(job.answer->id, "KA");
    EXPECT_EQ(job.answer->Value("AS"), "UR");
    EXPECT_EQ(job.answer->Value("CT"), c.text);
    // The clerk's PMS shows KC, WS and G# of the request it answers.
    EXPECT_EQ(job.answer->Value("KC"), "1");
    EXPECT_EQ(job.answer->Value("WS"), "3");
    EXPECT_EQ(job.answer->Value("G#"), "11122");
    EXPECT_EQ(job.answer->Value("DA"), "221208");
  }
  // A leap day is a day, one key is one key, and GA today or past keeps
  // the request's time: each goes to the encoder.
  for (const auto& fields : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"RN", "0203"}, {"GD", "240229"}},
           {{"RN", "0203"}, {"GD", "221231"}, {"K#", "01"}},
           {{"RN", "0203"}, {"GD", "221210"}, {"K#", "1"}, {"KO", "1 2 1"}, {"$2", "1000278100011122"}},
           {{"RN", "0203"}, {"GA", "221208"}, {"GD", "221208"}, {"DT", "11:00"}},
           {{"RN", "0203"}, {"GA", "221201"}, {"GD", "221209"}, {"G+", "35607"}, {"ID", "Visor, Super"}}})
    EXPECT_FALSE(keys.Plan(KeyRequest(fields)).answer.has_value()) << fields.size();
}

// Records that are no key request, or that reach the key service damaged,
// are answered at once, echoing what the PMS matches answers by; so are the
// check-outs and stay changes that lack what they need.
TEST_F(KeyServiceTest, EveryRecordIsAnswered) {
  Journal journal(JournalPath());
  KeyService keys({}, journal, FixedNow, NoUnkeptLine);
  const struct {
    std::string text;  // as it came between STX and ETX
    std::string id;    // of the answer
    std::string status, clear_text;
  } cases[] = {
      {"XY|WS3|KC1|G#9|", "KA", "UR", "record XY is not handled"},
      {"KR|WS3|KC1|G#9|CTa\nb|", "KA", "UR", "a control character in CT"},
      {"KR|WS3|KC1|G#9|RN0203|RN0205|", "KA", "UR", "field RN given twice"},
      {"KZ|WS3|KC1|RN", "KZ", "UR", "text after the last '|'"},
      {"KD|WS3|KC1|G#9|", "KA", "UR", "no room (RN)"},
      {"KM|WS3|KC1|RN0205|RO0203|GD221210|", "KA", "UR", "no reservation (G#)"},
      {"KM|WS3|KC1|G#9|GD221210|", "KA", "UR", "no room (RN)"},
      {"KM|WS3|KC1|G#9|RN0205|RO0203|", "KA", "UR", "no departure date (GD)"},
      {"KM|WS3|KC1|G#9|RN0205|RO0203|GD221210|", "KA", "UR", "no key of G# 9 cut here"},
  };
  for (const auto& c : cases) {
    const std::string& text = c.text;
    const std::optional<Record> record = ParseRecord(text);
    ASSERT_TRUE(record) << text;
    const KeyJob job = keys.Plan(*record);
    ASSERT_TRUE(job.answer.has_value()) << text;
    EXPECT_EQ(job.answer->id, c.id) << text;
    EXPECT_EQ(job.answer->Value("AS"), c.status) << text;
    if (!c.clear_text.empty()) EXPECT_EQ(job.answer->Value("CT"), c.clear_text) << text;
    EXPECT_FALSE(job.answer->Value("CT").empty()) << text;
    EXPECT_EQ(job.answer->Value("WS"), "3") << text;
    EXPECT_EQ(job.answer->Value("KC"), "1") << text;
    if (c.id == "KA") EXPECT_EQ(job.answer->Value("G#"), record->Value("G#")) << text;
  }
  // A stay change of a reservation this link cut a key for goes to the
  // encoder; so does every check-out of a room.
  ASSERT_EQ(journal.Cut({"00000101", "9", "3", "221208093000"}), "");
  EXPECT_FALSE(keys.Plan(*ParseRecord("KM|WS3|KC1|G#9|RN0205|RO0203|GD221210|")).answer);
  EXPECT_FALSE(keys.Plan(*ParseRecord("KD|WS3|KC1|RN0203|")).answer);
}

// CT is cut to 40 bytes of the site's code page, never inside a character.
TEST_F(KeyServiceTest, ClearTextIsFortyBytesOfTheCodePage) {
  Journal journal(JournalPath());
  const struct {
    CodePage page;
    std::size_t bytes;
  } cases[] = {{CodePage::kWindows1252, 40}, {CodePage::kGbk, 40}, {CodePage::kUtf8, 39}};
  std::string text(30, 'x');
  for (int i = 0; i < 20; ++i) text += "房";  // two bytes in GBK, three in UTF-8, '?' in 1252
  for (const auto& c : cases) {
    KeyServiceOptions options;
    options.code_page = c.page;
    KeyService keys(options, journal, FixedNow, NoUnkeptLine);
    const std::string ct = keys.Answer(KeyRequest({}), "UR", text).Value("CT");
    EXPECT_EQ(ct.size(), c.bytes) << NameOf(c.page);
    EXPECT_EQ(ToUtf8(ct, c.page).find("\xEF\xBF\xBD"), std::string::npos) << NameOf(c.page);
  }
  EXPECT_EQ(CutToBytes("ab\x96\x7C", 3, CodePage::kGbk), "ab");
  EXPECT_EQ(CutToBytes("ab\xC3\xA9", 3, CodePage::kUtf8), "ab");
  EXPECT_EQ(CutToBytes("ab\xE9", 3, CodePage::kWindows1252), "ab\xE9");
}

TEST_F(KeyServiceTest, KeyCodersChooseTheEncoder) {
  Journal journal(JournalPath());
  KeyServiceOptions options;
  options.default_port = 4;
  const Record request = KeyRequest({{"RN", "0203"}, {"GD", "221210"}});
  // No map: every coder is the agent's own encoder.
  EXPECT_EQ(KeyService(options, journal, FixedNow, NoUnkeptLine).Plan(request).port, 4);

  options.coders = {{"1", {"", 2}}, {"LOBBY", {"", 7}}, {"POOL", {"pool-bar", 3}}};
  KeyService keys(options, journal, FixedNow, NoUnkeptLine);
  EXPECT_EQ(keys.Plan(request).port, 2);
  EXPECT_TRUE(keys.Plan(request).desk.empty());
  Record lobby = request;
  lobby.fields[0].second = "LOBBY";
  EXPECT_EQ(keys.Plan(lobby).port, 7);
  // A joined desk's coder goes to that desk whole, unless the record alone
  // refuses it.
  Record pool = request;
  pool.fields[0].second = "POOL";
  const KeyJob routed = keys.Plan(pool);
  EXPECT_EQ(routed.desk, "pool-bar");
  EXPECT_EQ(routed.port, 3);
  EXPECT_FALSE(routed.run);
  pool.Add("KT", "O");
  EXPECT_EQ(keys.Plan(pool).answer->Value("AS"), "UR");
  for (const char* coder : {"2", " 1", "lobby"}) {
    Record other = request;
    other.fields[0].second = coder;
    const KeyJob job = keys.Plan(other);
    ASSERT_TRUE(job.answer.has_value()) << coder;
    EXPECT_EQ(job.answer->Value("AS"), "UR");
    EXPECT_EQ(job.answer->Value("CT"), "unknown key coder");
  }
  // A key read and a key delete of an unknown coder are refused the same way.
  Record read{"KZ", {{"KC", "9"}, {"WS", "3"}}};
  EXPECT_EQ(keys.Plan(read).answer->id, "KZ");
  EXPECT_EQ(keys.Plan(read).answer->Value("AS"), "UR");
}

TEST_F(KeyServiceTest, BusyAnswerAndClearTextLimit) {
  Journal journal(JournalPath());
  KeyService keys({}, journal, FixedNow, NoUnkeptLine);
  const Record busy = keys.Busy(KeyRequest({}));
  EXPECT_EQ(busy.Value("AS"), "BY");
  EXPECT_LE(busy.Value("CT").size(), 40u);
}

TEST_F(KeyServiceTest, RoomPlacesOfTheRoomMap) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {{"1,2,0203", true},  {"12,34,0001", true}, {"0,2,0203", false},
               {"1,2,203", false},   {"1,2", false},       {"1,,0203", false},
               {"100,2,0203", false}, {"1,2,0203,", false}, {"a,2,0203", false},
               {",2,0203", false},    {"1, 2,0203", false}, {"1,2,0a03", false}};
  for (const Case& c : cases) EXPECT_EQ(ParseRoomPlace(c.text).has_value(), c.valid) << c.text;
  EXPECT_EQ(*ParseRoomPlace("12,34,0001"), (RoomPlace{12, 34, "0001"}));
}

TEST_F(KeyServiceTest, JournalFindsTheNewestCutOfACard) {
  {
    Journal journal(JournalPath());
    EXPECT_EQ(journal.Cut({"00000101", "11122", "3", "221208093000"}), "");
    EXPECT_EQ(journal.Cut({"00000102", "", "WS 4", "221208093100"}), "");
    EXPECT_EQ(journal.Cut({"00000101", "99\t1", "3", "221208100000"}), "");
    EXPECT_EQ(journal.Unanswered("00000101"), "");
  }
  Journal reopened(JournalPath());  // what a restarted agent finds
  const auto first = reopened.Find("00000101");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->reservation, "99 1");  // a tab would have split the line
  EXPECT_EQ(first->requested_at, "221208100000");
  const auto second = reopened.Find("00000102");
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->reservation, "");
  EXPECT_EQ(second->workstation, "WS 4");
  EXPECT_FALSE(reopened.Find("00000103").has_value());

  Journal unwritable(JournalPath() + "/no/such");  // a folder where a file is
  EXPECT_NE(unwritable.Cut({"00000104", "1", "1", "221208093000"}), "");

  // An answer that cannot be delivered: kept as unanswered (with its cut),
  // said once in the log, and why the journal could not keep it said too.
  std::vector<std::string> said;
  const Log log = [&said](const std::string& line) { said.push_back(line); };
  const CutCard late{"00000105", "G5", "7", "221208110000"};
  KeepUnanswered(reopened, log, "card 00000105 unanswered", late.card_no, &late);
  ASSERT_EQ(said, (std::vector<std::string>{"card 00000105 unanswered"}));
  ASSERT_EQ(reopened.Unreported().size(), 2u);
  EXPECT_EQ(reopened.Unreported().back().reservation, "G5");
  KeepUnanswered(unwritable, log, "card 00000106 unanswered", "00000106");
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1].rfind("card 00000106 unanswered; the journal cannot be kept: ", 0), 0u) << said[1];
  LogUnkept(log, "the report of card 00000105", reopened.Reported("00000105"));
  EXPECT_EQ(said.size(), 2u);  // kept: nothing to say
  LogUnkept(log, "the report of card 00000106", unwritable.Reported("00000106"));
  ASSERT_EQ(said.size(), 3u);
  EXPECT_EQ(said[2].rfind("the report of card 00000106 is not in the journal: ", 0), 0u) << said[2];
}

// A journal as an earlier version, a crash or years of cards left it: each
// is taken as it is, answers the same before and after a restart, and
// takes the next entry on a line of its own.
TEST_F(KeyServiceTest, JournalTakesOverWhatItFinds) {
  hosts::TestClock clock(hosts::Clock::System().UnixSeconds());
  const std::string at = Stamp(clock);
  const std::string one = "cut\t00000001\tG1\t3\t" + at + "\n";
  const std::string two = "cut\t00000002\t12\tWS 4\t" + at;  // no line break yet
  const std::string today = "\ntorn\tcut 0000\nunanswered\t00000002\nunanswered\t00000001\n"
                            "unanswered\t00000005\nreported\t00000001\n";
  using Cards = std::vector<std::string>;
  const struct {
    const char* what;
    std::string text, kept;  // the file found, and what it keeps of it
    Cards of_g1;                       // CardsOf("G1") before the new cut
    std::optional<std::string> g2;     // the reservation Find names for 00000002
    Cards unreported;
  } cases[] = {
      {"today's journal", one + two + today, one + two + today, {"00000001"}, "12",
       {"00000002", "00000005"}},
      {"a line torn in its last value", one + two.substr(0, two.size() - 3),
       one + "torn\tcut 00000002 12 WS 4 " + at.substr(0, 9) + "\n", {"00000001"}, std::nullopt,
       {}},
      {"a line that lost only its line break", one + two, one + two + "\n", {"00000001"}, "12", {}},
      {"a number given out again", one + two + "\ncut\t00000001\t12\t3\t" + at + "\n",
       one + two + "\ncut\t00000001\t12\t3\t" + at + "\n", {}, "12", {}},
      {"no journal yet", "", "", {}, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(JournalPath());
    if (!c.text.empty()) WriteJournal(c.text);
    const auto answers = [&](const Journal& journal, const Cards& of_g1) {
      EXPECT_EQ(journal.CardsOf("G1"), of_g1);
      const auto found = journal.Find("00000002");
      EXPECT_EQ(found ? std::optional(found->reservation) : std::nullopt, c.g2);
      Cards unreported;
      for (const CutCard& card : journal.Unreported()) unreported.push_back(card.card_no);
      EXPECT_EQ(unreported, c.unreported);
    };
    {
      Journal journal(JournalPath());
      answers(journal, c.of_g1);
      ASSERT_EQ(journal.Cut({"00000009", "G1", "3", at}), "");
      EXPECT_EQ(JournalText(), c.kept + "cut\t00000009\tG1\t3\t" + at + "\n");
    }
    Cards of_g1 = c.of_g1;
    of_g1.push_back("00000009");
    answers(Journal(JournalPath()), of_g1);  // what a restarted agent finds
  }
}

// Years of cards: numbers given out again and again, to reservations of
// figures, of other text and of none, partly written as lines before the
// journal opens and partly through it across restarts. Every lookup
// answers as the lines read in order say.
TEST_F(KeyServiceTest, ABigJournalAnswersAsItsLinesSay) {
  hosts::TestClock clock(hosts::Clock::System().UnixSeconds());
  std::mt19937 random(37);
  const auto pick = [&](std::size_t most) { return random() % most; };
  std::vector<CutCard> cuts, unreported;
  std::map<std::string, std::size_t> newest;  // card -> its newest cut
  std::string text;
  const auto next = [&](Journal* journal) {
    const std::string card = std::to_string(10000000 + pick(3000)).replace(0, 1, "0");
    // Mostly plain reservation numbers; a few with a leading zero, of
    // letters, or none.
    const std::string reservations[] = {std::to_string(1 + pick(2000)),
                                        "0" + std::to_string(pick(50)),
                                        "R-" + std::to_string(pick(50)), ""};
    std::string why;
    if (pick(40) > 0) {
      clock.Advance(std::chrono::seconds(pick(600)));
      const CutCard cut{pick(50) ? card : "X" + std::to_string(pick(20)),
                        reservations[pick(5) == 0 ? pick(4) : 0], "WS" + std::to_string(pick(9)),
                        Stamp(clock)};
      newest[cut.card_no] = cuts.size();
      cuts.push_back(cut);
      text += "cut\t" + cut.card_no + "\t" + cut.reservation + "\t" + cut.workstation + "\t" +
              cut.requested_at + "\n";
      if (journal) why = journal->Cut(cut);
    } else if (pick(2) && !unreported.empty()) {
      const std::string gone = unreported[pick(unreported.size())].card_no;
      std::erase_if(unreported, [&](const CutCard& c) { return c.card_no == gone; });
      text += "reported\t" + gone + "\n";
      if (journal) why = journal->Reported(gone);
    } else {
      const auto cut = newest.find(card);
      unreported.push_back(cut != newest.end() ? cuts[cut->second] : CutCard{card, {}, {}, {}});
      text += "unanswered\t" + card + "\n";
      if (journal) why = journal->Unanswered(card);
    }
    EXPECT_EQ(why, "");
  };
  const auto answers_as_said = [&](const Journal& journal) {
    std::map<std::size_t, std::string> counting;  // newest cut -> its card
    for (const auto& [card, cut] : newest) counting[cut] = card;
    std::map<std::string, std::vector<std::string>> of;  // reservation -> cards, in cut order
    for (const auto& [cut, card] : counting) of[cuts[cut].reservation].push_back(card);
    for (const auto& [card, cut] : newest) {
      EXPECT_EQ(journal.Find(card), cuts[cut]) << card;
      EXPECT_EQ(journal.CardsOf(cuts[cut].reservation),
                cuts[cut].reservation.empty() ? std::vector<std::string>{}
                                              : of[cuts[cut].reservation]);
    }
    EXPECT_FALSE(journal.Find("99999999").has_value());
    EXPECT_TRUE(journal.CardsOf("R-x").empty());
    EXPECT_EQ(journal.Unreported(), unreported);
  };
  for (int i = 0; i < 12000; ++i) next(nullptr);
  WriteJournal(text);
  {
    Journal journal(JournalPath());
    answers_as_said(journal);
    for (int i = 0; i < 1500; ++i) next(&journal);  // past a few sortings-in
    answers_as_said(journal);
  }
  EXPECT_EQ(JournalText(), text);
  answers_as_said(Journal(JournalPath()));
}

// Far past the size that once read as an empty journal (256 MB, most of it
// a hole here, a run of what is no entry): the lines on either side count.
TEST_F(KeyServiceTest, AJournalOfAnySizeIsReadWhole) {
  hosts::TestClock clock(hosts::Clock::System().UnixSeconds());
  const std::string at = Stamp(clock);
  WriteJournal("cut\t00000001\t5\t3\t" + at + "\n");
  std::filesystem::resize_file(JournalPath(), std::uintmax_t{257} << 20);
  std::ofstream(JournalPath(), std::ios::binary | std::ios::app)
      << "\ncut\t00000002\t5\t3\t" << at << "\n";
  Journal journal(JournalPath());
  EXPECT_EQ(journal.CardsOf("5"), (std::vector<std::string>{"00000001", "00000002"}));
  ASSERT_TRUE(journal.Find("00000002").has_value());
  EXPECT_EQ(journal.Find("00000002")->requested_at, at);
}

}  // namespace
}  // namespace fias
