// The TavoCard object: its creation handler and the two port methods.
#include <cstdint>

#include "card/encoder_link.h"
#include "component/call_context.h"
#include "component/thread_state.h"
#include "holvanter/tavo_card.h"

namespace holvanter {

// Class_Initialize: every new object resets the port state its thread shares.
TavoCard::TavoCard() { ThisThreadState().port_state = -1; }

int32_t TavoCard::OpenPort(int32_t port, std::optional<int32_t> /*baud*/) {
  // The encoder library counts ports from 1, the host from 0; the 1-based
  // number goes over as one byte.
  const int64_t library_port = static_cast<int64_t>(port) + 1;
  if (library_port < 0 || library_port > 255) {
    throw TavoError(kErrOverflow, "Overflow: port " + std::to_string(port) +
                                      " is outside -1 to 254");
  }
  const uint8_t answer = ValueOrThrow(CreateCard(static_cast<uint8_t>(library_port)));
  ThisThreadState().port_state = static_cast<int16_t>(answer);
  return answer == 1 ? static_cast<int32_t>(library_port) : result::kPortNotOpened;
}

int32_t TavoCard::ClosePort(std::optional<int32_t> /*IcDevH*/) {
  // Closing never fails: a missing library or entry point is ignored. The
  // port state stays as it was.
  try {
    if (ThisThreadState().port_state == 1) ThrowIfFailed(DestroyCard());
  } catch (...) {
  }
  return 0;
}

}  // namespace holvanter
