// tavocard encoder insert|remove|show: the card lying on the simulated
// encoder.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/frontdesk.h"
#include "stand_ins/lycomm_sim/sim_card_file.h"
#include "hosts/tavocard/commands.h"

namespace tavocard {
namespace {

// The card file of the host's port (the library counts from 1).
std::string CardFileOfPort(int port) { return lycomm_sim::CardFile(port + 1); }

void Insert(int port) {
  const std::string file = CardFileOfPort(port);
  std::error_code ec;
  std::filesystem::create_directories(lycomm_sim::CardFolder(), ec);
  std::vector<uint8_t> bytes = frontdesk::CardPasswordBytes();
  bytes.resize(lycomm_sim::kCardFileSize, 0xFF);  // a blank card: 28 bytes 0xFF
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::cerr << "tavocard: cannot put a card on the encoder: " << file << " cannot be written\n";
    throw CLI::RuntimeError(frontdesk::kExitFailedCall);
  }
  std::cout << "a blank card lies on the encoder of port " << port << " (" << file << ")\n";
}

void Remove(int port) {
  const std::string file = CardFileOfPort(port);
  std::error_code ec;
  if (std::filesystem::remove(file, ec)) {
    std::cout << "the card was taken off the encoder of port " << port << "\n";
  } else {
    std::cout << "no card lies on the encoder of port " << port << "\n";
  }
}

void Show(int port) {
  const std::string file = CardFileOfPort(port);
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open()) {
    std::cout << "no card lies on the encoder of port " << port << "\n";
    throw CLI::RuntimeError(frontdesk::kExitRefused);
  }
  if (bytes.size() != static_cast<std::size_t>(lycomm_sim::kCardFileSize)) {
    std::cout << "the card file " << file << " holds " << bytes.size() << " bytes, not "
              << lycomm_sim::kCardFileSize << "\n";
    throw CLI::RuntimeError(frontdesk::kExitRefused);
  }
  auto hex = [&](std::size_t from, std::size_t to) {
    std::string text;
    char buffer[4];
    for (std::size_t i = from; i < to; ++i) {
      std::snprintf(buffer, sizeof buffer, "%s%02X", i == from ? "" : " ",
                    static_cast<unsigned>(static_cast<uint8_t>(bytes[i])));
      text += buffer;
    }
    return text;
  };
  std::cout << "port      " << port << " (" << file << ")\n"
            << "password  " << hex(0, 4) << "\n"
            << "bytes     " << hex(4, 18) << "\n"
            << "          " << hex(18, 32) << "\n";
}

}  // namespace

void AddEncoderCommands(CLI::App& app) {
  auto* encoder = app.add_subcommand(
      "encoder", "the card lying on the simulated encoder (folder LYCOMM_SIM_DIR)");
  encoder->require_subcommand(1);
  struct Action {
    const char* name;
    const char* help;
    void (*run)(int);
  };
  for (const Action& action :
       {Action{"insert", "put a blank card on the encoder", Insert},
        Action{"remove", "take the card off the encoder", Remove},
        Action{"show", "print the card's password and 28 bytes", Show}}) {
    auto* sub = encoder->add_subcommand(action.name, action.help);
    auto port = std::make_shared<int>(0);
    sub->add_option("--port", *port, "encoder port, counted from 0")->capture_default_str();
    sub->callback([port, run = action.run] { run(*port); });
  }
}

}  // namespace tavocard
