// tavocard fias-authkey new: the key of the PMS key link's connection
// authentication, and what the hotel's IT does with it.
#include "hosts/fias/authkey_command.h"

#include <filesystem>
#include <iostream>
#include <memory>

#include "hosts/fias/authkey.h"

namespace fias {

namespace {
// The key file could not be made; the hand-over text was not printed.
constexpr int kExitNoKeyFile = 3;
// A key is there already and --replace was not given: nothing changed.
constexpr int kExitRefused = 1;

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A new key in place of the one at `path`: made beside it, owner-only from
// its first moment, then renamed over it, so that the old key stays whole
// until the new one is.
AuthKey ReplaceKeyFile(const std::string& path) {
  const std::string fresh = path + ".new";
  std::error_code ec;
  std::filesystem::remove(FsPath(fresh), ec);  // left by a replacement that failed
  const AuthKey key = CreateKeyFile(fresh);
  std::filesystem::rename(FsPath(fresh), FsPath(path), ec);
  if (ec) {
    std::filesystem::remove(FsPath(fresh), ec);
    throw AuthKeyError("cannot put the new key in place of " + path + ": " + ec.message());
  }
  return key;
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
    std::error_code ec;
    const bool exists = std::filesystem::exists(FsPath(*file), ec);
    if (exists && !*replace) {
      std::cerr << "tavocard fias-authkey: the key file " << *file
                << " exists already and is kept: the PMS interface program holds its "
                   "hand-over text, and a new key locks the link out until IT enters the new "
                   "one there; give --replace to make a new key all the same\n";
      throw CLI::RuntimeError(kExitRefused);
    }
    try {
      const AuthKey key = exists ? ReplaceKeyFile(*file) : CreateKeyFile(*file);
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
    } catch (const AuthKeyError& e) {
      std::cerr << "tavocard fias-authkey: " << e.what() << "\n";
      // Made by another at the same moment: kept, as above.
      throw CLI::RuntimeError(!exists && std::filesystem::exists(FsPath(*file), ec)
                                  ? kExitRefused
                                  : kExitNoKeyFile);
    }
  });
}

}  // namespace fias
