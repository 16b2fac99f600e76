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

std::unique_ptr<IdempotencyKeys> Opened(const std::string& path, const hosts::Clock& clock) {
  holvanter::Result<std::unique_ptr<IdempotencyKeys>> keys = IdempotencyKeys::Open(path, clock);
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

// A file that can be neither read nor made is answered with why, and the
// agent does not start without its keys.
TEST(Idempotency, AFileThatCannotBeReadOrMadeIsAnswered) {
  holvanter::store_test::ScratchFolder folder;
  std::ofstream(folder.File("plain")) << "x";
  std::filesystem::create_directory(folder.File("folder"));
  for (const std::string& path : {folder.File("plain") + "/keys", folder.File("folder")}) {
    SCOPED_TRACE(path);
    const hosts::TestClock clock(1'000'000);
    const auto keys = IdempotencyKeys::Open(path, clock);
    ASSERT_FALSE(keys.ok());
    EXPECT_NE(keys.status().message().find(path), std::string::npos) << keys.status().message();
  }
}

}  // namespace
}  // namespace agent
