// tavocard: a front-desk host over the TavoCard component.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "holvanter/version.h"
#include "hosts/agent/agent.h"
#include "hosts/frontdesk/exit_status.h"
#include "hosts/tavocard/command_line.h"
#include "hosts/tavocard/commands.h"
#include "hosts/tavocard/help_format.h"
#include "hosts/tavocard/manpage.h"

int main(int argc, char** argv) {
  CLI::App app{"tavocard " HOLVANTER_VERSION ": issue, read and check out hotel key cards"};
  app.formatter(std::make_shared<tavocard::WrappingFormatter>());  // before the subcommands
  app.set_version_flag("--version", "tavocard " HOLVANTER_VERSION);
  app.require_subcommand(1);
  app.footer(frontdesk::kExitStatusHelp);
  tavocard::AddEncoderCommands(app);
  tavocard::AddHotelCommands(app);
  tavocard::AddCardCommands(app);
  agent::AddAgentCommands(app);
  for (CLI::App* sub : app.get_subcommands({})) sub->footer(frontdesk::kExitStatusHelp);
  // The build writes the manual page from the help; not a command of the
  // desk, so not in the help itself.
  if (argc == 2 && std::string(argv[1]) == "--manpage") {
    app.name("tavocard");
    std::cout << tavocard::ManualPage(app, HOLVANTER_VERSION);
    return frontdesk::kExitDone;
  }
  return tavocard::RunCommandLine(app, argc, argv);
}
