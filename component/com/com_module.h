// What the COM face keeps for the whole process: the module handle of
// holvanter.dll, the count of live objects and server locks that decides
// DllCanUnloadNow, and the embedded type library.
#ifndef HOLVANTER_COMPONENT_COM_COM_MODULE_H_
#define HOLVANTER_COMPONENT_COM_COM_MODULE_H_

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace holvanter::com {

// holvanter.dll itself.
HMODULE ThisModule();
// The full path of holvanter.dll.
std::wstring ThisModulePath();

// Live objects, class factories handed out and IClassFactory::LockServer
// locks keep the DLL loaded.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The type library embedded as resource TYPELIB 1, loaded once for the
// process. AddRef'ed; the caller releases it.
HRESULT LoadOwnTypeLibrary(ITypeLib** library);

// The descriptions of _TavoCard: the dispatch interface that clients see,
// and the vtable interface of the dual pair that IDispatch::Invoke calls
// through. Neither is AddRef'ed: both live for the process.
HRESULT TavoCardTypeInfo(ITypeInfo** dispatch_info, ITypeInfo** vtable_info);

}  // namespace holvanter::com

#endif  // HOLVANTER_COMPONENT_COM_COM_MODULE_H_
