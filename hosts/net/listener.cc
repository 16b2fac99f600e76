#include "hosts/net/listener.h"

namespace hostnet {

std::optional<std::string> OpenListener(boost::asio::ip::tcp::acceptor& acceptor,
                                        const boost::asio::ip::address& address,
                                        unsigned short port) {
  namespace net = boost::asio;
  const net::ip::tcp::endpoint endpoint(address, port);
  boost::system::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return ec.message();
  return std::nullopt;
}

}  // namespace hostnet
