// Host threads that issued a card and then sit idle (a PMS keeps its worker
// threads for hours) must not hold PostgreSQL sessions: a server or a desk
// role allows only so many, and every session an idle thread keeps is one
// that a desk issuing a card cannot get. A session closed by a card method
// is kept for the next one for kDefaultIdleSeconds; then it goes too.
//
// Runs on the PostgreSQL data source in HOLVANTER_TEST_DSN
// (scripts/test-odbc.sh); skips on any other.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "holvanter/tavo_card.h"
#include "issue/test_hotel.h"
#include "store/settings.h"
#include "store/sql_dialect.h"

namespace holvanter {
namespace {

using testing::TestHotel;

// Client sessions on the hotel database other than the fixture's own.
constexpr char kOtherPostgresSessions[] =
    "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
    "AND pid <> pg_backend_pid() AND backend_type = 'client backend'";
constexpr char kOtherMariaDbSessions[] =
    "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = DATABASE() "
    "AND ID <> CONNECTION_ID()";

// A desk role of its own: the server's superuser, which the test data
// source logs in as, is held to no connection limit.
constexpr char kDeskRole[] = "holvanter_idle_desk";
constexpr int kDeskRoleLimit = 100;

// `threads` host threads issue one guest card each, one after another (so
// that only sessions kept after a call returns add up), and stay alive
// until all have issued. `while_idle` runs then, before they end. The
// result of each thread's WriteCard, -1 when it never ran.
std::vector<int> IssueOnIdleThreads(int threads, const std::function<void()>& while_idle) {
  std::vector<int> results(static_cast<std::size_t>(threads), -1);
  std::mutex mutex;
  std::condition_variable changed;
  int issued = 0;
  bool release = false;
  std::mutex one_at_a_time;
  std::vector<std::thread> hosts;
  for (int i = 0; i < threads; ++i) {
    hosts.emplace_back([&, i] {
      int result = -1;
      {
        std::lock_guard<std::mutex> turn(one_at_a_time);
        try {
          TavoCard card;
          card.OpenPort(0);  // the one simulated encoder, left open for the other hosts
          std::string card_no;
          result = card.WriteCard(0, "200710201230", "200710221200", card_no, 1, 2, "0201",
                                  "Idle host");
        } catch (const std::exception& e) {
          ADD_FAILURE() << "host thread " << i << ": " << e.what();
        }
      }
      std::unique_lock<std::mutex> lock(mutex);
      results[static_cast<std::size_t>(i)] = result;
      ++issued;
      changed.notify_all();
      changed.wait(lock, [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return issued == threads; });
  }
  while_idle();
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  for (std::thread& host : hosts) host.join();
  return results;
}

// The sessions of `query` once those kept idle have been closed and have
// left the server (a backend ends a moment after its client hangs up):
// polled until none are left, for as long as a session may be kept plus a
// second. `waited` receives the seconds it took.
int SessionsLeft(TestHotel& hotel, const std::string& query, double* waited = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  const auto bound = start + std::chrono::seconds(kDefaultIdleSeconds + 1);
  int sessions = 0;
  for (;;) {
    sessions = std::stoi(hotel.Value(query));
    if (sessions == 0 || std::chrono::steady_clock::now() >= bound) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (waited != nullptr)
    *waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return sessions;
}

int Failures(const std::vector<int>& results, std::string* codes) {
  int failures = 0;
  for (int result : results) {
    if (result == 0) continue;
    ++failures;
    if (codes->find(" " + std::to_string(result)) == std::string::npos)
      *codes += " " + std::to_string(result);
  }
  return failures;
}

class IdleHostSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
    if (dsn == nullptr || *dsn == '\0') GTEST_SKIP() << "HOLVANTER_TEST_DSN names no data source";
    hotel_ = std::make_unique<TestHotel>();
    const SqlDialect dialect = hotel_->connection().Dialect();
    if (dialect != SqlDialect::kPostgres && dialect != SqlDialect::kMariaDb)
      GTEST_SKIP() << "sessions are counted on PostgreSQL and MariaDB";
    other_sessions_ =
        dialect == SqlDialect::kPostgres ? kOtherPostgresSessions : kOtherMariaDbSessions;
  }
  void TearDown() override { hotel_.reset(); }

  std::unique_ptr<TestHotel> hotel_;
  std::string other_sessions_;
};

// The 8 threads issued one after another: the one session kept is carried
// on from card method to card method, and closed when none has come for the
// keep time.
TEST_F(IdleHostSessions, IdleHostThreadsHoldNoSessionAfterTheKeepTime) {
  const int before = SessionsLeft(*hotel_, other_sessions_);
  int kept = -1;
  int held = -1;
  double waited = 0;
  const std::vector<int> results = IssueOnIdleThreads(8, [&] {
    kept = std::stoi(hotel_->Value(other_sessions_));
    held = SessionsLeft(*hotel_, other_sessions_, &waited);
  });
  std::string codes;
  EXPECT_EQ(Failures(results, &codes), 0) << "results:" << codes;
  EXPECT_EQ(kept, 1) << "sessions kept right after 8 card methods, one after another";
  EXPECT_EQ(held, 0) << "sessions held by 8 idle host threads: " << held << " (" << before
                     << " before they started)";
  EXPECT_LE(waited, kDefaultIdleSeconds + 1.0);
}

// Switched off, a card method's session ends with it.
TEST_F(IdleHostSessions, WithoutKeptSessionsIdleHostThreadsHoldNoneAtOnce) {
  TestHotel::WriteSettings("[Setting]\nDataBase=" + hotel_->database_path() +
                           "\n[Pool]\nIdleSeconds=0\n");
  double waited = 0;
  int held = -1;
  const std::vector<int> results =
      IssueOnIdleThreads(4, [&] { held = SessionsLeft(*hotel_, other_sessions_, &waited); });
  std::string codes;
  EXPECT_EQ(Failures(results, &codes), 0) << "results:" << codes;
  EXPECT_EQ(held, 0);
  EXPECT_LT(waited, 1.0) << "sessions stayed after their card methods ended";
}

// The desk role that the card methods log in as, limited to kDeskRoleLimit
// sessions, with the rights a desk needs on the hotel tables; dropped again
// with everything it was granted.
class DeskRole {
 public:
  explicit DeskRole(TestHotel& hotel) : hotel_(hotel) {
    const std::string role = kDeskRole;
    hotel_.Execute("CREATE ROLE " + role + " LOGIN CONNECTION LIMIT " +
                   std::to_string(kDeskRoleLimit));
    created_ = true;
    hotel_.Execute("GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA public TO " + role);
    hotel_.Execute("GRANT USAGE, SELECT, UPDATE ON ALL SEQUENCES IN SCHEMA public TO " + role);
  }
  ~DeskRole() {
    if (!created_) return;
    const std::string role = kDeskRole;
    try {
      hotel_.Value("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                   "WHERE usename = '" + role + "'");
      hotel_.Execute("DROP OWNED BY " + role);
      hotel_.Execute("DROP ROLE " + role);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "the desk role stays: " << e.what();
    }
  }

  // A copy of the test data source that logs in as the desk role.
  std::string DataSource(const std::string& folder) const {
    std::ifstream in(hotel_.database_path());
    std::string text;
    for (std::string line; std::getline(in, line);) {
      std::string key = line.substr(0, line.find('='));
      for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (key == "UID" || key == "PWD") continue;
      text += line + "\n";
    }
    const std::string path = folder + "/desk.dsn";
    std::ofstream(path) << text << "UID=" << kDeskRole << "\n";
    return path;
  }

 private:
  TestHotel& hotel_;
  bool created_ = false;
};

TEST_F(IdleHostSessions, MoreHostThreadsThanTheRoleHasSessionsAllIssue) {
  if (hotel_->connection().Dialect() != SqlDialect::kPostgres)
    GTEST_SKIP() << "a desk role with a connection limit: PostgreSQL";
  DeskRole role(*hotel_);
  TestHotel::WriteSettings("[Setting]\nDataBase=" + role.DataSource(hotel_->folder()) + "\n");
  const std::string role_sessions =
      std::string("SELECT count(*) FROM pg_stat_activity WHERE usename = '") + kDeskRole + "'";
  int held = -1;
  double waited = 0;
  const std::vector<int> results =
      IssueOnIdleThreads(120, [&] { held = SessionsLeft(*hotel_, role_sessions, &waited); });
  std::string codes;
  const int failures = Failures(results, &codes);
  EXPECT_EQ(failures, 0) << failures << " of 120 host threads failed (results:" << codes
                         << ") under a limit of " << kDeskRoleLimit
                         << " sessions; idle, they held " << held;
  EXPECT_EQ(held, 0) << "after " << waited << " s";
}

}  // namespace
}  // namespace holvanter
