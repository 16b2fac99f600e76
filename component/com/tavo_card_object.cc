// TavoCard, the COM object. It carries no state of its own beyond its
// reference count: everything the methods keep between calls is the core's
// per-thread state, shared by every TavoCard of the creating thread.
#include "component/com/tavo_card_object.h"

#include <oaidl.h>
#include <oleauto.h>

#include <new>
#include <optional>

#include "component/com/bstr_text.h"
#include "component/com/com_module.h"
#include "component/com/error_info.h"
#include "component/com/holvanter_h.h"
#include "holvanter/tavo_card.h"

namespace holvanter::com {
namespace {

// What IDispatch::Invoke passes for an optional parameter that the host
// left out (it has no default value in the type library).
std::optional<int32_t> Optional(LONG value) {
  if (value == static_cast<LONG>(DISP_E_PARAMNOTFOUND)) return std::nullopt;
  return static_cast<int32_t>(value);
}

class TavoCardObject final : public _TavoCard, public ISupportErrorInfo {
 public:
  TavoCardObject() { LockModule(); }
  ~TavoCardObject() { UnlockModule(); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID__TavoCard)) {
      *object = static_cast<_TavoCard*>(this);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;  // no termination handler: the port stays as it is
    return left;
  }

  // IDispatch, from the type library.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* dispatch = nullptr;
    const HRESULT hr = TavoCardTypeInfo(&dispatch, nullptr);
    if (FAILED(hr)) return hr;
    dispatch->AddRef();
    *info = dispatch;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* dispatch = nullptr;
    const HRESULT hr = TavoCardTypeInfo(&dispatch, nullptr);
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(dispatch, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* bad_argument) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* vtable = nullptr;
    const HRESULT hr = TavoCardTypeInfo(nullptr, &vtable);
    if (FAILED(hr)) return hr;
    // The type library checks and converts the arguments and calls the
    // method below through the vtable; a failed method comes back as
    // DISP_E_EXCEPTION with `exception` filled from its error information.
    return vtable->Invoke(static_cast<_TavoCard*>(this), id, flags, params, result, exception,
                          bad_argument);
  }

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, IID__TavoCard) ? S_OK : S_FALSE;
  }

  // _TavoCard
  HRESULT STDMETHODCALLTYPE OpenPort(LONG port, LONG baud, LONG* result) override {
    if (result == nullptr) return E_POINTER;
    return Guarded([&] { *result = card_.OpenPort(port, Optional(baud)); });
  }

  HRESULT STDMETHODCALLTYPE ClosePort(LONG IcDevH, LONG* result) override {
    if (result == nullptr) return E_POINTER;
    return Guarded([&] { *result = card_.ClosePort(Optional(IcDevH)); });
  }

  HRESULT STDMETHODCALLTYPE WriteCard(LONG IcDevH, BSTR BeginDate, BSTR EndDate, BSTR* CardNo,
                                      SHORT BldgNo, SHORT FloorNo, BSTR Rooms, BSTR HoderName,
                                      SHORT* result) override {
    return CallIssueMethod(&holvanter::TavoCard::WriteCard, IcDevH, BeginDate, EndDate, CardNo,
                           BldgNo, FloorNo, Rooms, HoderName, result);
  }

  HRESULT STDMETHODCALLTYPE ReadCard(LONG IcDevH, BSTR* CardNo, BSTR* RoomNO, BSTR* BeginDate,
                                     BSTR* EndDate, SHORT* result) override {
    if (result == nullptr || CardNo == nullptr || RoomNO == nullptr || BeginDate == nullptr ||
        EndDate == nullptr) {
      return E_POINTER;
    }
    return Guarded([&] {
      InOutText card_no(CardNo), room_no(RoomNO), begin_date(BeginDate), end_date(EndDate);
      *result = card_.ReadCard(IcDevH, card_no.text(), room_no.text(), begin_date.text(),
                               end_date.text());
      card_no.Commit();
      room_no.Commit();
      begin_date.Commit();
      end_date.Commit();
    });
  }

  HRESULT STDMETHODCALLTYPE VillaCard(LONG IcDevH, BSTR BeginDate, BSTR EndDate, BSTR* CardNo,
                                      SHORT BldgNo, SHORT FloorNo, BSTR RoomNO, BSTR HoderName,
                                      SHORT* result) override {
    return CallIssueMethod(&holvanter::TavoCard::VillaCard, IcDevH, BeginDate, EndDate, CardNo,
                           BldgNo, FloorNo, RoomNO, HoderName, result);
  }

 private:
  using IssueMethod = int16_t (holvanter::TavoCard::*)(int32_t, const std::string&,
                                                       const std::string&, std::string&, int16_t,
                                                       int16_t, const std::string&,
                                                       const std::string&);

  // WriteCard and VillaCard. The card number reaches the host as soon as it
  // is given, also when the call then fails: the database already holds it.
  HRESULT CallIssueMethod(IssueMethod method, LONG IcDevH, BSTR BeginDate, BSTR EndDate,
                          BSTR* CardNo, SHORT BldgNo, SHORT FloorNo, BSTR rooms, BSTR HoderName,
                          SHORT* result) {
    if (result == nullptr || CardNo == nullptr) return E_POINTER;
    return Guarded([&] {
      InOutText card_no(CardNo);
      try {
        *result = (card_.*method)(IcDevH, FromBstr(BeginDate), FromBstr(EndDate), card_no.text(),
                                  BldgNo, FloorNo, FromBstr(rooms), FromBstr(HoderName));
      } catch (...) {
        card_no.Commit();
        throw;
      }
      card_no.Commit();
    });
  }

  // Runs a method body: S_OK with the error information cleared, or the
  // HRESULT of whatever ended it, with its error information set.
  template <typename Body>
  static HRESULT Guarded(Body&& body) {
    try {
      body();
      return ClearError();
    } catch (...) {
      return RaiseCurrentException();
    }
  }

  LONG references_ = 1;
  // Class_Initialize: constructing it resets this thread's port state.
  holvanter::TavoCard card_;
};

}  // namespace

HRESULT CreateTavoCardObject(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  TavoCardObject* card = new (std::nothrow) TavoCardObject;
  if (card == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = card->QueryInterface(iid, object);
  card->Release();  // the reference from creation; QueryInterface holds its own
  return hr;
}

}  // namespace holvanter::com
