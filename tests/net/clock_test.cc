// The hosts' clock as a test moves it, across the change to and from summer
// time in Europe/Berlin, a leap day and a year end: what the key link writes
// as DA and TI, the journal's request times and the desks' last contact
// follow the local clock, while the steady clock that runs every limit goes
// on by exactly the time that passed.
#include "hosts/clock/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "hosts/fias/clock.h"
#include "tests/support/stays.h"

namespace hosts {
namespace {

using std::chrono::milliseconds;

TEST(HostsClock, LocalTimeAcrossSummerTimeLeapDayAndYearEnd) {
  const holvanter::test_support::ScopedTimeZone berlin("Europe/Berlin");
  const struct {
    const char* what;
    int64_t unix_seconds;  // where the clock stands
    int64_t advance_ms;    // how long then passes
    const char* before;    // LocalTimeText before, and after the advance
    const char* after;
    const char* stamp_after;  // the journal's YYMMDDHHMMSS after
  } rows[] = {
      {"spring: 02:00 is skipped", 1806195599, 1000, "2027-03-28T01:59:59+01:00",
       "2027-03-28T03:00:00+02:00", "270328030000"},
      {"spring: the local day is 23 hours", 1806145200, 23 * 3600 * 1000,
       "2027-03-27T12:00:00+01:00", "2027-03-28T12:00:00+02:00", "270328120000"},
      {"autumn: 02:30 comes twice, told apart by the offset", 1824942600, 3600 * 1000,
       "2027-10-31T02:30:00+02:00", "2027-10-31T02:30:00+01:00", "271031023000"},
      {"autumn: the local day is 25 hours", 1824890400, 25 * 3600 * 1000,
       "2027-10-30T12:00:00+02:00", "2027-10-31T12:00:00+01:00", "271031120000"},
      {"a leap day ends", 1835477999, 1000, "2028-02-29T23:59:59+01:00",
       "2028-03-01T00:00:00+01:00", "280301000000"},
      {"a year ends", 1830294000 - 1, 1, "2027-12-31T23:59:59+01:00",
       "2027-12-31T23:59:59+01:00", "271231235959"},
      {"a year ends, a second later", 1830294000 - 1, 1000, "2027-12-31T23:59:59+01:00",
       "2028-01-01T00:00:00+01:00", "280101000000"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TestClock clock(row.unix_seconds);
    const SteadyTime started = clock.Steady();
    EXPECT_EQ(LocalTimeText(clock), row.before);
    clock.Advance(milliseconds(row.advance_ms));
    EXPECT_EQ(LocalTimeText(clock), row.after);
    EXPECT_EQ(fias::Stamp(clock), row.stamp_after);
    EXPECT_EQ(clock.Steady() - started, milliseconds(row.advance_ms));
    EXPECT_EQ(clock.UnixMillis(), row.unix_seconds * 1000 + row.advance_ms);
  }
}

// The wall clock set back or forward moves what people read, never the
// steady clock that the limits run on; seconds round down before 1970 too.
TEST(HostsClock, ASetWallClockLeavesTheSteadyClock) {
  const holvanter::test_support::ScopedTimeZone utc("UTC");
  TestClock clock(1806145200);
  const SteadyTime started = clock.Steady();
  clock.SetWall(int64_t{1806145200 - 3600} * 1000);
  EXPECT_EQ(UtcTimeText(clock), "2027-03-27T10:00:00Z");
  EXPECT_EQ(clock.Steady(), started);
  clock.SetWall(-1500);
  EXPECT_EQ(clock.UnixSeconds(), -2);
  EXPECT_EQ(UtcTimeText(clock), "1969-12-31T23:59:58Z");
  EXPECT_EQ(LocalTimeOf(0, "%Y-%m-%d %H:%M"), "1970-01-01 00:00");
}

}  // namespace
}  // namespace hosts
