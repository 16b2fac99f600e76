// The front desk's card operations, shared by every host that serves a
// clerk (the tavocard command, the local agent): the room guards, the two
// forms of a card number, the full answer of a card operation, the
// check-out sequence and the exit statuses. One place, so that every host
// refuses the same input and gives the same answer.
#ifndef HOLVANTER_HOSTS_FRONTDESK_FRONTDESK_H_
#define HOLVANTER_HOSTS_FRONTDESK_FRONTDESK_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/exit_status.h"

namespace frontdesk {

// The exit status of a result code of WriteCard, VillaCard or ReadCard:
// 0 done, 2 for a write status (2 to 255) or -129, 1 for any other code.
int ExitStatusOf(int result);

// The meaning of a result code of WriteCard, VillaCard or ReadCard (a
// positive code is the encoder's write status), and of an OpenPort result,
// as the answers print it beside the code; and the form that tells a clerk
// what to do next.
std::string ResultMeaning(int code);
std::string ClerkMeaning(int code);
std::string OpenPortMeaning(int code);
// The same in at most 40 characters, for a PMS's one-line answer display.
std::string BriefMeaning(int code);
// Whether a failure of the hotel database may pass by itself: the database
// did not open (-840), or the connection to its server was lost under a
// statement (`message`: the failed call's message). So it is while the
// server restarts or its pair changes over to the standby.
bool DatabaseUnreachable(int result, const std::string& message);

// Its stable snake_case name ("bad_end", "write_status"), for programs.
std::string ResultName(int code);
// The result code of the core's table with that name; nullopt for any other
// ("write_status" stands for many).
std::optional<int> ResultCodeNamed(const std::string& name);

// A card number in both forms: the record form the hotel database and
// ReadCard use (eight decimal figures) and the hex form the issue methods
// hand out (six hexadecimal figures).
struct CardNumber {
  std::string record;  // "00000101"
  std::string hex;     // "000065"
};
std::optional<CardNumber> FromHexForm(std::string_view hex);
std::optional<CardNumber> FromRecordForm(std::string_view record);
// Either form: eight figures are the record form, up to six hexadecimal
// figures the hex form.
std::optional<CardNumber> ParseCardNumber(std::string_view text);

// The stay of a card to issue. `replace`: write over a live card of the
// hotel lying on the encoder (its record is closed as a check-out first);
// without it such a card is left as it is and the issue refused.
struct GuestStay {
  std::string begin, end;  // YYYYMMDDhhmm
  int building = 0, floor = 0;
  std::string room;        // four figures
  std::string holder;
  bool replace = false;
};
struct VillaStay {
  std::string begin, end;
  int building = 0, floor = 0;
  std::string rooms;       // eight figures: first room, second room
  std::string holder;
  bool replace = false;
};

// Guards run before any call. The component checks a card out when it is
// asked to issue for room 0000 (or an empty room) or villa rooms 00000000; a
// clerk who left the room empty must not check out the card lying on the
// encoder. Beyond that only a room of four figures (villa: eight) and
// stamps of twelve figures reach the component.
struct Refusal {
  std::string field;        // "begin", "end", "room" or "rooms"
  std::string message;      // the refusal in words
  bool checks_out = false;  // the room given would have checked the card out
};
std::optional<Refusal> RefuseStay(const GuestStay& stay);
std::optional<Refusal> RefuseStay(const VillaStay& stay);

// A card of this hotel on the encoder whose record is open: the card a new
// issue would destroy.
struct LiveCard {
  CardNumber card_no;
  std::string kind;                // "guest" or "villa"
  int building = 0, floor = 0;
  std::vector<std::string> rooms;  // first room first
  std::string holder;              // from its record
  std::string end;                 // YYYYMMDDhhmm
  bool expired = false;            // its end has passed: it opens no door
};
// The card in words: "card 00000101 (room 0105, building 1, floor 1, Li Wei,
// until 202512091200)".
std::string Describe(const LiveCard& card);
// The card as JSON: card_no, card_no_hex, kind, building, floor, rooms,
// holder, end.
nlohmann::json ToJson(const LiveCard& card);

// Refusals of an issue that the database or the encoder gives before any
// write, by their stable names: a live card on the encoder, a room the
// hotel does not have, a stay whose end has passed (the card would open
// nothing), a card on the encoder whose record could not be looked up (it
// may be a guest's: it is not written over).
inline constexpr char kCardInUse[] = "card_in_use";
inline constexpr char kUnknownRoom[] = "unknown_room";
inline constexpr char kStayEnded[] = "stay_ended";
inline constexpr char kCardNotChecked[] = "card_not_checked";

// Everything a program needs of one card operation.
struct CardAnswer {
  std::string command;                 // "issue", "villa", "checkout", "read"
  int port = 0;                        // 0-based encoder port
  // Refused before the component was called (a room guard, an unusable
  // argument): the refusal in words. No other field then counts.
  std::string usage_error;
  // Refused before any write, for a reason of the hotel or the encoder
  // (kCardInUse, kUnknownRoom, kStayEnded, kCardNotChecked): the name and
  // the refusal in words. No card field then counts; `in_use` names the
  // live card of kCardInUse. `refusal_may_pass`: the same request may
  // succeed in a moment (the hotel database could not be reached).
  std::string refusal_code;
  std::string refusal;
  bool refusal_may_pass = false;
  std::optional<LiveCard> in_use;
  // The live card this issue wrote over, its record closed first.
  std::optional<LiveCard> replaced;
  // The component's call failed outright: its HRESULT and message.
  std::optional<int32_t> hresult;
  std::string error_message;

  int result = 0;                      // the result code
  std::string meaning;                 // ResultMeaning(result)
  std::string reason;                  // why, when the component said more
  bool opened = true;                  // false: OpenPort gave `result` (-99)
  bool nothing_read = false;           // ReadCard read nothing: encoder not open
  // A card the encoder did not erase had its record closed by the
  // component, and it could not be opened again: the record now says
  // checked out while the card still opens its rooms.
  bool record_left_closed = false;
  // A check-out that was asked to look at the card first and left it as it
  // was: why. The card fields describe the card read.
  std::string withheld;

  std::optional<CardNumber> card_no;
  std::string kind;                    // "guest", "villa" or empty
  std::string holder;                  // from the card's record, when known
  int building = 0, floor = 0;         // 0 when unknown
  std::vector<std::string> rooms;      // room codes, first room first
  std::string begin, end;              // as the card or the stay gives them
};

// The live card on the encoder opened on this thread, when there is one:
// what ReadCard gave (`card_no`, `room_no`, `end` as it gives them) looked up
// in the hotel database. A card is of this hotel and live when its number
// has an open record for the same building, floor and rooms. `failure`:
// the record could not be looked up (why), so whether it is live is unknown.
struct LiveCardLookup {
  std::optional<LiveCard> live;
  std::string failure;
  bool unreachable = false;  // the failure may pass by itself
};
LiveCardLookup LiveCardOf(const std::string& card_no, const std::string& room_no,
                          const std::string& end);

// The exit status of an answer (kExit...).
int ExitStatusOf(const CardAnswer& answer);
// Whether the operation changed the hotel's cards: it wrote, erased or
// checked out a card, or may have (a call that failed outright), or left a
// record otherwise than it found it. False for a refusal before any card
// work and for an encoder that did not open, read or write while every
// record stayed as it was (an issue's number recorded for a card never
// written is closed at once, its rooms released): the same request, sent
// again once the card lies flat, does the work once.
bool ChangedCards(const CardAnswer& answer);
// The answer as one JSON object: command, port, result, meaning, reason,
// card_no (record form), card_no_hex, kind, holder, building, floor, rooms,
// begin, end; a usage error as "error": "usage" with "message"; a failed
// call as "error": its HRESULT "0x80004005" with "message" (and card_no,
// card_no_hex when a number was handed out before it). Texts that are
// not valid UTF-8 are replaced, never an abort.
nlohmann::json ToJson(const CardAnswer& answer);
// The answer as lines for a clerk; each line ends with '\n'.
std::string ToText(const CardAnswer& answer);
// A JSON text of `value` that never throws on invalid UTF-8.
std::string Dump(const nlohmann::json& value, int indent = -1);

// The operations. Each opens the encoder on `port`, makes its calls and
// closes the encoder again; none throws.
CardAnswer IssueGuestCard(int port, const GuestStay& stay);
CardAnswer IssueVillaCard(int port, const VillaStay& stay);
// Reads the card on the encoder and checks it out through VillaCard with
// rooms 00000000 (which releases every room the card carries, one room of a
// guest card or both of a villa card). The answer describes the card that
// was checked out.
CardAnswer CheckOut(int port);
// The same, but `withhold` looks at the card read first: when it gives a
// reason, the card is left on the encoder as it was and the answer's
// `withheld` holds the reason (result 0: the read succeeded).
CardAnswer CheckOut(int port, const std::function<std::string(const CardAnswer&)>& withhold);
CardAnswer ReadCardOnEncoder(int port);

// The card password the encoder link sends ahead of every image, as the
// four bytes a card carries: a blank card on the simulated encoder has it.
std::vector<uint8_t> CardPasswordBytes();

// The settings file the component reads, and what -800 and -820 looked at
// in words ("no settings file /opt/holvanter/lib/Tavoper.ini").
std::string SettingsFilePath();

}  // namespace frontdesk

#endif  // HOLVANTER_HOSTS_FRONTDESK_FRONTDESK_H_
