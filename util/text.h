// Small text helpers the whole product shares: trimming, ASCII case, and
// SQL text values. Texts are UTF-8; case is folded for ASCII letters only,
// which is what column names, keywords and settings keys use.
#ifndef HOLVANTER_UTIL_TEXT_H_
#define HOLVANTER_UTIL_TEXT_H_

#include <string>
#include <string_view>

namespace holvanter {

// Characters trimmed by default: the blank alone, as the component trims a
// room or a statement.
inline constexpr std::string_view kBlank = " ";
// Every white-space character, as the settings file reader trims its lines.
inline constexpr std::string_view kWhiteSpace = " \t\r\n\f\v";

// `text` without leading and trailing characters from `chars`.
std::string_view Trim(std::string_view text, std::string_view chars = kBlank);
// `text` without trailing characters from `chars`: a line of a state file
// as an editor or a copy through Windows left it (blanks, CRLF).
std::string_view TrimEnd(std::string_view text, std::string_view chars = kBlank);

std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
// The same text but for the case of ASCII letters.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// True when `word` stands anywhere in `text`, but for the case of ASCII
// letters.
bool ContainsIgnoreCase(std::string_view text, std::string_view word);

// True when `text` is not empty and holds figures 0-9 only.
bool AllFigures(std::string_view text);

// A text value between single quotes, each quote inside doubled, so that a
// value can neither end early nor change the statement it goes into.
std::string QuoteSqlText(std::string_view text);

}  // namespace holvanter

#endif  // HOLVANTER_UTIL_TEXT_H_
