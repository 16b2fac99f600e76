// What a card request carries, checked before anything is queued (the JSON
// bodies, the stays, the query of GET /v1/cards), and the hotel database
// look-ups of the board and the card list.
#ifndef HOLVANTER_HOSTS_AGENT_CARD_REQUESTS_H_
#define HOLVANTER_HOSTS_AGENT_CARD_REQUESTS_H_

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/frontdesk/frontdesk.h"
#include "hosts/frontdesk/hotel.h"
#include "util/status.h"

namespace agent {

// A request the agent refuses with 400: a stable code a program can switch
// on (bad_json, unknown_field, missing_field, invalid_field,
// invalid_parameter, unknown_parameter, bad_idempotency_key), the field or
// query parameter it is about (empty: the body as a whole), and the
// refusal in words.
struct BadRequest {
  std::string code, field, message;
};

// What a request carries, checked: the value, or why it is refused.
template <typename T>
class [[nodiscard]] Checked {
 public:
  Checked(T value) : value_(std::move(value)) {}             // NOLINT: a value converts
  Checked(BadRequest refusal) : value_(std::move(refusal)) {}  // NOLINT: so does a refusal
  const BadRequest* refusal() const { return std::get_if<BadRequest>(&value_); }
  const T& operator*() const { return std::get<T>(value_); }
  const T* operator->() const { return &std::get<T>(value_); }

 private:
  std::variant<T, BadRequest> value_;
};

enum class FieldType { kText, kInt16, kTwoTexts };
struct FieldSpec {
  const char* name;
  FieldType type;
};

// The JSON object of `body` with exactly the fields of `fields`, each of its
// type. An empty body is an empty object.
Checked<nlohmann::json> CheckBody(const std::string& body, const std::vector<FieldSpec>& fields);

extern const std::vector<FieldSpec> kGuestFields, kVillaFields, kDecodeFields, kCheckOutFields;

// The optional "replace" of an issue body: true lets the issue write over a
// live card of the hotel (whose record is then closed); absent is false.
bool ReplaceAsked(const nlohmann::json& in);

// The stays of checked bodies. The front desk's guards (a room that would
// check the card on the encoder out, a room or stamp with the wrong figures)
// refuse here, before anything is queued.
Checked<frontdesk::GuestStay> GuestStayOf(const nlohmann::json& in);
Checked<frontdesk::VillaStay> VillaStayOf(const nlohmann::json& in);

// The value of the query parameter `name` in the request `target`, percent-
// and plus-decoded; nullopt when absent. Refused: a value that is not
// UTF-8 text without control characters.
Checked<std::optional<std::string>> QueryValue(const std::string& target, const std::string& name);

// The first query parameter of `target` that is not one of `known`, refused
// as an unknown body field is (unknown_parameter, naming it), or one given
// twice (invalid_parameter); nullopt when every parameter is known.
std::optional<BadRequest> UnknownQueryParameter(const std::string& target,
                                                const std::vector<std::string>& known);

// The filter of GET /v1/cards: limit (1 to 500, default 20), room, holder,
// before (a card number, either form).
Checked<frontdesk::CardFilter> CardFilterOf(const std::string& target);

// The newest cards of the hotel database that Tavoper.ini names that
// `filter` lets through; a database failure when it cannot be read.
holvanter::Result<nlohmann::json> NewestCards(const frontdesk::CardFilter& filter);

// Every room of the hotel with its state, live cards and newest open card,
// in two queries for the whole hotel; failing as NewestCards does.
holvanter::Result<nlohmann::json> RoomBoard();

// Whether the hotel database opens: {reachable, path (null when no
// settings name one), message}.
nlohmann::json DatabaseHealth();

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_CARD_REQUESTS_H_
