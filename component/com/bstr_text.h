// Strings across the COM face: BSTR (UTF-16) outside, UTF-8 in the core.
#ifndef HOLVANTER_COMPONENT_COM_BSTR_TEXT_H_
#define HOLVANTER_COMPONENT_COM_BSTR_TEXT_H_

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace holvanter::com {

// A null BSTR reads as the empty text, as it does for Visual Basic hosts.
std::string FromBstr(BSTR text);
// A new BSTR; throws std::bad_alloc when it cannot be allocated.
BSTR ToBstr(const std::string& utf8);
std::wstring WideFromUtf8(const std::string& utf8);

// The core's text of an in/out string, and the BSTR it came from: Commit()
// replaces the caller's BSTR only when the core changed the text, so an
// untouched parameter keeps the caller's very string.
class InOutText {
 public:
  explicit InOutText(BSTR* slot) : slot_(slot), before_(FromBstr(*slot)), text_(before_) {}
  std::string& text() { return text_; }
  void Commit();

 private:
  BSTR* slot_;
  std::string before_;
  std::string text_;
};

}  // namespace holvanter::com

#endif  // HOLVANTER_COMPONENT_COM_BSTR_TEXT_H_
