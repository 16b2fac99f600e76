#include "component/diagnostic_log.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/env.h"
#include "store/settings.h"
#include "util/log_escape.h"

namespace holvanter {
namespace {

constexpr char kLogSection[] = "Log";
constexpr char kFileKey[] = "File";
constexpr char kLevelKey[] = "Level";

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

namespace {

// The keywords whose values are passwords in a connection string or a file
// data source, lower case.
constexpr std::string_view kPasswordKeys[] = {"password", "pwd"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// When a password keyword starts at `at` of `lower`, followed by its '='
// (blanks allowed either side of it), where its value starts; else npos.
std::size_t PasswordValueStart(const std::string& lower, std::size_t at) {
  for (std::string_view key : kPasswordKeys) {
    if (lower.compare(at, key.size(), key) != 0) continue;
    std::size_t i = at + key.size();
    while (i < lower.size() && IsBlank(lower[i])) ++i;
    if (i == lower.size() || lower[i] != '=') continue;
    ++i;
    while (i < lower.size() && IsBlank(lower[i])) ++i;
    return i;
  }
  return std::string::npos;
}

// Where a value starting at `from` ends, as a driver reads it: a braced
// value at its closing brace ("}}" inside it stands for one '}'), any other
// at the next ';' (blanks belong to the value). An unclosed value runs to
// the end.
std::size_t PasswordValueEnd(const std::string& text, std::size_t from) {
  if (from < text.size() && text[from] == '{') {
    for (std::size_t i = from + 1; i < text.size(); ++i) {
      if (text[i] != '}') continue;
      if (i + 1 < text.size() && text[i + 1] == '}') {
        ++i;
        continue;
      }
      return i + 1;
    }
    return text.size();
  }
  const std::size_t semicolon = text.find(';', from);
  return semicolon == std::string::npos ? text.size() : semicolon;
}

}  // namespace

std::string WithoutPasswords(std::string text) {
  for (std::size_t at; (at = text.find(kDatabasePassword)) != std::string::npos;)
    text.replace(at, sizeof kDatabasePassword - 1, "***");
  const std::string lower = Lower(text);
  std::string masked;
  std::size_t copied = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t value = PasswordValueStart(lower, at);
    if (value == std::string::npos) {
      ++at;
      continue;
    }
    masked.append(text, copied, value - copied);
    masked += "***";
    copied = at = PasswordValueEnd(text, value);
  }
  masked.append(text, copied, std::string::npos);
  return masked;
}

std::string EscapeControlCharacters(std::string_view text) { return EscapeForLog(text); }

namespace {

// The log rolls at this size, and keeps this many older files beside it.
constexpr uint64_t kRollBytes = 4u << 20;
constexpr int kOlderFiles = 3;

// FILE.1 to FILE.3 move up one (FILE.3 is dropped), then FILE becomes
// FILE.1; the next line starts a new FILE.
//
// Every program that loads the component appends to the log (the PMS, each
// desk's tavocard, the agent), some at the same moment. Each appends in one
// write at the end, so one line alone crosses each multiple of the size,
// and its writer alone rolls: no lock is needed. A rename replaces its
// target in one step; a program that opened FILE before it moved writes
// its line into FILE.1, where the line's time belongs, and the next line
// makes the new FILE. On Windows the end of a line is read as the file's
// size just after it, which may count a line of another program written
// in the same instant: then both roll, and the second moves the first's
// FILE.1 up to FILE.2 and the new FILE, a few lines, to FILE.1 (no line
// lost; the oldest file goes one roll early), or neither does, and the
// file rolls at the next multiple of the size. A roll that fails (a file
// held open on Windows) is tried again there too.
void Roll(Env& env, const std::string& file) {
  for (int i = kOlderFiles - 1; i >= 1; --i)
    env.RenameFile(file + "." + std::to_string(i), file + "." + std::to_string(i + 1), nullptr);
  env.RenameFile(file, file + ".1", nullptr);
}

}  // namespace

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
    // Each part masked on its own, so that a password value running to the
    // end of its part takes nothing of the next; then escaped, so that no
    // value (a begin stamp, a room, a driver's message) can break the line
    // and forge lines of its own.
    const std::string line =
        EscapeControlCharacters(head + WithoutPasswords(method) + " " + WithoutPasswords(inputs) +
                                " " + WithoutPasswords(outcome) + took) +
        "\n";
    const std::size_t slash = file.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::string first_line = EscapeControlCharacters(
        std::string(head) + "the diagnostic log of the card methods, one line each: at " +
        std::to_string(kRollBytes >> 20) + " MiB it becomes " + name + ".1 and a new one starts; " +
        std::to_string(kOlderFiles) + " older files are kept, " + name + ".1 the newest") + "\n";
    std::string error;
    uint64_t end = 0;
    // A line that cannot be written is lost.
    if (env->AppendLine(file, line, first_line, &end, &error) && end >= line.size() &&
        (end - line.size()) / kRollBytes != end / kRollBytes)
      Roll(*env, file);
  } catch (...) {
    // The log never changes what a card method does.
  }
}

}  // namespace holvanter
