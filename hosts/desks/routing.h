// The link desk's routing of key requests to joined desks, with no I/O in
// it: it is told which desks joined and left, which requests to route, what
// the desks answered and reported, and what time it is, and it says what to
// do: messages for desks, answers for the PMS, lines for the key link's
// journal and the log, and when it must be told the time again. The hub
// (hub.h) carries the actions out over its sockets, and reads and writes
// the journal and the desks registry on a worker, never on the network
// thread; it feeds what it read back here.
//
// A routed request is lost when its desk does not answer within the desk's
// own queue wait and kNetworkGrace: the PMS hears RY and the desk is given
// up. A request whose desk leaves is lost too. The newest kMostLostPerDesk
// lost requests of each desk are kept: a late answer or report of that desk
// may name only one of them, and is journaled with that request's
// reservation and workstation, never the desk's word for them.
#ifndef HOLVANTER_HOSTS_DESKS_ROUTING_H_
#define HOLVANTER_HOSTS_DESKS_ROUTING_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hosts/desks/mac.h"
#include "hosts/fias/codepage.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"
#include "hosts/fias/record.h"
#include "util/status.h"

namespace desks {

// Lost requests kept per desk for its late answers and reports; the oldest
// go first.
constexpr std::size_t kMostLostPerDesk = 64;
// Beyond the desk's own queue wait, the network's share before a request
// is lost.
constexpr std::chrono::seconds kNetworkGrace{2};
// How often the registry is read for desks removed or paired again, and
// the strangers' lines are summed up.
constexpr std::chrono::seconds kWatchEvery{1};
// Lines a stranger's address may bring into the log in kNoteWindow.
constexpr std::size_t kMostNotedLines = 8;
constexpr std::chrono::seconds kNoteWindow{10};

// What time it is: the steady clock for the timers, and the local wall
// clock's YYMMDDHHMMSS for the journal's request times.
struct RoutingTime {
  std::chrono::steady_clock::time_point steady;
  std::string stamp;
};

struct RoutingAction {
  enum Kind {
    kRequest,       // send request `id` (`port`, `record`, `cards`) to `desk`
    kLateKept,      // tell `desk` that its late card `card.card_no` is kept
    kLateRefused,   // tell `desk` that its late card `card.card_no` is not
    kDrop,          // close the connection of `desk`; `text` says why. The
                    // routing has already let the desk go.
    kAnswer,        // answer request `id` with `outcome`
    kReadCards,     // read the cards of reservation `text` from the journal
                    // and tell CardsRead(`id`, ...)
    kReadCard,      // read card `text` from the journal and tell
                    // CardRead(`id`, its reservation)
    kJournalCut,    // keep `card` in the journal as cut; when it cannot be
                    // kept, log it with `text` naming it
    kJournalLost,   // keep `card` in the journal as cut and unanswered, and
                    // log `text` (with why when it cannot be kept)
    kReadRegistry,  // read every paired desk's secret and tell
                    // RegistryRead(`id`, ...)
    kLog,           // log `text`
  };
  Kind kind = kLog;
  std::string desk;
  // Which joining of `desk` a message or a drop is for: a desk that joined
  // again since has its own.
  uint64_t link = 0;
  uint64_t id = 0;
  int port = 0;
  fias::Record record;
  std::vector<std::string> cards;
  fias::KeyOutcome outcome;
  fias::CutCard card;
  std::string text;
};

class Routing {
 public:
  // The key services' own answer to a request with a status and a clear
  // text (KeyService::Answer): what the PMS hears, whoever ran it.
  using Answer = std::function<fias::Record(const fias::Record& request,
                                            const std::string& status, const std::string& text)>;

  // `queue_wait`: the desks' own wait for their encoders; `page`: the
  // hotel's code page, in which a desk's clear text is cut.
  Routing(std::chrono::milliseconds queue_wait, fias::CodePage page, Answer answer);

  // Desk `desk` joined with `secret` (replacing no connection: one that
  // joined before has left first). Answers the joining's `link`.
  uint64_t Joined(const std::string& desk, const Secret& secret, const RoutingTime& now);
  // The connection of `desk` closed for `why`: its pending requests are
  // lost.
  void Left(const std::string& desk, const std::string& why, const RoutingTime& now);

  // Routes `request` to encoder `port` of `desk`; answers its id, which the
  // kAnswer for it names (at once when the desk is not joined).
  uint64_t Route(const std::string& desk, int port, const fias::Record& request,
                 const RoutingTime& now);
  // The journal's cards of the reservation of request `id` (kReadCards):
  // the request goes to its desk now, unless it was lost meanwhile.
  void CardsRead(uint64_t id, const std::vector<std::string>& cards, const RoutingTime& now);
  // The reservation the journal has for the card of request `id`'s answer
  // (kReadCard), or nullopt.
  void CardRead(uint64_t id, const std::optional<std::string>& reservation,
                const RoutingTime& now);

  // Desk `desk` answered request `id`: an answer in time goes to the PMS,
  // one to a lost request of this desk is journaled when it cut a card. An
  // answer that names no request of this desk, or does not fit it, is
  // answered with why (the hub drops the desk for it).
  holvanter::Status Answered(const std::string& desk, uint64_t id, const fias::KeyOutcome& outcome,
                             const RoutingTime& now);
  // Desk `desk` reports a card it cut for a request whose answer was lost:
  // kept only for a lost key request (KR) of this desk with the same G# and
  // WS, the newest of them.
  void Late(const std::string& desk, const fias::CutCard& card, const RoutingTime& now);

  // The registry as read for kReadRegistry `id`: a joined desk it no longer
  // pairs, or pairs with another secret, is dropped. A registry that could
  // not be read drops no one until it reads again.
  void RegistryRead(uint64_t id, const holvanter::Result<std::map<std::string, Secret>>& secrets,
                    const RoutingTime& now);

  // A connection that has not joined did something worth a line: each
  // different line from an address once in kNoteWindow, and then how many
  // were not shown.
  void NoteStranger(const std::string& address, const std::string& line, const RoutingTime& now);

  // Time passed; call at next_deadline() or sooner.
  void Tick(const RoutingTime& now);
  std::optional<std::chrono::steady_clock::time_point> next_deadline() const;

  // What to do since the last call, in order. An action that reads or
  // writes a file comes before those that must wait for it.
  std::vector<RoutingAction> TakeActions();

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;
  struct Pending {
    std::string desk;
    fias::Record request;
    int port = 0;
    SteadyTime sent;
    SteadyTime deadline;
    bool waiting_cards = false;  // kReadCards asked; not sent to the desk yet
  };
  struct Desk {
    Secret secret{};
    uint64_t link = 0;
    std::set<uint64_t> pending;  // ids in pending_
  };
  struct LostRequest {
    fias::Record request;
    std::string routed_at;  // YYMMDDHHMMSS
  };
  // An answer in time whose card read waits for the journal (kReadCard).
  struct Reading {
    Pending pending;
    fias::KeyOutcome told;
  };
  struct Noted {
    SteadyTime since;
    std::set<std::string> shown;
    uint64_t unshown = 0;
  };

  // The PMS's answer from the desk's: nullopt with `why` when the desk
  // lies; `card` names the card whose reservation the journal is to give.
  std::optional<fias::Record> SpeakFor(const fias::Record& request, const fias::KeyOutcome& told,
                                       const std::optional<std::string>& reservation,
                                       std::string* card, std::string& why) const;
  void Finish(uint64_t id, const Pending& pending, const fias::Record& answer,
              const std::string& cut, const RoutingTime& now);
  void Lose(uint64_t id, const std::string& how, const RoutingTime& now);
  void Leave(const std::string& desk, const std::string& why, const RoutingTime& now);
  void Drop(const std::string& desk, const std::string& why, const RoutingTime& now);
  void Log(std::string text);
  RoutingAction& Act(RoutingAction::Kind kind);

  const std::chrono::milliseconds queue_wait_;
  const fias::CodePage page_;
  const Answer answer_;
  uint64_t next_id_ = 0;
  uint64_t next_link_ = 0;
  std::map<std::string, Desk> joined_;
  std::map<uint64_t, Pending> pending_;
  std::map<uint64_t, Reading> reading_;
  std::map<std::string, std::map<uint64_t, LostRequest>> lost_;  // by desk and id
  std::map<std::string, Noted> noted_;                           // by address
  std::optional<SteadyTime> next_watch_;
  std::optional<uint64_t> registry_asked_;  // the link count when it was asked
  std::vector<RoutingAction> actions_;
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_ROUTING_H_
