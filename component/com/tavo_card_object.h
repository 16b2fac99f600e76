// The COM object TavoCard: the default interface _TavoCard over the C++
// core's holvanter::TavoCard, with IDispatch served from the type library.
#ifndef HOLVANTER_COMPONENT_COM_TAVO_CARD_OBJECT_H_
#define HOLVANTER_COMPONENT_COM_TAVO_CARD_OBJECT_H_

#include <windows.h>

namespace holvanter::com {

// Creates a TavoCard (which resets this thread's port state) and asks it
// for `iid`. The class factory's CreateInstance.
HRESULT CreateTavoCardObject(REFIID iid, void** object);

}  // namespace holvanter::com

#endif  // HOLVANTER_COMPONENT_COM_TAVO_CARD_OBJECT_H_
