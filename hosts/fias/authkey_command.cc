// tavocard fias-authkey new: the key of the PMS key link's connection
// authentication, and what the hotel's IT does with it.
#include "hosts/fias/authkey_command.h"

#include <iostream>
#include <memory>

#include "hosts/fias/authkey.h"

namespace fias {

namespace {
// The key file could not be made; the hand-over text was not printed.
constexpr int kExitNoKeyFile = 3;
}  // namespace

void AddAuthKeyCommand(CLI::App& app, const std::string& default_file) {
  CLI::App* authkey = app.add_subcommand(
      "fias-authkey",
      "the key with which the agent proves itself to the PMS interface program over the PMS "
      "key link (FIAS), for sites that require it");
  authkey->require_subcommand(1);
  auto file = std::make_shared<std::string>(default_file);
  CLI::App* make = authkey->add_subcommand(
      "new", "make a new random key in a file only its owner can read, and print the text to "
             "enter in the PMS interface program; an existing key file is never replaced");
  make->add_option("--file", *file, "where to keep the key")
      ->type_name("PATH")
      ->capture_default_str();
  make->callback([file] {
    try {
      const AuthKey key = CreateKeyFile(*file);
      std::cout << "Hand-over text: " << HandOverText(key) << "\n"
                << "Key kept in:    " << *file << " (readable by its owner only)\n"
                << "Hotel IT: enter the hand-over text as the authentication key in the PMS "
                   "interface program, then start the agent with --fias-authkey-file "
                << *file << "\n";
    } catch (const AuthKeyError& e) {
      std::cerr << "tavocard fias-authkey: " << e.what() << "\n";
      throw CLI::RuntimeError(kExitNoKeyFile);
    }
  });
}

}  // namespace fias
