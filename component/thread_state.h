// What the TavoCard methods keep between calls: one copy per thread, shared
// by every TavoCard object created on that thread. Objects have no fields.
#ifndef HOLVANTER_COMPONENT_THREAD_STATE_H_
#define HOLVANTER_COMPONENT_THREAD_STATE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "store/database.h"

namespace holvanter {

struct ThreadState {
  // -1 after an object is created on this thread; afterwards the byte that
  // createCard returned to the last OpenPort (1 = encoder open).
  int16_t port_state = -1;
  // DatabasePath: read from the settings file by every card issue.
  std::string database_path;
  // DbConnection: replaced by every card issue; the last one stays open.
  std::unique_ptr<Connection> db_connection;
  // Why the last OpenDatabase of this thread failed (its -840); empty after
  // an open that succeeded.
  std::string open_failure;
  // SystemCode: reloaded by every card issue.
  std::string system_code;
};

// This thread's state.
ThreadState& ThisThreadState();

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_THREAD_STATE_H_
