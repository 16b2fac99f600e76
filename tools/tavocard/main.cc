// tavocard: a front-desk host over the TavoCard component.
#include <CLI/CLI.hpp>

#include "tools/tavocard/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"tavocard: issue, read and check out hotel key cards"};
  app.require_subcommand(1);
  tavocard::AddEncoderCommands(app);
  tavocard::AddHotelCommands(app);
  tavocard::AddCardCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return 0;
}
