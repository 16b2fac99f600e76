#include "hosts/agent/idempotency.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "hosts/desks/mac.h"
#include "platform/paths.h"
#include "platform/private_file.h"

namespace agent {

bool UsableIdempotencyKey(const std::string& key) {
  if (key.empty() || key.size() > 255) return false;
  for (unsigned char c : key)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

std::string RequestFingerprint(const std::string& path, const std::string& body) {
  std::string canonical = body;
  if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
    canonical = "{}";
  } else {
    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (!parsed.is_discarded())
      canonical = parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  // Only the digest is kept beside the answer, never the request itself.
  return desks::Hex(desks::HmacSha256("holvanter idempotency", path + "\n" + canonical));
}

namespace {

constexpr const char* kWhat = "idempotency key file";

constexpr int64_t kKeptSeconds =
    std::chrono::duration_cast<std::chrono::seconds>(IdempotencyKeys::kKeptFor).count();
// A time server's step or a clock set a little wrong is no reason to set
// the file aside; a time further ahead is.
constexpr int64_t kAheadSeconds = 5 * 60;
// A line of a kept answer: the answer escaped once more, and the rest.
constexpr std::size_t kMostLineBytes = 2 * IdempotencyKeys::kMostAnswerBytes + 1024;
constexpr std::size_t kReadPiece = 64u << 10;

std::string LineOf(const std::string& key, const std::string& fingerprint, int64_t at,
                   const KeptAnswer& answer) {
  return nlohmann::json{{"key", key},
                        {"fingerprint", fingerprint},
                        {"at", at},
                        {"status", answer.status},
                        {"body", answer.body}}
             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         "\n";
}

std::string Megabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

// What a start found in the file beside the answers it keeps.
struct IdempotencyKeys::Found {
  uint64_t unread = 0;   // bytes before the part read
  uint64_t damaged = 0;  // lines that are no kept answer (a torn last line is not counted)
  uint64_t ahead = 0;    // answers stamped ahead of the clock
  uint64_t crowded = 0;  // answers of the last day beyond kMostKeptBytes
  int64_t crowded_until = 0;
};

IdempotencyKeys::IdempotencyKeys(std::string path, const hosts::Clock& clock, LogLine log)
    : path_(std::move(path)), clock_(clock), log_(std::move(log)) {}

holvanter::Result<std::unique_ptr<IdempotencyKeys>> IdempotencyKeys::Open(
    std::string path, const hosts::Clock& clock, LogLine log) {
  std::unique_ptr<IdempotencyKeys> keys(
      new IdempotencyKeys(std::move(path), clock, std::move(log)));
  HV_RETURN_IF_ERROR(keys->Load());
  return keys;
}

void IdempotencyKeys::Take(std::string_view line, int64_t now_s, Found& found) {
  // Written by this agent, one object a line with its keys in order: an
  // answer older than a day (most of a file left to grow) is passed over by
  // its time alone, without parsing the rest.
  constexpr std::string_view kStart = "{\"at\":";
  if (line.substr(0, kStart.size()) == kStart) {
    int64_t at = 0;
    std::size_t i = kStart.size();
    const bool negative = i < line.size() && line[i] == '-';
    if (negative) ++i;
    const std::size_t digits = i;
    while (i < line.size() && i - digits < 18 && line[i] >= '0' && line[i] <= '9')
      at = at * 10 + (line[i++] - '0');
    if (negative) at = -at;
    if (i > digits && i < line.size() && line[i] == ',' && now_s - at >= kKeptSeconds) return;
  }
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("key") || !j["key"].is_string() ||
      !j.contains("fingerprint") || !j["fingerprint"].is_string() || !j.contains("at") ||
      !j["at"].is_number_integer() || !j.contains("status") || !j["status"].is_number_integer() ||
      !j.contains("body") || !j["body"].is_string() ||
      !UsableIdempotencyKey(j["key"].get_ref<const std::string&>()) ||
      j["body"].get_ref<const std::string&>().size() > kMostAnswerBytes) {
    ++found.damaged;
    return;
  }
  int64_t at = j["at"].get<int64_t>();
  if (now_s - at >= kKeptSeconds) return;
  if (at - now_s > kAheadSeconds) {
    // The clock was set back, or the file came from elsewhere: the answer
    // may still stand for a card cut, so it is kept, but for a day from now
    // rather than for good.
    ++found.ahead;
    at = now_s;
  }
  Entry entry;
  entry.fingerprint = j["fingerprint"].get<std::string>();
  entry.at = at;
  entry.answer = KeptAnswer{j["status"].get<int>(), j["body"].get<std::string>(), true};
  entry.line_bytes = line.size() + 1;
  // A later line of the same key is a later answer under it.
  Entry& kept = kept_[j["key"].get<std::string>()];
  kept_bytes_ = kept_bytes_ - kept.line_bytes + entry.line_bytes;
  kept = std::move(entry);
}

// The floor's owner-only files throw PrivateFileError: caught here.
holvanter::Status IdempotencyKeys::Load() {
  const int64_t now_s = clock_.UnixSeconds();
  Found found;
  uint64_t size = 0;
  try {
    std::unique_ptr<holvanter::PrivateFile> file;
    try {
      file = std::make_unique<holvanter::PrivateFile>(
          path_, kWhat, holvanter::PrivateFile::How::kRead, holvanter::OpenToOthers::kNarrow);
    } catch (const holvanter::PrivateFileError& e) {
      if (e.kind() != holvanter::PrivateFileError::kNotFound) throw;
    }
    if (file) {
      // Read a piece at a time, never the whole file: memory holds the
      // answers kept and one line.
      size = file->Size();
      uint64_t at = size > kMostReadBytes ? size - kMostReadBytes : 0;
      found.unread = at;
      std::string buffer(kReadPiece, '\0');
      // A part that starts mid-line starts at the next line.
      bool skipping = at > 0 && !(file->ReadAt(at - 1, buffer.data(), 1) == 1 && buffer[0] == '\n');
      std::string line;
      bool too_long = false;
      for (std::size_t n; (n = file->ReadAt(at, buffer.data(), buffer.size())) > 0; at += n) {
        std::string_view piece(buffer.data(), n);
        while (!piece.empty()) {
          const std::size_t end = piece.find('\n');
          const std::string_view part = piece.substr(0, end);
          if (!skipping && !too_long) {
            if (line.size() + part.size() > kMostLineBytes) {
              too_long = true;
              line = std::string();
            } else {
              line += part;
            }
          }
          if (end == std::string_view::npos) break;
          piece.remove_prefix(end + 1);
          if (too_long) {
            ++found.damaged;
          } else if (!skipping) {
            Take(line, now_s, found);
            // Memory holds no more than the bound while the file is read.
            const auto [dropped, until] = DropOldestBeyondTheBound();
            found.crowded += dropped;
            if (dropped > 0) found.crowded_until = std::max(found.crowded_until, until);
          }
          skipping = too_long = false;
          line.clear();
        }
      }
      // A last line without its newline was cut short by a crash: skipped,
      // as what was never answered.
    }
  } catch (const holvanter::PrivateFileError& e) {
    return holvanter::Status::InvalidArgument(e.what());
  }

  std::string what;
  const auto add = [&what](const std::string& part) { what += (what.empty() ? "" : ", ") + part; };
  if (found.unread > 0)
    add(Megabytes(size) + " (a start reads the newest " + Megabytes(kMostReadBytes) + ")");
  if (found.damaged > 0) add(std::to_string(found.damaged) + " damaged lines");
  if (found.crowded > 0)
    add(std::to_string(found.crowded) + " answers of the last 24 hours beyond the " +
        Megabytes(kMostKeptBytes) + " kept (up to " +
        hosts::LocalTimeOf(found.crowded_until, "%Y-%m-%d %H:%M:%S") + ")");
  if (found.ahead > 0)
    add(std::to_string(found.ahead) +
        " answers stamped ahead of this machine's clock (kept for 24 hours from now)");
  std::string aside;
  if (!what.empty()) {
    // The old file is kept for a look, not read again: one set aside at a
    // time, the last in place of the one before.
    const std::string set_aside = path_ + ".set-aside";
    std::error_code failed;
    std::filesystem::remove(holvanter::Utf8Path(set_aside), failed);
    std::filesystem::rename(holvanter::Utf8Path(path_), holvanter::Utf8Path(set_aside), failed);
    aside = failed ? "the old file could not be set aside (" + failed.message() + ") and is replaced"
                   : "the old file is set aside as " + set_aside;
  }
  // The file is written anew with the answers kept only: a new owner-only
  // file, then put in place of the old.
  const std::string why = Rewrite();
  if (!why.empty()) return holvanter::Status::InvalidArgument(why);
  if (!what.empty() && log_)
    log_("the idempotency key file " + path_ + " held " + what + "; " +
         std::to_string(kept_.size()) + " answers of the last 24 hours are kept, and " + aside);
  pruned_at_ = now_s;
  return holvanter::Status::Ok();
}

IdempotencyKeys::Outcome IdempotencyKeys::Begin(const std::string& key,
                                                const std::string& fingerprint, KeptAnswer& kept,
                                                std::function<void(const KeptAnswer&)> waiter) {
  Prune();
  auto found = kept_.find(key);
  // A key a day old is free again, whether or not the last prune (once a
  // minute) has seen it go.
  if (found != kept_.end() && found->second.answer &&
      clock_.UnixSeconds() - found->second.at >= kKeptSeconds) {
    Drop(found);
    found = kept_.end();
  }
  if (found == kept_.end()) {
    kept_[key] = Entry{fingerprint, clock_.UnixSeconds(), std::nullopt, {}};
    return Outcome::kFirst;
  }
  Entry& entry = found->second;
  if (entry.fingerprint != fingerprint) return Outcome::kReused;
  if (entry.answer) {
    kept = *entry.answer;
    return Outcome::kReplay;
  }
  entry.waiters.push_back(std::move(waiter));
  return Outcome::kWaiting;
}

std::string IdempotencyKeys::Finish(const std::string& key, const KeptAnswer& answer) {
  auto found = kept_.find(key);
  if (found == kept_.end()) return {};
  if (answer.body.size() > kMostAnswerBytes) {
    const std::string why = "an answer of " + std::to_string(answer.body.size()) +
                            " bytes is too long to keep under an Idempotency-Key; a repeat of "
                            "the request runs again";
    if (log_) log_(why);
    Forget(key, answer);
    return why;
  }
  Entry& entry = found->second;
  entry.answer = answer;
  const std::string line = LineOf(key, entry.fingerprint, entry.at, answer);
  entry.line_bytes = line.size();
  kept_bytes_ += line.size();
  std::string unkept;
  // Appended and flushed at once: an answer given is an answer kept, also
  // over a crash right after it.
  try {
    holvanter::PrivateFile(path_, kWhat, holvanter::PrivateFile::How::kAppend,
                           holvanter::OpenToOthers::kNarrow)
        .Append(line);
    file_bytes_ += line.size();
  } catch (const std::exception& e) {
    // The answer stays kept in memory for this run of the agent; only a
    // repeat after a restart would no longer find it.
    unkept = std::string("the answer under an Idempotency-Key is kept only until the agent "
                         "stops: ") + e.what();
    if (log_) log_(unkept);
  }
  for (auto& waiter : std::exchange(entry.waiters, {})) waiter(answer);
  SayDropped(DropOldestBeyondTheBound());
  RewriteWhenTwiceTheKept();
  return unkept;
}

void IdempotencyKeys::Forget(const std::string& key, const KeptAnswer& answer) {
  auto found = kept_.find(key);
  if (found == kept_.end()) return;
  auto waiters = std::move(found->second.waiters);
  Drop(found);
  KeptAnswer given = answer;
  given.kept = false;
  for (auto& waiter : waiters) waiter(given);
}

void IdempotencyKeys::Drop(std::map<std::string, Entry>::iterator at) {
  kept_bytes_ -= at->second.line_bytes;
  kept_.erase(at);
}

void IdempotencyKeys::Prune() {
  const int64_t now_s = clock_.UnixSeconds();
  // Once a minute, and at once after the clock was set back.
  if (now_s >= pruned_at_ && now_s - pruned_at_ < 60) return;
  pruned_at_ = now_s;
  for (auto it = kept_.begin(); it != kept_.end();) {
    Entry& entry = it->second;
    // A clock set back leaves answers stamped ahead of it: they are kept
    // for a day from now, not until the clock comes round to them again.
    if (entry.at - now_s > kAheadSeconds) entry.at = now_s;
    if (entry.answer && now_s - entry.at >= kKeptSeconds)
      Drop(it++);
    else
      ++it;
  }
  RewriteWhenTwiceTheKept();
}

std::pair<std::size_t, int64_t> IdempotencyKeys::DropOldestBeyondTheBound() {
  if (kept_bytes_ <= kMostKeptBytes) return {0, 0};
  // Down to three quarters of the bound, so that this sort comes again only
  // after many more answers.
  std::vector<std::pair<int64_t, std::map<std::string, Entry>::iterator>> answered;
  for (auto it = kept_.begin(); it != kept_.end(); ++it)
    if (it->second.answer) answered.emplace_back(it->second.at, it);
  std::sort(answered.begin(), answered.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::pair<std::size_t, int64_t> dropped{0, 0};
  for (const auto& [at, it] : answered) {
    if (kept_bytes_ <= kMostKeptBytes / 4 * 3) break;
    Drop(it);
    dropped = {dropped.first + 1, at};
  }
  return dropped;
}

void IdempotencyKeys::SayDropped(std::pair<std::size_t, int64_t> dropped) {
  if (dropped.first == 0 || !log_) return;
  log_("the answers under Idempotency-Keys outgrew " + Megabytes(kMostKeptBytes) +
       " within 24 hours: the " + std::to_string(dropped.first) + " oldest, up to " +
       hosts::LocalTimeOf(dropped.second, "%Y-%m-%d %H:%M:%S") +
       ", are no longer kept, and a repeat of them runs again");
}

std::string IdempotencyKeys::Rewrite() {
  std::string text;
  text.reserve(kept_bytes_);
  for (auto& [key, entry] : kept_) {
    if (!entry.answer) continue;
    const std::size_t before = text.size();
    text += LineOf(key, entry.fingerprint, entry.at, *entry.answer);
    entry.line_bytes = text.size() - before;
  }
  kept_bytes_ = text.size();
  try {
    holvanter::ReplacePrivateFile(path_, text, kWhat);
  } catch (const holvanter::PrivateFileError& e) {
    return e.what();
  }
  file_bytes_ = text.size();
  return {};
}

void IdempotencyKeys::RewriteWhenTwiceTheKept() {
  // Each rewrite comes after the file has grown by what it then keeps: its
  // cost, spread over the answers appended since, stays that of one line.
  if (file_bytes_ < kLeastRewriteBytes || file_bytes_ <= 2 * kept_bytes_ ||
      file_bytes_ < next_rewrite_at_)
    return;
  const std::string why = Rewrite();
  if (why.empty()) {
    next_rewrite_at_ = 0;
    return;
  }
  // The answers are appended as before; the next try waits until the file
  // has grown as much again.
  next_rewrite_at_ = file_bytes_ + std::max(kept_bytes_, kLeastRewriteBytes);
  if (log_) log_("the idempotency key file is not written anew: " + why);
}

}  // namespace agent
