// The calendar rules of card stays: the stamps YYYYMMDDhhmm that cross the
// interface, and the month names that the database's date literals carry.
#ifndef HOLVANTER_UTIL_CALENDAR_H_
#define HOLVANTER_UTIL_CALENDAR_H_

#include <string_view>

namespace holvanter {

bool IsLeapYear(int year);
// Days in `month` (1..12) of `year`; 0 for any other month.
int DaysInMonth(int year, int month);

// True when `stamp` is exactly twelve figures.
bool IsTwelveFigures(std::string_view stamp);
// True when the first twelve characters of `stamp` are figures giving a date
// and time a card can carry: years 2000 to 2099, a real day, 00:00 to 23:59.
bool IsCardStamp(std::string_view stamp);

// "Jan".."Dec" for 1..12, empty for any other month.
std::string_view MonthAbbreviation(int month);

}  // namespace holvanter

#endif  // HOLVANTER_UTIL_CALENDAR_H_
