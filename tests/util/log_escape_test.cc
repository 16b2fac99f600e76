// One log line is one event, whatever a value brings into it.
#include "util/log_escape.h"

#include <gtest/gtest.h>

namespace holvanter {
namespace {

TEST(LogEscape, WritesOutWhatCouldBreakForgeOrHideALine) {
  const struct {
    const char* what;
    std::string in, out;
  } cases[] = {
      {"plain text and backslashes", "KR KC 2 C:\\state", "KR KC 2 C:\\state"},
      {"line breaks and a forged line", "no\r\n2026-12-08T10:00:00Z desks: desk x joined",
       "no\\r\\n2026-12-08T10:00:00Z desks: desk x joined"},
      {"tab", "a\tb", "a\\tb"},
      {"NUL, ESC and a terminal sequence", std::string("a\0b", 3) + "\x1b[2J", "a\\x00b\\x1B[2J"},
      {"DEL", "\x7f", "\\x7F"},
      {"a frame-type byte", "frame '\x05'", "frame '\\x05'"},
      {"C1 as UTF-8 (NEL, CSI)", "a\xc2\x85" "b\xc2\x9b", "a\\u0085b\\u009B"},
      {"C1 bytes alone are no UTF-8", "\x85\x9b", "\\x85\\x9B"},
      {"an HTTP target of bytes", "/\xff\xfe", "/\\xFF\\xFE"},
      {"a lead byte cut short", "ok\xe4\xbd", "ok\\xE4\\xBD"},
      {"overlong slash", "\xc0\xaf", "\\xC0\\xAF"},
      {"a surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      {"right-to-left override", "card \xe2\x80\xae" "1234", "card \\u202E1234"},
      {"isolates and marks", "\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8f\xd8\x9c",
       "\\u2066\\u2069\\u200F\\u061C"},
      {"line and paragraph separators", "\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"},
      {"names in other scripts pass", "G\xc3\xbcnther \xe5\xbc\xa0\xe4\xb8\x89 \xf0\x9f\x94\x91",
       "G\xc3\xbcnther \xe5\xbc\xa0\xe4\xb8\x89 \xf0\x9f\x94\x91"},
      {"GBK bytes are no UTF-8", "\xd5\xc5\xc8\xfd", "\\xD5\\xC5\\xC8\\xFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EscapeForLog(c.in), c.out);
  }
}

TEST(LogEscape, EveryByteLeavesOneLineOfPrintableAscii) {
  for (int a = 0; a < 256; ++a) {
    for (int b : {0x0A, 0x80, 0x9F, 0xBF, 0xC2, 0x41}) {
      const std::string in{static_cast<char>(a), static_cast<char>(b)};
      for (char c : EscapeForLog(in))
        if (static_cast<unsigned char>(c) < 0x80)
          ASSERT_TRUE(c >= 0x20 && c < 0x7F) << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace holvanter
