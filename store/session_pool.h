// Server database sessions kept open between card methods.
//
// Each card method opens its own connection and closes it when it returns.
// On a server database (PostgreSQL, MariaDB, MySQL) opening is most of what
// a card method waits for: TCP, authentication, the driver's first queries,
// twice for an issue and its check-out. So a closed connection's session is
// kept idle for a few seconds, and the next card method of the process on
// the same data source carries on with it instead of opening a new one.
//
// The pool is the component's own rather than the ODBC driver manager's:
// unixODBC pools only when odbcinst.ini says so (it ignores
// SQL_ATTR_CONNECTION_POOLING), and it closes an idle pooled session only
// when the process opens its next connection, so sessions of desks that went
// quiet would stay on the server for good. Here a reaper thread closes every
// session that has been idle for its keep time, and stops when none is left.
//
// What goes back into the pool is the connection's business: only a session
// on which nothing failed, with no transaction open and no lock held
// (OdbcConnection). A session taken out is checked and prepared again by
// its taker before any card statement runs on it.
#ifndef HOLVANTER_STORE_SESSION_POOL_H_
#define HOLVANTER_STORE_SESSION_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace holvanter {

// A session that the pool may keep; destroying it closes it for real.
class PooledSession {
 public:
  virtual ~PooledSession() = default;
};

class SessionPool {
 public:
  using Clock = std::chrono::steady_clock;

  // Idle sessions kept at most per data source: more than the card methods
  // of one desk run at once. A session given back beyond them is closed.
  static constexpr std::size_t kMaxIdlePerKey = 8;

  SessionPool() = default;
  // Stops the reaper and closes every idle session.
  ~SessionPool();
  SessionPool(const SessionPool&) = delete;
  SessionPool& operator=(const SessionPool&) = delete;

  // The pool of this process, which lives as long as the process.
  static SessionPool& Process();

  // The idle session under `key` given back last (the one most likely still
  // alive on the server), out of the pool; nullptr when none is idle.
  std::shared_ptr<PooledSession> Take(const std::string& key);
  // Keeps `session` idle under `key` until `keep` has passed without a
  // Take; the reaper closes it then. The oldest idle session of the key is
  // closed at once when kMaxIdlePerKey are idle already.
  void Give(const std::string& key, std::shared_ptr<PooledSession> session,
            std::chrono::milliseconds keep);
  // Closes every idle session under `key` (after one of them was found
  // dead: its server has probably gone away for all of them).
  void Forget(const std::string& key);
  // Closes every idle session.
  void CloseAll();

  std::size_t IdleCount();
  // Whether sessions are idle or the reaper runs: while so, the component's
  // code must stay loaded.
  bool InUse();

 private:
  struct Idle {
    std::shared_ptr<PooledSession> session;
    Clock::time_point expires;
  };

  // In the child of a fork: the pool starts empty, and the parent's idle
  // sessions, whose sockets the parent goes on using, are left alone.
  void StartAfresh();
  void Reap();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::vector<Idle>> idle_;  // oldest first
  bool reaper_running_ = false;
  bool stopping_ = false;
  bool exit_handler_ = false;
};

}  // namespace holvanter

#endif  // HOLVANTER_STORE_SESSION_POOL_H_
