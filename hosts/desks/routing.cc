#include "hosts/desks/routing.h"

#include <algorithm>
#include <utility>

#include "hosts/desks/answer.h"

#include "util/text.h"

namespace desks {
namespace {

// `count` figures 0-9 and nothing else.
bool Figures(const std::string& text, std::size_t count) {
  return text.size() == count && holvanter::AllFigures(text);
}

// "KR KC 2 on desk east": how the log names a routed request.
std::string Named(const fias::Record& request, const std::string& desk) {
  return request.id + " KC " + request.Value("KC") + " on desk " + desk;
}

}  // namespace

Routing::Routing(std::chrono::milliseconds queue_wait, fias::CodePage page, Answer answer)
    : queue_wait_(queue_wait), page_(page), answer_(std::move(answer)) {}

RoutingAction& Routing::Act(RoutingAction::Kind kind) {
  actions_.emplace_back().kind = kind;
  return actions_.back();
}

void Routing::Log(std::string text) { Act(RoutingAction::kLog).text = "desks: " + std::move(text); }

std::vector<RoutingAction> Routing::TakeActions() { return std::exchange(actions_, {}); }

uint64_t Routing::Joined(const std::string& desk, const Secret& secret, const RoutingTime& now) {
  if (joined_.count(desk) != 0) Leave(desk, "desk " + desk + " joined again", now);
  Desk& joined = joined_[desk];
  joined.secret = secret;
  joined.link = ++next_link_;
  return joined.link;
}

void Routing::Left(const std::string& desk, const std::string& why, const RoutingTime& now) {
  if (joined_.count(desk) != 0) Leave(desk, why, now);
}

void Routing::Leave(const std::string& desk, const std::string& why, const RoutingTime& now) {
  Log("desk " + desk + " left: " + why);
  const std::set<uint64_t> pending = std::move(joined_.at(desk).pending);
  joined_.erase(desk);
  for (uint64_t id : pending) Lose(id, "desk lost", now);
}

// A desk given up by the link desk: its requests are lost, and the hub
// closes its connection.
void Routing::Drop(const std::string& desk, const std::string& why, const RoutingTime& now) {
  const uint64_t link = joined_.at(desk).link;
  Leave(desk, why, now);
  RoutingAction& drop = Act(RoutingAction::kDrop);
  drop.desk = desk;
  drop.link = link;
  drop.text = why;
}

// The PMS hears RY; the request is kept for the desk's late word on it,
// the oldest going first.
void Routing::Lose(uint64_t id, const std::string& how, const RoutingTime& now) {
  const auto found = pending_.find(id);
  if (found == pending_.end()) return;
  const Pending lost = std::move(found->second);
  pending_.erase(found);
  if (auto desk = joined_.find(lost.desk); desk != joined_.end()) desk->second.pending.erase(id);
  auto& kept = lost_[lost.desk];
  kept[id] = {lost.request, now.stamp};
  while (kept.size() > kMostLostPerDesk) kept.erase(kept.begin());
  Log(Named(lost.request, lost.desk) + " port " + std::to_string(lost.port) + ": " + how);
  RoutingAction& answer = Act(RoutingAction::kAnswer);
  answer.id = id;
  answer.outcome = {answer_(lost.request, "RY", "desk " + lost.desk + " lost"), {}};
}

uint64_t Routing::Route(const std::string& desk, int port, const fias::Record& request,
                        const RoutingTime& now) {
  const uint64_t id = ++next_id_;
  const auto joined = joined_.find(desk);
  if (joined == joined_.end()) {
    Log(Named(request, desk) + ": not connected");
    RoutingAction& answer = Act(RoutingAction::kAnswer);
    answer.id = id;
    answer.outcome = {answer_(request, "UR", "desk " + desk + " not connected"), {}};
    return id;
  }
  // The desk answers BY itself when its encoder stays busy for the queue
  // wait; beyond that, a little for the network, it is lost.
  Pending& pending = pending_[id];
  pending = {desk, request, port, now.steady, now.steady + queue_wait_ + kNetworkGrace, false};
  joined->second.pending.insert(id);
  // A check-out or a changed stay acts on the cards of the reservation,
  // which this desk's journal knows wherever they were cut.
  if ((request.id == "KD" || request.id == "KM") && !request.Value("G#").empty()) {
    pending.waiting_cards = true;
    RoutingAction& read = Act(RoutingAction::kReadCards);
    read.desk = desk;
    read.id = id;
    read.text = request.Value("G#");
    return id;
  }
  CardsRead(id, {}, now);
  return id;
}

void Routing::CardsRead(uint64_t id, const std::vector<std::string>& cards, const RoutingTime&) {
  const auto pending = pending_.find(id);
  if (pending == pending_.end()) return;  // lost while the journal was read
  pending->second.waiting_cards = false;
  RoutingAction& send = Act(RoutingAction::kRequest);
  send.desk = pending->second.desk;
  send.link = joined_.at(send.desk).link;
  send.id = id;
  send.port = pending->second.port;
  send.record = pending->second.request;
  send.cards = cards;
}

std::optional<fias::Record> Routing::SpeakFor(const fias::Record& request,
                                              const fias::KeyOutcome& told,
                                              const std::optional<std::string>& reservation,
                                              std::string* card, std::string& why) const {
  return AnswerFor(
      request, told.answer, told.cut_card, page_,
      [&](const std::string& status) { return answer_(request, status, {}); },
      [&](const std::string& read) {
        if (card != nullptr) *card = read;
        return reservation;
      },
      why);
}

holvanter::Status Routing::Answered(const std::string& desk, uint64_t id,
                                    const fias::KeyOutcome& outcome, const RoutingTime& now) {
  if (joined_.count(desk) == 0) return holvanter::Status::Ok();
  const auto pending = pending_.find(id);
  if (pending == pending_.end() || pending->second.desk != desk ||
      pending->second.waiting_cards) {
    // Its request was answered RY already: only a request of this desk
    // that was lost may be named.
    auto& lost = lost_[desk];
    const auto found = lost.find(id);
    std::string why;
    if (found == lost.end() ||
        !SpeakFor(found->second.request, outcome, std::nullopt, nullptr, why))
      return holvanter::Status::InvalidArgument(why.empty() ? "an answer to no request of this desk"
                                                            : why);
    if (!outcome.cut_card.empty()) {
      const fias::Record& request = found->second.request;
      RoutingAction& keep = Act(RoutingAction::kJournalLost);
      keep.card = {outcome.cut_card, request.Value("G#"), request.Value("WS"),
                   found->second.routed_at};
      keep.text = "desks: desk " + desk + " cut card " + outcome.cut_card +
                  " after its key request was answered; the card and its record exist";
    }
    lost.erase(found);
    return holvanter::Status::Ok();
  }
  std::string why, card;
  const std::optional<fias::Record> answer =
      SpeakFor(pending->second.request, outcome, std::nullopt, &card, why);
  if (!answer) return holvanter::Status::InvalidArgument(why);
  const Pending done = std::move(pending->second);
  pending_.erase(pending);
  joined_.at(desk).pending.erase(id);
  if (card.empty()) {
    Finish(id, done, *answer, outcome.cut_card, now);
    return holvanter::Status::Ok();
  }
  // A card read names its reservation as the journal has it: answered once
  // the journal is read.
  reading_[id] = {done, outcome};
  RoutingAction& read = Act(RoutingAction::kReadCard);
  read.id = id;
  read.text = card;
  return holvanter::Status::Ok();
}

void Routing::CardRead(uint64_t id, const std::optional<std::string>& reservation,
                       const RoutingTime& now) {
  const auto reading = reading_.find(id);
  if (reading == reading_.end()) return;
  const Reading done = std::move(reading->second);
  reading_.erase(reading);
  std::string why;
  // Checked before the journal was read: the same answer, the reservation
  // put in.
  if (const std::optional<fias::Record> answer =
          SpeakFor(done.pending.request, done.told, reservation, nullptr, why))
    Finish(id, done.pending, *answer, done.told.cut_card, now);
}

void Routing::Finish(uint64_t id, const Pending& pending, const fias::Record& answer,
                     const std::string& cut, const RoutingTime& now) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.steady - pending.sent);
  Log(Named(pending.request, pending.desk) + " port " + std::to_string(pending.port) + ": " +
      answer.Value("AS") + " " + answer.Value("CT") + " (" + std::to_string(ms.count()) + " ms)");
  // The PMS hears of the card either way; without its journal line a key
  // read cannot name its reservation, and a check-out finds it by the room.
  // The line is written before the answer leaves.
  if (!cut.empty()) {
    RoutingAction& keep = Act(RoutingAction::kJournalCut);
    keep.card = {cut, pending.request.Value("G#"), pending.request.Value("WS"), now.stamp};
    keep.text = "desks: card " + cut + " cut on desk " + pending.desk;
  }
  RoutingAction& done = Act(RoutingAction::kAnswer);
  done.id = id;
  done.outcome = {answer, cut};
}

void Routing::Late(const std::string& desk, const fias::CutCard& card, const RoutingTime&) {
  const auto joined = joined_.find(desk);
  if (joined == joined_.end()) return;
  auto& lost = lost_[desk];
  auto match = lost.end();
  if (Figures(card.card_no, 8))
    for (auto it = lost.begin(); it != lost.end(); ++it)
      if (it->second.request.id == "KR" && it->second.request.Value("G#") == card.reservation &&
          it->second.request.Value("WS") == card.workstation)
        match = it;
  RoutingAction told;
  told.kind = match == lost.end() ? RoutingAction::kLateRefused : RoutingAction::kLateKept;
  told.desk = desk;
  told.link = joined->second.link;
  told.card.card_no = card.card_no;
  if (match == lost.end()) {
    Log("desk " + desk + " reports card " + card.card_no + " cut for G# " + card.reservation +
        " (WS " + card.workstation +
        ") whose answer was lost, but no lost request of this desk fits: not kept");
    actions_.push_back(std::move(told));
    return;
  }
  const fias::Record request = match->second.request;
  const std::string routed_at = match->second.routed_at;
  lost.erase(match);
  // The card and its record exist; the PMS heard a failure.
  RoutingAction& keep = Act(RoutingAction::kJournalLost);
  keep.card = {card.card_no, request.Value("G#"), request.Value("WS"), routed_at};
  keep.text = "desks: desk " + desk + " reports card " + card.card_no + " cut for G# " +
              request.Value("G#") + " (WS " + request.Value("WS") + ", asked " + routed_at +
              ") whose answer was lost; the card and its record exist";
  actions_.push_back(std::move(told));
}

void Routing::RegistryRead(uint64_t id,
                           const holvanter::Result<std::map<std::string, Secret>>& secrets,
                           const RoutingTime& now) {
  if (registry_asked_ == id) registry_asked_.reset();
  if (!secrets.ok()) return;  // kept as it is until the registry reads again
  std::vector<std::string> removed;
  for (const auto& [desk, joined] : joined_) {
    // A desk that joined after the read, paired again perhaps, is for the
    // next one.
    if (joined.link > id) continue;
    const auto found = secrets.value().find(desk);
    if (found == secrets.value().end() || found->second != joined.secret) removed.push_back(desk);
  }
  // A desk removed on this link desk is refused at once.
  for (const std::string& desk : removed) {
    Log("desk " + desk + " was removed or paired again: dropped");
    Drop(desk, "removed", now);
  }
}

void Routing::NoteStranger(const std::string& address, const std::string& line,
                           const RoutingTime& now) {
  Noted& noted = noted_[address];
  if (noted.shown.empty() && noted.unshown == 0) noted.since = now.steady;
  if (noted.shown.size() < kMostNotedLines && noted.shown.insert(line).second) {
    Log(line);
    return;
  }
  ++noted.unshown;
}

void Routing::Tick(const RoutingTime& now) {
  std::vector<std::pair<SteadyTime, uint64_t>> due;
  for (const auto& [id, pending] : pending_)
    if (pending.deadline <= now.steady) due.emplace_back(pending.deadline, id);
  std::sort(due.begin(), due.end());
  for (const auto& [deadline, id] : due) {
    const auto pending = pending_.find(id);
    if (pending == pending_.end()) continue;  // its desk was given up meanwhile
    const std::string desk = pending->second.desk;
    Lose(id, "desk lost, no answer in time", now);
    // A desk that does not answer is given up: it joins again when it can,
    // and reports then what it cut meanwhile.
    Drop(desk, "no answer in time", now);
  }
  if (next_watch_ && now.steady < *next_watch_) return;
  next_watch_ = now.steady + kWatchEvery;
  if (!joined_.empty() && !registry_asked_) {
    registry_asked_ = next_link_;
    Act(RoutingAction::kReadRegistry).id = next_link_;
  }
  for (auto it = noted_.begin(); it != noted_.end();) {
    if (now.steady - it->second.since < kNoteWindow) {
      ++it;
      continue;
    }
    if (it->second.unshown > 0)
      Log(std::to_string(it->second.unshown) + " more lines about connections from " + it->first +
          " in " + std::to_string(kNoteWindow.count()) +
          " s not shown (refusals, handshakes dropped)");
    it = noted_.erase(it);
  }
}

std::optional<std::chrono::steady_clock::time_point> Routing::next_deadline() const {
  std::optional<SteadyTime> next = next_watch_;
  for (const auto& [id, pending] : pending_)
    if (!next || pending.deadline < *next) next = pending.deadline;
  return next;
}

}  // namespace desks
