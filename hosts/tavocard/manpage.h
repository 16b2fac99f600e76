// tavocard.1, the manual page, made from the command's own help so that the
// two cannot say different things: the build writes it with
// `tavocard --manpage` and the install rules put it in man1.
#ifndef HOLVANTER_HOSTS_TAVOCARD_MANPAGE_H_
#define HOLVANTER_HOSTS_TAVOCARD_MANPAGE_H_

#include <CLI/CLI.hpp>
#include <string>

namespace tavocard {

// The page in roff (man macros): the description, then each command's help
// as it prints it, deepest commands after their parent, then the exit
// statuses and the files the command and the agent keep. Help lines are
// wrapped to fit man's indent on 80 columns.
std::string ManualPage(CLI::App& app, const std::string& version);

}  // namespace tavocard

#endif  // HOLVANTER_HOSTS_TAVOCARD_MANPAGE_H_
