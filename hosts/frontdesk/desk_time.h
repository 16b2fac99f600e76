// The desk's times as the hosts give them and take them. Every answer (the
// agent's routes, the command's --json, the page) gives a moment as ISO 8601
// local time with the desk's offset from UTC at that moment, summer time
// included ("2026-12-09T20:04:00+08:00"), so that a program never has to
// guess the zone; a day alone ("2026-12-09") where only the day is known.
// Every input takes ISO 8601, with or without an offset, or the component's
// twelve-figure stamp YYYYMMDDhhmm; what reaches the component is always
// that stamp, in the desk's local time.
#ifndef HOLVANTER_HOSTS_FRONTDESK_DESK_TIME_H_
#define HOLVANTER_HOSTS_FRONTDESK_DESK_TIME_H_

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/frontdesk.h"

namespace frontdesk {

// The desk's offset from UTC in seconds east at the local time given, as
// the system's time zone has it then (TZ on Linux, the system's zone on
// Windows); nullopt when it is no date and time.
std::optional<int> DeskOffsetAt(int year, int month, int day, int hour, int minute);

// An offset as ISO 8601 writes it: "+08:00", "-03:30", "+00:00".
std::string OffsetText(int seconds_east);

// A stamp or a database date as ISO 8601: twelve figures or more
// ("202612092004", "2026-12-09 20:04:00") the time to the minute with the
// desk's offset, eight figures ("20261209") the day alone ("2026-12-09").
// Empty for no time: an empty text, figures that are no date, or a date of
// the year 1900, which the records hold for none.
std::string DeskTime(std::string_view stamp);
// The same as a JSON value: null for no time.
nlohmann::json DeskTimeJson(std::string_view stamp);

// A time given to a host as the twelve-figure stamp of desk local time:
// twelve figures as they are; ISO 8601 YYYY-MM-DDThh:mm[:ss[.fff]] (a blank
// may stand for the T) with no offset as desk local time, and with one (Z,
// +hh:mm, +hhmm, +hh) converted to desk local time. Seconds are dropped:
// a card keeps minutes. Figures that are no date pass as they are, so that
// the component refuses them with its own result code; nullopt for a text
// of any other form.
std::optional<std::string> StampOfTime(std::string_view text);

// The stay's begin and end as stamps where they were given in ISO 8601;
// anything else is left as it was, for RefuseStay to refuse.
void TakeStayTimes(GuestStay& stay);
void TakeStayTimes(VillaStay& stay);

}  // namespace frontdesk

#endif  // HOLVANTER_HOSTS_FRONTDESK_DESK_TIME_H_
