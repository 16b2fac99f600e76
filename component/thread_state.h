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
  // SystemCode: reloaded by every card issue.
  std::string system_code;
  // Why the last card method on this thread ended as it did, when its
  // result code alone does not say it (TavoCard::LastFailureReason).
  std::string failure_reason;
};

// This thread's state.
ThreadState& ThisThreadState();

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_THREAD_STATE_H_
