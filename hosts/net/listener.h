// The listening side of the hosts' connections: the agent's HTTP port and
// the link desk's port for desks open the same way.
#ifndef HOLVANTER_HOSTS_NET_LISTENER_H_
#define HOLVANTER_HOSTS_NET_LISTENER_H_

#include <optional>
#include <string>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

namespace hostnet {

// Opens `acceptor` on `address`:`port` (port 0: one the system chooses)
// and starts listening; the system's words when it cannot. On POSIX a
// restarted host takes its port back at once (on Windows the same option
// would let a second program take a port in use).
std::optional<std::string> OpenListener(boost::asio::ip::tcp::acceptor& acceptor,
                                        const boost::asio::ip::address& address,
                                        unsigned short port);

}  // namespace hostnet

#endif  // HOLVANTER_HOSTS_NET_LISTENER_H_
