// The site's code page of FIAS text fields (guest names, clear text) and
// UTF-8, the front desk's own.
#ifndef HOLVANTER_HOSTS_FIAS_CODEPAGE_H_
#define HOLVANTER_HOSTS_FIAS_CODEPAGE_H_

#include <optional>
#include <string>
#include <string_view>

namespace fias {

enum class CodePage { kWindows1252, kGbk, kUtf8 };

// "windows-1252" (also "cp1252"), "gbk" (also "cp936"), "utf-8" (also
// "utf8"), any case; nullopt for any other name.
std::optional<CodePage> CodePageNamed(std::string_view name);
const char* NameOf(CodePage page);

// Text of the site's code page as UTF-8. Bytes that are not text of that
// page become U+FFFD; never throws.
std::string ToUtf8(std::string_view text, CodePage page);
// UTF-8 text in the site's code page. A character the page lacks becomes
// '?'; invalid UTF-8 becomes '?'; never throws.
std::string FromUtf8(std::string_view text, CodePage page);

// `text` of the site's code page cut to at most `limit` bytes, never
// inside a character: what a FIAS field of that many bytes holds (CT, GN).
std::string CutToBytes(std::string_view text, std::size_t limit, CodePage page);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_CODEPAGE_H_
