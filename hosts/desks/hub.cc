#include "hosts/desks/hub.h"

#include "hosts/desks/messages.h"
#include "hosts/fias/clock.h"
#include "hosts/fias/codepage.h"
#include "hosts/net/listener.h"

namespace desks {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// The actions on a file: the journal's and the registry's.
bool OnFile(const RoutingAction& action) {
  switch (action.kind) {
    case RoutingAction::kReadCards:
    case RoutingAction::kReadCard:
    case RoutingAction::kJournalCut:
    case RoutingAction::kJournalLost:
    case RoutingAction::kReadRegistry:
      return true;
    default:
      return false;
  }
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
      timer_(io),
      routing_(options_.queue_wait, keys.options().code_page,
               [&keys](const fias::Record& request, const std::string& status,
                       const std::string& text) { return keys.Answer(request, status, text); }) {}

DeskHub::~DeskHub() { worker_.join(); }

std::string DeskHub::Listen() {
  boost::system::error_code ec;
  const net::ip::address ip = net::ip::make_address(options_.address, ec);
  if (ec) return "'" + options_.address + "' is no IP address";
  if (auto failed = hostnet::OpenListener(acceptor_, ip, options_.port)) return *failed;
  port_ = acceptor_.local_endpoint().port();
  Accept();
  routing_.Tick(Now());
  Carry();
  return {};
}

void DeskHub::Stop() {
  stopping_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  timer_.cancel();
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
  routing_.NoteStranger(address, line, Now());
  Carry();
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
  joined_[desk] = {channel, routing_.Joined(desk, channel->session().secret(), Now())};
  last_contact_[desk] = hosts::LocalTimeText(clock_);
  log_("desks: desk " + desk + (channel->session().mode() == Mode::kPair ? " paired and" : "") +
       " joined from " + channel->peer());
  channel->Send(SettingsMessage(keys_.options()));
  Carry();
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
          routing_.Answered(desk, message.at("id").get<uint64_t>(), outcome.value(), Now());
      Carry();
      if (!answered.ok()) return none(answered.message());
    } else if (type == "late") {
      const holvanter::Result<fias::CutCard> card = LateCardOf(message);
      if (!card.ok()) return none(card.status().message());
      routing_.Late(desk, card.value(), Now());
      Carry();
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

void DeskHub::Route(const std::string& desk, int port, const fias::Record& request,
                    std::function<void(fias::KeyOutcome)> done) {
  waiting_[routing_.Route(desk, port, request, Now())] = std::move(done);
  Carry();
}

void DeskHub::OnClosed(const std::shared_ptr<Channel>& channel, const std::string& why) {
  handshaking_.erase(channel);
  const std::string desk = channel->session().desk();
  auto joined = joined_.find(desk);
  if (joined == joined_.end() || joined->second.channel != channel) return;
  joined_.erase(joined);
  routing_.Left(desk, why, Now());
  Carry();
}

RoutingTime DeskHub::Now() const { return {clock_.Steady(), fias::Stamp(clock_)}; }

void DeskHub::Carry() { Carry(routing_.TakeActions()); }

void DeskHub::Carry(std::vector<RoutingAction> actions) {
  for (std::size_t i = 0; i < actions.size(); ++i) {
    if (!OnFile(actions[i])) {
      CarryOut(actions[i]);
      continue;
    }
    // No file is read or written on the network thread. The worker takes
    // the actions on files in a row; what they read goes back to the
    // routing, and the actions after them follow: an answer leaves once
    // its card is in the journal.
    actions.erase(actions.begin(), actions.begin() + static_cast<std::ptrdiff_t>(i));
    net::post(worker_, [this, actions = std::move(actions)]() mutable {
      std::vector<std::function<void()>> results;
      std::size_t done = 0;
      for (; done < actions.size() && OnFile(actions[done]); ++done)
        results.push_back(OnWorker(actions[done]));
      actions.erase(actions.begin(), actions.begin() + static_cast<std::ptrdiff_t>(done));
      net::post(io_, [this, results = std::move(results), rest = std::move(actions)]() mutable {
        for (const auto& result : results) result();
        std::vector<RoutingAction> next = routing_.TakeActions();
        next.insert(next.begin(), std::make_move_iterator(rest.begin()),
                    std::make_move_iterator(rest.end()));
        Carry(std::move(next));
      });
    });
    break;
  }
  Arm();
}

std::function<void()> DeskHub::OnWorker(const RoutingAction& action) {
  switch (action.kind) {
    case RoutingAction::kReadCards:
      return [this, id = action.id, cards = journal_.CardsOf(action.text)] {
        routing_.CardsRead(id, cards, Now());
      };
    case RoutingAction::kReadCard: {
      std::optional<std::string> reservation;
      if (std::optional<fias::CutCard> found = journal_.Find(action.text))
        reservation = found->reservation;
      return [this, id = action.id, reservation] { routing_.CardRead(id, reservation, Now()); };
    }
    case RoutingAction::kJournalCut:
      return [this, what = action.text, why = journal_.Cut(action.card)] {
        fias::LogUnkept(log_, what, why);
      };
    case RoutingAction::kJournalLost: {
      std::vector<std::string> lines;
      fias::KeepUnanswered(
          journal_, [&lines](const std::string& line) { lines.push_back(line); }, action.text,
          action.card.card_no, &action.card);
      return [this, lines] {
        for (const std::string& line : lines) log_(line);
      };
    }
    case RoutingAction::kReadRegistry:
      return [this, id = action.id, secrets = registry_.Secrets()] {
        routing_.RegistryRead(id, secrets, Now());
      };
    default:
      return [] {};
  }
}

std::shared_ptr<Channel> DeskHub::ChannelOf(const std::string& desk, uint64_t link) const {
  const auto joined = joined_.find(desk);
  if (joined == joined_.end() || joined->second.link != link) return nullptr;
  return joined->second.channel;
}

void DeskHub::CarryOut(const RoutingAction& action) {
  switch (action.kind) {
    case RoutingAction::kRequest:
      if (auto channel = ChannelOf(action.desk, action.link))
        channel->Send(RequestMessage(action.id, action.port, action.record, action.cards));
      return;
    case RoutingAction::kLateKept:
    case RoutingAction::kLateRefused:
      if (auto channel = ChannelOf(action.desk, action.link))
        channel->Send({{"type", action.kind == RoutingAction::kLateKept ? "late-kept"
                                                                         : "late-refused"},
                       {"card", action.card.card_no}});
      return;
    case RoutingAction::kDrop:
      if (auto channel = ChannelOf(action.desk, action.link)) {
        joined_.erase(action.desk);
        channel->Close(action.text);
      }
      return;
    case RoutingAction::kAnswer: {
      const auto waiting = waiting_.find(action.id);
      if (waiting == waiting_.end()) return;
      const auto done = std::move(waiting->second);
      waiting_.erase(waiting);
      done(action.outcome);
      return;
    }
    case RoutingAction::kLog:
      log_(action.text);
      return;
    default:
      return;
  }
}

void DeskHub::Arm() {
  const std::optional<hosts::SteadyTime> deadline = routing_.next_deadline();
  if (stopping_ || !deadline || deadline == armed_) return;
  armed_ = deadline;
  timer_.expires_after(*deadline - clock_.Steady());
  timer_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopping_) return;
    armed_.reset();
    routing_.Tick(Now());
    Carry();
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
