// The agent's connections on real loopback sockets and a clock of the
// test's own: a connection that waits for its request is closed after 15 s,
// counted from when it began to wait, whatever it sent of a request.
#include "hosts/agent/http_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio.hpp>

namespace agent {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;

TEST(HttpListener, AConnectionWaitingFifteenSecondsForItsRequestIsClosed) {
  const std::string request = "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const struct {
    const char* what;
    std::string sent_at_10s;  // what the client sends 10 s after it connected
    int open_until_ms;        // the last moment it is still open, from the connect
  } rows[] = {
      {"nothing sent", "", 14999},
      {"a request answered at 10 s: 15 s from the answer", request, 24999},
      {"half a request, a byte at a time", request.substr(0, 10), 14999},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    net::io_context io;
    hosts::TestClock clock(1'000'000);
    HttpListener listener(io, HttpService{[](const std::shared_ptr<HttpConnection>& c) {
                                            c->Send(HttpAnswer{200, "{}"});
                                          },
                                          [](const HttpRequest&) { return Headers{}; }, &clock});
    ASSERT_EQ(listener.Listen("127.0.0.1", 0), std::nullopt);
    listener.Start();
    const auto settle = [&] {
      io.restart();
      io.run_for(milliseconds(50));
    };
    tcp::socket client(io);
    client.connect({net::ip::make_address("127.0.0.1"), listener.port()});
    settle();
    const auto open = [&] {
      client.non_blocking(true);
      char byte;
      boost::system::error_code ec;
      for (;;) {  // an answer is read and put aside; the end or an error is a close
        const std::size_t n = client.read_some(net::buffer(&byte, 1), ec);
        if (ec == net::error::would_block) return true;
        if (ec || n == 0) return false;
      }
    };
    int at = 0;
    const auto move_to = [&](int ms) {
      clock.Advance(milliseconds(ms - at));
      at = ms;
      listener.CloseIdleTooLong();
      settle();
    };
    move_to(10000);
    if (!row.sent_at_10s.empty()) {
      net::write(client, net::buffer(row.sent_at_10s));
      settle();
    }
    move_to(row.open_until_ms);
    EXPECT_TRUE(open()) << "at " << at << " ms";
    move_to(row.open_until_ms + 1);
    EXPECT_FALSE(open()) << "at " << at << " ms";
    listener.Close();
  }
}

}  // namespace
}  // namespace agent
