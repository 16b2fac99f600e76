#include "store/session_pool.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace holvanter {

SessionPool& SessionPool::Process() {
  // Never destroyed: a host may still end a card method, or the reaper close
  // a session, while the process runs its exit handlers.
  static SessionPool* const pool = [] {
    auto* created = new SessionPool;
#ifndef _WIN32
    pthread_atfork([] { Process().mutex_.lock(); }, [] { Process().mutex_.unlock(); },
                   [] { Process().StartAfresh(); });
#endif
    return created;
  }();
  return *pool;
}

void SessionPool::StartAfresh() {
  // The parent's sessions: their sockets are still the parent's, so they
  // are neither used nor closed here, only kept from their destructors.
  for (auto& [key, sessions] : idle_)
    for (Idle& idle : sessions) new std::shared_ptr<PooledSession>(std::move(idle.session));
  idle_.clear();
  // The parent's reaper did not come along, and its waits are recorded in
  // the condition variable: both start anew (the forking thread held the
  // mutex).
  reaper_running_ = false;
  new (&changed_) std::condition_variable;
  new (&mutex_) std::mutex;
}

SessionPool::~SessionPool() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return !reaper_running_; });
  auto closing = std::move(idle_);
  idle_.clear();
  lock.unlock();
  closing.clear();
}

std::shared_ptr<PooledSession> SessionPool::Take(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = idle_.find(key);
  if (found == idle_.end() || found->second.empty()) return nullptr;
  std::shared_ptr<PooledSession> session = std::move(found->second.back().session);
  found->second.pop_back();
  if (found->second.empty()) idle_.erase(found);
  return session;
}

void SessionPool::Give(const std::string& key, std::shared_ptr<PooledSession> session,
                       std::chrono::milliseconds keep) {
  std::shared_ptr<PooledSession> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;  // closed as it goes
#ifndef _WIN32
    // A program that ends says goodbye to the server for each kept session
    // (MariaDB logs every session that just drops as an aborted connection).
    // Set up at the first session kept, after the driver was loaded, so that
    // it runs before the driver's own exit handlers. A Windows DLL may not
    // talk to a driver while it is being unloaded: there the sessions drop.
    if (this == &Process() && !exit_handler_) {
      exit_handler_ = std::atexit([] { Process().CloseAll(); }) == 0;
    }
#endif
    // A session is kept only with a reaper to close it: without a thread
    // (this throws), it is closed as the caller lets go of it.
    if (!reaper_running_) {
      std::thread([this] { Reap(); }).detach();
      reaper_running_ = true;
    }
    std::vector<Idle>& sessions = idle_[key];
    if (sessions.size() >= kMaxIdlePerKey) {
      closing = std::move(sessions.front().session);
      sessions.erase(sessions.begin());
    }
    sessions.push_back(Idle{std::move(session), Clock::now() + keep});
    changed_.notify_all();
  }
  // closed outside the lock: a goodbye to the server takes a round trip
}

void SessionPool::Reap() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [key, sessions] : idle_)
      for (const Idle& idle : sessions) next = std::min(next, idle.expires);
    if (next == Clock::time_point::max()) break;  // nothing idle: the reaper ends
    if (Clock::now() < next) {
      changed_.wait_until(lock, next);
      continue;
    }
    std::vector<std::shared_ptr<PooledSession>> expired;
    const Clock::time_point now = Clock::now();
    for (auto it = idle_.begin(); it != idle_.end();) {
      auto& sessions = it->second;
      for (auto s = sessions.begin(); s != sessions.end();) {
        if (s->expires <= now) {
          expired.push_back(std::move(s->session));
          s = sessions.erase(s);
        } else {
          ++s;
        }
      }
      it = sessions.empty() ? idle_.erase(it) : std::next(it);
    }
    lock.unlock();
    expired.clear();
    lock.lock();
  }
  reaper_running_ = false;
  changed_.notify_all();
}

void SessionPool::Forget(const std::string& key) {
  std::vector<Idle> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = idle_.find(key);
    if (found == idle_.end()) return;
    closing = std::move(found->second);
    idle_.erase(found);
  }
}

void SessionPool::CloseAll() {
  std::map<std::string, std::vector<Idle>> closing;
  std::lock_guard<std::mutex> lock(mutex_);
  closing.swap(idle_);
  changed_.notify_all();
  // `closing` must outlive the lock: declared before it, destroyed after
}

std::size_t SessionPool::IdleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t count = 0;
  for (const auto& [key, sessions] : idle_) count += sessions.size();
  return count;
}

bool SessionPool::InUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reaper_running_ || !idle_.empty();
}

}  // namespace holvanter
