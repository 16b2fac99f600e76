// tavocard desks: the link desk's clerk pairs a desk, sees who is paired,
// and removes a desk that should no longer join.
#ifndef HOLVANTER_HOSTS_DESKS_DESKS_COMMAND_H_
#define HOLVANTER_HOSTS_DESKS_DESKS_COMMAND_H_

#include <CLI/CLI.hpp>
#include <string>

namespace desks {

// Adds `desks pair NAME`, `desks list` and `desks remove NAME` to `app`, each
// with [--registry PATH] (`default_registry` unless said otherwise; empty:
// none is known, and --registry is needed). Through CLI::RuntimeError they
// exit 1 when `remove` finds no such desk, 3 when the registry cannot be
// read or written, and 64 for a name that is not a desk name.
void AddDesksCommand(CLI::App& app, const std::string& default_registry);

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_DESKS_COMMAND_H_
