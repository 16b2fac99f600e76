#include "hosts/agent/http_mapping.h"

#include <cstdio>

#include "holvanter/result_codes.h"
#include "hosts/agent/card_requests.h"
#include "hosts/agent/clerk_words.h"

namespace agent {

HttpAnswer JsonAnswer(int status, const nlohmann::json& body) {
  HttpAnswer a;
  a.status = status;
  a.body = frontdesk::Dump(body);
  if (body.is_object() && body.contains("card_no") && body["card_no"].is_string())
    a.log_note = "card " + body["card_no"].get<std::string>();
  return a;
}

nlohmann::json ErrorObject(const std::string& code, const std::string& message,
                           const std::string& field, std::optional<int> result) {
  nlohmann::json error{{"code", code}, {"message", message}};
  if (!field.empty()) error["field"] = field;
  if (result) error["result"] = *result;
  return error;
}

HttpAnswer ErrorAnswer(int status, const std::string& code, const std::string& message,
                       const std::string& field) {
  // Every error the agent gives comes with the clerk's words for its code.
  return JsonAnswer(status,
                    {{"error", ErrorObject(code, message, field)}, {"clerk", ClerkWordsOfCode(code)}});
}

int StatusOfResult(int code) {
  namespace result = holvanter::result;
  switch (code) {
    case result::kDone:
      return status::kOk;
    case result::kBadBegin: case result::kBadEnd: case result::kBadBuilding:
    case result::kBadFloor: case result::kBadGuestRoom: case result::kBadVillaRooms:
      return status::kUnprocessable;
    case result::kNoCard: case result::kCardKind01: case result::kCardKindAA:
    case result::kNoOpenRecord:
      return status::kConflict;
    case result::kNoSettingsFile: case result::kNoDatabaseFile: case result::kDatabaseNotOpen:
      return status::kInternalError;
    default:  // -99, -128, -129, the encoder's write statuses
      return status::kBadGateway;
  }
}

HttpAnswer CardOperationAnswer(const frontdesk::CardAnswer& card, const std::string& words_for) {
  nlohmann::json body = frontdesk::ToJson(card);
  body.erase("error");
  body.erase("message");
  int http_status = status::kOk;
  nlohmann::json error;
  if (!card.usage_error.empty()) {
    http_status = status::kBadRequest;
    error = ErrorObject("invalid_field", card.usage_error);
  } else if (!card.refusal_code.empty()) {
    // A card whose record could not be looked up is left as it was: the
    // hotel database's trouble, which may pass (503) or not (500).
    http_status = card.refusal_code == frontdesk::kCardInUse ? status::kConflict
                  : card.refusal_code == frontdesk::kCardNotChecked
                      ? (card.refusal_may_pass ? status::kUnavailable : status::kInternalError)
                      : status::kUnprocessable;
    error = ErrorObject(card.refusal_code, card.refusal,
                        card.refusal_code == frontdesk::kUnknownRoom
                            ? (card.rooms.size() > 1 ? "rooms" : "room")
                        : card.refusal_code == frontdesk::kStayEnded ? "end"
                                                                     : "");
  } else if (card.hresult) {
    char hresult[16];
    std::snprintf(hresult, sizeof hresult, "0x%08X", static_cast<unsigned>(*card.hresult));
    http_status = status::kInternalError;
    error = ErrorObject("call_failed", std::string("the card call failed with ") + hresult +
                                           ": " + card.error_message);
    error["hresult"] = hresult;
  } else if (!card.opened || card.nothing_read) {
    http_status = status::kBadGateway;
    error = ErrorObject(frontdesk::ResultName(holvanter::result::kPortNotOpened), card.meaning,
                        "", card.result);
  } else if (card.result != holvanter::result::kDone) {
    http_status = StatusOfResult(card.result);
    error = ErrorObject(frontdesk::ResultName(card.result),
                        card.meaning + (card.reason.empty() ? "" : ": " + card.reason), "",
                        card.result);
  }
  if (!error.is_null()) body["error"] = std::move(error);
  // The clerk's words by what went wrong: a result code's own, else the
  // error's code (a refusal, a field, a failed call), never "result 0".
  const std::string operation = words_for.empty() ? card.command : words_for;
  if (http_status != status::kOk || card.result != holvanter::result::kDone)
    body["clerk"] = body.contains("error") && !body["error"].contains("result")
                        ? ClerkWordsOfCode(body["error"]["code"].get<std::string>(), operation)
                        : ClerkWordsOf(card.result, operation);
  HttpAnswer answer = JsonAnswer(http_status, body);
  // Kept under an Idempotency-Key only when it changed the cards: an answer
  // that changed nothing must not stand in the way of the retry that works.
  answer.effected = frontdesk::ChangedCards(card);
  return answer;
}

HttpAnswer BadRequestAnswer(const BadRequest& refusal) {
  return ErrorAnswer(status::kBadRequest, refusal.code, refusal.message, refusal.field);
}

HttpAnswer DatabaseFailedAnswer(const std::string& reason) {
  return ErrorAnswer(status::kInternalError, "database_failed", reason);
}

HttpAnswer StoppingAnswer(bool nothing_done) {
  return ErrorAnswer(status::kUnavailable, "agent_stopping",
                     nothing_done ? "the agent is stopping; nothing was done"
                                  : "the agent is stopping");
}

HttpAnswer EncoderBusyAnswer() {
  return ErrorAnswer(status::kUnavailable, "encoder_busy",
                     "the encoder stayed busy longer than the wait limit; nothing was done");
}

}  // namespace agent
