// A COM host for holvanter.dll, run under Wine: creates TavoCard by its
// ProgID and checks the type library, every method through
// IDispatch::Invoke (in/out strings included), the errors a host sees and
// the per-thread port state. Prints one "PASS"/"FAIL" line per check and a
// closing "RESULT" line; scripts/test-windows.sh reads what is printed.
//
//   com_client checks          everything that needs no database
//   com_client missing-lycomm  run without lyComm.dll anywhere in reach
//   com_client e2e-issue | e2e-checkout   card round trip on the hotel
//                              database named by Tavoper.ini
//
// The encoder is the stand-in lyComm.dll: the card on port N (1-based) is
// the file portN.card in %LYCOMM_SIM_DIR% (4 password bytes + 28 bytes).
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "component/com/holvanter_h.h"

namespace {

int g_passed = 0;
int g_failed = 0;

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}
std::string Narrow(BSTR text) { return text ? Narrow(std::wstring(text, SysStringLen(text))) : ""; }

std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

void Check(bool ok, const std::string& name, const std::string& detail = "") {
  if (ok) {
    ++g_passed;
    std::printf("PASS %s\n", name.c_str());
  } else {
    ++g_failed;
    std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
  std::fflush(stdout);
}

template <typename T>
void CheckEq(const T& actual, const T& expected, const std::string& name) {
  if constexpr (std::is_same_v<T, std::string>) {
    Check(actual == expected, name, "got \"" + actual + "\", want \"" + expected + "\"");
  } else {
    Check(actual == expected, name,
          "got " + std::to_string(actual) + ", want " + std::to_string(expected));
  }
}

int Finish() {
  std::printf("RESULT %s %d passed %d failed\n", g_failed == 0 ? "OK" : "FAILED", g_passed,
              g_failed);
  std::fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- encoder

const unsigned char kPassword[4] = {0x5C, 0x1E, 0x93, 0xA7};

std::string CardFile(int port) {
  const char* dir = std::getenv("LYCOMM_SIM_DIR");
  return std::string(dir ? dir : ".") + "\\port" + std::to_string(port) + ".card";
}

// Lays a card with `image` (28 bytes) on the encoder of `port` (1-based).
void PutCard(int port, const std::vector<unsigned char>& image) {
  std::FILE* file = std::fopen(CardFile(port).c_str(), "wb");
  if (file == nullptr) {
    Check(false, "lay card on encoder", CardFile(port));
    return;
  }
  std::fwrite(kPassword, 1, 4, file);
  std::fwrite(image.data(), 1, image.size(), file);
  std::fclose(file);
}

std::vector<unsigned char> CardImage(int port) {
  std::vector<unsigned char> bytes(32);
  std::FILE* file = std::fopen(CardFile(port).c_str(), "rb");
  if (file == nullptr) return {};
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
  if (bytes.size() != 32) return {};
  return std::vector<unsigned char>(bytes.begin() + 4, bytes.end());
}

std::vector<unsigned char> BlankImage() { return std::vector<unsigned char>(28, 0xFF); }

// A guest card: number 12345, end 2007-10-17 14:30, begin 2007-10-15, room
// 0305 on floor 3 of building 1.
std::vector<unsigned char> GuestImage() {
  std::vector<unsigned char> image = {0x1B, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x39, 0x30, 0x00, 0x0F,
                                      0xA1, 0x14, 0x30, 0x0E, 0xAF, 0x03, 0x05, 0x03, 0x01};
  image.resize(28, 0xFF);
  return image;
}

// ---------------------------------------------------------------- dispatch

struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

VARIANT Long(long value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}
VARIANT Short(short value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I2;
  V_I2(&v) = value;
  return v;
}
// A string by value; the VARIANT does not own it.
VARIANT Str(BSTR value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = value;
  return v;
}
VARIANT StrRef(BSTR* value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&v) = value;
  return v;
}

struct CallResult {
  HRESULT hr = E_FAIL;
  long value = 0;  // the result, widened
  HRESULT scode = 0;
  std::string source;
  std::string description;
};

// Calls method `id` with `args` in their natural order.
CallResult Invoke(IDispatch* card, DISPID id, std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                       static_cast<UINT>(reversed.size()), 0};
  Variant result;
  EXCEPINFO exception = {};
  UINT bad = 0;
  CallResult call;
  call.hr = card->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result.v,
                         &exception, &bad);
  if (call.hr == DISP_E_EXCEPTION) {
    call.scode = exception.scode;
    call.source = Narrow(exception.bstrSource);
    call.description = Narrow(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
  }
  if (SUCCEEDED(call.hr)) {
    if (V_VT(&result.v) == VT_I4) {
      call.value = V_I4(&result.v);
    } else if (V_VT(&result.v) == VT_I2) {
      call.value = V_I2(&result.v);
    } else {
      call.value = -123456;  // a result of the wrong type shows up in the comparison
    }
  }
  return call;
}

constexpr DISPID kOpenPort = 0x60030000;
constexpr DISPID kClosePort = 0x60030001;
constexpr DISPID kWriteCard = 0x60030002;
constexpr DISPID kReadCard = 0x60030003;
constexpr DISPID kVillaCard = 0x60030004;

IDispatch* CreateCard() {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"Holvanter.TavoCard", &clsid);
  if (FAILED(hr)) {
    Check(false, "ProgID Holvanter.TavoCard is registered", Hex(hr));
    return nullptr;
  }
  IDispatch* card = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&card));
  if (FAILED(hr)) {
    Check(false, "create Holvanter.TavoCard", Hex(hr));
    return nullptr;
  }
  return card;
}

long OpenPort(IDispatch* card, long port) { return Invoke(card, kOpenPort, {Long(port)}).value; }

// ReadCard through Invoke; `texts` are the four in/out strings.
struct ReadResult {
  HRESULT hr;
  long code;
  std::string card_no, room_no, begin_date, end_date;
  bool untouched;  // the very BSTRs passed in are still there
};
ReadResult ReadCard(IDispatch* card) {
  BSTR texts[4] = {SysAllocString(L"keep-card"), SysAllocString(L"keep-room"),
                   SysAllocString(L"keep-begin"), SysAllocString(L"keep-end")};
  BSTR before[4] = {texts[0], texts[1], texts[2], texts[3]};
  CallResult call = Invoke(card, kReadCard,
                           {Long(0), StrRef(&texts[0]), StrRef(&texts[1]), StrRef(&texts[2]),
                            StrRef(&texts[3])});
  ReadResult read{call.hr,           call.value,         Narrow(texts[0]), Narrow(texts[1]),
                  Narrow(texts[2]), Narrow(texts[3]), true};
  for (int i = 0; i < 4; ++i) {
    if (texts[i] != before[i]) read.untouched = false;
    SysFreeString(texts[i]);
  }
  return read;
}

// ---------------------------------------------------------------- type library

struct ParamSpec {
  const wchar_t* name;
  VARTYPE vt;     // VT_BSTR with `by_ref` for BSTR*
  bool by_ref;
  USHORT flags;   // PARAMFLAG_*
};
struct MethodSpec {
  const wchar_t* name;
  MEMBERID id;
  std::vector<ParamSpec> params;
  VARTYPE result;
};

const USHORT kIn = PARAMFLAG_FIN;
const USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
const USHORT kOptional = PARAMFLAG_FIN | PARAMFLAG_FOPT;

std::vector<MethodSpec> ExpectedMethods() {
  const std::vector<ParamSpec> issue_head = {
      {L"IcDevH", VT_I4, false, kIn},   {L"BeginDate", VT_BSTR, false, kIn},
      {L"EndDate", VT_BSTR, false, kIn}, {L"CardNo", VT_BSTR, true, kInOut},
      {L"BldgNo", VT_I2, false, kIn},   {L"FloorNo", VT_I2, false, kIn}};
  std::vector<ParamSpec> write = issue_head, villa = issue_head;
  write.push_back({L"Rooms", VT_BSTR, false, kIn});
  write.push_back({L"HoderName", VT_BSTR, false, kIn});
  villa.push_back({L"RoomNO", VT_BSTR, false, kIn});
  villa.push_back({L"HoderName", VT_BSTR, false, kIn});
  return {
      {L"OpenPort", 0x60030000, {{L"port", VT_I4, false, kIn}, {L"baud", VT_I4, false, kOptional}},
       VT_I4},
      {L"ClosePort", 0x60030001, {{L"IcDevH", VT_I4, false, kOptional}}, VT_I4},
      {L"WriteCard", 0x60030002, write, VT_I2},
      {L"ReadCard", 0x60030003,
       {{L"IcDevH", VT_I4, false, kIn},
        {L"CardNo", VT_BSTR, true, kInOut},
        {L"RoomNO", VT_BSTR, true, kInOut},
        {L"BeginDate", VT_BSTR, true, kInOut},
        {L"EndDate", VT_BSTR, true, kInOut}},
       VT_I2},
      {L"VillaCard", 0x60030004, villa, VT_I2},
  };
}

std::string Name(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr;
  if (FAILED(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr))) return "?";
  std::string text = Narrow(name);
  SysFreeString(name);
  return text;
}

void CheckTypeInfo(IDispatch* card) {
  UINT count = 0;
  card->GetTypeInfoCount(&count);
  CheckEq(static_cast<int>(count), 1, "GetTypeInfoCount");
  ITypeInfo* dispatch = nullptr;
  HRESULT hr = card->GetTypeInfo(0, LOCALE_USER_DEFAULT, &dispatch);
  Check(SUCCEEDED(hr) && dispatch != nullptr, "GetTypeInfo", Hex(hr));
  if (dispatch == nullptr) return;

  TYPEATTR* attr = nullptr;
  dispatch->GetTypeAttr(&attr);
  CheckEq(Name(dispatch, MEMBERID_NIL), std::string("_TavoCard"), "interface name");
  Check(IsEqualIID(attr->guid, IID__TavoCard), "interface IID");
  CheckEq(static_cast<int>(attr->typekind), static_cast<int>(TKIND_DISPATCH),
          "GetTypeInfo gives the dispatch interface");
  // Dispatch half: hidden, dual, non-extensible, callable through IDispatch.
  const WORD dispatch_flags =
      TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
  Check((attr->wTypeFlags & dispatch_flags) == dispatch_flags,
        "dispatch interface flags hidden, dual, nonextensible", Hex(attr->wTypeFlags));
  Check((attr->wTypeFlags & TYPEFLAG_FCANCREATE) == 0, "interface is not creatable");
  dispatch->ReleaseTypeAttr(attr);

  // The vtable half of the dual interface: the five methods after the
  // seven IUnknown/IDispatch slots, derived from stdole's IDispatch.
  HREFTYPE ref = 0;
  ITypeInfo* vtable = nullptr;
  hr = dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
  if (SUCCEEDED(hr)) hr = dispatch->GetRefTypeInfo(ref, &vtable);
  Check(SUCCEEDED(hr) && vtable != nullptr, "dual interface has a vtable part", Hex(hr));
  if (vtable == nullptr) {
    dispatch->Release();
    return;
  }
  vtable->GetTypeAttr(&attr);
  CheckEq(static_cast<int>(attr->typekind), static_cast<int>(TKIND_INTERFACE), "vtable kind");
  const WORD vtable_flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                            TYPEFLAG_FOLEAUTOMATION;
  Check((attr->wTypeFlags & vtable_flags) == vtable_flags,
        "interface flags hidden, dual, nonextensible, oleautomation", Hex(attr->wTypeFlags));
  CheckEq(static_cast<int>(attr->cFuncs), 5, "five methods");
  CheckEq(static_cast<int>(attr->cVars), 0, "no properties");
  CheckEq(static_cast<int>(attr->cbSizeVft), static_cast<int>(12 * sizeof(void*)),
          "vtable size: seven inherited slots and five methods");
  vtable->ReleaseTypeAttr(attr);
  ITypeInfo* base = nullptr;
  if (SUCCEEDED(vtable->GetRefTypeOfImplType(0, &ref)) &&
      SUCCEEDED(vtable->GetRefTypeInfo(ref, &base))) {
    TYPEATTR* base_attr = nullptr;
    base->GetTypeAttr(&base_attr);
    Check(IsEqualIID(base_attr->guid, IID_IDispatch), "derived from IDispatch");
    base->ReleaseTypeAttr(base_attr);
    base->Release();
  } else {
    Check(false, "derived from IDispatch", "no base interface");
  }

  const std::vector<MethodSpec> methods = ExpectedMethods();
  for (UINT i = 0; i < methods.size(); ++i) {
    const MethodSpec& want = methods[i];
    const std::string m = Narrow(want.name);
    FUNCDESC* func = nullptr;
    if (FAILED(vtable->GetFuncDesc(i, &func))) {
      Check(false, m + " description");
      continue;
    }
    CheckEq(Name(vtable, func->memid), m, "method " + std::to_string(i + 1) + " is " + m);
    CheckEq(static_cast<long>(func->memid), static_cast<long>(want.id), m + " DISPID");
    CheckEq(static_cast<int>(func->oVft), static_cast<int>((7 + i) * sizeof(void*)),
            m + " vtable slot");
    CheckEq(static_cast<int>(func->invkind), static_cast<int>(INVOKE_FUNC), m + " is a method");
    CheckEq(static_cast<int>(func->elemdescFunc.tdesc.vt), static_cast<int>(VT_HRESULT),
            m + " returns HRESULT");
    CheckEq(static_cast<int>(func->cParams), static_cast<int>(want.params.size() + 1),
            m + " parameter count (with retval)");

    // Names: the method, then its parameters in order.
    std::vector<BSTR> names(want.params.size() + 2, nullptr);
    UINT got = 0;
    vtable->GetNames(func->memid, names.data(), static_cast<UINT>(names.size()), &got);
    for (std::size_t p = 0; p < want.params.size(); ++p) {
      const std::string expected = Narrow(want.params[p].name);
      CheckEq(p + 1 < got ? Narrow(names[p + 1]) : std::string("<none>"), expected,
              m + " parameter " + std::to_string(p + 1) + " name");
    }
    for (BSTR name : names) SysFreeString(name);

    for (std::size_t p = 0; p < want.params.size() && p < static_cast<std::size_t>(func->cParams);
         ++p) {
      const ParamSpec& ps = want.params[p];
      const ELEMDESC& e = func->lprgelemdescParam[p];
      const std::string label = m + "." + Narrow(ps.name);
      const TYPEDESC& t = ps.by_ref && e.tdesc.vt == VT_PTR ? *e.tdesc.lptdesc : e.tdesc;
      CheckEq(static_cast<int>(e.tdesc.vt == VT_PTR), static_cast<int>(ps.by_ref),
              label + " by reference");
      CheckEq(static_cast<int>(t.vt), static_cast<int>(ps.vt), label + " type");
      CheckEq(static_cast<int>(e.paramdesc.wParamFlags), static_cast<int>(ps.flags),
              label + " flags (in/out/optional, no default)");
    }
    const ELEMDESC& r = func->lprgelemdescParam[func->cParams - 1];
    CheckEq(static_cast<int>(r.paramdesc.wParamFlags),
            static_cast<int>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL), m + " result is out,retval");
    CheckEq(static_cast<int>(r.tdesc.vt), static_cast<int>(VT_PTR), m + " result by pointer");
    if (r.tdesc.vt == VT_PTR) {
      CheckEq(static_cast<int>(r.tdesc.lptdesc->vt), static_cast<int>(want.result),
              m + " result type");
    }
    vtable->ReleaseFuncDesc(func);
  }

  // Names to DISPIDs, as a scripting host asks for them.
  for (const MethodSpec& want : methods) {
    std::vector<LPOLESTR> names = {const_cast<LPOLESTR>(want.name)};
    for (const ParamSpec& p : want.params) names.push_back(const_cast<LPOLESTR>(p.name));
    std::vector<DISPID> ids(names.size(), 0);
    hr = card->GetIDsOfNames(IID_NULL, names.data(), static_cast<UINT>(names.size()),
                             LOCALE_USER_DEFAULT, ids.data());
    bool ok = SUCCEEDED(hr) && ids[0] == want.id;
    for (std::size_t p = 1; p < ids.size(); ++p) ok = ok && ids[p] == static_cast<DISPID>(p - 1);
    Check(ok, "GetIDsOfNames " + Narrow(want.name) + " and its parameters", Hex(hr));
  }

  // The library and its one creatable class.
  ITypeLib* library = nullptr;
  UINT index = 0;
  if (SUCCEEDED(dispatch->GetContainingTypeLib(&library, &index))) {
    BSTR name = nullptr;
    library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
    CheckEq(Narrow(name), std::string("Holvanter"), "type library name");
    SysFreeString(name);
    ITypeInfo* coclass = nullptr;
    hr = library->GetTypeInfoOfGuid(CLSID_TavoCard, &coclass);
    Check(SUCCEEDED(hr), "coclass TavoCard in the library", Hex(hr));
    if (coclass != nullptr) {
      CheckEq(Name(coclass, MEMBERID_NIL), std::string("TavoCard"), "coclass name");
      coclass->GetTypeAttr(&attr);
      Check((attr->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, "coclass is creatable");
      CheckEq(static_cast<int>(attr->cImplTypes), 1, "coclass has one interface");
      coclass->ReleaseTypeAttr(attr);
      INT impl_flags = 0;
      coclass->GetImplTypeFlags(0, &impl_flags);
      Check((impl_flags & IMPLTYPEFLAG_FDEFAULT) != 0 && (impl_flags & IMPLTYPEFLAG_FSOURCE) == 0,
            "_TavoCard is the default interface, no events");
      coclass->Release();
    }
    library->Release();
  }
  vtable->Release();
  dispatch->Release();
}

// ---------------------------------------------------------------- checks

void CheckMethods() {
  IDispatch* card = CreateCard();
  if (card == nullptr) return;
  CheckTypeInfo(card);

  // ClosePort on a fresh object, with IcDevH left out.
  CallResult close = Invoke(card, kClosePort, {});
  Check(close.hr == S_OK && close.value == 0, "ClosePort on a fresh object returns 0",
        Hex(close.hr) + " " + std::to_string(close.value));

  PutCard(1, BlankImage());
  // Before OpenPort the port state is -1: ReadCard reads nothing.
  ReadResult unread = ReadCard(card);
  Check(unread.hr == S_OK && unread.code == 0 && unread.untouched,
        "ReadCard before OpenPort returns 0 and leaves its strings untouched",
        std::to_string(unread.code) + " " + unread.card_no);

  // OpenPort with baud left out, and with baud.
  CallResult open = Invoke(card, kOpenPort, {Long(0)});
  Check(open.hr == S_OK && open.value == 1, "OpenPort(0) without baud returns 1",
        Hex(open.hr) + " " + std::to_string(open.value));
  open = Invoke(card, kOpenPort, {Long(2), Long(9600)});
  Check(open.hr == S_OK && open.value == 3, "OpenPort(2, 9600) returns 3",
        Hex(open.hr) + " " + std::to_string(open.value));
  open = Invoke(card, kOpenPort, {Long(0), Long(19200)});
  CheckEq(open.value, 1L, "OpenPort(0, 19200) returns 1");

  // OpenPort(255): Overflow, with error information, and the port stays open.
  CallResult overflow = Invoke(card, kOpenPort, {Long(255)});
  Check(overflow.hr == DISP_E_EXCEPTION && overflow.scode == static_cast<HRESULT>(0x800A0006),
        "OpenPort(255) through Invoke fails with 0x800A0006",
        Hex(overflow.hr) + " scode " + Hex(overflow.scode));
  CheckEq(overflow.source, std::string("Holvanter.TavoCard"), "error source");
  Check(!overflow.description.empty(), "error description", overflow.description);
  _TavoCard* direct = nullptr;
  card->QueryInterface(IID__TavoCard, reinterpret_cast<void**>(&direct));
  if (direct != nullptr) {
    LONG result = 77;
    HRESULT hr = direct->OpenPort(255, 0, &result);
    CheckEq(static_cast<long>(hr), static_cast<long>(0x800A0006),
            "OpenPort(255) through the vtable returns 0x800A0006");
    ISupportErrorInfo* support = nullptr;
    card->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support));
    Check(support != nullptr && support->InterfaceSupportsErrorInfo(IID__TavoCard) == S_OK,
          "ISupportErrorInfo for _TavoCard");
    if (support) support->Release();
    IErrorInfo* info = nullptr;
    BSTR source = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
      info->GetSource(&source);
      info->Release();
    }
    CheckEq(Narrow(source), std::string("Holvanter.TavoCard"), "IErrorInfo source");
    SysFreeString(source);
    hr = direct->OpenPort(-2, 0, &result);
    CheckEq(static_cast<long>(hr), static_cast<long>(0x800A0006), "OpenPort(-2) overflows");
    direct->Release();
  }

  // ReadCard through Invoke: a blank card is no card kind (-700) and
  // leaves the strings; a guest card fills all four.
  ReadResult blank = ReadCard(card);
  Check(blank.hr == S_OK && blank.code == -700 && blank.untouched,
        "ReadCard of a blank card returns -700, strings untouched (port still open after overflow)",
        std::to_string(blank.code));
  PutCard(1, GuestImage());
  ReadResult guest = ReadCard(card);
  CheckEq(guest.code, 0L, "ReadCard of a guest card returns 0");
  CheckEq(guest.card_no, std::string("00012345"), "ReadCard CardNo");
  CheckEq(guest.room_no, std::string("01#03#0305"), "ReadCard RoomNO");
  CheckEq(guest.begin_date, std::string("20071015"), "ReadCard BeginDate");
  CheckEq(guest.end_date, std::string("200710171430"), "ReadCard EndDate");

  // The in/out strings of ReadCard passed by value are accepted too.
  BSTR by_value = SysAllocString(L"x");
  CallResult values = Invoke(card, kReadCard,
                             {Short(0), Str(by_value), Str(by_value), Str(by_value), Str(by_value)});
  Check(values.hr == S_OK && values.value == 0, "ReadCard with strings by value (converted)",
        Hex(values.hr));
  SysFreeString(by_value);

  // WriteCard and VillaCard without Tavoper.ini: -800, CardNo untouched.
  BSTR card_no = SysAllocString(L"keep");
  BSTR before = card_no;
  BSTR begin = SysAllocString(L"202501011200"), end = SysAllocString(L"202501031200");
  BSTR room = SysAllocString(L"0101"), name = SysAllocString(L"Test Guest");
  BSTR villa_rooms = SysAllocString(L"01010102");
  CallResult write = Invoke(card, kWriteCard,
                            {Long(0), Str(begin), Str(end), StrRef(&card_no), Short(1), Short(1),
                             Str(room), Str(name)});
  Check(write.hr == S_OK && write.value == -800 && card_no == before,
        "WriteCard without settings file returns -800, CardNo untouched",
        Hex(write.hr) + " " + std::to_string(write.value));
  CallResult villa = Invoke(card, kVillaCard,
                            {Long(0), Str(begin), Str(end), StrRef(&card_no), Short(1), Short(1),
                             Str(villa_rooms), Str(name)});
  Check(villa.hr == S_OK && villa.value == -800 && card_no == before,
        "VillaCard without settings file returns -800, CardNo untouched",
        Hex(villa.hr) + " " + std::to_string(villa.value));
  // A wrong argument count or type is the type library's to refuse.
  CallResult missing = Invoke(card, kWriteCard, {Long(0)});
  CheckEq(static_cast<long>(missing.hr), static_cast<long>(DISP_E_BADPARAMCOUNT),
          "WriteCard with too few arguments");
  for (BSTR b : {card_no, begin, end, room, name, villa_rooms}) SysFreeString(b);

  // Two objects on one thread share the port state.
  PutCard(1, BlankImage());
  IDispatch* second = CreateCard();
  if (second != nullptr) {
    ReadResult first_after = ReadCard(card);
    Check(first_after.code == 0 && first_after.untouched,
          "a second object on the thread resets the shared port state to -1",
          std::to_string(first_after.code));
    CheckEq(OpenPort(second, 0), 1L, "second object opens the port");
    CheckEq(ReadCard(card).code, -700L, "the first object sees the second one's open port");
    second->Release();
  }

  // Objects on another thread have their own port state.
  long other_read = 99, other_close = 99, other_open = 99, other_read_open = 99;
  bool other_untouched = false;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IDispatch* remote = CreateCard();
    if (remote != nullptr) {
      ReadResult r = ReadCard(remote);
      other_read = r.code;
      other_untouched = r.untouched;
      other_close = Invoke(remote, kClosePort, {Long(0)}).value;  // no destroyCard: state -1
      other_open = OpenPort(remote, 0);
      other_read_open = ReadCard(remote).code;
      remote->Release();
    }
    CoUninitialize();
  });
  other.join();
  Check(other_read == 0 && other_untouched,
        "an object on another thread starts with its own port state -1",
        std::to_string(other_read));
  CheckEq(other_close, 0L, "ClosePort on the other thread's fresh object returns 0");
  CheckEq(other_open, 1L, "the other thread opens the port itself");
  CheckEq(other_read_open, -700L, "the other thread reads once its port state is 1");
  ReadResult mine = ReadCard(card);
  CheckEq(mine.code, -700L,
          "this thread's port state survives the other thread's object and its end");

  // ClosePort after a successful open returns 0 and closes the encoder: the
  // port state stays 1, so a read now fails at the encoder (-128).
  CheckEq(Invoke(card, kClosePort, {Long(0)}).value, 0L, "ClosePort after OpenPort returns 0");
  CheckEq(ReadCard(card).code, -128L, "after ClosePort the encoder refuses the read");
  CheckEq(Invoke(card, kClosePort, {}).value, 0L, "a second ClosePort returns 0");

  // A thread that ends while holding state, twice over: per-thread state is
  // released at thread exit without harm.
  for (int round = 0; round < 2; ++round) {
    std::thread brief([] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      if (IDispatch* c = CreateCard()) {
        OpenPort(c, 0);
        c->Release();
      }
      CoUninitialize();
    });
    brief.join();
  }
  Check(true, "threads that used the component ended cleanly");
  card->Release();
}

void CheckMissingEncoderLibrary() {
  IDispatch* card = CreateCard();
  if (card == nullptr) return;
  CallResult open = Invoke(card, kOpenPort, {Long(0)});
  Check(open.hr == DISP_E_EXCEPTION && open.scode == static_cast<HRESULT>(0x800A0035),
        "OpenPort without lyComm.dll fails with 0x800A0035",
        Hex(open.hr) + " scode " + Hex(open.scode));
  CheckEq(open.source, std::string("Holvanter.TavoCard"), "error source");
  CallResult close = Invoke(card, kClosePort, {});
  Check(close.hr == S_OK && close.value == 0, "ClosePort without lyComm.dll returns 0",
        Hex(close.hr));
  ReadResult read = ReadCard(card);
  Check(read.hr == S_OK && read.code == 0, "ReadCard with port state -1 does not load lyComm.dll",
        Hex(read.hr));
  card->Release();
}

// ---------------------------------------------------------------- end to end

struct IssueResult {
  long code = 0;
  std::string card_no;
  CallResult call;
};
// An issue call whose holder name may hold any characters, NUL included.
IssueResult IssueNamed(IDispatch* card, DISPID method, const wchar_t* rooms, short building,
                       short floor, const std::wstring& name, const wchar_t* card_no_in = L"") {
  BSTR card_no = SysAllocString(card_no_in);
  BSTR begin = SysAllocString(L"202501011200"), end = SysAllocString(L"202501031130");
  BSTR room = SysAllocString(rooms);
  BSTR holder = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
  CallResult call = Invoke(card, method,
                           {Long(0), Str(begin), Str(end), StrRef(&card_no), Short(building),
                            Short(floor), Str(room), Str(holder)});
  IssueResult result{call.value, Narrow(card_no), call};
  for (BSTR b : {card_no, begin, end, room, holder}) SysFreeString(b);
  return result;
}
IssueResult Issue(IDispatch* card, DISPID method, const wchar_t* rooms, short building,
                  short floor, const wchar_t* name) {
  IssueResult result = IssueNamed(card, method, rooms, building, floor, name);
  const CallResult& call = result.call;
  if (FAILED(call.hr)) {
    Check(false, "issue call", Hex(call.hr) + " " + Hex(call.scode) + " " + call.description);
  }
  return result;
}

std::string RecordForm(const std::string& hex) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lu", std::strtoul(hex.c_str(), nullptr, 16));
  return text;
}

void EndToEndIssue() {
  IDispatch* card = CreateCard();
  if (card == nullptr) return;
  // Guest card on port 0 (card file port1), villa card on port 1 (port2).
  PutCard(1, BlankImage());
  PutCard(2, BlankImage());
  CheckEq(OpenPort(card, 0), 1L, "open encoder for the guest card");
  IssueResult guest = Issue(card, kWriteCard, L"101", 1, 1, L"Anna Lindqvist");
  CheckEq(guest.code, 0L, "WriteCard issues a guest card");
  Check(guest.card_no.size() == 6, "WriteCard returns the card number in hex form", guest.card_no);
  const std::vector<unsigned char> image = CardImage(1);
  Check(image.size() == 28 && std::string(image.begin() + 1, image.begin() + 6) == "HOLV1",
        "the card carries the hotel's system code deciphered through mwic_32.dll");
  ReadResult read = ReadCard(card);
  CheckEq(read.code, 0L, "ReadCard of the issued guest card");
  CheckEq(read.card_no, RecordForm(guest.card_no), "guest card number read back");
  CheckEq(read.room_no, std::string("01#01#0101"), "guest room read back");
  CheckEq(read.begin_date, std::string("20250101"), "guest begin date read back");
  CheckEq(read.end_date, std::string("202501031130"), "guest end date read back");

  CheckEq(OpenPort(card, 1), 2L, "open encoder for the villa card");
  IssueResult villa = Issue(card, kVillaCard, L"02010202", 1, 2, L"Villa O'Brien");
  CheckEq(villa.code, 0L, "VillaCard issues a villa card");
  Check(villa.card_no.size() == 6 && villa.card_no != guest.card_no,
        "VillaCard returns a new card number", villa.card_no);
  read = ReadCard(card);
  CheckEq(read.code, 0L, "ReadCard of the issued villa card");
  CheckEq(read.card_no, RecordForm(villa.card_no), "villa card number read back");
  CheckEq(read.room_no, std::string("01#02#0202#0201"), "villa rooms read back");
  CheckEq(read.begin_date, std::string("20000101"), "villa begin date read back");

  // A holder name holding a NUL (a BSTR carries one) is refused before any
  // database work: the call fails, CardNo and the card stay as they were,
  // and no card number is used up (the next card follows the villa card).
  for (DISPID method : {kWriteCard, kVillaCard}) {
    const std::wstring name(L"Li\0'); DELETE FROM RoomList; --", 31);
    const bool villa = method == kVillaCard;
    IssueResult refused =
        IssueNamed(card, method, villa ? L"02010202" : L"0102", 1, villa ? 2 : 1, name, L"keep");
    Check(refused.call.hr == DISP_E_EXCEPTION &&
              refused.call.scode == static_cast<HRESULT>(0x800A0005) &&
              refused.call.description.find("NUL") != std::string::npos,
          std::string(villa ? "VillaCard" : "WriteCard") + " refuses a holder name holding NUL",
          Hex(refused.call.hr) + " " + Hex(refused.call.scode) + " " + refused.call.description);
    CheckEq(refused.card_no, std::string("keep"), "a refused name leaves CardNo as passed");
  }
  CheckEq(ReadCard(card).card_no, RecordForm(villa.card_no),
          "a refused name leaves the card on the encoder");

  // A guest card issued on another thread: that thread's own connection is
  // released when the thread ends.
  long threaded = 99;
  std::string threaded_no;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (IDispatch* c = CreateCard()) {
      OpenPort(c, 2);
      PutCard(3, BlankImage());
      IssueResult issued = Issue(c, kWriteCard, L"0103", 1, 1, L"Thread Guest");
      threaded = issued.code;
      threaded_no = issued.card_no;
      c->Release();
    }
    CoUninitialize();
  });
  other.join();
  CheckEq(threaded, 0L, "a guest card issued on a second thread");
  CheckEq(std::strtoul(threaded_no.c_str(), nullptr, 16),
          std::strtoul(villa.card_no.c_str(), nullptr, 16) + 1,
          "the card after the refused names takes the next number");
  std::printf("GUEST_CARD %s\nVILLA_CARD %s\n", RecordForm(guest.card_no).c_str(),
              RecordForm(villa.card_no).c_str());
  card->Release();
}

void EndToEndCheckout() {
  IDispatch* card = CreateCard();
  if (card == nullptr) return;
  CheckEq(OpenPort(card, 0), 1L, "open encoder with the guest card");
  IssueResult out = Issue(card, kWriteCard, L"0000", 1, 1, L"");
  CheckEq(out.code, 0L, "WriteCard with room 0000 checks the guest card out");
  CheckEq(out.card_no, std::string(""), "check-out leaves CardNo as passed");
  CheckEq(ReadCard(card).code, -700L, "the guest card is blank after check-out");
  CheckEq(OpenPort(card, 1), 2L, "open encoder with the villa card");
  out = Issue(card, kVillaCard, L"00000000", 1, 2, L"");
  CheckEq(out.code, 0L, "VillaCard with rooms 00000000 checks the villa card out");
  CheckEq(ReadCard(card).code, -700L, "the villa card is blank after check-out");
  card->Release();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "checks";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::printf("com_client %s (%d-bit)\n", mode.c_str(), static_cast<int>(sizeof(void*) * 8));
  if (mode == "checks") {
    CheckMethods();
  } else if (mode == "missing-lycomm") {
    CheckMissingEncoderLibrary();
  } else if (mode == "e2e-issue") {
    EndToEndIssue();
  } else if (mode == "e2e-checkout") {
    EndToEndCheckout();
  } else {
    Check(false, "known mode", mode);
  }
  CoUninitialize();
  return Finish();
}
