// tavocard.exe on Windows: the front-desk agent and the card image decoder.
#include <CLI/CLI.hpp>

#include "hosts/agent/agent.h"
#include "hosts/frontdesk/exit_status.h"
#include "hosts/tavocard/command_line.h"
#include "hosts/tavocard/help_format.h"

int main(int argc, char** argv) {
  CLI::App app{"tavocard: the front-desk agent of the TavoCard component"};
  app.formatter(std::make_shared<tavocard::WrappingFormatter>());  // before the subcommands
  app.require_subcommand(1);
  app.footer(frontdesk::kExitStatusHelp);
  agent::AddAgentCommands(app);
  for (CLI::App* sub : app.get_subcommands({})) sub->footer(frontdesk::kExitStatusHelp);
  return tavocard::RunCommandLine(app, argc, argv);
}
