// tavocard fias-authkey new: the key of the PMS key link's connection
// authentication, and what the hotel's IT does with it.
#include "hosts/fias/authkey_command.h"

#include <iostream>
#include <memory>

#include "hosts/fias/authkey.h"
#include "hosts/frontdesk/exit_status.h"
#include "platform/env.h"

namespace fias {

namespace {
// The key file could not be made; the hand-over text was not printed.
using frontdesk::kExitFailedCall;
// A key is there already and --replace was not given: nothing changed.
using frontdesk::kExitRefused;

// Paths are UTF-8 throughout the product; the platform reads them so on
// Windows too.
bool KeyFileThere(const std::string& path) {
  return holvanter::Env::Default()->FileExists(path);
}

}  // namespace

void AddAuthKeyCommand(CLI::App& app, const std::string& default_file) {
  CLI::App* authkey = app.add_subcommand(
      "fias-authkey",
      "the key with which the agent proves itself to the PMS interface program over the PMS "
      "key link (FIAS), for sites that require it");
  authkey->require_subcommand(1);
  auto file = std::make_shared<std::string>(default_file);
  auto replace = std::make_shared<bool>(false);
  CLI::App* make = authkey->add_subcommand(
      "new", "make a new random key in a file only its owner can read, and print the text to "
             "enter in the PMS interface program; an existing key is kept unless --replace");
  make->add_option("--file", *file, "where to keep the key")
      ->type_name("PATH")
      ->capture_default_str();
  make->add_flag("--replace", *replace,
                 "replace an existing key: the link is refused until IT enters the new "
                 "hand-over text in the PMS interface program");
  make->callback([file, replace, default_file] {
    const bool exists = KeyFileThere(*file);
    if (exists && !*replace) {
      std::cerr << "tavocard fias-authkey: the key file " << *file
                << " exists already and is kept: the PMS interface program holds its "
                   "hand-over text, and a new key locks the link out until IT enters the new "
                   "one there; give --replace to make a new key all the same\n";
      throw CLI::RuntimeError(kExitRefused);
    }
    // A new key in place of an old one is made beside it, owner-only from
    // its first moment, then renamed over it, so that the old key stays
    // whole until the new one is.
    const holvanter::Result<AuthKey> made = exists ? ReplaceKeyFile(*file) : CreateKeyFile(*file);
    if (!made.ok()) {
      std::cerr << "tavocard fias-authkey: " << made.status().message() << "\n";
      // Made by another at the same moment: kept, as above.
      throw CLI::RuntimeError(!exists && KeyFileThere(*file) ? kExitRefused : kExitFailedCall);
    }
    const AuthKey& key = made.value();
    std::cout << "Hand-over text: " << HandOverText(key) << "\n"
              << "Key kept in:    " << *file << " (readable by its owner only)"
              << (exists ? "; the key it held before is gone" : "") << "\n"
              << "Hotel IT: enter the hand-over text as the authentication key in the PMS "
                 "interface program, then start (or restart) the agent"
              << (*file == default_file ? std::string(": it finds the key there by itself")
                                        : " with --fias-authkey-file " + *file +
                                              " (or keep the key beside its token file as "
                                              "fias-authkey, where it finds it by itself)")
              << "\n";
  });
}

}  // namespace fias
