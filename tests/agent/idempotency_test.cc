// The agent's kept answers of Idempotency-Keys: what a repeat gets, how long
// an answer is kept, and that a restart keeps it, on a clock of the test's own.
#include "hosts/agent/idempotency.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "holvanter/result_codes.h"
#include "hosts/frontdesk/frontdesk.h"
#include "store/store_test_util.h"
#include "tests/support/stays.h"

namespace agent {
namespace {

using Outcome = IdempotencyKeys::Outcome;
constexpr int64_t kDay = 24 * 60 * 60;

TEST(Idempotency, UsableKeys) {
  for (const auto& [key, usable] : std::vector<std::pair<std::string, bool>>{
           {"a", true}, {std::string(255, 'k'), true}, {"4f1c-~!{}", true}, {"", false},
           {std::string(256, 'k'), false}, {"two words", false}, {"tab\there", false},
           {"caf\xC3\xA9", false}, {std::string("nul\0x", 5), false}})
    EXPECT_EQ(UsableIdempotencyKey(key), usable) << key;
}

// A key is held to the route and the JSON of its request; a check-out takes
// no body or {}, which are one body under its key.
TEST(Idempotency, OneRequestIsOneFingerprint) {
  const std::string checkout = "/v1/card/checkout";
  const std::string stay = R"({"room": "0203", "floor": 2, "holder": "Li Wei"})";
  const struct {
    const char* what;
    std::string path, body, other_path, other_body;
    bool same;
  } rows[] = {
      {"no body and {}", checkout, "", checkout, "{}", true},
      {"blanks and {} spaced", checkout, " \r\n", checkout, "{ }", true},
      {"members in another order, spaced", "/v1/cards/guest", stay, "/v1/cards/guest",
       "{\"holder\": \"Li Wei\",\n \"floor\": 2, \"room\": \"0203\"}", true},
      {"another route", checkout, "", "/v1/cards/guest", "", false},
      {"a field", checkout, "{}", checkout, R"({"card": "1"})", false},
      {"a body that is no JSON", checkout, "", checkout, "{", false},
      {"another holder", "/v1/cards/guest", stay, "/v1/cards/guest",
       R"({"room": "0203", "floor": 2, "holder": "Li Wen"})", false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(RequestFingerprint(row.path, row.body) == RequestFingerprint(row.other_path, row.other_body),
              row.same)
        << row.what;
}

// Which card answers are kept under their key: those that changed the
// cards. One that changed nothing frees the key, so that the same request,
// sent again once the card lies flat, cuts its card.
TEST(Idempotency, OnlyAnswersThatChangedTheCardsKeepTheirKey) {
  namespace result = holvanter::result;
  const auto answer = [](const char* command, int code) {
    frontdesk::CardAnswer a;
    a.command = command;
    a.result = code;
    return a;
  };
  const auto with = [](frontdesk::CardAnswer a, const auto& change) {
    change(a);
    return a;
  };
  const struct {
    const char* what;
    frontdesk::CardAnswer card;
    bool kept;
  } rows[] = {
      {"a card issued", answer("issue", result::kDone), true},
      {"a card without an open record, erased", answer("checkout", result::kNoOpenRecord), true},
      {"a call that failed outright",
       with(answer("issue", 0), [](auto& a) { a.hresult = int32_t(0x80004005); }), true},
      {"a live card checked out to be replaced, the new card not written",
       with(answer("issue", result::kNotWritten), [](auto& a) { a.replaced = frontdesk::LiveCard{}; }),
       true},
      {"a card not erased whose record could not be opened again",
       with(answer("checkout", result::kNotWritten), [](auto& a) { a.record_left_closed = true; }),
       true},
      {"an unusable room", with(answer("issue", 0), [](auto& a) { a.usage_error = "the room"; }), false},
      {"a live card on the encoder",
       with(answer("issue", 0), [](auto& a) { a.refusal_code = frontdesk::kCardInUse; }), false},
      {"an encoder that did not open",
       with(answer("issue", result::kPortNotOpened), [](auto& a) { a.opened = false; }), false},
      {"a card not read", answer("issue", result::kReadFailed), false},
      {"a card not written, its number's record closed", answer("issue", result::kNotWritten), false},
      {"a villa card not written, write status 5", answer("villa", 5), false},
      {"a card not erased, its record open again", answer("checkout", result::kNotWritten), false},
      {"a database that does not open", answer("issue", result::kDatabaseNotOpen), false},
      {"a stay that ends before it begins", answer("issue", result::kBadEnd), false},
      {"a result never seen", answer("issue", -1), true},
  };
  for (const auto& row : rows) EXPECT_EQ(frontdesk::ChangedCards(row.card), row.kept) << row.what;
}

std::unique_ptr<IdempotencyKeys> Opened(const std::string& path, const hosts::Clock& clock) {
  holvanter::Result<std::unique_ptr<IdempotencyKeys>> keys = IdempotencyKeys::Open(path, clock, nullptr);
  EXPECT_TRUE(keys.ok()) << keys.status().message();
  return keys.ok() ? std::move(*keys) : nullptr;
}

TEST(Idempotency, RepeatsGetTheFirstAnswerAndWaitersGetItWhenItComes) {
  holvanter::store_test::ScratchFolder folder;
  hosts::TestClock clock(1'000'000);
  const auto opened = Opened(folder.File("keys"), clock);
  ASSERT_NE(opened, nullptr);
  IdempotencyKeys& keys = *opened;
  KeptAnswer kept;
  std::vector<KeptAnswer> waited;
  const auto waiter = [&](const KeptAnswer& a) { waited.push_back(a); };

  EXPECT_EQ(keys.Begin("k1", "body-a", kept, waiter), Outcome::kFirst);
  EXPECT_EQ(keys.Begin("k1", "body-a", kept, waiter), Outcome::kWaiting);
  EXPECT_EQ(keys.Begin("k1", "body-b", kept, waiter), Outcome::kReused);
  EXPECT_EQ(keys.Finish("k1", {200, "{\"card_no\":\"00000101\"}", true}), "");
  ASSERT_EQ(waited.size(), 1u);
  EXPECT_EQ(waited[0].body, "{\"card_no\":\"00000101\"}");
  EXPECT_TRUE(waited[0].kept);
  EXPECT_EQ(keys.Begin("k1", "body-a", kept, waiter), Outcome::kReplay);
  EXPECT_EQ(kept.status, 200);
  EXPECT_EQ(keys.Begin("k1", "body-b", kept, waiter), Outcome::kReused);

  // A first request that did nothing frees its key; its waiters get its answer, not kept.
  EXPECT_EQ(keys.Begin("k2", "body-a", kept, waiter), Outcome::kFirst);
  EXPECT_EQ(keys.Begin("k2", "body-a", kept, waiter), Outcome::kWaiting);
  keys.Forget("k2", {503, "busy", true});
  ASSERT_EQ(waited.size(), 2u);
  EXPECT_FALSE(waited[1].kept);
  EXPECT_EQ(keys.Begin("k2", "body-b", kept, waiter), Outcome::kFirst);

  // A file that can no longer be written: Finish says why, and the answer
  // is still kept for this run.
  std::filesystem::remove(folder.File("keys"));
  std::filesystem::create_directory(folder.File("keys"));
  EXPECT_EQ(keys.Begin("k3", "body-a", kept, waiter), Outcome::kFirst);
  EXPECT_NE(keys.Finish("k3", {200, "third", true}), "");
  EXPECT_EQ(keys.Begin("k3", "body-a", kept, waiter), Outcome::kReplay);
  EXPECT_EQ(kept.body, "third");
}

TEST(Idempotency, KeptOverARestartForADayInAnOwnerOnlyFile) {
  holvanter::store_test::ScratchFolder folder;
  const std::string path = folder.File("keys");
  hosts::TestClock clock(1'000'000);
  KeptAnswer kept;
  const auto none = [](const KeptAnswer&) {};
  {
    const auto opened = Opened(path, clock);
    ASSERT_NE(opened, nullptr);
    IdempotencyKeys& keys = *opened;
    ASSERT_EQ(keys.Begin("old", "a", kept, none), Outcome::kFirst);
    keys.Finish("old", {200, "first", true});
    clock.Advance(std::chrono::seconds(kDay / 2));
    ASSERT_EQ(keys.Begin("new", "a", kept, none), Outcome::kFirst);
    keys.Finish("new", {409, "in use", true});
    ASSERT_EQ(keys.Begin("running", "a", kept, none), Outcome::kFirst);  // never finished
  }
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::ofstream(path, std::ios::app) << "{\"key\": \"torn\", \"fingerpr";  // a crash mid-line

  const auto opened = Opened(path, clock);
  ASSERT_NE(opened, nullptr);
  IdempotencyKeys& restarted = *opened;
  EXPECT_EQ(restarted.size(), 2u);
  EXPECT_EQ(restarted.Begin("old", "a", kept, none), Outcome::kReplay);
  EXPECT_EQ(kept.body, "first");
  EXPECT_EQ(restarted.Begin("new", "a", kept, none), Outcome::kReplay);
  EXPECT_EQ(kept.status, 409);
  EXPECT_EQ(restarted.Begin("running", "b", kept, none), Outcome::kFirst);

  // A day after its first answer a key is free again, in the running agent
  // and after the next restart.
  clock.Advance(std::chrono::seconds(kDay / 2));
  EXPECT_EQ(restarted.Begin("old", "other", kept, none), Outcome::kFirst);
  EXPECT_EQ(restarted.Begin("new", "other", kept, none), Outcome::kReused);
  clock.Advance(std::chrono::seconds(kDay));
  const auto opened_later = Opened(path, clock);
  ASSERT_NE(opened_later, nullptr);
  IdempotencyKeys& later = *opened_later;
  EXPECT_EQ(later.size(), 0u);
  EXPECT_EQ(later.Begin("new", "other", kept, none), Outcome::kFirst);
}

// A key is kept for 24 hours that pass, whatever the local clock shows on
// the way: the day of the change to summer time has 23 local hours, the day
// back 25. The same after a restart, and when the last prune was a moment
// before the day ended.
TEST(Idempotency, ADayIsTwentyFourHoursThatPassAcrossSummerTime) {
  const holvanter::test_support::ScopedTimeZone berlin("Europe/Berlin");
  constexpr int64_t kSpringNoon = 1806145200;  // 2027-03-27 12:00 CET
  constexpr int64_t kAutumnNoon = 1824890400;  // 2027-10-30 12:00 CEST
  const struct {
    const char* what;
    int64_t start;
    std::chrono::seconds passed;
    Outcome other_body;  // a request with another body under the key
  } rows[] = {
      {"spring: the next local noon, 23 h on", kSpringNoon, std::chrono::hours(23), Outcome::kReused},
      {"spring: a second short of 24 h", kSpringNoon, std::chrono::seconds(kDay - 1), Outcome::kReused},
      {"spring: 24 h", kSpringNoon, std::chrono::seconds(kDay), Outcome::kFirst},
      {"autumn: a second short of 24 h", kAutumnNoon, std::chrono::seconds(kDay - 1), Outcome::kReused},
      {"autumn: 24 h, an hour before the next local noon", kAutumnNoon, std::chrono::seconds(kDay),
       Outcome::kFirst},
  };
  const auto none = [](const KeptAnswer&) {};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    holvanter::store_test::ScratchFolder folder;
    hosts::TestClock clock(row.start);
    KeptAnswer kept;
    const auto keys = Opened(folder.File("keys"), clock);
    ASSERT_NE(keys, nullptr);
    ASSERT_EQ(keys->Begin("k", "a", kept, none), Outcome::kFirst);
    keys->Finish("k", {200, "first", true});
    // Another key half a minute before the end: the prune runs then.
    clock.Advance(row.passed - std::chrono::seconds(30));
    ASSERT_EQ(keys->Begin("other", "a", kept, none), Outcome::kFirst);
    clock.Advance(std::chrono::seconds(30));
    const auto restarted = Opened(folder.File("keys"), clock);
    ASSERT_NE(restarted, nullptr);
    EXPECT_EQ(restarted->Begin("k", "b", kept, none), row.other_body);
    EXPECT_EQ(keys->Begin("k", "b", kept, none), row.other_body);
  }
}

// A line as the agent writes it, with the fingerprint "a".
std::string Line(const std::string& key, int64_t at, const std::string& body = "{}") {
  return nlohmann::json{{"key", key}, {"fingerprint", "a"}, {"at", at}, {"status", 200}, {"body", body}}
             .dump() + "\n";
}

// Whatever a file left behind holds, the agent starts: it keeps the answers
// of the last day it can read, and sets the file aside with one log line
// when it held more. Nothing is kept beyond a day from the start (and the
// few minutes a time server may step the clock).
TEST(Idempotency, AStartKeepsTheLastDayItCanReadAndSetsTheRestAside) {
  constexpr int64_t kNow = 1'000'000'000;
  std::string beyond_the_read;  // old answers, more than a start reads
  while (beyond_the_read.size() <= IdempotencyKeys::kMostReadBytes)
    beyond_the_read += Line("old", kNow - 2 * kDay, std::string(200'000, 'o'));
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> kept;
    const char* says;  // nullptr: nothing set aside, nothing said
  } rows[] = {
      {"a day old, two minutes ahead, a last line torn by a crash",
       Line("old", kNow - kDay) + Line("new", kNow + 120) + "{\"at\":99", {"new"}, nullptr},
      {"damaged lines", Line("a", kNow) + "{\"at\": [\n" + Line("two words", kNow) +
       Line("long", kNow, std::string(IdempotencyKeys::kMostAnswerBytes + 1, 'x')), {"a"},
       "held 3 damaged lines"},
      {"a day ahead", Line("a", kNow + kDay), {"a"}, "1 answers stamped ahead of this machine's clock"},
      {"more than a start reads", Line("first", kNow) + beyond_the_read + Line("last", kNow),
       {"last"}, "(a start reads the newest 67.1 MB); 1 answers of the last 24 hours are kept"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    holvanter::store_test::ScratchFolder folder;
    const std::string path = folder.File("keys");
    holvanter::store_test::WriteFile(path, row.text);
    hosts::TestClock clock(kNow);
    std::vector<std::string> said;
    auto opened = IdempotencyKeys::Open(path, clock, [&](const std::string& l) { said.push_back(l); });
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    KeptAnswer kept;
    const auto none = [](const KeptAnswer&) {};
    EXPECT_EQ((*opened)->size(), row.kept.size());
    for (const std::string& key : row.kept) EXPECT_EQ((*opened)->Begin(key, "a", kept, none), Outcome::kReplay);
    EXPECT_EQ(said.size(), row.says ? 1u : 0u);
    EXPECT_EQ(std::filesystem::exists(path + ".set-aside"), row.says != nullptr);
    if (row.says && !said.empty()) {
      EXPECT_NE(said[0].find(row.says), std::string::npos) << said[0];
      EXPECT_EQ(std::filesystem::file_size(path + ".set-aside"), row.text.size());
    }
    clock.Advance(std::chrono::seconds(kDay) + std::chrono::minutes(5));
    for (const std::string& key : row.kept) EXPECT_EQ((*opened)->Begin(key, "b", kept, none), Outcome::kFirst);
  }
}

// A busy desk for three days: the file never holds more than twice the
// answers of the last day, and what a restart keeps is those answers. A
// clock set back leaves no answer kept for good. Past their bound in all,
// the oldest answers go; one answer too long to keep is not kept.
TEST(Idempotency, TheFileAndMemoryStayNearADayOfAnswersWhileRunning) {
  holvanter::store_test::ScratchFolder folder;
  const std::string path = folder.File("keys");
  hosts::TestClock clock(1'000'000);
  std::vector<std::string> said;
  auto opened = IdempotencyKeys::Open(path, clock, [&](const std::string& l) { said.push_back(l); });
  ASSERT_TRUE(opened.ok());
  IdempotencyKeys& keys = **opened;
  KeptAnswer kept;
  const auto none = [](const KeptAnswer&) {};
  const auto key = [](int i) { return "k" + std::to_string(i); };
  constexpr int kADay = kDay / 120;  // an answer every two minutes
  for (int i = 0; i < 3 * kADay; ++i, clock.Advance(std::chrono::minutes(2))) {
    ASSERT_EQ(keys.Begin(key(i), "a", kept, none), Outcome::kFirst);
    ASSERT_EQ(keys.Finish(key(i), {200, std::string(300, 'b'), true}), "");
    ASSERT_EQ(std::filesystem::file_size(path), keys.file_bytes());
    ASSERT_LE(keys.file_bytes(), std::max(2 * keys.kept_bytes(), IdempotencyKeys::kLeastRewriteBytes)) << i;
  }
  const auto restarted = Opened(path, clock);
  ASSERT_NE(restarted, nullptr);
  EXPECT_EQ(restarted->size(), kADay - 1u);
  EXPECT_EQ(restarted->Begin(key(2 * kADay + 1), "a", kept, none), Outcome::kReplay);
  EXPECT_EQ(restarted->Begin(key(2 * kADay), "a", kept, none), Outcome::kFirst);

  clock.SetWall(clock.UnixMillis() - 2 * kDay * 1000);
  clock.Advance(std::chrono::minutes(1));
  EXPECT_EQ(keys.Begin("now", "a", kept, none), Outcome::kFirst);
  clock.Advance(std::chrono::seconds(kDay));
  EXPECT_EQ(keys.Begin(key(3 * kADay - 1), "b", kept, none), Outcome::kFirst);

  const std::string longest(IdempotencyKeys::kMostAnswerBytes, 'b');
  const int answers = IdempotencyKeys::kMostKeptBytes / longest.size() + 2;
  for (int i = 0; i < answers; ++i, clock.Advance(std::chrono::seconds(1))) {
    ASSERT_EQ(keys.Begin(key(i), "c", kept, none), Outcome::kFirst);
    keys.Finish(key(i), {200, longest, true});
  }
  EXPECT_LE(keys.kept_bytes(), IdempotencyKeys::kMostKeptBytes);
  EXPECT_EQ(keys.Begin(key(0), "d", kept, none), Outcome::kFirst);
  EXPECT_EQ(keys.Begin(key(answers - 1), "c", kept, none), Outcome::kReplay);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("oldest"), std::string::npos) << said[0];
  ASSERT_EQ(keys.Begin("long", "a", kept, none), Outcome::kFirst);
  EXPECT_NE(keys.Finish("long", {200, longest + "b", true}), "");
  EXPECT_EQ(keys.Begin("long", "b", kept, none), Outcome::kFirst);
}

// A file that can be neither read nor made is answered with why, and the
// agent does not start without its keys.
TEST(Idempotency, AFileThatCannotBeReadOrMadeIsAnswered) {
  holvanter::store_test::ScratchFolder folder;
  std::ofstream(folder.File("plain")) << "x";
  std::filesystem::create_directory(folder.File("folder"));
  for (const std::string& path : {folder.File("plain") + "/keys", folder.File("folder")}) {
    SCOPED_TRACE(path);
    const hosts::TestClock clock(1'000'000);
    const auto keys = IdempotencyKeys::Open(path, clock, nullptr);
    ASSERT_FALSE(keys.ok());
    EXPECT_NE(keys.status().message().find(path), std::string::npos) << keys.status().message();
  }
}

}  // namespace
}  // namespace agent
