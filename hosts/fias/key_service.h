// What the key system does with a key record of the PMS: a key request (KR)
// cuts a guest or villa card, a key delete (KD) checks the stay out (the
// card on the encoder, or the records alone when the guest kept the card),
// a key change (KM) moves or extends a reservation's stay, a key read (KZ)
// reads the card; each through the front-desk layer, exactly as the
// tavocard command would, and each answered with the record the PMS shows
// its clerk. Every other record is answered UR: the PMS never asks twice.
//
// Planning a request needs no encoder: what can be refused from the record
// alone (an unknown key coder, a one-shot key, a stay that is no stay) is
// answered at once. The rest runs on the encoder worker of the coder's port.
#ifndef HOLVANTER_HOSTS_FIAS_KEY_SERVICE_H_
#define HOLVANTER_HOSTS_FIAS_KEY_SERVICE_H_

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hosts/fias/codepage.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/link.h"
#include "hosts/fias/record.h"

namespace fias {

// A room of the hotel: building, floor and the room as RoomList holds it.
struct RoomPlace {
  int building = 0, floor = 0;
  std::string room;
  bool operator==(const RoomPlace&) const = default;
};

// "1,2,0203" as a place; nullopt when it is not building, floor and room
// of four figures.
std::optional<RoomPlace> ParseRoomPlace(const std::string& text);

// Where a key coder cuts: an encoder port of this agent, or of a desk that
// joined it (`desk` names it).
struct Coder {
  std::string desk;
  int port = 0;
  bool operator==(const Coder&) const = default;
};

struct KeyServiceOptions {
  std::map<std::string, Coder> coders;     // KC -> encoder; empty: all to default_port
  int default_port = 0;                    // the agent's own encoder
  std::map<std::string, RoomPlace> rooms;  // PMS room -> place, ahead of RoomList
  int checkout_minutes = 12 * 60;          // the hotel's check-out time of day
  int checkin_minutes = 14 * 60;           // the hotel's check-in time: a later arrival's start
  CodePage code_page = CodePage::kWindows1252;
};

// The answer to a request, and the card it cut (record form), if any: a cut
// card whose answer cannot be sent is journaled as unanswered.
struct KeyOutcome {
  Record answer;
  std::string cut_card;
};

struct KeyJob {
  std::optional<Record> answer;      // answered at once
  int port = -1;                     // otherwise: the encoder port it runs on
  std::string desk;                  // on a joined desk (run is then empty), or here
  std::function<KeyOutcome()> run;   // on that port's worker
};

class KeyService {
 public:
  // `now` gives the wall clock for DA and TI of answers and for a stay that
  // begins now; `log` hears of a cut card the journal could not keep (from
  // the encoder's worker thread).
  KeyService(KeyServiceOptions options, Journal& journal, std::function<Moment()> now, Log log);

  // The plan for a KR, KD, KM or KZ; any other record is refused at once.
  KeyJob Plan(const Record& request) const;
  // The plan on encoder `port` of this agent, whatever the coder: a joined
  // desk's part of a request routed to it. `reservation_cards`: the cards
  // the link cut for the request's G#, as the link desk's journal knows
  // them (null: this journal's).
  KeyJob PlanOn(const Record& request, int port,
                const std::vector<std::string>* reservation_cards = nullptr) const;
  // The answer when the request's encoder stayed busy past the queue wait.
  Record Busy(const Record& request) const;

  // The answer record to `request` with status AS and clear text CT.
  Record Answer(const Record& request, const std::string& status,
                const std::string& text) const;

  const KeyServiceOptions& options() const { return options_; }

 private:
  KeyJob PlanKeyRequest(const Record& request, int port) const;
  KeyJob PlanKeyDelete(const Record& request, int port, std::vector<std::string> cards) const;
  KeyJob PlanKeyChange(const Record& request, int port, std::vector<std::string> cards) const;
  KeyJob PlanKeyRead(const Record& request, int port) const;

  KeyServiceOptions options_;
  Journal& journal_;
  std::function<Moment()> now_;
  Log log_;
};

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_KEY_SERVICE_H_
