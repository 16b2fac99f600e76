// tavocard service: the agent as a service of the Windows Service Control
// Manager, which starts it at boot with nobody logged on, restarts it after
// a failure and stops it at shutdown. On Linux systemd does that
// (holvanter-agent.service), and the command says so.
#ifndef HOLVANTER_HOSTS_AGENT_SERVICE_H_
#define HOLVANTER_HOSTS_AGENT_SERVICE_H_

#include <CLI/CLI.hpp>

namespace agent {

// Windows: `service install [--config FILE] [--name NAME] [--start]`,
// `service remove|start|stop [--name NAME]` and `service run`, the entry
// that the Service Control Manager starts. Through CLI::RuntimeError they
// exit 1 when refused (the service exists already, is none, or is not an
// agent's), 3 when a system call fails, 64 for a settings file that is not
// there or a name that cannot be a service's.
// Linux: `service ...` says where the agent's systemd unit is and exits 64.
void AddServiceCommand(CLI::App& app);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_SERVICE_H_
