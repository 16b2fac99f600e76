// What the TavoCard methods keep between calls: one copy per thread, shared
// by every TavoCard object created on that thread. Objects have no fields.
// Only what must outlive a call lives here; a call's database connection,
// settings and system code belong to its CallContext and end with it.
#ifndef HOLVANTER_COMPONENT_THREAD_STATE_H_
#define HOLVANTER_COMPONENT_THREAD_STATE_H_

#include <cstdint>
#include <string>

namespace holvanter {

struct ThreadState {
  // -1 after an object is created on this thread; afterwards the byte that
  // createCard returned to the last OpenPort (1 = encoder open).
  int16_t port_state = -1;
  // Why the last card method on this thread ended as it did, when its
  // result code alone does not say it (TavoCard::LastFailureReason).
  std::string failure_reason;
};

// This thread's state. Its end at thread exit frees memory and nothing else:
// it holds no connection and no library.
ThreadState& ThisThreadState();

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_THREAD_STATE_H_
