#include "component/com/bstr_text.h"

#include <new>

namespace holvanter::com {

std::string FromBstr(BSTR text) {
  const UINT length = SysStringLen(text);  // 0 for a null BSTR
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), n, nullptr,
                        nullptr);
  }
  return utf8;
}

std::wstring WideFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  }
  return wide;
}

BSTR ToBstr(const std::string& utf8) {
  const std::wstring wide = WideFromUtf8(utf8);
  BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (text == nullptr) throw std::bad_alloc();
  return text;
}

void InOutText::Commit() {
  if (text_ == before_) return;
  BSTR replacement = ToBstr(text_);
  SysFreeString(*slot_);
  *slot_ = replacement;
}

}  // namespace holvanter::com
