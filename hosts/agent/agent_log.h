// The agent's log: one line per event on standard output, stamped in UTC.
#ifndef HOLVANTER_HOSTS_AGENT_AGENT_LOG_H_
#define HOLVANTER_HOSTS_AGENT_AGENT_LOG_H_

#include <string>

namespace agent {

// Writes `line` with its time; whatever a value brings in (an HTTP target, a
// PMS field, a refusal heard from the network) stays on this one line and
// shows as it is. Any thread.
void Log(const std::string& line);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_AGENT_LOG_H_
