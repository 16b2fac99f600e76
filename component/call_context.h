// What one card method (WriteCard, VillaCard, ReadCard) works with from its
// start to its end: the Env it runs on, the database path it read from the
// settings file, its database connection, the hotel's system code and why it
// ended as it did. The connection closes when the context ends, that is when
// the card method returns: an idle host thread holds no database session.
#ifndef HOLVANTER_COMPONENT_CALL_CONTEXT_H_
#define HOLVANTER_COMPONENT_CALL_CONTEXT_H_

#include <memory>
#include <string>

#include "platform/env.h"
#include "store/database.h"
#include "util/status.h"

namespace holvanter {

struct CallContext {
  explicit CallContext(Env& call_env) : env(call_env) {}
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  Env& env;
  std::string database_path;
  std::unique_ptr<Connection> connection;
  std::string system_code;
  std::string failure_reason;
};

// The Env that card methods run on: the operating system's, unless
// SetComponentEnv gave another (a test's, to place the settings file or to
// make a service fail).
Env& ComponentEnv();
// Card methods started after this call run on `env`; nullptr goes back to
// the operating system's. `env` must outlive those calls.
void SetComponentEnv(Env* env);

// The failure as the component's caller sees it: TavoError with the HRESULT
// of the status's kind. Returns when the status is ok.
void ThrowIfFailed(const Status& status);
// The value of `result`, or its failure thrown as above.
template <typename T>
T ValueOrThrow(Result<T> result) {
  ThrowIfFailed(result.status());
  return std::move(result.value());
}

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_CALL_CONTEXT_H_
