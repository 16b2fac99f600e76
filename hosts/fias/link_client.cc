#include "hosts/fias/link_client.h"

#include <ctime>
#include <exception>
#include <utility>

namespace fias {

namespace net = boost::asio;
using tcp = net::ip::tcp;

Moment Now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char date[8], time[8];
  std::strftime(date, sizeof date, "%y%m%d", &tm);
  std::strftime(time, sizeof time, "%H%M%S", &tm);
  return {std::chrono::steady_clock::now(), date, time};
}

LinkClient::LinkClient(net::io_context& io, Options options, KeyService& keys, Journal& journal,
                       Submit submit, Log log, Route route)
    : io_(io),
      options_(std::move(options)),
      address_(options_.host + ":" + options_.port),
      keys_(keys),
      journal_(journal),
      submit_(std::move(submit)),
      log_(std::move(log)),
      route_(std::move(route)),
      link_(options_.link),
      resolver_(io),
      socket_(io),
      link_timer_(io),
      reconnect_timer_(io),
      write_timer_(io) {}

void LinkClient::Start() {
  net::post(io_, [this] { Connect(); });
}

void LinkClient::Stop() {
  net::post(io_, [this] {
    if (stopping_) return;
    stopping_ = true;
    reconnect_timer_.cancel();
    resolver_.cancel();
    if (connected_ && link_.state() != Link::State::kClosed) {
      link_.End(Now());
      Process();
    } else {
      CloseConnection();
    }
  });
}

void LinkClient::Connect() {
  if (stopping_) return;
  log_("fias: connecting to " + address_);
  resolver_.async_resolve(
      options_.host, options_.port,
      [this](boost::system::error_code ec, tcp::resolver::results_type endpoints) {
        if (stopping_) return;
        if (ec) {
          log_("fias: " + address_ + " not found: " + ec.message());
          ConnectAgainLater();
          return;
        }
        net::async_connect(socket_, endpoints,
                           [this](boost::system::error_code ec, const tcp::endpoint&) {
                             if (stopping_) {
                               CloseConnection();
                               return;
                             }
                             if (ec) {
                               log_("fias: cannot connect to " + address_ + ": " + ec.message());
                               CloseConnection();
                               ConnectAgainLater();
                               return;
                             }
                             boost::system::error_code ignored;
                             socket_.set_option(tcp::no_delay(true), ignored);
                             connected_ = true;
                             ++generation_;
                             log_("fias: connected to " + address_);
                             link_.Connected(Now());
                             Process();
                             Read();
                           });
      });
}

void LinkClient::ConnectAgainLater() {
  if (stopping_) return;
  const std::chrono::milliseconds wait = backoff_.Next();
  log_("fias: connecting again in " + std::to_string(wait.count() / 1000) + " s");
  reconnect_timer_.expires_after(wait);
  reconnect_timer_.async_wait([this](boost::system::error_code ec) {
    if (!ec) Connect();
  });
}

void LinkClient::Read() {
  socket_.async_read_some(
      net::buffer(read_buffer_), [this, generation = generation_](boost::system::error_code ec,
                                                                  std::size_t size) {
        if (generation != generation_ || !connected_) return;
        if (ec) {
          log_("fias: link closed: " + (ec == net::error::eof ? std::string("the interface closed it")
                                                              : ec.message()));
          CloseConnection();
          ConnectAgainLater();
          return;
        }
        link_.Received(std::string_view(read_buffer_.data(), size), Now());
        Process();
        if (connected_) Read();
      });
}

// Acts on what the link machine made of the last input: the log, the key
// requests, the bytes to write, a close; then sets its timer.
void LinkClient::Process() {
  bool close = false;
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
          backoff_.Reset();
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
          close = true;
          break;
      }
    }
  } catch (const std::exception& e) {
    // Nothing the interface sends may stop the agent: drop this connection.
    log_(std::string("fias: link closed after a fault: ") + e.what());
    close = true;
  }
  Flush();
  if (close) {
    if (writing_) {
      close_after_write_ = true;
    } else {
      CloseConnection();
      ConnectAgainLater();
    }
    return;
  }
  ArmTimer();
}

void LinkClient::Flush() {
  std::string bytes = link_.TakeOutput();
  if (!bytes.empty() && connected_) {
    if (queued_ + bytes.size() > kMostQueuedLinkBytes) {
      // Closed from the loop: Flush runs within the link's own processing.
      net::post(io_, [this, generation = generation_] {
        if (generation == generation_ && connected_)
          Overflowed("the interface reads nothing: more than " +
                     std::to_string(kMostQueuedLinkBytes >> 10) + " KiB wait to be written");
      });
      return;
    }
    queued_ += bytes.size();
    writes_.push_back(std::move(bytes));
  }
  if (!writing_) Write();
}

void LinkClient::Overflowed(const std::string& why) {
  log_("fias: link closed: " + why);
  CloseConnection();
  ConnectAgainLater();
}

void LinkClient::Write() {
  if (writes_.empty() || !connected_) return;
  writing_ = true;
  write_timer_.expires_after(kLinkWriteLimit);
  write_timer_.async_wait([this, generation = generation_](boost::system::error_code ec) {
    if (!ec && generation == generation_ && connected_ && writing_)
      Overflowed("a write took longer than " + std::to_string(kLinkWriteLimit.count()) + " s");
  });
  net::async_write(socket_, net::buffer(writes_.front()),
                   [this, generation = generation_](boost::system::error_code ec, std::size_t) {
                     if (generation != generation_) return;
                     writing_ = false;
                     write_timer_.cancel();
                     if (!writes_.empty()) {
                       queued_ -= writes_.front().size();
                       writes_.pop_front();
                     }
                     if (ec) {
                       if (connected_) {
                         log_("fias: link closed: " + ec.message());
                         CloseConnection();
                         ConnectAgainLater();
                       }
                       return;
                     }
                     if (!writes_.empty()) {
                       Write();
                     } else if (close_after_write_) {
                       CloseConnection();
                       ConnectAgainLater();
                     }
                   });
}

void LinkClient::ArmTimer() {
  const std::optional<SteadyTime> deadline = link_.next_deadline();
  if (!deadline) {
    link_timer_.cancel();
    return;
  }
  link_timer_.expires_at(*deadline);
  link_timer_.async_wait([this, generation = generation_](boost::system::error_code ec) {
    if (ec || generation != generation_ || !connected_) return;
    link_.Tick(Now());
    Process();
  });
}

void LinkClient::CloseConnection() {
  boost::system::error_code ignored;
  if (socket_.is_open()) {
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }
  link_timer_.cancel();
  if (connected_) link_.Disconnected();
  connected_ = false;
  ++generation_;  // handlers of the old connection find it gone
  write_timer_.cancel();
  writes_.clear();
  queued_ = 0;
  writing_ = false;
  close_after_write_ = false;
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
  if (!job.desk.empty()) {
    if (!route_) {
      --in_flight_;
      SendAnswer(generation, request,
                 {keys_.Answer(request, "UR", "desk " + job.desk + " not connected"), {}});
      return;
    }
    route_(job.desk, job.port, request, [this, generation, request](KeyOutcome outcome) {
      --in_flight_;
      SendAnswer(generation, request, outcome);
    });
    return;
  }
  auto timer = std::make_shared<net::steady_timer>(io_, options_.queue_wait);
  auto run = std::make_shared<std::function<KeyOutcome()>>(std::move(job.run));
  auto queued = submit_(job.port, [this, generation, request, timer, run] {
    KeyOutcome outcome = (*run)();
    net::post(io_, [this, generation, request, timer, outcome = std::move(outcome)] {
      timer->cancel();
      --in_flight_;
      SendAnswer(generation, request, outcome);
    });
  });
  if (!queued) {
    --in_flight_;
    SendAnswer(generation, request, {keys_.Busy(request), {}});
    return;
  }
  timer->async_wait([this, generation, request, timer, queued](boost::system::error_code ec) {
    if (ec) return;  // answered by the worker
    if (queued->Expire()) {
      --in_flight_;
      SendAnswer(generation, request, {keys_.Busy(request), {}});
    }
  });
}

void LinkClient::SendAnswer(uint64_t generation, const Record& request,
                            const KeyOutcome& outcome) {
  // An answer that the queue has no room for is one the PMS never hears:
  // its card is journaled below, and the link that reads nothing closes.
  const bool room =
      queued_ + EncodeRecord(outcome.answer).size() + 1024 <= kMostQueuedLinkBytes;
  if (generation == generation_ && connected_ && room && link_.Send(outcome.answer)) {
    Process();
    return;
  }
  if (generation == generation_ && connected_ && !room)
    net::post(io_, [this, generation] {
      if (generation == generation_ && connected_)
        Overflowed("the interface reads nothing: more than " +
                   std::to_string(kMostQueuedLinkBytes >> 10) + " KiB wait to be written");
    });
  // The connection that asked is gone: the PMS never hears of this answer.
  if (!outcome.cut_card.empty()) {
    const std::string kept = journal_.Unanswered(outcome.cut_card);
    log_("fias: unanswered: card " + outcome.cut_card + " was cut for " + request.id + " (G# " +
         request.Value("G#") + ", WS " + request.Value("WS") +
         ") while the link was down; the card and its record exist" +
         (kept.empty() ? std::string() : "; " + kept));
  } else {
    log_("fias: answer not sent, the link was down: " + ForLog(outcome.answer));
  }
}

}  // namespace fias
