#include "hosts/desks/desk_client.h"

#include "hosts/desks/messages.h"
#include "hosts/desks/registry.h"
#include "hosts/fias/clock.h"
#include "hosts/net/submit_within.h"

namespace desks {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

DeskClient::DeskClient(asio::io_context& io, Options options, fias::Journal& journal,
                       fias::LinkClient::Submit submit, Log log, const hosts::Clock& clock)
    : io_(io),
      options_(std::move(options)),
      journal_(journal),
      submit_(std::move(submit)),
      log_(std::move(log)),
      clock_(clock),
      dialer_(io, options_.host, options_.port,
              {nullptr, [this](tcp::socket socket) { Connected(std::move(socket)); },
               [this](hostnet::Redialer::Failure failure, const std::string& message) {
                 log_((failure == hostnet::Redialer::Failure::kNotFound
                           ? "desks: cannot find the link desk "
                           : "desks: cannot reach the link desk ") +
                      address() + ": " + message);
                 dialer_.DialLater();
               }}) {}

void DeskClient::Start() {
  asio::post(io_, [this] { dialer_.Dial(); });
}

void DeskClient::Stop() {
  stopping_ = true;
  dialer_.Stop();
  if (channel_) channel_->Close("the desk stops");
}

void DeskClient::Connected(tcp::socket socket) {
  if (stopping_) return;
  Mode mode = Mode::kJoin;
  std::string key;
  const auto again_later = [&](const std::string& why) {
    log_("desks: " + why);
    dialer_.DialLater();
  };
  if (!options_.pairing_code.empty()) {
    mode = Mode::kPair;
    key = options_.pairing_code;
  } else {
    const holvanter::Result<std::optional<DeskSecret>> secret = ReadDeskSecret(options_.secret_file);
    if (!secret.ok()) return again_later(secret.status().message());
    if (!secret.value() || secret.value()->desk != options_.desk)
      return again_later("desk " + options_.desk + " is not paired: run tavocard desks pair " +
                         options_.desk + " on the link desk and start this desk with --pair CODE");
    key.assign(reinterpret_cast<const char*>(secret.value()->secret.data()),
               secret.value()->secret.size());
  }
  holvanter::Result<std::string> nonce = RandomBytes(kNonceBytes);
  if (!nonce.ok()) return again_later(nonce.status().message());
  auto channel = std::make_shared<Channel>(
      std::move(socket), Session::ForDesk(options_.desk, mode, key, std::move(*nonce),
                                          clock_.Steady()));
  std::weak_ptr<Channel> weak = channel;
  channel->set_handlers(
      {[this, weak](const SessionEvent& event) {
         if (auto current = weak.lock(); current && current == channel_) OnEvent(event);
       },
       [this, weak](const std::string& why) {
         auto current = weak.lock();
         if (!current || current != channel_ || stopping_) return;
         log_("desks: the link to the link desk " + address() + " closed: " + why);
         // Let go from the loop: this runs within the channel's own call.
         asio::post(io_, [old = std::move(channel_)] {});
         dialer_.DialLater();
       }});
  channel_ = channel;
  channel->Start();
}

void DeskClient::OnEvent(const SessionEvent& event) {
  switch (event.kind) {
    case SessionEvent::kJoined: {
      dialer_.Reset();
      if (channel_->session().mode() == Mode::kPair) {
        options_.pairing_code.clear();  // a code serves once
        const holvanter::Status kept =
            WriteDeskSecret(options_.secret_file, {options_.desk, channel_->session().secret()});
        log_(kept.ok() ? "desks: paired with the link desk " + address() +
                             "; the secret is kept in " + options_.secret_file
                       : "desks: paired, but the secret cannot be kept: " + kept.message());
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
    case SessionEvent::kTimedOut:  // a link desk gone without a word (its machine off, a cable out)
      channel_->Close(event.text);
      return;
    case SessionEvent::kPing:  // the link desk's side alone pings
      return;
  }
}

void DeskClient::OnMessage(const std::string& payload) {
  const auto none = [&](const std::string& why) {
    log_("desks: the link desk sent a message that is none: " + why);
    channel_->Close("a message that is none");
  };
  try {
    const nlohmann::json message = nlohmann::json::parse(payload);
    const std::string type = message.at("type").get<std::string>();
    if (type == kSettingsType) {
      holvanter::Result<fias::KeyServiceOptions> settings = SettingsOf(message);
      if (!settings.ok()) return none(settings.status().message());
      keys_ = std::make_shared<fias::KeyService>(std::move(*settings), journal_,
                                                 [this] { return fias::Now(clock_); }, log_);
    } else if (type == "request") {
      const int port = message.at("port").get<int>();
      if (port < 0 || port > 254) return none("an encoder port out of range");
      if (!keys_) return none("a request before the key settings");
      holvanter::Result<fias::Record> record = RecordOf(message);
      if (!record.ok()) return none(record.status().message());
      holvanter::Result<std::vector<std::string>> cards = ReservationCardsOf(message);
      if (!cards.ok()) return none(cards.status().message());
      Run(message.at("id").get<uint64_t>(), port, std::move(*record), std::move(*cards));
    } else if (type == "late-kept") {
      const std::string card = message.at("card").get<std::string>();
      // Unkept, the card is reported again at the next join, and refused.
      fias::LogUnkept(log_, "desks: the report of card " + card, journal_.Reported(card));
    } else if (type == "late-refused") {
      // The link desk knows of no lost request of this desk for it (it
      // started again meanwhile): not reported again at every join.
      const std::string card = message.at("card").get<std::string>();
      fias::LogUnkept(log_, "desks: the refused report of card " + card, journal_.Reported(card));
      log_("desks: the link desk did not take the report of card " + card +
           ": it knows of no lost request of this desk for it; the card and its record are in "
           "this desk's journal");
    } else if (type == "ping") {
      channel_->Send({{"type", "pong"}});
    }
  } catch (const std::exception& e) {  // nlohmann's, on the message's own fields
    none(e.what());
  }
}

void DeskClient::Run(uint64_t id, int port, const fias::Record& request,
                     const std::vector<std::string>& reservation_cards) {
  std::weak_ptr<Channel> asked = channel_;
  const auto answer = [this, asked, id, request](const fias::KeyOutcome& outcome) {
    auto channel = asked.lock();
    if (channel && channel == channel_ && channel->Send(AnswerMessage(id, outcome))) return;
    Unanswered(request, outcome);
  };
  std::shared_ptr<fias::KeyService> keys = keys_;
  fias::KeyJob job = keys->PlanOn(request, port, &reservation_cards);
  if (job.answer) return answer({*job.answer, {}});
  hostnet::SubmitWithin<fias::KeyOutcome>(
      io_, [this, port](std::function<void()> run) { return submit_(port, std::move(run)); },
      // The job holds the key services it was planned with.
      options_.queue_wait, [keys, run = std::move(job.run)] { return run(); }, answer,
      [keys, request, answer] { answer({keys->Busy(request), {}}); });
  log_("desks: " + request.id + " KC " + request.Value("KC") + " from the link desk on port " +
       std::to_string(port));
}

// The link desk that asked is gone: it answered the PMS RY. The card is cut
// and recorded; it is reported when this desk joins again.
void DeskClient::Unanswered(const fias::Record& request, const fias::KeyOutcome& outcome) {
  if (outcome.cut_card.empty()) return;
  fias::KeepUnanswered(journal_, log_,
                       "desks: card " + outcome.cut_card + " was cut for " + request.id + " (G# " +
                           request.Value("G#") +
                           ") but the link desk was gone; it is reported when the desk joins again",
                       outcome.cut_card);
  // Joined again already: report it now.
  if (joined())
    for (const fias::CutCard& card : journal_.Unreported())
      if (card.card_no == outcome.cut_card) channel_->Send(LateMessage(card));
}

}  // namespace desks
