#include "hosts/fias/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/env.h"

namespace fias {

Moment MomentAt(SteadyTime steady) {
  const holvanter::LocalTime t = holvanter::Env::Default()->Now();
  char date[16], time[16];
  std::snprintf(date, sizeof date, "%02d%02d%02d", t.year % 100, t.month, t.day);
  std::snprintf(time, sizeof time, "%02d%02d%02d", t.hour, t.minute, t.second);
  return {steady, date, time};
}

Moment Now() { return MomentAt(std::chrono::steady_clock::now()); }

std::string Stamp() {
  const Moment now = Now();
  return now.date + now.time;
}

std::string LocalTimeText() {
  const holvanter::LocalTime t = holvanter::Env::Default()->Now();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

int64_t UnixSeconds() {
  // Env has no Unix time: the system clock is the same on every platform.
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// `seconds` since 1970 as strftime's `format` writes it, in UTC or local time.
std::string TimeText(int64_t seconds, const char* format, bool utc) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
#ifdef _WIN32
  utc ? gmtime_s(&tm, &t) : localtime_s(&tm, &t);
#else
  utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm);
#endif
  char text[32];
  return std::strftime(text, sizeof text, format, &tm) > 0 ? text : "?";
}

}  // namespace

std::string UtcTimeText() { return TimeText(UnixSeconds(), "%Y-%m-%dT%H:%M:%SZ", true); }

std::string LocalTimeOf(int64_t seconds, const char* format) {
  return TimeText(seconds, format, false);
}

}  // namespace fias
