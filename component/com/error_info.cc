#include "component/com/error_info.h"

#include <oaidl.h>
#include <oleauto.h>

#include <exception>
#include <new>

#include "component/com/bstr_text.h"
#include "component/com/holvanter_h.h"
#include "holvanter/tavo_card.h"

namespace holvanter::com {

HRESULT RaiseError(HRESULT hresult, const std::string& message_utf8) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    create->SetGUID(IID__TavoCard);
    create->SetSource(const_cast<LPOLESTR>(kErrorSource));
    std::wstring description = WideFromUtf8(message_utf8);
    create->SetDescription(description.data());
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hresult;
}

HRESULT ClearError() {
  SetErrorInfo(0, nullptr);
  return S_OK;
}

HRESULT RaiseCurrentException() {
  try {
    throw;
  } catch (const TavoError& error) {
    return RaiseError(static_cast<HRESULT>(error.hresult()), error.what());
  } catch (const std::bad_alloc&) {
    return RaiseError(E_OUTOFMEMORY, "Out of memory");
  } catch (const std::exception& error) {
    return RaiseError(E_FAIL, error.what());
  } catch (...) {
    return RaiseError(E_FAIL, "Unexpected failure");
  }
}

}  // namespace holvanter::com
