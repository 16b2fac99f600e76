// The key link's time on the hosts' clock (hosts/clock/clock.h): the link's
// Moment, whose steady time runs its timers and whose local date and time
// are the DA and TI of link records and answers, and the journal's request
// times. Apart from the link's connection, so that whoever needs the time
// needs no socket.
#ifndef HOLVANTER_HOSTS_FIAS_CLOCK_H_
#define HOLVANTER_HOSTS_FIAS_CLOCK_H_

#include <string>

#include "hosts/clock/clock.h"
#include "hosts/fias/link.h"

namespace fias {

// The local wall clock of `clock`, with `steady` as the link's time.
Moment MomentAt(const hosts::Clock& clock, SteadyTime steady);
// The local wall clock and the steady clock of `clock`, now.
Moment Now(const hosts::Clock& clock);
// YYMMDDHHMMSS now: the journal's request times.
std::string Stamp(const hosts::Clock& clock);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_CLOCK_H_
