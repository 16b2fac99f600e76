// The class factory of TavoCard and the two server entry points that hand
// it out and decide whether the DLL may be unloaded.
#include <windows.h>
#include <unknwn.h>

#include <new>

#include "component/com/com_module.h"
#include "component/com/holvanter_h.h"
#include "component/com/tavo_card_object.h"
#include "store/session_pool.h"

namespace holvanter::com {
namespace {

class TavoCardFactory final : public IClassFactory {
 public:
  TavoCardFactory() { LockModule(); }
  ~TavoCardFactory() { UnlockModule(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateTavoCardObject(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }

 private:
  LONG references_ = 1;
};

}  // namespace
}  // namespace holvanter::com

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_TavoCard)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) holvanter::com::TavoCardFactory;
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  // Kept database sessions and the thread that closes them need the code of
  // this library until the last one is closed.
  return holvanter::com::ModuleLockCount() == 0 && !holvanter::SessionPool::Process().InUse()
             ? S_OK
             : S_FALSE;
}
