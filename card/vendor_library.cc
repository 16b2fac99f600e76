// Lazy, process-wide lookup of vendor library functions. Every TavoCard on
// every thread shares the loaded libraries and the resolved addresses, so
// the tables are guarded by one lock; a lookup after the first is a single
// table hit.
#include "card/vendor_library.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/env.h"

namespace holvanter {
namespace {

struct VendorTables {
  std::mutex mutex;
  // Loaded libraries by stem; they stay loaded for the process.
  std::map<std::string, std::unique_ptr<SharedLibrary>> libraries;
  // Resolved addresses by (stem, function).
  std::map<std::pair<std::string, std::string>, void*> functions;
};

VendorTables& Tables() {
  static VendorTables* tables = new VendorTables;  // never destroyed: addresses outlive statics
  return *tables;
}

}  // namespace

Result<void*> VendorFunction(const char* stem, const char* function) {
  VendorTables& tables = Tables();
  std::lock_guard<std::mutex> lock(tables.mutex);

  const auto key = std::make_pair(std::string(stem), std::string(function));
  if (auto found = tables.functions.find(key); found != tables.functions.end()) {
    return found->second;
  }

  auto library = tables.libraries.find(key.first);
  if (library == tables.libraries.end()) {
    // Not cached on failure: a library installed later is found by the next call.
    // The operating system's own Env, not the calling card method's: a
    // library once loaded serves every later call of the process, whatever
    // Env that call runs on, and the encoder port methods that load lyComm
    // run in no card method at all. It is looked for beside the component's
    // real file.
    std::unique_ptr<SharedLibrary> loaded = Env::Default()->LoadVendorLibrary(key.first);
    if (!loaded) {
      return Status::FileNotFound("File not found: the vendor library " + key.first +
                                  " cannot be loaded");
    }
    library = tables.libraries.emplace(key.first, std::move(loaded)).first;
  }

  void* address = library->second->FindSymbol(function);
  if (address == nullptr)
    return Status::EntryPointNotFound("Can't find DLL entry point " + key.second + " in " + key.first);
  tables.functions.emplace(key, address);
  return address;
}

}  // namespace holvanter
