// The one mapping from what the front desk and the agent refuse or fail
// with to an HTTP status and the one error object,
// {"error": {code, message, field?, result?, hresult?}}, whose `code` is a
// stable name a program can switch on. Every route answers through it.
#ifndef HOLVANTER_HOSTS_AGENT_HTTP_MAPPING_H_
#define HOLVANTER_HOSTS_AGENT_HTTP_MAPPING_H_

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "hosts/agent/http_connection.h"
#include "hosts/frontdesk/frontdesk.h"

namespace agent {

struct BadRequest;

// HTTP statuses the agent answers with, by name.
namespace status {
inline constexpr int kOk = 200, kNoContent = 204, kBadRequest = 400, kUnauthorized = 401,
                     kForbidden = 403, kNotFound = 404, kMethodNotAllowed = 405,
                     kConflict = 409, kPayloadTooLarge = 413, kMisdirected = 421,
                     kUnprocessable = 422, kInternalError = 500, kBadGateway = 502,
                     kUnavailable = 503;
}

// A JSON answer; its card_no, when it has one, goes to the log line.
HttpAnswer JsonAnswer(int status, const nlohmann::json& body);

// The error object alone, and the answer that carries it.
nlohmann::json ErrorObject(const std::string& code, const std::string& message,
                           const std::string& field = "",
                           std::optional<int> result = std::nullopt);
HttpAnswer ErrorAnswer(int status, const std::string& code, const std::string& message,
                       const std::string& field = "");

// The HTTP status of a card operation's result code: the component's
// refusals of the stay are 422, a card on the encoder that does not fit the
// operation 409, the encoder failing to read or write 502, a desk whose
// hotel database cannot be reached 500.
int StatusOfResult(int code);

// A card operation's answer: the front desk's JSON answer with the clerk's
// words for its result (ClerkWordsOf, for the operation `words_for`, empty:
// its own), and for anything but success the error object beside it.
HttpAnswer CardOperationAnswer(const frontdesk::CardAnswer& card, const std::string& words_for = "");

// A request refused before anything ran: 400.
HttpAnswer BadRequestAnswer(const BadRequest& refusal);
// A hotel database that could not be read: 500 with the reason.
HttpAnswer DatabaseFailedAnswer(const std::string& reason);
// The agent is stopping: 503; `nothing_done` when a queued request is let go.
HttpAnswer StoppingAnswer(bool nothing_done = false);
// The encoder stayed busy past the queue wait: 503.
HttpAnswer EncoderBusyAnswer();

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_HTTP_MAPPING_H_
