#include "hosts/fias/link_client.h"

#include <exception>
#include <utility>

#include "hosts/fias/clock.h"
#include "hosts/net/submit_within.h"

namespace fias {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// The link machine as the byte pipe sees it.
class LinkClient::Core : public hostnet::PipeCore {
 public:
  explicit Core(LinkClient& client) : client_(client) {}
  void Feed(std::string_view bytes, hostnet::SteadyTime now) override {
    client_.link_.Received(bytes, MomentAt(client_.clock_, now));
    client_.Process();
  }
  void Tick(hostnet::SteadyTime now) override {
    client_.link_.Tick(MomentAt(client_.clock_, now));
    client_.Process();
  }
  std::string TakeOutput() override { return client_.link_.TakeOutput(); }
  std::optional<hostnet::SteadyTime> Deadline() const override {
    return client_.link_.next_deadline();
  }
  std::string Done() const override { return client_.closing_; }

 private:
  LinkClient& client_;
};

LinkClient::LinkClient(asio::io_context& io, Options options, KeyService& keys, Journal& journal,
                       Submit submit, Log log, const hosts::Clock& clock, Route route)
    : io_(io),
      options_(std::move(options)),
      address_(options_.host + ":" + options_.port),
      keys_(keys),
      journal_(journal),
      submit_(std::move(submit)),
      log_(std::move(log)),
      clock_(clock),
      route_(std::move(route)),
      link_(options_.link),
      dialer_(io, options_.host, options_.port,
              {[this] { log_("fias: connecting to " + address_); },
               [this](tcp::socket socket) { Connected(std::move(socket)); },
               [this](hostnet::Redialer::Failure failure, const std::string& message) {
                 down_reason_ = (failure == hostnet::Redialer::Failure::kNotFound
                                     ? address_ + " not found: "
                                     : "cannot connect to " + address_ + ": ") +
                                message;
                 log_("fias: " + down_reason_);
                 ConnectAgainLater();
               }}),
      core_(std::make_shared<Core>(*this)) {}

LinkClient::~LinkClient() {
  stopping_ = true;
  closing_ = "the agent stops";
  dialer_.Stop();
  ++generation_;  // the close below calls nothing back
  if (pipe_) pipe_->Shut(closing_);
}

void LinkClient::Start() {
  asio::post(io_, [this] { dialer_.Dial(); });
}

void LinkClient::Stop() {
  asio::post(io_, [this] {
    if (stopping_) return;
    stopping_ = true;
    dialer_.Stop();
    if (connected_ && link_.state() != Link::State::kClosed) {
      link_.End(Now(clock_));
      Process();
      pipe_->Pump();
    } else if (pipe_) {
      closing_ = "the agent stops";
      pipe_->Shut(closing_);
    }
  });
}

void LinkClient::Connected(tcp::socket socket) {
  if (stopping_) return;
  connected_ = true;
  ++generation_;
  closing_.clear();
  log_("fias: connected to " + address_);
  down_reason_ = "connected to " + address_ + ", the link not started yet (no LS/LA)";
  link_.Connected(Now(clock_));
  pipe_ = std::make_shared<hostnet::BytePipe>(
      std::move(socket),
      hostnet::PipeLimits{"the interface", "the interface closed it", kMostQueuedLinkBytes,
                          kLinkWriteLimit});
  Process();
  pipe_->Start(core_, [this, generation = generation_](const std::string& why) {
    if (generation == generation_) Closed(why);
  });
}

void LinkClient::ConnectAgainLater() {
  if (stopping_) return;
  const std::chrono::milliseconds wait = dialer_.DialLater();
  log_("fias: connecting again in " + std::to_string(wait.count() / 1000) + " s");
}

// Acts on what the link machine made of the last input: the log, the key
// requests, a close. The pipe writes its output and sets its timer after.
void LinkClient::Process() {
  try {
    for (LinkEvent& event : link_.TakeEvents()) {
      switch (event.kind) {
        case LinkEvent::kRecordIn:
          log_("fias in " + ForLog(event.record));
          break;
        case LinkEvent::kRecordOut:
          log_("fias out " + ForLog(event.record));
          break;
        case LinkEvent::kUp:
          log_("fias: link up");
          dialer_.Reset();
          break;
        case LinkEvent::kRequest:
          Dispatch(event.record);
          break;
        case LinkEvent::kIgnored:
          log_("fias: ignored: " + event.detail);
          break;
        case LinkEvent::kDropped:
          log_("fias: dropped: " + event.detail);
          break;
        case LinkEvent::kClose:
          log_("fias: link closed: " + event.detail);
          closing_ = event.detail.empty() ? "the link closed" : event.detail;
          down_reason_ = "link closed: " + closing_;
          break;
      }
    }
  } catch (const std::exception& e) {
    // Nothing the interface sends may stop the agent: drop this connection.
    log_(std::string("fias: link closed after a fault: ") + e.what());
    closing_ = "a fault";
    down_reason_ = std::string("link closed after a fault: ") + e.what();
  }
}

// The connection closed, for whatever reason: said in the log unless the
// link said why already, and made again unless the agent stops.
void LinkClient::Closed(const std::string& why) {
  if (closing_.empty()) {
    log_("fias: link closed: " + why);
    down_reason_ = "link closed: " + why;
  }
  link_.Disconnected();
  connected_ = false;
  ++generation_;  // answers of the old connection find it gone
  // Let go from the loop: this may run within the pipe's own call.
  asio::post(io_, [old = std::move(pipe_)] {});
  ConnectAgainLater();
}

void LinkClient::Dispatch(const Record& request) {
  KeyJob job = keys_.Plan(request);
  const uint64_t generation = generation_;
  if (job.answer) {
    SendAnswer(generation, request, {*job.answer, {}});
    return;
  }
  // Requests waiting for an encoder or a desk each hold a job and a timer:
  // a PMS that sends faster than cards can be cut hears BY past this many.
  if (in_flight_ >= kMostKeyRequestsInFlight) {
    SendAnswer(generation, request, {keys_.Busy(request), {}});
    return;
  }
  ++in_flight_;
  const auto answer = [this, generation, request](const KeyOutcome& outcome) {
    --in_flight_;
    SendAnswer(generation, request, outcome);
  };
  if (!job.desk.empty()) {
    if (!route_)
      return answer({keys_.Answer(request, "UR", "desk " + job.desk + " not connected"), {}});
    route_(job.desk, job.port, request, answer);
    return;
  }
  hostnet::SubmitWithin<KeyOutcome>(
      io_, [this, port = job.port](std::function<void()> run) { return submit_(port, std::move(run)); },
      options_.queue_wait, std::move(job.run), answer,
      [this, answer, request] { answer({keys_.Busy(request), {}}); });
}

void LinkClient::SendAnswer(uint64_t generation, const Record& request,
                            const KeyOutcome& outcome) {
  // An answer that the queue has no room for is one the PMS never hears:
  // its card is journaled below, and the link that reads nothing closes.
  if (generation == generation_ && connected_ && pipe_ &&
      pipe_->Fits(EncodeRecord(outcome.answer).size()) && link_.Send(outcome.answer)) {
    Process();
    pipe_->Pump();
    return;
  }
  // The connection that asked is gone: the PMS never hears of this answer.
  if (!outcome.cut_card.empty()) {
    KeepUnanswered(journal_, log_,
                   "fias: unanswered: card " + outcome.cut_card + " was cut for " + request.id +
                       " (G# " + request.Value("G#") + ", WS " + request.Value("WS") +
                       ") while the link was down; the card and its record exist",
                   outcome.cut_card);
  } else {
    log_("fias: answer not sent, the link was down: " + ForLog(outcome.answer));
  }
}

}  // namespace fias
