// Reading a value from the text of a Windows initialisation file the way
// GetPrivateProfileStringA does, so that the settings file and ODBC file
// data sources read the same on every system:
// - section and key names match without regard to (ASCII) case;
// - blanks around names and values are dropped;
// - a value wholly enclosed in matching quotes (' or ") loses them;
// - lines beginning with ';' are comments; the first match wins.
#ifndef HOLVANTER_PLATFORM_PROFILE_READER_H_
#define HOLVANTER_PLATFORM_PROFILE_READER_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace holvanter {

// The value of `key` in `section`, or nullopt when either is absent.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// Every key and value of `section`, in file order (the first of a repeated
// key wins); empty when the section is absent.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(std::string_view text,
                                                                    std::string_view section);

}  // namespace holvanter

#endif  // HOLVANTER_PLATFORM_PROFILE_READER_H_
