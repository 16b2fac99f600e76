// tavocard: a front-desk host over the TavoCard component.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "holvanter/version.h"
#include "hosts/agent/agent.h"
#include "hosts/frontdesk/frontdesk.h"
#include "hosts/tavocard/commands.h"
#include "hosts/tavocard/help_format.h"
#include "hosts/tavocard/manpage.h"

namespace {

constexpr char kExitStatuses[] =
    "Exit status, the same for every command:\n"
    "  0   done\n"
    "  1   refused: a result code that is a refusal (the answer says which and why)\n"
    "  2   the encoder did not write the card (a write status, or -129)\n"
    "  3   the call failed without a result code (the message says why)\n"
    "  64  usage: an unknown command or option, a missing or unusable argument";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavocard " HOLVANTER_VERSION ": issue, read and check out hotel key cards"};
  app.formatter(std::make_shared<tavocard::WrappingFormatter>());  // before the subcommands
  app.set_version_flag("--version", "tavocard " HOLVANTER_VERSION);
  app.require_subcommand(1);
  app.footer(kExitStatuses);
  tavocard::AddEncoderCommands(app);
  tavocard::AddHotelCommands(app);
  tavocard::AddCardCommands(app);
  agent::AddAgentCommands(app);
  for (CLI::App* sub : app.get_subcommands({})) sub->footer(kExitStatuses);
  // The build writes the manual page from the help; not a command of the
  // desk, so not in the help itself.
  if (argc == 2 && std::string(argv[1]) == "--manpage") {
    app.name("tavocard");
    std::cout << tavocard::ManualPage(app, HOLVANTER_VERSION);
    return 0;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();  // a command's own exit status
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A word where a command was expected names itself.
    if (argc > 1 && app.get_subcommands().empty() && argv[1][0] != '-') {
      std::cerr << "tavocard: unknown command '" << argv[1] << "'; run tavocard --help\n";
    } else {
      app.exit(e);
    }
    return frontdesk::kExitUsage;
  }
  return 0;
}
