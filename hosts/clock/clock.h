// The hosts' one clock. Every host takes its time from a Clock it is given,
// as the core takes its own from Env: the steady clock for timers, waits
// and limits, and the wall clock for what people and peers read (the DA
// and TI of link records, the journal's times, log stamps, when a desk was
// last heard, when a pairing code or an Idempotency-Key runs out).
// Clock::System() is the one that runs at a hotel and the only code of the
// hosts that reads the system's clocks; TestClock is moved by a test, in
// milliseconds, so that a rule of a day is a row of a table, not a wait.
#ifndef HOLVANTER_HOSTS_CLOCK_CLOCK_H_
#define HOLVANTER_HOSTS_CLOCK_CLOCK_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace hosts {

using SteadyTime = std::chrono::steady_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;

  // The steady clock: never goes back, whatever the wall clock does.
  virtual SteadyTime Steady() const = 0;
  // The wall clock, in milliseconds since 1970 in UTC. It may jump either
  // way (an administrator, a time server): nothing that must end after a
  // while is measured on it, only what is kept across a restart.
  virtual int64_t UnixMillis() const = 0;
  // The same in whole seconds, rounded down (also before 1970).
  int64_t UnixSeconds() const;

  // The system's clocks; lives for the process. Any thread.
  static const Clock& System();
};

// A clock that stands still until the test moves it. Any thread.
class TestClock final : public Clock {
 public:
  // Stands at `unix_seconds`; its steady clock starts at an arbitrary point.
  explicit TestClock(int64_t unix_seconds);

  SteadyTime Steady() const override;
  int64_t UnixMillis() const override;

  // Time passes: both clocks move on by `by`.
  void Advance(std::chrono::milliseconds by);
  // The wall clock is set, as an administrator or a time server sets it;
  // the steady clock does not move.
  void SetWall(int64_t unix_millis);

 private:
  mutable std::mutex mutex_;
  SteadyTime steady_;
  int64_t unix_millis_;
};

// Local civil time at `unix_seconds`, in the zone of the process (TZ on
// Linux, the system's zone on Windows), summer time included.
struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
CivilTime LocalTimeAt(int64_t unix_seconds);
// The same in UTC.
CivilTime UtcTimeAt(int64_t unix_seconds);

// "2026-12-08T09:30:00+08:00", local time with the zone's offset then: when
// a desk was last heard.
std::string LocalTimeText(const Clock& clock);
// "2026-12-08T09:30:00Z" in UTC: the stamp of the agent's log lines.
std::string UtcTimeText(const Clock& clock);
// `unix_seconds` in local time as strftime's `format` writes it ("?" when it
// does not fit 31 bytes): when a desk was paired, when a code ends.
std::string LocalTimeOf(int64_t unix_seconds, const char* format);

}  // namespace hosts

#endif  // HOLVANTER_HOSTS_CLOCK_CLOCK_H_
