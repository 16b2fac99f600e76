#include "component/diagnostic_log.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/env.h"
#include "store/settings.h"

namespace holvanter {
namespace {

constexpr char kLogSection[] = "Log";
constexpr char kFileKey[] = "File";
constexpr char kLevelKey[] = "Level";
constexpr char kDatabasePassword[] = "lockhousepw";

enum class LogLevel { kOff, kFailures, kCalls };

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ProfileValue(Env* env, const char* key, const std::string& settings_file) {
  char buffer[1024];
  const std::size_t n =
      env->GetPrivateProfileString(kLogSection, key, "", buffer, sizeof buffer, settings_file);
  return env->FromAnsi(std::string(buffer, n < sizeof buffer ? n : sizeof buffer - 1));
}

}  // namespace

std::string IssueInputs(const std::string& begin, const std::string& end, int bldg_no,
                        int floor_no, const char* rooms_key, const std::string& rooms,
                        const std::string& holder) {
  return "BeginDate=\"" + begin + "\" EndDate=\"" + end + "\" BldgNo=" + std::to_string(bldg_no) +
         " FloorNo=" + std::to_string(floor_no) + " " + rooms_key + "=\"" + rooms +
         "\" HoderName=\"" + ShortenedName(holder) + "\"";
}

std::string ShortenedName(std::string_view utf8) {
  std::size_t end = 0;
  int characters = 0;
  while (end < utf8.size() && characters < 2) {
    ++end;
    while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) ++end;
    ++characters;
  }
  return std::string(utf8.substr(0, end)) + (end < utf8.size() ? "…" : "");
}

std::string WithoutPasswords(std::string text) {
  for (std::size_t at; (at = text.find(kDatabasePassword)) != std::string::npos;)
    text.replace(at, sizeof kDatabasePassword - 1, "***");
  const std::string lower = Lower(text);
  // Rebuilt from the end so that earlier positions stay valid.
  for (std::size_t at = lower.rfind("pwd="); at != std::string::npos;
       at = at == 0 ? std::string::npos : lower.rfind("pwd=", at - 1)) {
    const std::size_t from = at + 4;
    std::size_t to = text.find_first_of(";} \"", from);
    if (to == std::string::npos) to = text.size();
    text.replace(from, to - from, "***");
  }
  return text;
}

void LogCardMethod(Env& env_ref, const char* method, const std::string& inputs, const std::string& outcome,
                   bool failed, double milliseconds) {
  try {
    Env* env = &env_ref;
    const std::string settings_file = SettingsFilePath(env_ref);
    if (!env->FileExists(settings_file)) return;
    const std::string file = ProfileValue(env, kFileKey, settings_file);
    if (file.empty()) return;
    const std::string level_text = Lower(ProfileValue(env, kLevelKey, settings_file));
    LogLevel level = LogLevel::kCalls;
    if (level_text == "off" || level_text == "0") level = LogLevel::kOff;
    if (level_text == "failures" || level_text == "1") level = LogLevel::kFailures;
    if (level == LogLevel::kOff || (level == LogLevel::kFailures && !failed)) return;

    const LocalTime t = env->Now();
    char head[64];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    char took[32];
    std::snprintf(took, sizeof took, " %.1f ms", milliseconds);
    const std::string line =
        WithoutPasswords(head + std::string(method) + " " + inputs + " " + outcome + took) + "\n";
    // One write per line, appended, so that desks sharing a log do not mix
    // their lines.
    std::ofstream out(std::filesystem::path(std::u8string(file.begin(), file.end())),
                      std::ios::binary | std::ios::app);
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  } catch (...) {
    // The log never changes what a card method does.
  }
}

}  // namespace holvanter
