// Failures of a method reach the host as an HRESULT with error information
// (source "Holvanter.TavoCard" and the message), the way a Visual Basic
// component raises them; scripting hosts show them as Err.Number and
// Err.Description.
#ifndef HOLVANTER_COMPONENT_COM_ERROR_INFO_H_
#define HOLVANTER_COMPONENT_COM_ERROR_INFO_H_

#include <windows.h>

#include <string>

namespace holvanter::com {

inline constexpr wchar_t kErrorSource[] = L"Holvanter.TavoCard";

// Sets this thread's error information and returns `hresult`.
HRESULT RaiseError(HRESULT hresult, const std::string& message_utf8);

// Clears this thread's error information (a method that succeeds leaves
// none behind). Returns S_OK.
HRESULT ClearError();

// The HRESULT and error information of the exception being handled: a
// TavoError keeps its own HRESULT; running out of memory is E_OUTOFMEMORY;
// anything else E_FAIL. Call only inside a catch block.
HRESULT RaiseCurrentException();

}  // namespace holvanter::com

#endif  // HOLVANTER_COMPONENT_COM_ERROR_INFO_H_
