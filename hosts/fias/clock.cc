#include "hosts/fias/clock.h"

#include <cstdio>

namespace fias {

Moment MomentAt(const hosts::Clock& clock, SteadyTime steady) {
  const hosts::CivilTime t = hosts::LocalTimeAt(clock.UnixSeconds());
  char date[16], time[16];
  std::snprintf(date, sizeof date, "%02d%02d%02d", t.year % 100, t.month, t.day);
  std::snprintf(time, sizeof time, "%02d%02d%02d", t.hour, t.minute, t.second);
  return {steady, date, time};
}

Moment Now(const hosts::Clock& clock) { return MomentAt(clock, clock.Steady()); }

std::string Stamp(const hosts::Clock& clock) {
  const Moment now = Now(clock);
  return now.date + now.time;
}

}  // namespace fias
