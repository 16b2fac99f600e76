// Where the encoder simulator keeps the card lying on each encoder: one file
// per port in the folder named by LYCOMM_SIM_DIR (default
// ~/.local/state/holvanter/encoder), holding the card's 4-byte password and
// its 28 data bytes. Shared by the simulator and the tavocard command.
#ifndef HOLVANTER_STAND_INS_LYCOMM_SIM_SIM_CARD_FILE_H_
#define HOLVANTER_STAND_INS_LYCOMM_SIM_SIM_CARD_FILE_H_

#include <cstdlib>
#include <string>

namespace lycomm_sim {

inline constexpr int kPasswordSize = 4;
inline constexpr int kDataSize = 28;
inline constexpr int kCardFileSize = kPasswordSize + kDataSize;

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// The folder of the card files.
inline std::string CardFolder() {
  if (const char* dir = std::getenv("LYCOMM_SIM_DIR"); dir != nullptr && *dir != '\0') return dir;
  const char* home = std::getenv("HOME");
#ifdef _WIN32
  if (home == nullptr || *home == '\0') home = std::getenv("USERPROFILE");
#endif
  std::string folder = home != nullptr && *home != '\0' ? home : ".";
  for (const char* part : {".local", "state", "holvanter", "encoder"}) {
    folder += kSeparator;
    folder += part;
  }
  return folder;
}

// The card file of the encoder on `port`, counted from 1 as createCard
// counts it (the host's port 0 is the library's port 1).
inline std::string CardFile(int port) {
  return CardFolder() + kSeparator + "port" + std::to_string(port) + ".card";
}

}  // namespace lycomm_sim

#endif  // HOLVANTER_STAND_INS_LYCOMM_SIM_SIM_CARD_FILE_H_
