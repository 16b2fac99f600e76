#include "hosts/desks/hub.h"

#include "hosts/desks/answer.h"
#include "hosts/desks/messages.h"
#include "hosts/fias/clock.h"
#include "hosts/fias/codepage.h"
#include "hosts/net/listener.h"

namespace desks {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// Lost requests kept per desk for its late answers and reports.
constexpr std::size_t kMostLostPerDesk = 64;
// Lines a stranger's address may bring into the log in 10 s.
constexpr std::size_t kMostNotedLines = 8;
constexpr auto kNoteWindow = std::chrono::seconds(10);

// Keeps a lost request for the desk's late word on it; the oldest go first.
template <typename Lost>
void Remember(Lost& lost, uint64_t id, const fias::Record& request, std::string routed_at) {
  lost[id] = {request, std::move(routed_at)};
  while (lost.size() > kMostLostPerDesk) lost.erase(lost.begin());
}

bool Figures(const std::string& text, std::size_t count) {
  if (text.size() != count) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

DeskHub::DeskHub(net::io_context& io, Options options, DeskRegistry& registry,
                 fias::KeyService& keys, fias::Journal& journal, Log log,
                 const hosts::Clock& clock)
    : io_(io),
      options_(std::move(options)),
      registry_(registry),
      keys_(keys),
      journal_(journal),
      log_(std::move(log)),
      clock_(clock),
      acceptor_(io),
      watch_(io) {}

std::string DeskHub::Listen() {
  boost::system::error_code ec;
  const net::ip::address ip = net::ip::make_address(options_.address, ec);
  if (ec) return "'" + options_.address + "' is no IP address";
  if (auto failed = hostnet::OpenListener(acceptor_, ip, options_.port)) return *failed;
  port_ = acceptor_.local_endpoint().port();
  Accept();
  Watch();
  return {};
}

void DeskHub::Stop() {
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  watch_.cancel();
  for (const auto& channel : std::set(handshaking_)) channel->Close("the link desk stops");
  std::vector<std::shared_ptr<Channel>> channels;
  for (auto& [name, desk] : joined_) channels.push_back(desk.channel);
  for (const auto& channel : channels) channel->Close("the link desk stops");
}

void DeskHub::Accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (stopping_) return;
    holvanter::Result<std::string> nonce = RandomBytes(kNonceBytes);
    if (!ec && !nonce.ok()) {
      // No nonce, no handshake that proves anything: this connection is
      // closed unheard, and the next one tried.
      log_("desks: a desk's connection closed unheard: " + nonce.status().message());
    } else if (!ec) {
      Session session = Session::ForLink(
          [this](const std::string& desk, Mode mode) { return Admit(desk, mode); },
          std::move(*nonce), clock_.Steady());
      auto channel = std::make_shared<Channel>(std::move(socket), std::move(session));
      std::weak_ptr<Channel> weak = channel;
      // The handlers hold the channel weakly: the hub's sets own it.
      channel->set_handlers({
          [this, weak](const SessionEvent& event) {
            if (auto channel = weak.lock()) OnEvent(channel, event);
          },
          [this, weak](const std::string& why) {
            if (auto channel = weak.lock()) OnClosed(channel, why);
          }});
      Admitted(channel);
      channel->Start();
    }
    Accept();
  });
}

// Strangers holding connections open cannot crowd the desks out: each
// handshake has kHandshakeLimit from its accept, one address holds at most
// kMostHandshakesPerAddress of them and all together kMostHandshakes, and
// the oldest goes first, so a desk that connects gets its turn.
void DeskHub::Admitted(const std::shared_ptr<Channel>& channel) {
  const auto oldest = [&](bool same_address) {
    std::shared_ptr<Channel> found;
    std::size_t count = 0;
    for (const auto& other : handshaking_) {
      if (same_address && other->address() != channel->address()) continue;
      ++count;
      if (!found || other->started() < found->started()) found = other;
    }
    return std::make_pair(found, count);
  };
  for (bool same_address : {true, false}) {
    auto [found, count] = oldest(same_address);
    if (count < (same_address ? kMostHandshakesPerAddress : kMostHandshakes)) continue;
    NoteStranger(found->address(),
                 same_address ? "dropped the oldest handshake from " + found->address() + ": " +
                                    std::to_string(kMostHandshakesPerAddress) +
                                    " pending from one address"
                              : "dropped the oldest handshake, from " + found->address() + ": " +
                                    std::to_string(kMostHandshakes) + " pending in all");
    handshaking_.erase(found);
    found->Close("too many handshakes");
  }
  handshaking_.insert(channel);
}

void DeskHub::NoteStranger(const std::string& address, const std::string& line) {
  Noted& noted = noted_[address];
  if (noted.shown.empty() && noted.unshown == 0) noted.since = clock_.Steady();
  if (noted.shown.size() < kMostNotedLines && noted.shown.insert(line).second) {
    log_("desks: " + line);
    return;
  }
  ++noted.unshown;
}

void DeskHub::NoteSummaries() {
  const auto now = clock_.Steady();
  for (auto it = noted_.begin(); it != noted_.end();) {
    if (now - it->second.since < kNoteWindow) {
      ++it;
      continue;
    }
    if (it->second.unshown > 0)
      log_("desks: " + std::to_string(it->second.unshown) + " more lines about connections from " +
           it->first + " in " + std::to_string(kNoteWindow.count()) +
           " s not shown (refusals, handshakes dropped)");
    it = noted_.erase(it);
  }
}

Admission DeskHub::Admit(const std::string& desk, Mode mode) {
  const auto unread = [&](const holvanter::Status& status) {
    log_("desks: the registry cannot be read: " + status.message());
    return Admission::Refused("the link desk cannot read its registry of desks");
  };
  if (mode == Mode::kPair) {
    // A hello only looks: the code is taken by the proof that follows,
    // right or wrong, and by nothing else.
    const holvanter::Result<DeskRegistry::Claim> peeked =
        registry_.PeekCode(desk, clock_.UnixSeconds());
    if (!peeked.ok()) return unread(peeked.status());
    const DeskRegistry::Claim& claim = peeked.value();
    if (claim.state == DeskRegistry::CodeState::kExpired)
      return Admission::Withheld("the pairing code of desk " + desk + " has expired: make a new one");
    if (claim.state != DeskRegistry::CodeState::kValid)
      return Admission::Withheld("no pairing code for desk " + desk + " (or it was used): make a new one");
    return Admission::WithKey(claim.code, [this, desk, code = claim.code](bool) -> std::string {
      const holvanter::Result<DeskRegistry::Claim> taken =
          registry_.ClaimCode(desk, clock_.UnixSeconds());
      if (!taken.ok()) {
        log_("desks: the registry cannot be read: " + taken.status().message());
        return "the link desk cannot read its registry of desks";
      }
      if (taken.value().state != DeskRegistry::CodeState::kValid || taken.value().code != code)
        return "the pairing code of desk " + desk + " was used or replaced meanwhile";
      return {};
    });
  }
  const holvanter::Result<std::optional<Secret>> secret = registry_.SecretOf(desk);
  if (!secret.ok()) return unread(secret.status());
  if (const std::optional<Secret>& known = secret.value())
    return Admission::WithKey(
        std::string(reinterpret_cast<const char*>(known->data()), known->size()));
  return Admission::Withheld("desk " + desk + " is not paired with this link desk");
}

void DeskHub::OnEvent(const std::shared_ptr<Channel>& channel, const SessionEvent& event) {
  const std::string& desk = channel->session().desk();
  switch (event.kind) {
    case SessionEvent::kJoined:
      return OnJoined(channel);
    case SessionEvent::kMessage:
      return OnMessage(channel, event.text);
    case SessionEvent::kRefused:
      NoteStranger(channel->address(), "refused desk " + (desk.empty() ? "?" : desk) + " from " +
                                           channel->address() + ": " + event.text);
      return;
    case SessionEvent::kFault:
      if (handshaking_.count(channel) != 0) {
        NoteStranger(channel->address(), "dropped desk " + (desk.empty() ? "?" : desk) +
                                             " from " + channel->address() + ": " + event.text);
        channel->Close(event.text);
        return;
      }
      return Dropped(channel, event.text);
    case SessionEvent::kTimedOut:
      if (handshaking_.count(channel) != 0)
        NoteStranger(channel->address(), "dropped a handshake from " + channel->address() +
                                             " that did not finish in " +
                                             std::to_string(kHandshakeLimit.count()) + " s");
      OnClosed(channel, event.text);
      channel->Close(event.text);
      return;
    case SessionEvent::kPing:
      channel->Send({{"type", "ping"}});  // the desk answers, so both know the other is there
      return;
  }
}

void DeskHub::OnJoined(const std::shared_ptr<Channel>& channel) {
  const std::string desk = channel->session().desk();
  handshaking_.erase(channel);
  if (channel->session().mode() == Mode::kPair) {
    const holvanter::Status kept =
        registry_.Keep(desk, channel->session().secret(), clock_.UnixSeconds());
    if (!kept.ok()) {
      log_("desks: desk " + desk + " paired but its secret cannot be kept: " + kept.message());
      channel->Close("the secret cannot be kept");
      return;
    }
  }
  // A desk joining again replaces its older connection.
  if (auto old = joined_.find(desk); old != joined_.end()) {
    auto previous = old->second.channel;
    OnClosed(previous, "desk " + desk + " joined again");
    previous->Close("joined again");
  }
  joined_[desk].channel = channel;
  last_contact_[desk] = hosts::LocalTimeText(clock_);
  log_("desks: desk " + desk + (channel->session().mode() == Mode::kPair ? " paired and" : "") +
       " joined from " + channel->peer());
  channel->Send(SettingsMessage(keys_.options()));
}

void DeskHub::OnMessage(const std::shared_ptr<Channel>& channel, const std::string& payload) {
  const std::string desk = channel->session().desk();
  last_contact_[desk] = hosts::LocalTimeText(clock_);
  const auto none = [&](const std::string& why) {
    Dropped(channel, "a message that is none: " + why);
  };
  try {
    const nlohmann::json message = nlohmann::json::parse(payload);
    const std::string type = message.at("type").get<std::string>();
    if (type == "answer") {
      // No larger than the largest record the link takes from the PMS, with
      // its values in Base64 and a few bytes of JSON around each field.
      const std::size_t size = message.at("record").dump().size();
      if (size > fias::FrameReader::kMaxRecord * 2)
        return none("an answer record of " + std::to_string(size) + " bytes");
      const holvanter::Result<fias::KeyOutcome> outcome = OutcomeOf(message);
      if (!outcome.ok()) return none(outcome.status().message());
      const holvanter::Status answered =
          Answered(desk, message.at("id").get<uint64_t>(), outcome.value());
      if (!answered.ok()) return none(answered.message());
    } else if (type == "late") {
      const holvanter::Result<fias::CutCard> card = LateCardOf(message);
      if (!card.ok()) return none(card.status().message());
      Late(channel, card.value());
    } else if (type != "pong") {  // a pong only shows the desk is there
      return none("a message of no known type");
    }
  } catch (const std::exception& e) {
    none(e.what());
  }
}

// A desk that breaks the protocol once it has joined is dropped: it is
// known, so each time is logged.
void DeskHub::Dropped(const std::shared_ptr<Channel>& channel, const std::string& why) {
  const std::string desk = channel->session().desk();
  log_("desks: dropped desk " + desk + " from " + channel->peer() + ": " + why);
  OnClosed(channel, why);
  channel->Close(why);
}

std::optional<fias::Record> DeskHub::SpeakFor(const fias::Record& request,
                                              const fias::Record& told, const std::string& cut,
                                              std::string& why) const {
  return AnswerFor(
      request, told, cut, keys_.options().code_page,
      [&](const std::string& status) { return keys_.Answer(request, status, {}); },
      [&](const std::string& card) -> std::optional<std::string> {
        if (auto found = journal_.Find(card)) return found->reservation;
        return std::nullopt;
      },
      why);
}

// A card a desk cut for a request that was answered RY: taken only for a
// request of this desk that was lost, and journaled with that request's
// reservation and workstation, never the desk's word for them.
void DeskHub::Late(const std::shared_ptr<Channel>& channel, const fias::CutCard& card) {
  const std::string desk = channel->session().desk();
  auto& lost = lost_[desk];
  auto match = lost.end();
  if (Figures(card.card_no, 8))
    for (auto it = lost.begin(); it != lost.end(); ++it)
      if (it->second.request.id == "KR" && it->second.request.Value("G#") == card.reservation &&
          it->second.request.Value("WS") == card.workstation)
        match = it;
  if (match == lost.end()) {
    log_("desks: desk " + desk + " reports card " + card.card_no + " cut for G# " +
         card.reservation + " (WS " + card.workstation +
         ") whose answer was lost, but no lost request of this desk fits: not kept");
    channel->Send({{"type", "late-refused"}, {"card", card.card_no}});
    return;
  }
  const fias::Record request = match->second.request;
  const std::string routed_at = match->second.routed_at;
  lost.erase(match);
  // The card and its record exist; the PMS heard a failure.
  const fias::CutCard cut{card.card_no, request.Value("G#"), request.Value("WS"), routed_at};
  fias::KeepUnanswered(journal_, log_,
                       "desks: desk " + desk + " reports card " + card.card_no + " cut for G# " +
                           request.Value("G#") + " (WS " + request.Value("WS") + ", asked " +
                           routed_at + ") whose answer was lost; the card and its record exist",
                       card.card_no, &cut);
  channel->Send({{"type", "late-kept"}, {"card", card.card_no}});
}

holvanter::Status DeskHub::Answered(const std::string& desk, uint64_t id,
                                    const fias::KeyOutcome& outcome) {
  auto joined = joined_.find(desk);
  if (joined == joined_.end()) return holvanter::Status::Ok();
  auto pending = joined->second.pending.find(id);
  if (pending == joined->second.pending.end()) {
    // Its request was answered RY already: only a request of this desk
    // that was lost may be named.
    auto& lost = lost_[desk];
    const auto found = lost.find(id);
    std::string why;
    if (found == lost.end() || !SpeakFor(found->second.request, outcome.answer, outcome.cut_card, why))
      return holvanter::Status::InvalidArgument(why.empty() ? "an answer to no request of this desk"
                                                            : why);
    if (!outcome.cut_card.empty()) {
      const fias::Record& request = found->second.request;
      const fias::CutCard cut{outcome.cut_card, request.Value("G#"), request.Value("WS"),
                              found->second.routed_at};
      fias::KeepUnanswered(journal_, log_,
                           "desks: desk " + desk + " cut card " + outcome.cut_card +
                               " after its key request was answered; the card and its record exist",
                           outcome.cut_card, &cut);
    }
    lost.erase(found);
    return holvanter::Status::Ok();
  }
  std::string why;
  std::optional<fias::Record> answer =
      SpeakFor(pending->second.request, outcome.answer, outcome.cut_card, why);
  if (!answer) return holvanter::Status::InvalidArgument(why);
  Pending done = std::move(pending->second);
  joined->second.pending.erase(pending);
  done.timer->cancel();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Steady() -
                                                                        done.sent);
  log_("desks: " + done.request.id + " KC " + done.request.Value("KC") + " on desk " + desk +
       " port " + std::to_string(done.port) + ": " + answer->Value("AS") + " " +
       answer->Value("CT") + " (" + std::to_string(ms.count()) + " ms)");
  // The PMS hears of the card either way; without its journal line a key
  // read cannot name its reservation, and a check-out finds it by the room.
  if (!outcome.cut_card.empty())
    fias::LogUnkept(log_, "desks: card " + outcome.cut_card + " cut on desk " + desk,
                    journal_.Cut({outcome.cut_card, done.request.Value("G#"),
                                  done.request.Value("WS"), fias::Stamp(clock_)}));
  done.done({std::move(*answer), outcome.cut_card});
  return holvanter::Status::Ok();
}

void DeskHub::Route(const std::string& desk, int port, const fias::Record& request,
                    std::function<void(fias::KeyOutcome)> done) {
  auto joined = joined_.find(desk);
  if (joined == joined_.end() || !joined->second.channel->open()) {
    log_("desks: " + request.id + " KC " + request.Value("KC") + " on desk " + desk +
         ": not connected");
    done({keys_.Answer(request, "UR", "desk " + desk + " not connected"), {}});
    return;
  }
  const uint64_t id = ++next_id_;
  Pending pending{request, port, std::move(done), std::make_shared<net::steady_timer>(io_),
                  clock_.Steady()};
  // The desk answers BY itself when its encoder stays busy for the queue
  // wait; beyond that, a little for the network, it is lost.
  pending.timer->expires_after(options_.queue_wait + std::chrono::seconds(2));
  pending.timer->async_wait([this, desk, id](boost::system::error_code ec) {
    if (!ec) Lost(desk, id);
  });
  joined->second.pending.emplace(id, std::move(pending));
  // A check-out or a changed stay acts on the cards of the reservation,
  // which this desk's journal knows wherever they were cut.
  std::vector<std::string> cards;
  if ((request.id == "KD" || request.id == "KM") && !request.Value("G#").empty())
    cards = journal_.CardsOf(request.Value("G#"));
  joined->second.channel->Send(RequestMessage(id, port, request, cards));
}

void DeskHub::Lost(const std::string& desk, uint64_t id) {
  auto joined = joined_.find(desk);
  if (joined == joined_.end()) return;
  auto pending = joined->second.pending.find(id);
  if (pending == joined->second.pending.end()) return;
  Pending lost = std::move(pending->second);
  joined->second.pending.erase(pending);
  log_("desks: " + lost.request.id + " KC " + lost.request.Value("KC") + " on desk " + desk +
       " port " + std::to_string(lost.port) + ": desk lost, no answer in time");
  Remember(lost_[desk], id, lost.request, fias::Stamp(clock_));
  lost.done({keys_.Answer(lost.request, "RY", "desk " + desk + " lost"), {}});
  // A desk that does not answer is given up: it joins again when it can,
  // and reports then what it cut meanwhile.
  auto channel = joined->second.channel;
  OnClosed(channel, "no answer in time");
  channel->Close("no answer in time");
}

void DeskHub::OnClosed(const std::shared_ptr<Channel>& channel, const std::string& why) {
  handshaking_.erase(channel);
  const std::string desk = channel->session().desk();
  auto joined = joined_.find(desk);
  if (joined == joined_.end() || joined->second.channel != channel) return;
  log_("desks: desk " + desk + " left: " + why);
  std::map<uint64_t, Pending> pending = std::move(joined->second.pending);
  joined_.erase(joined);
  for (auto& [id, lost] : pending) {
    lost.timer->cancel();
    Remember(lost_[desk], id, lost.request, fias::Stamp(clock_));
    log_("desks: " + lost.request.id + " KC " + lost.request.Value("KC") + " on desk " + desk +
         " port " + std::to_string(lost.port) + ": desk lost");
    lost.done({keys_.Answer(lost.request, "RY", "desk " + desk + " lost"), {}});
  }
}

void DeskHub::Watch() {
  watch_.expires_after(std::chrono::seconds(1));
  watch_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopping_) return;
    std::vector<std::shared_ptr<Channel>> removed;
    for (auto& [desk, joined] : joined_) {
      // A desk removed on this link desk is refused at once.
      const holvanter::Result<std::optional<Secret>> secret = registry_.SecretOf(desk);
      if (!secret.ok()) continue;  // kept as it is until the registry reads again
      if (!secret.value() || *secret.value() != joined.channel->session().secret()) {
        log_("desks: desk " + desk + " was removed or paired again: dropped");
        removed.push_back(joined.channel);
      }
    }
    for (const auto& channel : removed) {
      OnClosed(channel, "removed");
      channel->Close("removed");
    }
    NoteSummaries();
    Watch();
  });
}

nlohmann::json DeskHub::Status() const {
  nlohmann::json desks = nlohmann::json::array();
  std::set<std::string> names;
  for (const auto& [desk, coders] : options_.coders) names.insert(desk);
  for (const auto& [desk, joined] : joined_) names.insert(desk);
  for (const std::string& desk : names) {
    const auto coders = options_.coders.find(desk);
    const auto joined = joined_.find(desk);
    const auto contact = last_contact_.find(desk);
    desks.push_back(
        {{"name", desk},
         {"coders", coders == options_.coders.end() ? std::vector<std::string>{} : coders->second},
         {"joined", joined != joined_.end()},
         {"address", joined != joined_.end() ? nlohmann::json(joined->second.channel->peer())
                                             : nlohmann::json(nullptr)},
         {"last_contact", contact != last_contact_.end() ? nlohmann::json(contact->second)
                                                         : nlohmann::json(nullptr)}});
  }
  return desks;
}

}  // namespace desks
