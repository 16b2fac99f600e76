#include "hosts/desks/hub.h"

#include <ctime>

#include "hosts/desks/messages.h"
#include "hosts/fias/link_client.h"

namespace desks {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMostHandshakes = 32;

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string LocalTime(std::chrono::system_clock::time_point at) {
  const std::time_t t = std::chrono::system_clock::to_time_t(at);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

}  // namespace

DeskHub::DeskHub(net::io_context& io, Options options, DeskRegistry& registry,
                 fias::KeyService& keys, fias::Journal& journal, Log log)
    : io_(io),
      options_(std::move(options)),
      registry_(registry),
      keys_(keys),
      journal_(journal),
      log_(std::move(log)),
      acceptor_(io),
      watch_(io) {}

std::string DeskHub::Listen() {
  boost::system::error_code ec;
  const tcp::endpoint endpoint(net::ip::make_address(options_.address, ec), options_.port);
  if (ec) return "'" + options_.address + "' is no IP address";
  acceptor_.open(endpoint.protocol(), ec);
#ifndef _WIN32
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
#endif
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return ec.message();
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
    if (!ec && handshaking_.size() >= kMostHandshakes) {
      // Strangers holding connections open cannot crowd the desks out for
      // long: each handshake has kHandshakeLimit to finish.
      boost::system::error_code ignored;
      socket.close(ignored);
    } else if (!ec) {
      Session session = Session::ForLink(
          [this](const std::string& desk, Mode mode) { return Admit(desk, mode); },
          RandomBytes(kNonceBytes));
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
      handshaking_.insert(channel);
      channel->Start();
    }
    Accept();
  });
}

Admission DeskHub::Admit(const std::string& desk, Mode mode) {
  try {
    if (mode == Mode::kPair) {
      const DeskRegistry::Claim claim = registry_.ClaimCode(desk, UnixNow());
      if (claim.state == DeskRegistry::CodeState::kValid) return {{}, claim.code};
      if (claim.state == DeskRegistry::CodeState::kExpired)
        return {"the pairing code of desk " + desk + " has expired: make a new one", {}};
      return {"no pairing code for desk " + desk + " (or it was used): make a new one", {}};
    }
    if (const std::optional<Secret> secret = registry_.SecretOf(desk))
      return {{}, std::string(reinterpret_cast<const char*>(secret->data()), secret->size())};
    return {"desk " + desk + " is not paired with this link desk", {}};
  } catch (const DeskError& e) {
    log_(std::string("desks: the registry cannot be read: ") + e.what());
    return {"the link desk cannot read its registry of desks", {}};
  }
}

void DeskHub::OnEvent(const std::shared_ptr<Channel>& channel, const SessionEvent& event) {
  const std::string& desk = channel->session().desk();
  switch (event.kind) {
    case SessionEvent::kJoined:
      return OnJoined(channel);
    case SessionEvent::kMessage:
      return OnMessage(channel, event.text);
    case SessionEvent::kRefused:
      log_("desks: refused desk " + (desk.empty() ? "?" : desk) + " from " + channel->peer() +
           ": " + event.text);
      return;
    case SessionEvent::kFault:
      log_("desks: dropped desk " + (desk.empty() ? "?" : desk) + " from " + channel->peer() +
           ": " + event.text);
      channel->Close(event.text);
      return;
  }
}

void DeskHub::OnJoined(const std::shared_ptr<Channel>& channel) {
  const std::string desk = channel->session().desk();
  handshaking_.erase(channel);
  if (channel->session().mode() == Mode::kPair) {
    try {
      registry_.Keep(desk, channel->session().secret(), UnixNow());
    } catch (const DeskError& e) {
      log_("desks: desk " + desk + " paired but its secret cannot be kept: " + e.what());
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
  last_contact_[desk] = std::chrono::system_clock::now();
  log_("desks: desk " + desk + (channel->session().mode() == Mode::kPair ? " paired and" : "") +
       " joined from " + channel->peer());
  channel->Send(SiteMessage(keys_.options()));
}

void DeskHub::OnMessage(const std::shared_ptr<Channel>& channel, const std::string& payload) {
  const std::string desk = channel->session().desk();
  last_contact_[desk] = std::chrono::system_clock::now();
  nlohmann::json message;
  try {
    message = nlohmann::json::parse(payload);
    const std::string type = message.at("type").get<std::string>();
    if (type == "answer") {
      Answered(desk, message.at("id").get<uint64_t>(), OutcomeOf(message));
    } else if (type == "late") {
      const fias::CutCard card = LateCardOf(message);
      // The card and its record exist; the PMS heard a failure.
      journal_.Cut(card);
      journal_.Unanswered(card.card_no);
      log_("desks: desk " + desk + " reports card " + card.card_no + " cut for G# " +
           card.reservation + " (WS " + card.workstation + ", asked " + card.requested_at +
           ") whose answer was lost; the card and its record exist");
      channel->Send({{"type", "late-kept"}, {"card", card.card_no}});
    }
    // "pong" only shows the desk is there.
  } catch (const std::exception& e) {
    log_("desks: desk " + desk + " sent a message that is none: " + e.what());
    channel->Close("a message that is none");
  }
}

void DeskHub::Answered(const std::string& desk, uint64_t id, const fias::KeyOutcome& outcome) {
  auto joined = joined_.find(desk);
  auto pending = joined == joined_.end() ? decltype(joined->second.pending)::iterator()
                                         : joined->second.pending.find(id);
  if (joined == joined_.end() || pending == joined->second.pending.end()) {
    // Its request was answered RY already.
    if (!outcome.cut_card.empty()) {
      journal_.Unanswered(outcome.cut_card);
      log_("desks: desk " + desk + " cut card " + outcome.cut_card +
           " after its key request was answered; the card and its record exist");
    }
    return;
  }
  Pending done = std::move(pending->second);
  joined->second.pending.erase(pending);
  done.timer->cancel();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                                        done.sent);
  log_("desks: " + done.request.id + " KC " + done.request.Value("KC") + " on desk " + desk +
       " port " + std::to_string(done.port) + ": " + outcome.answer.Value("AS") + " " +
       outcome.answer.Value("CT") + " (" + std::to_string(ms.count()) + " ms)");
  if (!outcome.cut_card.empty()) {
    const fias::Moment now = fias::Now();
    journal_.Cut({outcome.cut_card, done.request.Value("G#"), done.request.Value("WS"),
                  now.date + now.time});
  }
  done.done(outcome);
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
                  SteadyClock::now()};
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
    log_("desks: " + lost.request.id + " KC " + lost.request.Value("KC") + " on desk " + desk +
         " port " + std::to_string(lost.port) + ": desk lost");
    lost.done({keys_.Answer(lost.request, "RY", "desk " + desk + " lost"), {}});
  }
}

void DeskHub::Watch() {
  watch_.expires_after(std::chrono::seconds(1));
  watch_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopping_) return;
    ++ticks_;
    const auto now = SteadyClock::now();
    std::vector<std::pair<std::shared_ptr<Channel>, std::string>> drop;
    for (const auto& channel : handshaking_)
      if (now - channel->heard() > kHandshakeLimit) drop.emplace_back(channel, "no handshake");
    for (auto& [desk, joined] : joined_) {
      const auto& channel = joined.channel;
      // A desk removed on this link desk is refused at once.
      std::optional<Secret> secret;
      try {
        secret = registry_.SecretOf(desk);
      } catch (const DeskError&) {
        continue;  // kept as it is until the registry reads again
      }
      if (!secret || *secret != channel->session().secret()) {
        log_("desks: desk " + desk + " was removed or paired again: dropped");
        drop.emplace_back(channel, "removed");
      } else if (now - channel->heard() > kSilenceLimit) {
        drop.emplace_back(channel, "silent for " + std::to_string(kSilenceLimit.count()) + " s");
      } else if (ticks_ % kPingEvery.count() == 0) {
        channel->Send({{"type", "ping"}});  // the desk answers, so both know the other is there
      }
    }
    for (auto& [channel, why] : drop) {
      OnClosed(channel, why);
      channel->Close(why);
    }
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
         {"last_contact", contact != last_contact_.end()
                              ? nlohmann::json(LocalTime(contact->second))
                              : nlohmann::json(nullptr)}});
  }
  return desks;
}

}  // namespace desks
