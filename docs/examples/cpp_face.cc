// The C++ face: open the encoder, issue a guest card, read it back, check it
// out, close the encoder. It needs a hotel named by the Tavoper.ini beside
// libholvanter.so (tavocard hotel init) and a blank card on the encoder of
// port 0. Prints each result; exits 1 when a step did not do its work.
//
//   g++ -std=c++17 cpp_face.cc $(pkg-config --cflags --libs holvanter)
#include <holvanter/tavo_card.h>

#include <cstdio>
#include <ctime>
#include <string>

using holvanter::TavoCard;

// Prints the step's result code and, when it is not 0, why.
bool Done(const TavoCard& card, const char* step, int16_t result) {
  std::printf("%s=%d\n", step, result);
  if (result == holvanter::result::kDone) return true;
  std::fprintf(stderr, "%s: %s\n", step, card.LastFailureReason().c_str());
  return false;
}

// The stamp YYYYMMDDhhmm of hour:00 local time, the given number of days from
// today.
std::string Stamp(int days, int hour) {
  const std::time_t now = std::time(nullptr);
  std::tm day = *std::localtime(&now);
  day.tm_mday += days;  // std::mktime carries it into the next month or year
  day.tm_hour = hour;
  day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  std::mktime(&day);
  char text[13];
  std::strftime(text, sizeof text, "%Y%m%d%H%M", &day);
  return text;
}

int main() {
  try {
    TavoCard card;
    const int32_t handle = card.OpenPort(0);  // port + 1 when the encoder opened, else -99
    std::printf("OpenPort=%d\n", handle);
    if (handle != 1) return 1;

    // A guest card for room 0203 on floor 2 of building 1, from today 14:00
    // to the day after tomorrow 12:00. CardNo receives the new card number as
    // six hexadecimal figures.
    const std::string stay_begin = Stamp(0, 14), stay_end = Stamp(2, 12);
    std::string card_no;
    if (!Done(card, "WriteCard",
              card.WriteCard(handle, stay_begin, stay_end, card_no, 1, 2, "0203", "Li Wei")))
      return 1;
    std::printf("card number (hex) %s\n", card_no.c_str());

    // ReadCard gives the card number in eight figures, the rooms as
    // "BB#FF#RRRR", the begin day and the end.
    std::string read_no, rooms, begin, end;
    if (!Done(card, "ReadCard", card.ReadCard(handle, read_no, rooms, begin, end))) return 1;
    std::printf("card %s rooms %s begin %s end %s\n", read_no.c_str(), rooms.c_str(),
                begin.c_str(), end.c_str());

    // Room 0000 checks the card on the encoder out: its rooms are released,
    // its record closed and the card erased. The stamps must still be
    // acceptable ones; the check-out does not use them.
    std::string unused;
    if (!Done(card, "check-out",
              card.WriteCard(handle, stay_begin, stay_end, unused, 1, 2, "0000", "")))
      return 1;

    std::printf("ClosePort=%d\n", card.ClosePort());
  } catch (const holvanter::TavoError& e) {
    // A failure without a result code (a database statement, a missing
    // encoder library), with the HRESULT that COM would return.
    std::fprintf(stderr, "failed (0x%08X): %s\n", static_cast<unsigned>(e.hresult()), e.what());
    return 1;
  }
  return 0;
}
