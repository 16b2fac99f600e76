#include "util/calendar.h"

#include "util/text.h"

namespace holvanter {
namespace {

constexpr std::string_view kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int Figures(std::string_view s, std::size_t pos, std::size_t count) {
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) value = value * 10 + (s[i] - '0');
  return value;
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool IsTwelveFigures(std::string_view stamp) { return stamp.size() == 12 && AllFigures(stamp); }

bool IsCardStamp(std::string_view stamp) {
  if (stamp.size() < 12 || !AllFigures(stamp.substr(0, 12))) return false;
  const int year = Figures(stamp, 0, 4), month = Figures(stamp, 4, 2), day = Figures(stamp, 6, 2);
  const int hour = Figures(stamp, 8, 2), minute = Figures(stamp, 10, 2);
  if (year < 2000 || year > 2099 || hour > 23 || minute > 59) return false;
  return day >= 1 && day <= DaysInMonth(year, month);
}

std::string_view MonthAbbreviation(int month) {
  return month >= 1 && month <= 12 ? kMonths[month - 1] : std::string_view{};
}

}  // namespace holvanter
