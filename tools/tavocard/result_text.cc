#include "tools/tavocard/result_text.h"

namespace tavocard {

std::string ResultMeaning(int code) {
  switch (code) {
    case 0:
      return "done";
    case -99:
      return "the encoder did not open";
    case -128:
      return "the card could not be read through the encoder";
    case -129:
      return "the encoder did not write the card";
    case -500:
      return "the card on the encoder has card kind 01, not a guest or villa card";
    case -600:
      return "the card on the encoder has card kind AA, not a guest or villa card";
    case -700:
      return "no guest or villa card was read: the card is blank, erased or of an unknown kind, or the encoder is not open";
    case -800:
      return "the settings file Tavoper.ini is missing";
    case -820:
      return "no database file at the path named in Tavoper.ini";
    case -840:
      return "the hotel database cannot be opened";
    case -851:
      return "the begin date is not acceptable";
    case -852:
      return "the end date is not acceptable, or the stay ends before it begins";
    case -854:
      return "the building number must be 1 to 99";
    case -855:
      return "the floor number must be 1 to 99";
    case -856:
      return "the room must be four figures";
    case -857:
      return "the two rooms must be eight figures";
    default:
      break;
  }
  if (code > 0 && code <= 255) {
    return "the encoder did not write the card (write status " + std::to_string(code) + ")";
  }
  return "result " + std::to_string(code);
}

std::string OpenPortMeaning(int code) {
  if (code == -99) return ResultMeaning(-99);
  return "the encoder is open on port " + std::to_string(code - 1) + " (library port " +
         std::to_string(code) + ")";
}

}  // namespace tavocard
