// The JSON a front-desk program gets for a card: one shape for an issue, a
// read, a check-out and a decoded card image, so that a PMS reads one form.
#ifndef HOLVANTER_TOOLS_AGENT_CARD_JSON_H_
#define HOLVANTER_TOOLS_AGENT_CARD_JSON_H_

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace agent {

// What ReadCard hands back, split into its parts. `room_no` is
// "BB#FF#RRRR" for a guest card and "BB#FF#second#first" for a villa card;
// the rooms come out in the order they were issued.
struct CardFields {
  std::string card_no;  // record form, eight figures
  std::string kind;     // "guest" or "villa"
  std::optional<int> building, floor;
  std::vector<std::string> rooms;
  std::string begin, end;
};
CardFields SplitReadCard(const std::string& card_no, const std::string& room_no,
                         const std::string& begin_date, const std::string& end_date);

// The hex form (six figures) of a record-form card number, and back; empty
// when the text is no card number.
std::string HexForm(const std::string& record_form);
std::string RecordForm(const std::string& hex_form);

// {result, meaning} of a card method's result code.
nlohmann::json ResultJson(int result);

// Adds card_no, card_no_hex, kind, building, floor, rooms, begin, end.
void AddCardFields(nlohmann::json& out, const CardFields& card);

// What a raw 28-byte card image (56 hexadecimal figures) holds: the result
// that ReadCard would give for it, the card kind byte, the system code and,
// for a guest or villa card, the card's fields. Throws std::invalid_argument
// saying what is wrong with `hex` ("must be 56 hexadecimal figures ...").
nlohmann::json DecodeImageHex(const std::string& hex);

// Serialises with invalid UTF-8 (a holder name from an old database)
// replaced rather than thrown on.
std::string Dump(const nlohmann::json& j, int indent = -1);

}  // namespace agent

#endif  // HOLVANTER_TOOLS_AGENT_CARD_JSON_H_
