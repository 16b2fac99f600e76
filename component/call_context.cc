#include "component/call_context.h"

#include <atomic>

#include "holvanter/error.h"

namespace holvanter {
namespace {

std::atomic<Env*> component_env{nullptr};

int32_t HresultOf(Status::Code code) {
  switch (code) {
    case Status::Code::kOk:
      return 0;
    case Status::Code::kInvalidArgument:
      return kErrInvalidProcedureCall;
    case Status::Code::kOverflow:
      return kErrOverflow;
    case Status::Code::kTypeMismatch:
      return kErrTypeMismatch;
    case Status::Code::kSubscriptOutOfRange:
      return kErrSubscriptOutOfRange;
    case Status::Code::kFileNotFound:
      return kErrFileNotFound;
    case Status::Code::kEntryPointNotFound:
      return kErrEntryPointNotFound;
    case Status::Code::kDatabase:
      break;
  }
  return kErrFail;
}

}  // namespace

Env& ComponentEnv() {
  Env* env = component_env.load(std::memory_order_acquire);
  return env != nullptr ? *env : *Env::Default();
}

void SetComponentEnv(Env* env) { component_env.store(env, std::memory_order_release); }

void ThrowIfFailed(const Status& status) {
  if (!status.ok()) throw TavoError(HresultOf(status.code()), status.message());
}

}  // namespace holvanter
