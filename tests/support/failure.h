// How a call into the component ended, for tests of the failures that end a
// call instead of giving a result code.
#ifndef HOLVANTER_TESTS_SUPPORT_FAILURE_H_
#define HOLVANTER_TESTS_SUPPORT_FAILURE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "holvanter/tavo_card.h"

namespace holvanter::test_support {

// The HRESULT of the TavoError the call ended with (0 when it ran) and its message.
struct Failure {
  int32_t hresult = 0;
  std::string message;
};

inline Failure FailureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TavoError& e) {
    return {e.hresult(), e.what()};
  }
  return {};
}

}  // namespace holvanter::test_support

#endif  // HOLVANTER_TESTS_SUPPORT_FAILURE_H_
