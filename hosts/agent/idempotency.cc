#include "hosts/agent/idempotency.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/private_file.h"

namespace agent {

bool UsableIdempotencyKey(const std::string& key) {
  if (key.empty() || key.size() > 255) return false;
  for (unsigned char c : key)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

namespace {

constexpr const char* kWhat = "idempotency key file";
// A day of answers of one desk is far below this.
constexpr std::size_t kMostFileBytes = 64u << 20;

constexpr int64_t kKeptSeconds =
    std::chrono::duration_cast<std::chrono::seconds>(IdempotencyKeys::kKeptFor).count();

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

}  // namespace

IdempotencyKeys::IdempotencyKeys(std::string path, const hosts::Clock& clock)
    : path_(std::move(path)), clock_(clock) {}

holvanter::Result<std::unique_ptr<IdempotencyKeys>> IdempotencyKeys::Open(
    std::string path, const hosts::Clock& clock) {
  std::unique_ptr<IdempotencyKeys> keys(new IdempotencyKeys(std::move(path), clock));
  HV_RETURN_IF_ERROR(keys->Load());
  return keys;
}

// The floor's owner-only files throw PrivateFileError: caught here.
holvanter::Status IdempotencyKeys::Load() {
  const int64_t now_s = clock_.UnixSeconds();
  std::optional<std::string> stored;
  try {
    stored = holvanter::ReadPrivateFile(path_, kWhat, kMostFileBytes, holvanter::OpenToOthers::kNarrow);
  } catch (const holvanter::PrivateFileError& e) {
    return holvanter::Status::InvalidArgument(e.what());
  }
  if (stored) {
    std::istringstream in(*stored);
    for (std::string line; std::getline(in, line);) {
      // A line cut short by a crash, or one of another version, is skipped.
      const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      if (!j.is_object() || !j.contains("key") || !j["key"].is_string() ||
          !j.contains("fingerprint") || !j["fingerprint"].is_string() || !j.contains("at") ||
          !j["at"].is_number_integer() || !j.contains("status") || !j["status"].is_number_integer() ||
          !j.contains("body") || !j["body"].is_string())
        continue;
      const int64_t at = j["at"].get<int64_t>();
      if (now_s - at >= kKeptSeconds) continue;
      Entry entry;
      entry.fingerprint = j["fingerprint"].get<std::string>();
      entry.at = at;
      entry.answer = KeptAnswer{j["status"].get<int>(), j["body"].get<std::string>(), true};
      kept_[j["key"].get<std::string>()] = std::move(entry);
    }
  }
  // The file is written anew with the keys of the last day only: a new
  // owner-only file, then put in place of the old.
  std::string text;
  for (const auto& [key, entry] : kept_) text += LineOf(key, entry.fingerprint, entry.at, *entry.answer);
  try {
    holvanter::ReplacePrivateFile(path_, text, kWhat);
  } catch (const holvanter::PrivateFileError& e) {
    return holvanter::Status::InvalidArgument(e.what());
  }
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
    kept_.erase(found);
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
  Entry& entry = found->second;
  entry.answer = answer;
  std::string unkept = Append(key, entry);
  for (auto& waiter : std::exchange(entry.waiters, {})) waiter(answer);
  return unkept;
}

void IdempotencyKeys::Forget(const std::string& key, const KeptAnswer& answer) {
  auto found = kept_.find(key);
  if (found == kept_.end()) return;
  auto waiters = std::move(found->second.waiters);
  kept_.erase(found);
  KeptAnswer given = answer;
  given.kept = false;
  for (auto& waiter : waiters) waiter(given);
}

std::string IdempotencyKeys::Append(const std::string& key, const Entry& entry) {
  // Appended and flushed at once: an answer given is an answer kept, also
  // over a crash right after it.
  try {
    holvanter::PrivateFile(path_, kWhat, holvanter::PrivateFile::How::kAppend,
                           holvanter::OpenToOthers::kNarrow)
        .Append(LineOf(key, entry.fingerprint, entry.at, *entry.answer));
  } catch (const std::exception& e) {
    // The answer stays kept in memory for this run of the agent; only a
    // repeat after a restart would no longer find it.
    return e.what();
  }
  return {};
}

void IdempotencyKeys::Prune() {
  const int64_t now_s = clock_.UnixSeconds();
  if (now_s - pruned_at_ < 60) return;
  pruned_at_ = now_s;
  std::erase_if(kept_, [&](const auto& item) {
    return item.second.answer && now_s - item.second.at >= kKeptSeconds;
  });
}

}  // namespace agent
