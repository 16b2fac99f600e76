// tavocard.exe on Windows: the front-desk agent and the card image decoder.
#include <CLI/CLI.hpp>

#include "hosts/agent/agent.h"
#include "hosts/tavocard/help_format.h"

int main(int argc, char** argv) {
  CLI::App app{"tavocard: the front-desk agent of the TavoCard component"};
  app.formatter(std::make_shared<tavocard::WrappingFormatter>());  // before the subcommands
  app.require_subcommand(1);
  agent::AddAgentCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return 0;
}
