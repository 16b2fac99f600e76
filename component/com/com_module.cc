// DllMain, the module lock count and the type library of holvanter.dll.
#include "component/com/com_module.h"

#include <mutex>

#include "component/com/holvanter_h.h"

namespace holvanter::com {
namespace {

HMODULE g_module = nullptr;
LONG g_locks = 0;

}  // namespace

HMODULE ThisModule() { return g_module; }

std::wstring ThisModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void LockModule() { InterlockedIncrement(&g_locks); }
void UnlockModule() { InterlockedDecrement(&g_locks); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&g_locks, 0, 0); }

HRESULT LoadOwnTypeLibrary(ITypeLib** library) {
  *library = nullptr;
  const std::wstring path = ThisModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  // REGKIND_NONE: loading must not register; registration is explicit.
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

HRESULT TavoCardTypeInfo(ITypeInfo** dispatch_info, ITypeInfo** vtable_info) {
  // Type descriptions are free-threaded: one pair serves every apartment.
  static std::once_flag once;
  static HRESULT status = E_FAIL;
  static ITypeInfo* dispatch = nullptr;
  static ITypeInfo* vtable = nullptr;
  std::call_once(once, [] {
    ITypeLib* library = nullptr;
    status = LoadOwnTypeLibrary(&library);
    if (FAILED(status)) return;
    status = library->GetTypeInfoOfGuid(IID__TavoCard, &dispatch);
    library->Release();
    if (FAILED(status)) return;
    // The dual interface's vtable half: Invoke calls the methods through it.
    HREFTYPE vtable_ref = 0;
    status = dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref);
    if (SUCCEEDED(status)) status = dispatch->GetRefTypeInfo(vtable_ref, &vtable);
    if (FAILED(status)) {
      dispatch->Release();
      dispatch = nullptr;
    }
  });
  if (FAILED(status)) return status;
  if (dispatch_info != nullptr) *dispatch_info = dispatch;
  if (vtable_info != nullptr) *vtable_info = vtable;
  return S_OK;
}

}  // namespace holvanter::com

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  // Thread notifications stay on: the runtime's per-thread storage, which
  // holds each thread's port state and database connection, relies on them.
  if (reason == DLL_PROCESS_ATTACH) holvanter::com::g_module = instance;
  return TRUE;
}
