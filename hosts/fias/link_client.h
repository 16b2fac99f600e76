// The PMS key link's connection: a TCP client of the PMS interface program
// that keeps one connection open for good, reconnecting when it drops. The
// hosts' byte pipe feeds the link state machine bytes and time and writes
// what the machine gives; key requests run on the encoder workers of the
// agent or on a joined desk. All of it runs on the agent's network thread;
// only the card work runs on a worker.
#ifndef HOLVANTER_HOSTS_FIAS_LINK_CLIENT_H_
#define HOLVANTER_HOSTS_FIAS_LINK_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

#include "hosts/clock/clock.h"
#include "hosts/fias/clock.h"  // the agent gives the key services fias::Now
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"
#include "hosts/fias/link.h"
#include "hosts/frontdesk/encoder_worker.h"
#include "hosts/net/byte_pipe.h"
#include "hosts/net/redialer.h"

namespace fias {

// A PMS that stops reading is not queued for without end: past this many
// bytes waiting to be written, or a write that takes longer than
// kLinkWriteLimit, the link is closed, logged, and started again.
constexpr std::size_t kMostQueuedLinkBytes = 1 << 20;
constexpr std::chrono::seconds kLinkWriteLimit{10};
// Key requests waiting for an encoder or a desk at once; past them, BY.
constexpr std::size_t kMostKeyRequestsInFlight = 64;

class LinkClient {
 public:
  struct Options {
    std::string host, port;                       // the PMS interface program
    std::chrono::milliseconds queue_wait{30000};  // longest wait for an encoder: then BY
    LinkSettings link;
  };
  // Queues `run` on the worker of encoder `port`; null when the agent stops.
  using Submit = std::function<std::shared_ptr<frontdesk::EncoderWorker::Job>(
      int port, std::function<void()> run)>;
  // Runs `request` on encoder `port` of joined desk `desk`, and calls `done`
  // with its outcome on the network thread, once.
  using Route = std::function<void(const std::string& desk, int port, const Record& request,
                                   std::function<void(KeyOutcome)> done)>;

  LinkClient(boost::asio::io_context& io, Options options, KeyService& keys, Journal& journal,
             Submit submit, Log log, const hosts::Clock& clock, Route route = nullptr);
  ~LinkClient();

  // Connects, and keeps connecting, until Stop.
  void Start();
  // Ends the link with LE and closes it; no reconnecting after.
  void Stop();
  bool up() const { return link_.up(); }
  // Why the link is not up, in the words of its last log line about it
  // ("cannot connect to pms:5010: Connection refused"), so that IT sees it
  // without the log (on the network thread).
  const std::string& down_reason() const { return down_reason_; }
  // A connection to the interface is open (on the network thread).
  bool connected() const { return connected_; }
  const std::string& address() const { return address_; }

 private:
  class Core;

  void Connected(boost::asio::ip::tcp::socket socket);
  void ConnectAgainLater();
  void Process();
  void Closed(const std::string& why);
  void Dispatch(const Record& request);
  void SendAnswer(uint64_t generation, const Record& request, const KeyOutcome& outcome);

  boost::asio::io_context& io_;
  const Options options_;
  const std::string address_;
  KeyService& keys_;
  Journal& journal_;
  Submit submit_;
  Log log_;
  const hosts::Clock& clock_;
  Route route_;

  Link link_;
  hostnet::Redialer dialer_;
  std::shared_ptr<Core> core_;
  std::shared_ptr<hostnet::BytePipe> pipe_;
  std::string closing_;  // why the link closes, once it said so (logged then)
  std::string down_reason_ = "not connected yet";
  bool connected_ = false;
  bool stopping_ = false;
  uint64_t generation_ = 0;    // one per connection: answers go to theirs only
  std::size_t in_flight_ = 0;  // key requests waiting for an encoder or a desk
};

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_LINK_CLIENT_H_
