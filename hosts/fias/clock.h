// The hosts' clock: the steady clock for timers, and the wall clock as the
// system's Env reads it (platform/env.h), for the DA and TI of link records
// and answers, the journal's times and what the health shows. Apart from the
// link's connection, so that whoever needs the time needs no socket.
#ifndef HOLVANTER_HOSTS_FIAS_CLOCK_H_
#define HOLVANTER_HOSTS_FIAS_CLOCK_H_

#include <cstdint>
#include <string>

#include "hosts/fias/link.h"

namespace fias {

// The wall clock now, with `steady` as the link's time.
Moment MomentAt(SteadyTime steady);
// The local wall clock and the steady clock, now.
Moment Now();
// YYMMDDHHMMSS now: the journal's request times.
std::string Stamp();
// "2026-12-08T09:30:00" now, local time: when a desk was last heard.
std::string LocalTimeText();
// Seconds since 1970 in UTC: the desks registry's pairing codes and the
// agent's Idempotency-Keys expire by it.
int64_t UnixSeconds();
// "2026-12-08T09:30:00Z" now, in UTC: the stamp of the agent's log lines.
std::string UtcTimeText();
// `seconds` since 1970 in local time as strftime's `format` writes it ("?"
// when it does not fit 31 bytes): when a desk was paired, when a code ends.
std::string LocalTimeOf(int64_t seconds, const char* format);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_CLOCK_H_
