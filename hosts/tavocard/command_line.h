// The one entry of the tavocard command, on Linux (hosts/tavocard/main.cc)
// and on Windows (tavocard.exe, hosts/agent/agent_main.cc): the command line
// parsed, the command run, and the exit status of the one table
// (hosts/frontdesk/exit_status.h) whatever went wrong on the way. The
// argument parser's own codes never reach a script: a line it cannot take
// is usage, 64.
#ifndef HOLVANTER_HOSTS_TAVOCARD_COMMAND_LINE_H_
#define HOLVANTER_HOSTS_TAVOCARD_COMMAND_LINE_H_

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "hosts/frontdesk/exit_status.h"

namespace tavocard {

inline int RunCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();  // a command's own exit status
  } catch (const CLI::Success& e) {
    return app.exit(e);  // the help or the version, printed
  } catch (const CLI::ParseError& e) {
    // A word where a command was expected names itself.
    if (argc > 1 && app.get_subcommands().empty() && argv[1][0] != '-') {
      std::cerr << "tavocard: unknown command '" << argv[1] << "'; run tavocard --help\n";
    } else {
      app.exit(e);
    }
    return frontdesk::kExitUsage;
  }
  return frontdesk::kExitDone;
}

}  // namespace tavocard

#endif  // HOLVANTER_HOSTS_TAVOCARD_COMMAND_LINE_H_
