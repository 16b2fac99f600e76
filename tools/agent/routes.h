// What each API route does once the server has let the request in: body
// checks, and the card operations run on the encoder's thread.
#ifndef HOLVANTER_TOOLS_AGENT_ROUTES_H_
#define HOLVANTER_TOOLS_AGENT_ROUTES_H_

#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "holvanter/tavo_card.h"
#include "tools/agent/encoder_worker.h"

namespace agent {

// A request the agent refuses with 400; the message names the field.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FieldType { kText, kInt16, kTwoTexts };
struct FieldSpec {
  const char* name;
  FieldType type;
};

// The JSON object of `body` with exactly the fields of `fields`, each of its
// type. An empty body is an empty object. Throws BadRequest.
nlohmann::json CheckBody(const std::string& body, const std::vector<FieldSpec>& fields);

extern const std::vector<FieldSpec> kGuestFields, kVillaFields, kDecodeFields;

// An empty or all-zero room asks the component for a check-out; through an
// issue route that would erase the guest's card, so it is refused
// (BadRequest) before the issue is queued.
void RefuseCheckOutRoom(const std::string& field, const std::string& rooms);

// The card operations, on the worker's thread with its TavoCard. Each
// answers with the result code, its meaning and the card's fields.
nlohmann::json IssueGuest(EncoderWorker& worker, holvanter::TavoCard& card,
                          const nlohmann::json& in);
nlohmann::json IssueVilla(EncoderWorker& worker, holvanter::TavoCard& card,
                          const nlohmann::json& in);
nlohmann::json ReadOnEncoder(EncoderWorker& worker, holvanter::TavoCard& card);
nlohmann::json CheckOutOnEncoder(EncoderWorker& worker, holvanter::TavoCard& card);

// The newest `limit` cards of the hotel database that Tavoper.ini names.
// Throws std::runtime_error when the database cannot be read.
nlohmann::json NewestCards(int limit);

// Whether the hotel database opens: {reachable, path, message}.
nlohmann::json DatabaseHealth();

}  // namespace agent

#endif  // HOLVANTER_TOOLS_AGENT_ROUTES_H_
