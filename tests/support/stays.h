// Stays for the tests, counted from today on the local clock, so that no
// test holds a date that passes: whether a card is still live is part of
// what the front desk decides, and each test must say which case it means.
#ifndef HOLVANTER_TESTS_SUPPORT_STAYS_H_
#define HOLVANTER_TESTS_SUPPORT_STAYS_H_

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace holvanter::test_support {

// The local time HH:MM `days` days from today as the component's
// twelve-figure YYYYMMDDHHMM. mktime normalizes the day across month and
// year ends and takes summer time from the zone.
inline std::string StayStamp(int days, const char* hhmm = "1200") {
  std::time_t now = std::time(nullptr);
  std::tm day{};
  localtime_r(&now, &day);
  day.tm_mday += days;
  day.tm_hour = 12;  // away from a summer-time change at night
  day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  std::mktime(&day);
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", &day);
  return std::string(text) + hhmm;
}

// The process's time zone is `zone` ("Europe/Berlin") while the object
// lives: a test about the change to and from summer time sets the zone as
// well as the clock.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* tz = std::getenv("TZ")) previous_ = tz;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    previous_ ? setenv("TZ", previous_->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

}  // namespace holvanter::test_support

#endif  // HOLVANTER_TESTS_SUPPORT_STAYS_H_
