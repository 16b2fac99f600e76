#include "hosts/clock/clock.h"

#include <cstdio>
#include <ctime>

namespace hosts {

namespace {

class SystemClock final : public Clock {
 public:
  SteadyTime Steady() const override { return std::chrono::steady_clock::now(); }
  int64_t UnixMillis() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

std::tm TmAt(int64_t unix_seconds, bool utc) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
#ifdef _WIN32
  utc ? gmtime_s(&tm, &t) : localtime_s(&tm, &t);
#else
  utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm);
#endif
  return tm;
}

CivilTime CivilOf(const std::tm& tm) {
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string IsoText(const CivilTime& t, const char* zone) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%s", t.year, t.month, t.day,
                t.hour, t.minute, t.second, zone);
  return text;
}

// The zone's offset from UTC at `unix_seconds`, as ISO 8601 writes it
// ("+08:00"): local time less UTC, a day apart at most.
std::string OffsetAt(int64_t unix_seconds) {
  const std::tm local = TmAt(unix_seconds, false), utc = TmAt(unix_seconds, true);
  const int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                                 : local.tm_yday - utc.tm_yday;
  const int seconds = days * 86400 + (local.tm_hour - utc.tm_hour) * 3600 +
                      (local.tm_min - utc.tm_min) * 60 + (local.tm_sec - utc.tm_sec);
  const int minutes = (seconds < 0 ? -seconds : seconds) / 60;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", seconds < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

}  // namespace

int64_t Clock::UnixSeconds() const {
  const int64_t ms = UnixMillis();
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

const Clock& Clock::System() {
  static const SystemClock clock;
  return clock;
}

TestClock::TestClock(int64_t unix_seconds)
    : steady_(SteadyTime() + std::chrono::hours(1)), unix_millis_(unix_seconds * 1000) {}

SteadyTime TestClock::Steady() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return steady_;
}

int64_t TestClock::UnixMillis() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unix_millis_;
}

void TestClock::Advance(std::chrono::milliseconds by) {
  std::lock_guard<std::mutex> lock(mutex_);
  steady_ += by;
  unix_millis_ += by.count();
}

void TestClock::SetWall(int64_t unix_millis) {
  std::lock_guard<std::mutex> lock(mutex_);
  unix_millis_ = unix_millis;
}

CivilTime LocalTimeAt(int64_t unix_seconds) { return CivilOf(TmAt(unix_seconds, false)); }
CivilTime UtcTimeAt(int64_t unix_seconds) { return CivilOf(TmAt(unix_seconds, true)); }

std::string LocalTimeText(const Clock& clock) {
  const int64_t now = clock.UnixSeconds();
  return IsoText(LocalTimeAt(now), OffsetAt(now).c_str());
}

std::string UtcTimeText(const Clock& clock) { return IsoText(UtcTimeAt(clock.UnixSeconds()), "Z"); }

std::string LocalTimeOf(int64_t unix_seconds, const char* format) {
  const std::tm tm = TmAt(unix_seconds, false);
  char text[32];
  return std::strftime(text, sizeof text, format, &tm) > 0 ? text : "?";
}

}  // namespace hosts
