// Paths are UTF-8 text everywhere in the product. On Windows, where the
// narrow calls and the C runtime's getenv read text in the desk's ANSI code
// page (GBK on a Chinese desk), every path reaches the system through the
// wide calls by WidePath, and every folder named by the environment is read
// from the wide environment: a profile folder with a non-ASCII name is then
// the folder it is, not a misread one.
#ifndef HOLVANTER_PLATFORM_PATHS_H_
#define HOLVANTER_PLATFORM_PATHS_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace holvanter {

// The path `utf8` names, for std::filesystem and the file streams: read as
// UTF-8 on every system (a std::string would be read in the ANSI code page
// on Windows).
inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The value of the environment variable `name` in UTF-8; empty when it is
// not set.
std::string EnvironmentVariable(const char* name);

#ifdef _WIN32
// The path for the system's wide calls; nullopt when `utf8` is not UTF-8.
std::optional<std::wstring> WidePath(std::string_view utf8);
// A wide text, as from the system, in UTF-8.
std::string Utf8Text(std::wstring_view wide);
// UTF-8 text (a name, a message) for the wide calls; what is not UTF-8
// becomes U+FFFD.
std::wstring WideText(std::string_view utf8);
#endif

}  // namespace holvanter

#endif  // HOLVANTER_PLATFORM_PATHS_H_
