#include "platform/profile_reader.h"

#include <cctype>

#include "util/text.h"

namespace holvanter {
namespace {

std::string_view TrimWhiteSpace(std::string_view s) { return Trim(s, kWhiteSpace); }

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

// Calls visit(section, key, value) for every key line, in file order, until
// it returns true.
template <typename Visit>
void ForEachEntry(std::string_view text, Visit visit) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string_view section;
  bool in_section = false;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = TrimWhiteSpace(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const auto close = line.find(']');
      section = TrimWhiteSpace(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      in_section = true;
      continue;
    }
    const auto eq = line.find('=');
    if (!in_section || eq == std::string_view::npos) continue;
    if (visit(section, TrimWhiteSpace(line.substr(0, eq)), TrimWhiteSpace(line.substr(eq + 1)))) return;
  }
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  std::optional<std::string> found;
  ForEachEntry(text, [&](std::string_view s, std::string_view k, std::string_view v) {
    if (!EqualsIgnoreCase(s, section) || !EqualsIgnoreCase(k, key)) return false;
    found = Unquote(v);
    return true;
  });
  return found;
}

std::vector<std::pair<std::string, std::string>> ReadProfileSection(std::string_view text,
                                                                    std::string_view section) {
  std::vector<std::pair<std::string, std::string>> entries;
  ForEachEntry(text, [&](std::string_view s, std::string_view k, std::string_view v) {
    if (!EqualsIgnoreCase(s, section)) return false;
    for (const auto& [existing, _] : entries)
      if (EqualsIgnoreCase(existing, k)) return false;  // the first of a repeated key wins
    entries.emplace_back(std::string(k), Unquote(v));
    return false;
  });
  return entries;
}

}  // namespace holvanter
