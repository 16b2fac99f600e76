// A desk's side of the desks' link: one outbound connection to the link
// desk, kept open and made again when it drops, over which the link desk
// hands this desk the key requests of its coders. Each runs here, on this
// desk's worker of the encoder port, through the same key services as on
// the link desk, and is recorded in the hotel database by this desk. All
// of it runs on the agent's network thread; only the card work runs on a
// worker.
#ifndef HOLVANTER_HOSTS_DESKS_DESK_CLIENT_H_
#define HOLVANTER_HOSTS_DESKS_DESK_CLIENT_H_

#include <chrono>
#include <memory>
#include <string>

#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

#include "hosts/clock/clock.h"
#include "hosts/desks/channel.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"
#include "hosts/fias/link_client.h"
#include "hosts/net/redialer.h"

namespace desks {

class DeskClient {
 public:
  struct Options {
    std::string host, port;  // the link desk's --desks-listen
    std::string desk;        // this desk's name
    std::string secret_file;
    std::string pairing_code;  // pairs once with it; empty: joins with the secret
    std::chrono::milliseconds queue_wait{30000};
  };
  using Log = std::function<void(const std::string&)>;

  DeskClient(boost::asio::io_context& io, Options options, fias::Journal& journal,
             fias::LinkClient::Submit submit, Log log, const hosts::Clock& clock);

  void Start();
  void Stop();
  bool joined() const { return channel_ && channel_->session().joined() && channel_->open(); }
  std::string address() const { return dialer_.address(); }

 private:
  void Connected(boost::asio::ip::tcp::socket socket);
  void OnEvent(const SessionEvent& event);
  void OnMessage(const std::string& payload);
  void Run(uint64_t id, int port, const fias::Record& request,
           const std::vector<std::string>& reservation_cards);
  // An answer whose link desk is gone: kept for the next join.
  void Unanswered(const fias::Record& request, const fias::KeyOutcome& outcome);

  boost::asio::io_context& io_;
  Options options_;
  fias::Journal& journal_;
  fias::LinkClient::Submit submit_;
  Log log_;
  const hosts::Clock& clock_;
  hostnet::Redialer dialer_;
  std::shared_ptr<Channel> channel_;
  // The key services with the link desk's key settings, from its last
  // settings message; jobs hold the one they were planned with.
  std::shared_ptr<fias::KeyService> keys_;
  bool stopping_ = false;
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_DESK_CLIENT_H_
