// How a call into the component ended, for tests of the failures that end a
// call instead of giving a result code.
#ifndef HOLVANTER_TESTS_SUPPORT_FAILURE_H_
#define HOLVANTER_TESTS_SUPPORT_FAILURE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "component/call_context.h"
#include "holvanter/tavo_card.h"
#include "util/status.h"

namespace holvanter::test_support {

// The HRESULT the caller sees for a failure (0 when it ran) and its message.
struct Failure {
  int32_t hresult = 0;
  std::string message;
};

// A failure returned by a layer below the component, as the component's
// caller would see it.
inline Failure FailureOf(const Status& status) {
  try {
    ThrowIfFailed(status);
  } catch (const TavoError& e) {
    return {e.hresult(), e.what()};
  }
  return {};
}

// A failure thrown by the component, or by the store's layers below it.
inline Failure FailureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TavoError& e) {
    return {e.hresult(), e.what()};
  } catch (const StatusError& e) {
    return FailureOf(e.status());
  }
  return {};
}

}  // namespace holvanter::test_support

namespace holvanter {

// The value of a call below the component that the test needs to succeed; a
// failure ends the test with its message (thrown, as gtest reports it).
template <typename T>
T Ok(Result<T> result) {
  if (!result.ok()) throw StatusError(result.status());
  return std::move(result.value());
}
inline void Ok(const Status& status) {
  if (!status.ok()) throw StatusError(status);
}

}  // namespace holvanter

#endif  // HOLVANTER_TESTS_SUPPORT_FAILURE_H_
