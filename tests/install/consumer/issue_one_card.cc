// Issues one guest card through the C++ face of an installed component and
// reads it back: prints "<version> <card number> <room>", or why it failed.
#include <holvanter/tavo_card.h>
#include <holvanter/version.h>

#include <ctime>
#include <iostream>
#include <string>

// The local day `days` from today at HH:MM, as YYYYMMDDHHMM.
static std::string Stamp(int days, const char* hhmm) {
  std::time_t at = std::time(nullptr) + days * 86400;
  char text[16];
  std::strftime(text, sizeof text, "%Y%m%d", std::localtime(&at));
  return text + std::string(hhmm);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: issue_one_card BUILDING FLOOR ROOM\n";
    return 2;
  }
  try {
    holvanter::TavoCard card;
    if (card.OpenPort(0) != 1) return std::cerr << "encoder did not open\n", 1;
    std::string card_no;
    const int16_t issued = card.WriteCard(1, Stamp(-1, "1400"), Stamp(2, "1200"), card_no,
                                          static_cast<int16_t>(std::stoi(argv[1])),
                                          static_cast<int16_t>(std::stoi(argv[2])), argv[3],
                                          "Consumer Guest");
    if (issued != 0) return std::cerr << "WriteCard=" << issued << "\n", 1;
    std::string read_no, room, begin, end;
    const int16_t read = card.ReadCard(1, read_no, room, begin, end);
    if (read != 0) return std::cerr << "ReadCard=" << read << "\n", 1;
    card.ClosePort();
    std::cout << HOLVANTER_VERSION << " " << read_no << " " << room << "\n";
  } catch (const holvanter::TavoError& e) {
    std::cerr << "failed: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
