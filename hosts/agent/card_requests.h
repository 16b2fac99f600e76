// What a card request carries, checked before anything is queued (the JSON
// bodies, the stays, the query of GET /v1/cards), and the hotel database
// look-ups of the board and the card list.
#ifndef HOLVANTER_HOSTS_AGENT_CARD_REQUESTS_H_
#define HOLVANTER_HOSTS_AGENT_CARD_REQUESTS_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/frontdesk.h"
#include "hosts/frontdesk/hotel.h"

namespace agent {

// A request the agent refuses with 400: a stable code a program can switch
// on (bad_json, unknown_field, missing_field, invalid_field,
// invalid_parameter, bad_idempotency_key), the field or query parameter
// it is about (empty: the body as a whole), and the refusal in words.
class BadRequest : public std::runtime_error {
 public:
  BadRequest(std::string code, std::string field, const std::string& message)
      : std::runtime_error(message), code_(std::move(code)), field_(std::move(field)) {}
  const std::string& code() const { return code_; }
  const std::string& field() const { return field_; }

 private:
  std::string code_, field_;
};

enum class FieldType { kText, kInt16, kTwoTexts };
struct FieldSpec {
  const char* name;
  FieldType type;
};

// The JSON object of `body` with exactly the fields of `fields`, each of its
// type. An empty body is an empty object. Throws BadRequest.
nlohmann::json CheckBody(const std::string& body, const std::vector<FieldSpec>& fields);

extern const std::vector<FieldSpec> kGuestFields, kVillaFields, kDecodeFields, kCheckOutFields;

// The optional "replace" of an issue body: true lets the issue write over a
// live card of the hotel (whose record is then closed); absent is false.
bool ReplaceAsked(const nlohmann::json& in);

// The stays of checked bodies. The front desk's guards (a room that would
// check the card on the encoder out, a room or stamp with the wrong figures)
// refuse here, before anything is queued.
frontdesk::GuestStay GuestStayOf(const nlohmann::json& in);
frontdesk::VillaStay VillaStayOf(const nlohmann::json& in);

// The value of the query parameter `name` in the request `target`, percent-
// and plus-decoded; nullopt when absent. Throws BadRequest for a value that
// is not UTF-8 text without control characters.
std::optional<std::string> QueryValue(const std::string& target, const std::string& name);

// The filter of GET /v1/cards: limit (1 to 500, default 20), room, holder,
// before (a card number, either form).
// Throws BadRequest.
frontdesk::CardFilter CardFilterOf(const std::string& target);

// The newest cards of the hotel database that Tavoper.ini names that
// `filter` lets through. Throws std::runtime_error when the database cannot
// be read.
nlohmann::json NewestCards(const frontdesk::CardFilter& filter);

// Every room of the hotel with its state, live cards and newest open card,
// in two queries for the whole hotel. Throws as NewestCards does.
nlohmann::json RoomBoard();

// Whether the hotel database opens: {reachable, path, message}.
nlohmann::json DatabaseHealth();

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_CARD_REQUESTS_H_
