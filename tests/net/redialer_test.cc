// Both sides of a kept connection on real loopback addresses. The redialer:
// a listener that takes the connection, a port that refuses it, a service
// name that does not resolve, the backoff between tries, and a stop that
// silences what is under way. The listener: a port the system chooses, and
// a port already taken.
#include "hosts/net/redialer.h"

#include "hosts/net/listener.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace hostnet {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

TEST(Backoff, DoublesFromTwoSecondsToThirty) {
  Backoff backoff;
  for (int seconds : {2, 4, 8, 16, 30}) EXPECT_EQ(backoff.Next(), std::chrono::seconds(seconds));
  for (int i = 0; i < 40; ++i) ASSERT_EQ(backoff.Next(), std::chrono::seconds(30)) << i;
  backoff.Reset();
  EXPECT_EQ(backoff.Next(), std::chrono::seconds(2));
}

// What the handlers saw.
struct Seen {
  int dialing = 0;
  std::optional<tcp::endpoint> connected;
  std::vector<Redialer::Failure> failures;
};

Redialer::Handlers Recording(Seen& seen) {
  return {[&seen] { ++seen.dialing; },
          [&seen](tcp::socket socket) { seen.connected = socket.remote_endpoint(); },
          [&seen](Redialer::Failure failure, const std::string& message) {
            EXPECT_FALSE(message.empty());
            seen.failures.push_back(failure);
          }};
}

TEST(Redialer, ConnectsOrSaysWhyItCouldNot) {
  asio::io_context io;
  tcp::acceptor listening(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string open_port = std::to_string(listening.local_endpoint().port());
  std::string closed_port;
  {
    tcp::acceptor gone(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    closed_port = std::to_string(gone.local_endpoint().port());
  }
  const struct {
    const char* name;
    std::string port;
    bool connects;
    std::vector<Redialer::Failure> failures;
  } cases[] = {
      {"a listener", open_port, true, {}},
      {"a port no one listens on", closed_port, false, {Redialer::Failure::kNotReached}},
      {"a service name that is none", "no-such-service-here", false,
       {Redialer::Failure::kNotFound}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Seen seen;
    Redialer dialer(io, "127.0.0.1", c.port, Recording(seen));
    EXPECT_EQ(dialer.address(), "127.0.0.1:" + c.port);
    dialer.Dial();
    io.run_for(std::chrono::seconds(10));
    io.restart();
    EXPECT_EQ(seen.dialing, 1);
    EXPECT_EQ(seen.connected.has_value(), c.connects);
    if (seen.connected) {
      EXPECT_EQ(seen.connected->port(), listening.local_endpoint().port());
    }
    EXPECT_EQ(seen.failures, c.failures);
  }
}

TEST(Redialer, WaitsLongerAfterEachFailureAndNothingRunsOnceStopped) {
  asio::io_context io;
  Seen seen;
  Redialer dialer(io, "127.0.0.1", "no-such-service-here", Recording(seen));
  EXPECT_EQ(dialer.DialLater(), std::chrono::seconds(2));
  EXPECT_EQ(dialer.DialLater(), std::chrono::seconds(4));
  dialer.Reset();
  EXPECT_EQ(dialer.DialLater(), std::chrono::seconds(2));
  dialer.Dial();
  dialer.Stop();
  io.run_for(std::chrono::seconds(3));
  EXPECT_EQ(seen.dialing, 1);  // the Dial above; the waits were cancelled
  EXPECT_TRUE(seen.failures.empty());
  EXPECT_EQ(dialer.DialLater(), std::chrono::milliseconds(0));
}

TEST(Listener, TakesTheConnectionsOfItsPortAndSaysWhyAPortInUseIsRefused) {
  asio::io_context io;
  const asio::ip::address loopback = asio::ip::make_address("127.0.0.1");
  tcp::acceptor first(io);
  ASSERT_EQ(OpenListener(first, loopback, 0), std::nullopt);
  const unsigned short port = first.local_endpoint().port();
  ASSERT_NE(port, 0);
  tcp::socket desk(io);
  desk.connect(tcp::endpoint(loopback, port));
  tcp::socket taken(io);
  first.accept(taken);
  EXPECT_EQ(taken.remote_endpoint(), desk.local_endpoint());

  tcp::acceptor second(io);
  const std::optional<std::string> refused = OpenListener(second, loopback, port);
  ASSERT_TRUE(refused.has_value());
  EXPECT_FALSE(refused->empty());
}

}  // namespace
}  // namespace hostnet
