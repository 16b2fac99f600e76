#include "hosts/desks/desk_client.h"

#include "hosts/desks/messages.h"
#include "hosts/desks/registry.h"

namespace desks {

namespace net = boost::asio;
using tcp = net::ip::tcp;

DeskClient::DeskClient(net::io_context& io, Options options, fias::Journal& journal,
                       fias::LinkClient::Submit submit, Log log)
    : io_(io),
      options_(std::move(options)),
      journal_(journal),
      submit_(std::move(submit)),
      log_(std::move(log)),
      resolver_(io),
      reconnect_(io),
      watch_(io) {}

void DeskClient::Start() {
  net::post(io_, [this] {
    Connect();
    Watch();
  });
}

void DeskClient::Stop() {
  stopping_ = true;
  reconnect_.cancel();
  watch_.cancel();
  resolver_.cancel();
  if (channel_) channel_->Close("the desk stops");
}

void DeskClient::Connect() {
  if (stopping_) return;
  resolver_.async_resolve(
      options_.host, options_.port,
      [this](boost::system::error_code ec, const tcp::resolver::results_type& endpoints) {
        if (stopping_) return;
        if (ec) {
          log_("desks: cannot find the link desk " + address() + ": " + ec.message());
          return ConnectAgainLater();
        }
        auto socket = std::make_shared<tcp::socket>(io_);
        net::async_connect(
            *socket, endpoints,
            [this, socket](boost::system::error_code ec, const tcp::endpoint&) {
              if (stopping_) return;
              if (ec) {
                log_("desks: cannot reach the link desk " + address() + ": " + ec.message());
                return ConnectAgainLater();
              }
              Mode mode = Mode::kJoin;
              std::string key;
              try {
                if (!options_.pairing_code.empty()) {
                  mode = Mode::kPair;
                  key = options_.pairing_code;
                } else if (auto secret = ReadDeskSecret(options_.secret_file);
                           secret && secret->desk == options_.desk) {
                  key.assign(reinterpret_cast<const char*>(secret->secret.data()),
                             secret->secret.size());
                } else {
                  log_("desks: desk " + options_.desk + " is not paired: run tavocard desks pair " +
                       options_.desk + " on the link desk and start this desk with --pair CODE");
                  return ConnectAgainLater();
                }
              } catch (const DeskError& e) {
                log_(std::string("desks: ") + e.what());
                return ConnectAgainLater();
              }
              auto channel = std::make_shared<Channel>(
                  std::move(*socket),
                  Session::ForDesk(options_.desk, mode, key, RandomBytes(kNonceBytes)));
              std::weak_ptr<Channel> weak = channel;
              channel->set_handlers(
                  {[this, weak](const SessionEvent& event) {
                     if (auto current = weak.lock(); current && current == channel_) OnEvent(event);
                   },
                   [this, weak](const std::string& why) {
                     auto current = weak.lock();
                     if (!current || current != channel_ || stopping_) return;
                     log_("desks: the link to the link desk " + address() + " closed: " + why);
                     channel_.reset();
                     ConnectAgainLater();
                   }});
              channel_ = channel;
              channel->Start();
            });
      });
}

void DeskClient::ConnectAgainLater() {
  if (stopping_) return;
  reconnect_.expires_after(backoff_.Next());
  reconnect_.async_wait([this](boost::system::error_code ec) {
    if (!ec) Connect();
  });
}

void DeskClient::OnEvent(const SessionEvent& event) {
  switch (event.kind) {
    case SessionEvent::kJoined: {
      backoff_.Reset();
      if (channel_->session().mode() == Mode::kPair) {
        options_.pairing_code.clear();  // a code serves once
        try {
          WriteDeskSecret(options_.secret_file, {options_.desk, channel_->session().secret()});
          log_("desks: paired with the link desk " + address() + "; the secret is kept in " +
               options_.secret_file);
        } catch (const DeskError& e) {
          log_(std::string("desks: paired, but the secret cannot be kept: ") + e.what());
        }
      }
      log_("desks: joined the link desk " + address() + " as desk " + options_.desk);
      // Cards cut while the link desk could not hear the answer.
      for (const fias::CutCard& card : journal_.Unreported()) channel_->Send(LateMessage(card));
      return;
    }
    case SessionEvent::kMessage:
      return OnMessage(event.text);
    case SessionEvent::kRefused:
      if (channel_->session().mode() == Mode::kPair) options_.pairing_code.clear();
      log_("desks: the link desk " + address() + " refused desk " + options_.desk + ": " +
           event.text);
      return;
    case SessionEvent::kFault:
      log_("desks: dropped the link to " + address() + ": " + event.text);
      channel_->Close(event.text);
      return;
  }
}

void DeskClient::OnMessage(const std::string& payload) {
  try {
    const nlohmann::json message = nlohmann::json::parse(payload);
    const std::string type = message.at("type").get<std::string>();
    if (type == "site") {
      keys_ = std::make_shared<fias::KeyService>(SiteOf(message), journal_, fias::Now);
    } else if (type == "request") {
      const int port = message.at("port").get<int>();
      if (port < 0 || port > 254) throw std::invalid_argument("an encoder port out of range");
      Run(message.at("id").get<uint64_t>(), port, RecordOf(message), ReservationCardsOf(message));
    } else if (type == "late-kept") {
      journal_.Reported(message.at("card").get<std::string>());
    } else if (type == "late-refused") {
      // The link desk knows of no lost request of this desk for it (it
      // started again meanwhile): not reported again at every join.
      const std::string card = message.at("card").get<std::string>();
      journal_.Reported(card);
      log_("desks: the link desk did not take the report of card " + card +
           ": it knows of no lost request of this desk for it; the card and its record are in "
           "this desk's journal");
    } else if (type == "ping") {
      channel_->Send({{"type", "pong"}});
    }
  } catch (const std::exception& e) {
    log_(std::string("desks: the link desk sent a message that is none: ") + e.what());
    channel_->Close("a message that is none");
  }
}

void DeskClient::Run(uint64_t id, int port, const fias::Record& request,
                     const std::vector<std::string>& reservation_cards) {
  if (!keys_) throw std::invalid_argument("a request before the site settings");
  std::weak_ptr<Channel> asked = channel_;
  const auto answer = [this, asked, id, request](const fias::KeyOutcome& outcome) {
    auto channel = asked.lock();
    if (channel && channel == channel_ && channel->Send(AnswerMessage(id, outcome))) return;
    // The link desk that asked is gone: it answered the PMS RY. The card is
    // cut and recorded; it is reported when this desk joins again.
    if (!outcome.cut_card.empty()) {
      const std::string kept = journal_.Unanswered(outcome.cut_card);
      log_("desks: card " + outcome.cut_card + " was cut for " + request.id + " (G# " +
           request.Value("G#") + ") but the link desk was gone; it is reported when the desk "
           "joins again" + (kept.empty() ? std::string() : "; " + kept));
      // Joined again already: report it now.
      if (joined())
        for (const fias::CutCard& card : journal_.Unreported())
          if (card.card_no == outcome.cut_card) channel_->Send(LateMessage(card));
    }
  };
  std::shared_ptr<fias::KeyService> keys = keys_;
  fias::KeyJob job = keys->PlanOn(request, port, &reservation_cards);
  if (job.answer) return answer({*job.answer, {}});
  auto timer = std::make_shared<net::steady_timer>(io_, options_.queue_wait);
  auto queued = submit_(port, [this, keys, run = std::move(job.run), timer, answer] {
    fias::KeyOutcome outcome = run();
    net::post(io_, [timer, answer, outcome = std::move(outcome)] {
      timer->cancel();
      answer(outcome);
    });
  });
  if (!queued) return answer({keys->Busy(request), {}});
  timer->async_wait([keys, request, queued, answer](boost::system::error_code ec) {
    if (!ec && queued->Expire()) answer({keys->Busy(request), {}});
  });
  log_("desks: " + request.id + " KC " + request.Value("KC") + " from the link desk on port " +
       std::to_string(port));
}

void DeskClient::Watch() {
  watch_.expires_after(std::chrono::seconds(1));
  watch_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopping_) return;
    // A link desk gone without a word (its machine off, a cable out).
    if (channel_ && std::chrono::steady_clock::now() - channel_->heard() > std::chrono::seconds(30))
      channel_->Close("the link desk was silent for 30 s");
    Watch();
  });
}

}  // namespace desks
