// The tavocard front-desk command: each group of subcommands registers
// itself on the application. A command that ends with a non-zero exit
// status throws CLI::RuntimeError(status) from its callback.
#ifndef HOLVANTER_HOSTS_TAVOCARD_COMMANDS_H_
#define HOLVANTER_HOSTS_TAVOCARD_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace tavocard {

// tavocard read, tavocard encoder insert|remove|show
void AddEncoderCommands(CLI::App& app);
// tavocard hotel init|cards
void AddHotelCommands(CLI::App& app);
// tavocard issue|villa|checkout
void AddCardCommands(CLI::App& app);

}  // namespace tavocard

#endif  // HOLVANTER_HOSTS_TAVOCARD_COMMANDS_H_
