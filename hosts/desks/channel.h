// One connection between a desk and the link desk, on the agent's network
// loop: it feeds the protocol session the bytes that arrive, writes what
// the session gives, and hands on the events. Used by both sides.
#ifndef HOLVANTER_HOSTS_DESKS_CHANNEL_H_
#define HOLVANTER_HOSTS_DESKS_CHANNEL_H_

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "hosts/desks/protocol.h"

namespace desks {

// A side that stops reading is given up, not queued for without end: past
// this many bytes waiting to be written, or a write that takes longer than
// kWriteLimit, the connection closes.
constexpr std::size_t kMostQueuedBytes = 1 << 20;
constexpr std::chrono::seconds kWriteLimit{10};

class Channel : public std::enable_shared_from_this<Channel> {
 public:
  struct Handlers {
    std::function<void(const SessionEvent&)> event;
    // Once, when the connection has closed for any reason.
    std::function<void(const std::string& why)> closed;
  };

  Channel(boost::asio::ip::tcp::socket socket, Session session);
  // Before Start.
  void set_handlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Writes what the session has to say first, and starts reading.
  void Start();
  // Seals and sends a message; false when the connection is not joined.
  bool Send(const nlohmann::json& message);
  // Closes once what is queued has been written.
  void Close(const std::string& why);

  const Session& session() const { return session_; }
  const std::string& peer() const { return peer_; }
  // The other side's address alone, without its port.
  const std::string& address() const { return address_; }
  // When the connection was made.
  std::chrono::steady_clock::time_point started() const { return started_; }
  // When something last arrived from the other side.
  std::chrono::steady_clock::time_point heard() const { return heard_; }
  bool open() const { return !closed_; }

 private:
  void Read();
  void Flush();
  void Write();
  void Shut(const std::string& why);

  boost::asio::ip::tcp::socket socket_;
  Session session_;
  Handlers handlers_;
  std::string peer_, address_;
  std::array<char, 8192> buffer_{};
  std::deque<std::string> writes_;
  std::size_t queued_ = 0;  // bytes in writes_
  bool overflowed_ = false;
  boost::asio::steady_timer write_timer_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  bool writing_ = false;
  bool closing_ = false;
  bool closed_ = false;
  std::string why_;
  std::chrono::steady_clock::time_point heard_ = std::chrono::steady_clock::now();
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_CHANNEL_H_
