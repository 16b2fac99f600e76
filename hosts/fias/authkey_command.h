// tavocard fias-authkey new: the key of the PMS key link's connection
// authentication, made once by the hotel's IT.
#ifndef HOLVANTER_HOSTS_FIAS_AUTHKEY_COMMAND_H_
#define HOLVANTER_HOSTS_FIAS_AUTHKEY_COMMAND_H_

#include <CLI/CLI.hpp>
#include <string>

namespace fias {

// Adds `fias-authkey new [--file PATH]` to `app`: makes a key in an
// owner-only file (`default_file` unless --file says otherwise) and prints
// the hand-over text for the PMS interface program. Exits 3 (through
// CLI::RuntimeError) when the file cannot be made, an existing one included.
void AddAuthKeyCommand(CLI::App& app, const std::string& default_file);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_AUTHKEY_COMMAND_H_
