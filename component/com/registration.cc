// Self-registration of holvanter.dll (regsvr32): the class with its ProgID
// and the apartment threading model, and the type library, which in turn
// registers the _TavoCard interface for the standard automation marshaller.
// Unregistration removes exactly these keys again.
#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <string>

#include "component/com/com_module.h"
#include "component/com/holvanter_h.h"

namespace holvanter::com {
namespace {

constexpr wchar_t kProgId[] = L"Holvanter.TavoCard";
constexpr wchar_t kVersion[] = L"1.0";
constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;
#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
#endif

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Creates `root`\`path` and sets its value `name` (nullptr: the default
// value) to `value`.
LSTATUS SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

LSTATUS DeleteTree(const std::wstring& path) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
    // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
    const LSTATUS removed = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return removed == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : removed;
  }
  return status;
}

HRESULT RegisterClassKeys() {
  const std::wstring clsid = GuidText(CLSID_TavoCard);
  const std::wstring libid = GuidText(LIBID_Holvanter);
  const std::wstring module = ThisModulePath();
  if (module.empty()) return SELFREG_E_CLASS;
  const std::wstring class_key = L"CLSID\\" + clsid;
  const struct {
    std::wstring path;
    const wchar_t* name;
    std::wstring value;
  } entries[] = {
      {class_key, nullptr, kProgId},
      {class_key + L"\\InprocServer32", nullptr, module},
      {class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {class_key + L"\\ProgID", nullptr, kProgId},
      {class_key + L"\\VERSION", nullptr, kVersion},
      {class_key + L"\\TypeLib", nullptr, libid},
      {kProgId, nullptr, kProgId},
      {std::wstring(kProgId) + L"\\CLSID", nullptr, clsid},
  };
  for (const auto& entry : entries) {
    if (SetValue(entry.path, entry.name, entry.value) != ERROR_SUCCESS) return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT UnregisterClassKeys() {
  const LSTATUS a = DeleteTree(L"CLSID\\" + GuidText(CLSID_TavoCard));
  const LSTATUS b = DeleteTree(kProgId);
  return a == ERROR_SUCCESS && b == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

}  // namespace
}  // namespace holvanter::com

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  using namespace holvanter::com;
  ITypeLib* library = nullptr;
  HRESULT hr = LoadOwnTypeLibrary(&library);
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  std::wstring module = ThisModulePath();
  hr = RegisterTypeLib(library, module.data(), nullptr);
  library->Release();
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  hr = RegisterClassKeys();
  if (FAILED(hr)) UnregisterClassKeys();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  using namespace holvanter::com;
  const HRESULT classes = UnregisterClassKeys();
  // Also removes the interface keys that registering the library wrote.
  HRESULT library = UnRegisterTypeLib(LIBID_Holvanter, kLibraryMajor, kLibraryMinor,
                                      LOCALE_NEUTRAL, kSysKind);
  if (library == TYPE_E_REGISTRYACCESS) library = S_OK;  // was not registered
  if (FAILED(classes)) return classes;
  return FAILED(library) ? SELFREG_E_TYPELIB : S_OK;
}
