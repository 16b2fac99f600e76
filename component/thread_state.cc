// The per-thread state of the TavoCard methods.
#include "component/thread_state.h"

namespace holvanter {

ThreadState& ThisThreadState() {
  // One copy per thread, created on first use and kept until the thread ends.
  thread_local ThreadState state;
  return state;
}

}  // namespace holvanter
