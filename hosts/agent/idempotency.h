// The Idempotency-Key of the card routes that write: a PMS or a browser that
// retries after a timeout must not cut a second card. The first answer given
// under a key, when it changed the cards, is kept for a day, in the agent's
// state folder so that a restart keeps it; a repeat with the same key and
// the same request gets that answer again and touches neither the encoder
// nor the database. An answer that changed nothing frees the key at once.
//
// The file is one JSON line per answer, appended as each is given. It stays
// near a day of answers however long the agent runs: answers a day old
// leave memory within a minute, and the file is written anew with the
// answers still kept once it has grown to twice their size. A start reads
// the file a piece at a time and only its newest part; a file that held more
// than that, damaged lines or times ahead of this machine's clock is set
// aside whole (renamed beside it) and one log line says so: the agent starts
// whatever the file holds, as long as it can write a new one.
#ifndef HOLVANTER_HOSTS_AGENT_IDEMPOTENCY_H_
#define HOLVANTER_HOSTS_AGENT_IDEMPOTENCY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/clock/clock.h"
#include "util/status.h"

namespace agent {

// Whether `key` is a usable Idempotency-Key: 1 to 255 visible ASCII
// characters.
bool UsableIdempotencyKey(const std::string& key);

// What a key is held to: a digest of the route's path and the request's
// JSON, however it is spaced and its members ordered. No body and `{}` are
// the same body (a check-out takes either). A body that is no JSON is taken
// as it is: it is refused before any card work, which frees its key.
std::string RequestFingerprint(const std::string& path, const std::string& body);

// A kept answer: its HTTP status and body.
struct KeptAnswer {
  int status = 0;
  std::string body;
  bool kept = true;  // false: handed to waiters of a request that did nothing
};

// The keys and their answers. Which answers a request Finishes (kept for a
// day: it changed the cards) and which it Forgets (the key is free again)
// is the agent's to say, by frontdesk::ChangedCards. Not thread-safe: the
// agent's network thread alone uses it.
class IdempotencyKeys {
 public:
  static constexpr std::chrono::hours kKeptFor{24};
  // What one kept key may cost, in memory and in the file: the key (at most
  // 255 characters), the request's digest (64), its time and status, and
  // the answer, which is the agent's own to a request of at most 64 KiB. A
  // longer answer is not kept: a repeat runs again.
  static constexpr std::size_t kMostAnswerBytes = 256u << 10;
  // What all kept answers may hold, as lines of the file. A hotel's day is
  // far below it (about 700 bytes a card); past it, as only a client stuck
  // in a loop could bring, the oldest answers go before their day is out.
  static constexpr uint64_t kMostKeptBytes = 32u << 20;
  // The newest part of the file a start reads: the file is at most twice
  // the answers kept, and what lies before this part is older than them.
  static constexpr uint64_t kMostReadBytes = 2 * kMostKeptBytes;
  // Below this the file is not written anew, however much of it is stale:
  // a quiet desk's few answers are not rewritten at every other request.
  static constexpr uint64_t kLeastRewriteBytes = 64u << 10;

  // Where the agent's log lines go (agent::Log): one when the file is set
  // aside at the start, one when it cannot be written anew while running.
  using LogLine = std::function<void(const std::string&)>;

  // Reads the keys kept at `path` (made owner-only when missing) and drops
  // those older than a day on `clock`'s wall clock, which a restart keeps.
  // What cannot be kept (the file's older part, damaged lines) is set aside
  // in `path`.set-aside, with one line to `log`; an answer stamped ahead of
  // the clock is kept for a day from now. Answers why only when the file
  // can be neither opened nor made.
  static holvanter::Result<std::unique_ptr<IdempotencyKeys>> Open(std::string path,
                                                                 const hosts::Clock& clock,
                                                                 LogLine log);

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
  // requests that waited for it. Returns why it is not kept as it should
  // be, also logged (the file could not take it: kept in memory until a
  // restart; an answer too long to keep), empty when it is.
  std::string Finish(const std::string& key, const KeptAnswer& answer);
  // The first request did nothing (refused before the encoder, a busy
  // encoder): the key is free again; waiting requests get the same answer.
  void Forget(const std::string& key, const KeptAnswer& answer);

  std::size_t size() const { return kept_.size(); }
  // The bytes of the file as this agent wrote it, and those of the lines of
  // the answers kept: the file is written anew when it holds twice these.
  uint64_t file_bytes() const { return file_bytes_; }
  uint64_t kept_bytes() const { return kept_bytes_; }

 private:
  IdempotencyKeys(std::string path, const hosts::Clock& clock, LogLine log);
  holvanter::Status Load();

  struct Entry {
    std::string fingerprint;
    int64_t at = 0;  // seconds since the epoch
    std::optional<KeptAnswer> answer;  // none while the first request runs
    std::vector<std::function<void(const KeptAnswer&)>> waiters;
    uint64_t line_bytes = 0;  // its line in the file, once it has an answer
  };
  struct Found;
  void Take(std::string_view line, int64_t now_s, Found& found);
  void Prune();
  void Drop(std::map<std::string, Entry>::iterator at);
  // Past kMostKeptBytes, the oldest answers down to three quarters of it:
  // how many went, and the time of the last of them.
  std::pair<std::size_t, int64_t> DropOldestBeyondTheBound();
  void SayDropped(std::pair<std::size_t, int64_t> dropped);
  std::string Append(const std::string& key, const Entry& entry);
  // The file written anew with the answers kept; why not, empty when done.
  std::string Rewrite();
  void RewriteWhenTwiceTheKept();

  std::string path_;
  const hosts::Clock& clock_;
  LogLine log_;
  std::map<std::string, Entry> kept_;
  int64_t pruned_at_ = 0;
  uint64_t file_bytes_ = 0;
  uint64_t kept_bytes_ = 0;
  uint64_t next_rewrite_at_ = 0;  // after a rewrite that failed: not before the file holds this
};

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_IDEMPOTENCY_H_
