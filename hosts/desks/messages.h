// The messages a desk and the link desk exchange inside sealed frames:
// JSON objects with a "type". A key record travels as the bytes the PMS
// sent, base64-encoded, since a guest's name in the hotel's code page need
// not be UTF-8.
//   site       link -> desk  the link desk's key settings: checkout_minutes,
//                            checkin_minutes, code_page, rooms (PMS room -> "B,F,ROOM")
//   request    link -> desk  id, port, record
//   answer     desk -> link  id, record, cut (the card number, or "")
//   late       desk -> link  card, reservation, workstation, requested_at
//   late-kept  link -> desk  card
//   ping, pong
#ifndef HOLVANTER_HOSTS_DESKS_MESSAGES_H_
#define HOLVANTER_HOSTS_DESKS_MESSAGES_H_

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"
#include "hosts/fias/record.h"
#include "util/status.h"

namespace desks {

// Each *Of answers a message that is not what it should be (a field
// missing, of another type, or a value that is none) with why.
// The key settings message; its type on the wire is "site", as desks
// already in service send and expect it.
inline constexpr const char* kSettingsType = "site";
nlohmann::json SettingsMessage(const fias::KeyServiceOptions& settings);
holvanter::Result<fias::KeyServiceOptions> SettingsOf(const nlohmann::json& message);

// A key record routed to a desk, with the cards the link cut for its G#
// (a check-out or a changed stay finds them by the link desk's journal).
nlohmann::json RequestMessage(uint64_t id, int port, const fias::Record& request,
                              const std::vector<std::string>& reservation_cards);
holvanter::Result<fias::Record> RecordOf(const nlohmann::json& message);
holvanter::Result<std::vector<std::string>> ReservationCardsOf(const nlohmann::json& message);

nlohmann::json AnswerMessage(uint64_t id, const fias::KeyOutcome& outcome);
holvanter::Result<fias::KeyOutcome> OutcomeOf(const nlohmann::json& message);

nlohmann::json LateMessage(const fias::CutCard& card);
holvanter::Result<fias::CutCard> LateCardOf(const nlohmann::json& message);

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_MESSAGES_H_
