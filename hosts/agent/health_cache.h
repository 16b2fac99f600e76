// The hotel database check of the health answer, kept for a few seconds.
// Health needs no token, so anyone may ask often: the database sees one
// connection every few seconds at most, and the check runs on the database
// thread, never behind card work.
#ifndef HOLVANTER_HOSTS_AGENT_HEALTH_CACHE_H_
#define HOLVANTER_HOSTS_AGENT_HEALTH_CACHE_H_

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <nlohmann/json.hpp>

#include "hosts/clock/clock.h"

namespace agent {

class HealthCache {
 public:
  // How long a check is kept.
  static constexpr auto kCheckAge = std::chrono::seconds(5);

  // What a check finds: {reachable, path, message}. The agent's is
  // DatabaseHealth (card_requests.h).
  using Check = std::function<nlohmann::json()>;

  // `check` runs on `database` and is handed over on `io` (the network
  // thread); its age is measured on `clock`'s steady clock.
  HealthCache(boost::asio::io_context& io, boost::asio::thread_pool& database,
              const hosts::Clock& clock, Check check)
      : io_(io), database_(database), clock_(clock), run_check_(std::move(check)) {}

  // Starts a check unless one is under way: at start, so that the first
  // health answer need not wait for one.
  void Start();
  // Calls `use` with {reachable, path, message}: the last check while it is
  // younger than kCheckAge or a new one is under way, else a new one.
  // Network thread only.
  void With(std::function<void(const nlohmann::json&)> use);

 private:
  boost::asio::io_context& io_;
  boost::asio::thread_pool& database_;
  const hosts::Clock& clock_;
  const Check run_check_;
  std::optional<nlohmann::json> check_;
  hosts::SteadyTime checked_at_;
  bool checking_ = false;
  std::vector<std::function<void(const nlohmann::json&)>> waiters_;
};

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_HEALTH_CACHE_H_
