#include "hosts/net/redialer.h"

#include <algorithm>
#include <memory>

namespace hostnet {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::chrono::milliseconds Backoff::Next() {
  // 2 s, 4 s, 8 s, 16 s, then 30 s for as long as the other side stays away.
  constexpr std::chrono::milliseconds kFirst{2000}, kLongest{30000};
  const std::chrono::milliseconds wait = std::min(kFirst * (1 << failures_), kLongest);
  if (kFirst * (1 << failures_) < kLongest) ++failures_;
  return wait;
}

Redialer::Redialer(asio::io_context& io, std::string host, std::string port, Handlers handlers)
    : io_(io),
      host_(std::move(host)),
      port_(std::move(port)),
      handlers_(std::move(handlers)),
      resolver_(io),
      wait_(io) {}

void Redialer::Dial() {
  if (stopped_) return;
  const unsigned attempt = ++attempt_;
  if (handlers_.dialing) handlers_.dialing();
  resolver_.async_resolve(
      host_, port_,
      [this, attempt](boost::system::error_code ec, const tcp::resolver::results_type& endpoints) {
        if (stopped_ || attempt != attempt_) return;
        if (ec) return handlers_.failed(Failure::kNotFound, ec.message());
        auto socket = std::make_shared<tcp::socket>(io_);
        asio::async_connect(*socket, endpoints,
                            [this, attempt, socket](boost::system::error_code ec,
                                                    const tcp::endpoint&) {
                              if (stopped_ || attempt != attempt_) return;
                              if (ec) return handlers_.failed(Failure::kNotReached, ec.message());
                              boost::system::error_code ignored;
                              socket->set_option(tcp::no_delay(true), ignored);
                              handlers_.connected(std::move(*socket));
                            });
      });
}

std::chrono::milliseconds Redialer::DialLater() {
  if (stopped_) return {};
  const std::chrono::milliseconds wait = backoff_.Next();
  wait_.expires_after(wait);
  wait_.async_wait([this](boost::system::error_code ec) {
    if (!ec) Dial();
  });
  return wait;
}

void Redialer::Stop() {
  stopped_ = true;
  ++attempt_;
  resolver_.cancel();
  wait_.cancel();
}

}  // namespace hostnet
