// The pool of idle server sessions: which session a taker gets, when the
// reaper closes one, and what a forked child may do with its parent's.
#include "store/session_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace holvanter {
namespace {

using namespace std::chrono_literals;

// A session that counts its closing.
class CountedSession : public PooledSession {
 public:
  CountedSession(int id, std::atomic<int>* closed) : id_(id), closed_(closed) {}
  ~CountedSession() override { ++*closed_; }
  int id() const { return id_; }

 private:
  int id_;
  std::atomic<int>* closed_;
};

int IdOf(const std::shared_ptr<PooledSession>& session) {
  return session == nullptr ? 0 : static_cast<CountedSession&>(*session).id();
}

TEST(SessionPool, TakersGetTheSessionGivenBackLastOfTheirOwnKey) {
  std::atomic<int> closed{0};
  SessionPool pool;
  EXPECT_EQ(pool.Take("a"), nullptr);
  pool.Give("a", std::make_shared<CountedSession>(1, &closed), 10s);
  pool.Give("a", std::make_shared<CountedSession>(2, &closed), 10s);
  pool.Give("b", std::make_shared<CountedSession>(3, &closed), 10s);
  EXPECT_EQ(pool.IdleCount(), 3u);
  EXPECT_EQ(IdOf(pool.Take("a")), 2);
  EXPECT_EQ(IdOf(pool.Take("a")), 1);
  EXPECT_EQ(pool.Take("a"), nullptr);
  pool.Forget("b");  // closed, and nothing of another key
  EXPECT_EQ(pool.Take("b"), nullptr);
  EXPECT_EQ(closed, 3);  // the two taken closed as their takers let go
}

TEST(SessionPool, BeyondTheLimitOfAKeyTheOldestIsClosedAtOnce) {
  std::atomic<int> closed{0};
  SessionPool pool;
  const int given = static_cast<int>(SessionPool::kMaxIdlePerKey) + 2;
  for (int id = 1; id <= given; ++id)
    pool.Give("a", std::make_shared<CountedSession>(id, &closed), 10s);
  EXPECT_EQ(closed, 2);
  EXPECT_EQ(pool.IdleCount(), SessionPool::kMaxIdlePerKey);
  EXPECT_EQ(IdOf(pool.Take("a")), given);
  pool.CloseAll();
  EXPECT_EQ(pool.IdleCount(), 0u);
  EXPECT_EQ(closed, given);
}

// Nobody takes again: the reaper closes each session once its keep time
// has passed (not before), and ends when none is left.
TEST(SessionPool, TheReaperClosesIdleSessionsAfterTheirKeepTime) {
  std::atomic<int> closed{0};
  SessionPool pool;
  const auto start = std::chrono::steady_clock::now();
  pool.Give("a", std::make_shared<CountedSession>(1, &closed), 300ms);
  pool.Give("b", std::make_shared<CountedSession>(2, &closed), 600ms);
  EXPECT_TRUE(pool.InUse());
  while (closed < 2 && std::chrono::steady_clock::now() - start < 3s)
    std::this_thread::sleep_for(10ms);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(closed, 2);
  EXPECT_GE(took, 600ms);
  EXPECT_LT(took, 1600ms);
  while (pool.InUse() && std::chrono::steady_clock::now() - start < 3s)
    std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(pool.InUse()) << "the reaper still runs with nothing idle";
  // Given again, a new reaper closes it.
  pool.Give("a", std::make_shared<CountedSession>(3, &closed), 100ms);
  while (closed < 3 && std::chrono::steady_clock::now() - start < 5s)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(closed, 3);
}

TEST(SessionPool, DestroyedItClosesWhatIsIdleAndStopsItsReaper) {
  std::atomic<int> closed{0};
  {
    SessionPool pool;
    pool.Give("a", std::make_shared<CountedSession>(1, &closed), 60s);
  }
  EXPECT_EQ(closed, 1);
}

// A forked child (a desk process started by a host) must neither use nor
// close the sessions of its parent, whose sockets the parent goes on using.
TEST(SessionPool, AForkedChildLeavesTheSessionsOfItsParentAlone) {
  std::atomic<int> closed{0};
  SessionPool& pool = SessionPool::Process();
  pool.Give("fork", std::make_shared<CountedSession>(1, &closed), 30s);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int status = 0;
    if (pool.Take("fork") != nullptr) status |= 1;
    pool.Give("fork", std::make_shared<CountedSession>(2, &closed), 50ms);
    std::this_thread::sleep_for(500ms);  // the child's own reaper closes its own
    if (closed != 1) status |= 2;
    pool.CloseAll();
    if (closed != 1) status |= 4;
    _exit(status);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: took the parent's session; 2: its own was not closed; "
                                       "4: closed the parent's";
  EXPECT_EQ(IdOf(pool.Take("fork")), 1);
  EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace holvanter
