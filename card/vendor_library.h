// Process-wide, thread-safe lazy lookup of functions in the closed vendor
// libraries (the encoder's lyComm, the card reader's mwic_32). The library is
// loaded on the first lookup and stays loaded for the process; each function
// is resolved once and the address serves every later call.
#ifndef HOLVANTER_CARD_VENDOR_LIBRARY_H_
#define HOLVANTER_CARD_VENDOR_LIBRARY_H_

#include "util/status.h"

namespace holvanter {

// Vendor functions use the standard Windows calling convention on 32-bit
// Windows; elsewhere the platform's only one.
#if defined(_WIN32) && !defined(_WIN64)
#define HOLVANTER_STDCALL __stdcall
#else
#define HOLVANTER_STDCALL
#endif

// The address of `function` in the vendor library `stem` ("lyComm",
// "mwic_32"); a kFileNotFound failure when the library cannot be loaded, a
// kEntryPointNotFound failure when it lacks the function.
Result<void*> VendorFunction(const char* stem, const char* function);

}  // namespace holvanter

#endif  // HOLVANTER_CARD_VENDOR_LIBRARY_H_
