#include "hosts/agent/health_cache.h"

#include <exception>
#include <utility>

#include <boost/asio/post.hpp>


namespace agent {

void HealthCache::With(std::function<void(const nlohmann::json&)> use) {
  if (check_ && (checking_ || clock_.Steady() - checked_at_ < kCheckAge)) {
    use(*check_);
    return;
  }
  waiters_.push_back(std::move(use));
  Start();
}

void HealthCache::Start() {
  if (checking_) return;
  checking_ = true;
  boost::asio::post(database_, [this] {
    nlohmann::json check;
    try {
      check = run_check_();
    } catch (const std::exception& e) {
      check = {{"reachable", false}, {"path", ""}, {"message", e.what()}};
    }
    boost::asio::post(io_, [this, check] {
      checking_ = false;
      check_ = check;
      checked_at_ = clock_.Steady();
      for (auto& use : std::exchange(waiters_, {})) use(check);
    });
  });
}

}  // namespace agent
