// The site's code page of FIAS text: UTF-8 is checked here, the other pages
// are converted by the system (iconv on Linux, the Win32 code page
// conversions on Windows). What the two systems disagree on is settled here
// first, so that a guest name reads the same on either.
#include "hosts/fias/codepage.h"

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace fias {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One character of UTF-8 at the start of `text` (not empty): its code point
// and length, or, when ill-formed, the length of the maximal ill-formed
// part, which becomes one replacement (Unicode's recommended practice, as
// browsers do).
struct Utf8Char {
  char32_t code;
  std::size_t length;
  bool valid;
};

Utf8Char NextUtf8(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t follow;
  char32_t code;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    follow = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    follow = 2;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    follow = 3;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1, false};
  }
  for (std::size_t i = 1; i <= follow; ++i) {
    if (i >= text.size() || byte(i) < low || byte(i) > high) return {0, i, false};
    low = 0x80;
    high = 0xBF;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  return {code, follow + 1, true};
}

// Bytes that are never text of the page, whatever the system makes of
// them: windows-1252 leaves five undefined (Windows passes them on as C1
// controls, iconv refuses them), and GBK has no character with 0xFF in it
// (Windows maps it to a private-use character, iconv refuses it).
bool NeverText(unsigned char byte, CodePage page) {
  if (page == CodePage::kWindows1252)
    return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
  return byte == 0xFF;
}

// Characters the page lacks although one system would write them: none of
// GBK or windows-1252 lies beyond U+FFFF (Windows would give a '?' for each
// half of the pair), and windows-1252 has no C1 controls (Windows writes
// those five undefined bytes for them).
bool NeverInPage(char32_t code, CodePage page) {
  if (code > 0xFFFF) return true;
  return page == CodePage::kWindows1252 && code >= 0x80 && code <= 0x9F;
}

#ifdef _WIN32

UINT WindowsCodePage(CodePage page) { return page == CodePage::kGbk ? 936 : 1252; }

bool Widen(std::string_view bytes, UINT code_page, DWORD flags, std::wstring& wide) {
  const int n = MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()),
                                    nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<std::size_t>(n));
  return MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()),
                             wide.data(), n) == n;
}

std::string Narrow(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return std::string();
  // WC_NO_BEST_FIT_CHARS: a character the page lacks becomes '?', not a
  // look-alike; UTF-8 takes neither the flag nor a default character.
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* default_char = code_page == CP_UTF8 ? nullptr : "?";
  const int n = WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, default_char, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      default_char, nullptr);
  return text;
}

// Record fields are at most a few KiB: the int lengths of the Win32 calls
// suffice.
void AppendDecoded(std::string& out, std::string_view bytes, CodePage page) {
  if (bytes.empty()) return;
  const UINT code_page = WindowsCodePage(page);
  std::wstring wide;
  if (!Widen(bytes, code_page, MB_ERR_INVALID_CHARS, wide)) {
    // Somewhere a GBK lead byte lacks its trail byte: one character at a
    // time, a byte that starts none becoming U+FFFD.
    wide.clear();
    std::wstring piece;
    for (std::size_t i = 0; i < bytes.size();) {
      const auto lead = static_cast<unsigned char>(bytes[i]);
      const std::size_t length =
          page == CodePage::kGbk && lead >= 0x81 && i + 1 < bytes.size() ? 2 : 1;
      if (Widen(bytes.substr(i, length), code_page, MB_ERR_INVALID_CHARS, piece)) {
        wide += piece;
        i += length;
      } else {
        wide += L'\xFFFD';
        i += 1;
      }
    }
  }
  out += Narrow(wide, CP_UTF8);
}

// `utf8` is well-formed UTF-8.
void AppendEncoded(std::string& out, std::string_view utf8, CodePage page) {
  if (utf8.empty()) return;
  std::wstring wide;
  Widen(utf8, CP_UTF8, 0, wide);
  out += Narrow(wide, WindowsCodePage(page));
}

#else  // iconv

const char* IconvName(CodePage page) { return page == CodePage::kGbk ? "GBK" : "WINDOWS-1252"; }

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts `in` onto `out` up to its end (true) or up to a sequence it
  // cannot convert (false), where `in` then begins.
  bool Run(std::string_view& in, std::string& out) {
    if (!ok()) {
      // A system without its gconv modules: ASCII still passes, as it is
      // the same in every page here.
      while (!in.empty() && static_cast<unsigned char>(in[0]) < 0x80) {
        out += in[0];
        in.remove_prefix(1);
      }
      return in.empty();
    }
    char buffer[512];
    while (!in.empty()) {
      char* src = const_cast<char*>(in.data());
      std::size_t src_left = in.size();
      char* dst = buffer;
      std::size_t dst_left = sizeof buffer;
      const std::size_t result = iconv(cd_, &src, &src_left, &dst, &dst_left);
      const int error = errno;
      out.append(buffer, static_cast<std::size_t>(dst - buffer));
      in.remove_prefix(in.size() - src_left);
      if (result == static_cast<std::size_t>(-1) && error != E2BIG) return false;
    }
    return true;
  }

 private:
  iconv_t cd_;
};

void AppendDecoded(std::string& out, std::string_view bytes, CodePage page) {
  if (bytes.empty()) return;
  Iconv converter("UTF-8", IconvName(page));
  while (!converter.Run(bytes, out)) {
    // A byte that starts no character of the page, or a lead byte cut off
    // at the end: one replacement, and the next byte starts afresh.
    out += kReplacement;
    bytes.remove_prefix(1);
  }
}

// `utf8` is well-formed UTF-8.
void AppendEncoded(std::string& out, std::string_view utf8, CodePage page) {
  if (utf8.empty()) return;
  Iconv converter(IconvName(page), "UTF-8");
  while (!converter.Run(utf8, out)) {
    out += '?';  // a character the page lacks
    utf8.remove_prefix(NextUtf8(utf8).length);
  }
}

#endif

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

}  // namespace

std::optional<CodePage> CodePageNamed(std::string_view name) {
  if (SameName(name, "windows-1252") || SameName(name, "cp1252")) return CodePage::kWindows1252;
  if (SameName(name, "gbk") || SameName(name, "cp936")) return CodePage::kGbk;
  if (SameName(name, "utf-8") || SameName(name, "utf8")) return CodePage::kUtf8;
  return std::nullopt;
}

const char* NameOf(CodePage page) {
  switch (page) {
    case CodePage::kWindows1252: return "windows-1252";
    case CodePage::kGbk: return "gbk";
    case CodePage::kUtf8: return "utf-8";
  }
  return "?";
}

std::string ToUtf8(std::string_view text, CodePage page) {
  std::string out;
  out.reserve(text.size());
  if (page == CodePage::kUtf8) {
    while (!text.empty()) {
      const Utf8Char c = NextUtf8(text);
      out += c.valid ? text.substr(0, c.length) : kReplacement;
      text.remove_prefix(c.length);
    }
    return out;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!NeverText(static_cast<unsigned char>(text[i]), page)) continue;
    AppendDecoded(out, text.substr(start, i - start), page);
    out += kReplacement;
    start = i + 1;
  }
  AppendDecoded(out, text.substr(start), page);
  return out;
}

std::string FromUtf8(std::string_view text, CodePage page) {
  // Well-formed UTF-8 first, with '?' for what is not text or not in the
  // page on either system; the page's conversion then meets characters only.
  std::string checked;
  checked.reserve(text.size());
  while (!text.empty()) {
    const Utf8Char c = NextUtf8(text);
    if (c.valid && (page == CodePage::kUtf8 || !NeverInPage(c.code, page)))
      checked += text.substr(0, c.length);
    else
      checked += '?';
    text.remove_prefix(c.length);
  }
  if (page == CodePage::kUtf8) return checked;
  std::string out;
  out.reserve(checked.size());
  AppendEncoded(out, checked, page);
  return out;
}

std::string CutToBytes(std::string_view text, std::size_t limit, CodePage page) {
  std::size_t end = 0;
  while (end < text.size()) {
    const auto lead = static_cast<unsigned char>(text[end]);
    std::size_t length = 1;
    if (page == CodePage::kGbk && lead >= 0x81 && lead <= 0xFE) length = 2;
    if (page == CodePage::kUtf8)
      while (end + length < text.size() &&
             (static_cast<unsigned char>(text[end + length]) & 0xC0) == 0x80)
        ++length;
    if (end + length > limit) break;
    end += length;
  }
  return std::string(text.substr(0, end));
}

}  // namespace fias
