// tavocard service on Linux: the Windows service manager's command, which
// points to the agent's systemd unit instead.
#include <iostream>

#include "hosts/agent/service.h"
#include "hosts/frontdesk/frontdesk.h"

namespace agent {

void AddServiceCommand(CLI::App& app) {
  CLI::App* service = app.add_subcommand(
      "service",
      "Windows only (tavocard.exe service install): the agent as a Windows service; on Linux "
      "systemd runs it through the unit holvanter-agent.service");
  service->group("");  // not in the help of this system
  service->prefix_command();  // whatever follows, the answer is the same
  service->callback([] {
    std::cerr << "tavocard service: this is the command of the Windows Service Control Manager "
                 "(tavocard.exe service install on Windows). On Linux systemd runs the agent: "
                 "the unit holvanter-agent.service (/usr/lib/systemd/system/ from the Debian "
                 "package, hosts/agent/ in the sources), started with\n"
                 "  sudo systemctl enable --now holvanter-agent\n";
    throw CLI::RuntimeError(frontdesk::kExitUsage);
  });
}

}  // namespace agent
