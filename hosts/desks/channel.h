// One connection between a desk and the link desk: the protocol session
// over the hosts' byte pipe, which feeds it what arrives with the time,
// writes what it gives and keeps its timers. Used by both sides.
#ifndef HOLVANTER_HOSTS_DESKS_CHANNEL_H_
#define HOLVANTER_HOSTS_DESKS_CHANNEL_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "hosts/desks/protocol.h"
#include "hosts/net/byte_pipe.h"

namespace desks {

class Channel : public hostnet::PipeCore, public std::enable_shared_from_this<Channel> {
 public:
  struct Handlers {
    std::function<void(const SessionEvent&)> event;
    // Once, when the connection has closed for any reason.
    std::function<void(const std::string& why)> closed;
  };

  Channel(boost::asio::ip::tcp::socket socket, Session session);
  ~Channel() override;
  // Before Start.
  void set_handlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Writes what the session has to say first, and starts reading.
  void Start();
  // Seals and sends a message; false when the connection is not joined.
  bool Send(const nlohmann::json& message);
  // Closes once what is queued has been written.
  void Close(const std::string& why) { pipe_->Close(why); }

  const Session& session() const { return session_; }
  const std::string& peer() const { return pipe_->peer(); }
  // The other side's address alone, without its port.
  const std::string& address() const { return pipe_->address(); }
  // When the connection was made, on the clock of its owner.
  hostnet::SteadyTime started() const { return session_.started(); }
  bool open() const { return pipe_->open(); }

  // The pipe's side.
  void Feed(std::string_view bytes, hostnet::SteadyTime now) override;
  void Tick(hostnet::SteadyTime now) override;
  std::string TakeOutput() override { return session_.TakeOutput(); }
  std::optional<hostnet::SteadyTime> Deadline() const override { return session_.Deadline(); }
  std::string Done() const override { return session_.closed() ? "the session ended" : ""; }

 private:
  void HandOn();

  Session session_;
  Handlers handlers_;
  std::shared_ptr<hostnet::BytePipe> pipe_;
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_CHANNEL_H_
