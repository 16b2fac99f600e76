// The exit statuses of every front-desk command (tavocard and its
// subcommands, tavocard.exe on Windows, the service, desks and fias-authkey
// commands): each status named once, with the meaning its help prints. A
// script at the desk tells a refusal from a failed call from a mistyped
// command by these alone, whichever command it ran.
#ifndef HOLVANTER_HOSTS_FRONTDESK_EXIT_STATUS_H_
#define HOLVANTER_HOSTS_FRONTDESK_EXIT_STATUS_H_

#include <optional>
#include <string>
#include <utility>

namespace frontdesk {

// The operation did all its work.
inline constexpr int kExitDone = 0;
// Refused: a result code that is a refusal, or a command that would have
// changed what it must keep (a key file, a hotel, a service it did not
// install) or found nothing to act on (no such desk, no such service).
inline constexpr int kExitRefused = 1;
// The encoder did not write the card (a write status, or -129).
inline constexpr int kExitNotWritten = 2;
// The call failed without a result code: the system, a file or the
// database failed (the message says why).
inline constexpr int kExitFailedCall = 3;
// Usage (as sysexits' EX_USAGE): an unknown command or option, a missing or
// unusable argument or setting; nothing was done.
inline constexpr int kExitUsage = 64;

// The table as the help's footer and the manual page's EXIT STATUS say it.
inline constexpr char kExitStatusHelp[] =
    "Exit status, the same for every command:\n"
    "  0   done\n"
    "  1   refused: a result code that is a refusal (the answer says which and why)\n"
    "  2   the encoder did not write the card (a write status, or -129)\n"
    "  3   the call failed without a result code (the message says why)\n"
    "  64  usage: an unknown command or option, a missing or unusable argument";

// A command that did not do its work, as a value: the exit status it ends
// with and the message for the clerk. Below a command's callback the steps
// return it; the callback alone prints it and exits.
struct CommandFailure {
  int exit_status = kExitFailedCall;
  std::string message;
};

// A step of a command that gives a value, or the failure that ends the
// command. A step that gives nothing returns std::optional<CommandFailure>.
template <typename T>
class [[nodiscard]] CommandResult {
 public:
  CommandResult(T value) : value_(std::move(value)) {}                // NOLINT: a value converts
  CommandResult(CommandFailure failure) : failure_(std::move(failure)) {}  // NOLINT: so does a failure
  bool ok() const { return !failure_; }
  const CommandFailure& failure() const { return *failure_; }
  T& value() { return *value_; }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }

 private:
  std::optional<CommandFailure> failure_;
  std::optional<T> value_;
};

}  // namespace frontdesk

#endif  // HOLVANTER_HOSTS_FRONTDESK_EXIT_STATUS_H_
