// A connection that is kept: the host's name resolved, each of its addresses
// tried, and after a failure a wait that grows before the next try. Used by
// the key link towards the PMS interface and by a desk towards the link
// desk; it runs on the agent's network loop.
#ifndef HOLVANTER_HOSTS_NET_REDIALER_H_
#define HOLVANTER_HOSTS_NET_REDIALER_H_

#include <chrono>
#include <functional>
#include <string>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

namespace hostnet {

// How long to wait before connecting again: 2 s at first, doubling, never
// more than 30 s; Reset() once the connection has proved itself.
class Backoff {
 public:
  std::chrono::milliseconds Next();
  void Reset() { failures_ = 0; }

 private:
  int failures_ = 0;
};

class Redialer {
 public:
  enum class Failure {
    kNotFound,    // the name did not resolve
    kNotReached,  // no address of it took the connection
  };
  struct Handlers {
    std::function<void()> dialing;  // may be empty: at each try
    std::function<void(boost::asio::ip::tcp::socket socket)> connected;
    // The owner decides: usually it logs and calls DialLater.
    std::function<void(Failure failure, const std::string& message)> failed;
  };

  Redialer(boost::asio::io_context& io, std::string host, std::string port, Handlers handlers);

  // Resolves and connects now.
  void Dial();
  // Dials after the next wait of the backoff; returns the wait.
  std::chrono::milliseconds DialLater();
  // The connection proved itself: the next wait is the first again.
  void Reset() { backoff_.Reset(); }
  // Cancels what is under way; no handler runs after.
  void Stop();

  // "host:port"
  std::string address() const { return host_ + ":" + port_; }

 private:
  boost::asio::io_context& io_;
  const std::string host_, port_;
  Handlers handlers_;
  Backoff backoff_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::steady_timer wait_;
  unsigned attempt_ = 0;  // a stopped or later attempt's handlers find theirs gone
  bool stopped_ = false;
};

}  // namespace hostnet

#endif  // HOLVANTER_HOSTS_NET_REDIALER_H_
