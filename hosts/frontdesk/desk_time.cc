#include "hosts/frontdesk/desk_time.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "util/calendar.h"
#include "util/text.h"

namespace frontdesk {
namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, the
// way UTC counts them: no time zone is asked.
int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t of_era = year - era * 400;
  const int64_t of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  return era * 146097 + of_era * 365 + of_era / 4 - of_era / 100 + of_year - 719468;
}

bool RealTime(int year, int month, int day, int hour, int minute) {
  return year >= 1 && year <= 9999 && day >= 1 && day <= holvanter::DaysInMonth(year, month) &&
         hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59;
}

int Number(std::string_view figures) {
  int value = 0;
  for (char c : figures) value = value * 10 + (c - '0');
  return value;
}

bool FiguresAt(std::string_view text, std::size_t at, std::size_t count) {
  return text.size() >= at + count && holvanter::AllFigures(text.substr(at, count));
}

std::string StampText(int year, int month, int day, int hour, int minute) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d", year, month, day, hour, minute);
  return text;
}

}  // namespace

std::optional<int> DeskOffsetAt(int year, int month, int day, int hour, int minute) {
  if (!RealTime(year, month, day, hour, minute)) return std::nullopt;
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_isdst = -1;  // the zone says whether summer time holds then
  const std::time_t at = std::mktime(&local);
  if (at == static_cast<std::time_t>(-1)) return std::nullopt;
  const int64_t civil = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60;
  return static_cast<int>(civil - static_cast<int64_t>(at));
}

std::string OffsetText(int seconds_east) {
  const int minutes = (seconds_east < 0 ? -seconds_east : seconds_east) / 60;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", seconds_east < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

std::string DeskTime(std::string_view stamp) {
  std::string figures;
  for (char c : stamp)
    if (c >= '0' && c <= '9') figures += c;
  if (figures.size() < 8) return {};
  const int year = Number(figures.substr(0, 4)), month = Number(figures.substr(4, 2)),
            day = Number(figures.substr(6, 2));
  // The records hold 1900-01-01 for a time they do not have.
  if (year == 1900 || !RealTime(year, month, day, 0, 0)) return {};
  char text[48];
  if (figures.size() < 12) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
  }
  const int hour = Number(figures.substr(8, 2)), minute = Number(figures.substr(10, 2));
  const int second = figures.size() >= 14 ? Number(figures.substr(12, 2)) : 0;
  const std::optional<int> offset = DeskOffsetAt(year, month, day, hour, minute);
  if (!offset || second > 59) return {};
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%s", year, month, day, hour,
                minute, second, OffsetText(*offset).c_str());
  return text;
}

nlohmann::json DeskTimeJson(std::string_view stamp) {
  const std::string text = DeskTime(stamp);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

std::optional<std::string> StampOfTime(std::string_view text) {
  if (holvanter::IsTwelveFigures(text)) return std::string(text);
  // YYYY-MM-DDThh:mm
  if (!FiguresAt(text, 0, 4) || text.size() < 16 || text[4] != '-' || !FiguresAt(text, 5, 2) ||
      text[7] != '-' || !FiguresAt(text, 8, 2) ||
      (text[10] != 'T' && text[10] != 't' && text[10] != ' ') || !FiguresAt(text, 11, 2) ||
      text[13] != ':' || !FiguresAt(text, 14, 2))
    return std::nullopt;
  std::size_t at = 16;
  if (at < text.size() && text[at] == ':') {  // seconds, and their fraction
    if (!FiguresAt(text, at + 1, 2)) return std::nullopt;
    at += 3;
    if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
      const std::size_t fraction = ++at;
      while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
      if (at == fraction) return std::nullopt;
    }
  }
  const std::string figures = std::string(text.substr(0, 4)) + std::string(text.substr(5, 2)) +
                              std::string(text.substr(8, 2)) + std::string(text.substr(11, 2)) +
                              std::string(text.substr(14, 2));
  if (at == text.size()) return figures;  // desk local time
  int offset = 0;
  if (text[at] == 'Z' || text[at] == 'z') {
    ++at;
  } else if (text[at] == '+' || text[at] == '-') {
    const int sign = text[at] == '-' ? -1 : 1;
    if (!FiguresAt(text, ++at, 2)) return std::nullopt;
    const int hours = Number(text.substr(at, 2));
    at += 2;
    int minutes = 0;
    const bool colon = at < text.size() && text[at] == ':';
    if (colon) ++at;
    if (colon || at < text.size()) {
      if (!FiguresAt(text, at, 2)) return std::nullopt;
      minutes = Number(text.substr(at, 2));
      at += 2;
    }
    if (hours > 23 || minutes > 59) return std::nullopt;
    offset = sign * (hours * 3600 + minutes * 60);
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  const int year = Number(figures.substr(0, 4)), month = Number(figures.substr(4, 2)),
            day = Number(figures.substr(6, 2)), hour = Number(figures.substr(8, 2)),
            minute = Number(figures.substr(10, 2));
  // No such moment: the component refuses the figures with its own code.
  if (!RealTime(year, month, day, hour, minute)) return figures;
  const int64_t utc = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 - offset;
  const std::time_t instant = static_cast<std::time_t>(utc);
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &instant) != 0) return figures;
#else
  if (localtime_r(&instant, &local) == nullptr) return figures;
#endif
  return StampText(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min);
}

void TakeStayTimes(GuestStay& stay) {
  if (auto begin = StampOfTime(stay.begin)) stay.begin = *begin;
  if (auto end = StampOfTime(stay.end)) stay.end = *end;
}

void TakeStayTimes(VillaStay& stay) {
  if (auto begin = StampOfTime(stay.begin)) stay.begin = *begin;
  if (auto end = StampOfTime(stay.end)) stay.end = *end;
}

}  // namespace frontdesk
