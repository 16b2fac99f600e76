// The Idempotency-Key of the card routes that write: a PMS or a browser that
// retries after a timeout must not cut a second card. The first answer given
// under a key is kept for a day, in the agent's state folder so that a
// restart keeps it; a repeat with the same key and the same request gets
// that answer again and touches neither the encoder nor the database.
#ifndef HOLVANTER_HOSTS_AGENT_IDEMPOTENCY_H_
#define HOLVANTER_HOSTS_AGENT_IDEMPOTENCY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hosts/clock/clock.h"
#include "util/status.h"

namespace agent {

// Whether `key` is a usable Idempotency-Key: 1 to 255 visible ASCII
// characters.
bool UsableIdempotencyKey(const std::string& key);

// A kept answer: its HTTP status and body.
struct KeptAnswer {
  int status = 0;
  std::string body;
  bool kept = true;  // false: handed to waiters of a request that did nothing
};

// The keys and their answers. Not thread-safe: the agent's network thread
// alone uses it.
class IdempotencyKeys {
 public:
  static constexpr std::chrono::hours kKeptFor{24};

  // Reads the keys kept at `path` (made owner-only when missing) and drops
  // those older than a day on `clock`'s wall clock, which a restart keeps.
  // Answers why when the file can be neither read nor made.
  static holvanter::Result<std::unique_ptr<IdempotencyKeys>> Open(std::string path,
                                                                 const hosts::Clock& clock);

  enum class Outcome {
    kFirst,     // run the request, then Finish or Forget the key
    kReplay,    // `kept` holds the first answer
    kReused,    // the key came with another request: 422
    kWaiting,   // the first request with this key is still running: `waiter` is called
  };
  // What to do with a request under `key` whose fingerprint (route and
  // body) is `fingerprint`. On kWaiting, `waiter` is called with the first
  // request's answer once it is there.
  Outcome Begin(const std::string& key, const std::string& fingerprint, KeptAnswer& kept,
                std::function<void(const KeptAnswer&)> waiter);
  // The first request's answer: kept (and written down) and handed to the
  // requests that waited for it. Returns why the file could not keep it
  // (kept in memory until a restart then), empty when it did.
  std::string Finish(const std::string& key, const KeptAnswer& answer);
  // The first request did nothing (refused before the encoder, a busy
  // encoder): the key is free again; waiting requests get the same answer.
  void Forget(const std::string& key, const KeptAnswer& answer);

  std::size_t size() const { return kept_.size(); }

 private:
  IdempotencyKeys(std::string path, const hosts::Clock& clock);
  holvanter::Status Load();

  struct Entry {
    std::string fingerprint;
    int64_t at = 0;  // seconds since the epoch
    std::optional<KeptAnswer> answer;  // none while the first request runs
    std::vector<std::function<void(const KeptAnswer&)>> waiters;
  };
  void Prune();
  std::string Append(const std::string& key, const Entry& entry);

  std::string path_;
  const hosts::Clock& clock_;
  std::map<std::string, Entry> kept_;
  int64_t pruned_at_ = 0;
};

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_IDEMPOTENCY_H_
