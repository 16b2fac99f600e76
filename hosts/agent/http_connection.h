// The agent's HTTP layer (Boost.Beast over Asio), which knows nothing of
// cards: the listener, which accepts connections within a limit that
// leaves descriptors to the card work, and each connection, which reads one
// request at a time within the body limit, hands it on, and sends its
// answer with the log line. The agent sees plain requests and answers.
#ifndef HOLVANTER_HOSTS_AGENT_HTTP_CONNECTION_H_
#define HOLVANTER_HOSTS_AGENT_HTTP_CONNECTION_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "hosts/clock/clock.h"
#include "hosts/agent/security_policy.h"

namespace boost::asio {
class io_context;
}

namespace agent {

// The body limit: a larger body is answered 413 (HttpRequest::body_too_large).
inline constexpr std::size_t kBodyLimit = 64 * 1024;

struct HttpRequest {
  std::string method;  // as sent: "GET"
  std::string target;  // the path and the query
  std::string path;    // the target without its query
  std::string body;
  Headers headers;     // names in lower case, in the order sent
  bool body_too_large = false;  // the body was over kBodyLimit and is not read

  // The first header of `name` (any case); empty when there is none.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

struct HttpAnswer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  Headers headers;      // its own, beside the common ones
  bool bare = false;    // no common headers, and the connection closes
  bool effected = false;  // the request changed something: an Idempotency-Key keeps the answer
  std::string log_note;   // said after the answer's log line ("card 12345678")
};

class HttpConnection {
 public:
  virtual ~HttpConnection() = default;
  // The request read last.
  virtual const HttpRequest& request() const = 0;
  // The address the client reached this agent at, as a URL host: "127.0.0.1", "[::1]".
  virtual const std::string& reached() const = 0;
  // Sends the answer to the request read last; a second answer to it is
  // dropped. Network thread only.
  virtual void Send(HttpAnswer answer) = 0;
  // `settle` sees the answer to the request read last as it is sent.
  virtual void OnAnswer(std::function<void(const HttpAnswer&)> settle) = 0;
};

// What the listener's owner does with the requests.
struct HttpService {
  // Answers a request, now or later, through the connection's Send.
  std::function<void(const std::shared_ptr<HttpConnection>&)> handle;
  // The headers of every answer that is not bare.
  std::function<Headers(const HttpRequest&)> common_headers;
  // The clock of the log limits (a note, the 401 answers, once in 10 s).
  const hosts::Clock* clock = &hosts::Clock::System();
};

// `address` as a URL host ("[::1]" for IPv6, a v4-mapped one as IPv4);
// nullopt when it is no IP address.
std::optional<std::string> HostLiteral(const std::string& address);

class HttpListener {
 public:
  HttpListener(boost::asio::io_context& io, HttpService service);
  ~HttpListener();
  // Binds and listens; the reason when it cannot. `address` must be an IP
  // address (HostLiteral).
  std::optional<std::string> Listen(const std::string& address, unsigned short port);
  // The port listened on, and the most connections open at once.
  unsigned short port() const;
  std::size_t most_open() const;
  // Accepts until Close, and closes the connections that waited 15 s on
  // the service's clock for a request.
  void Start();
  void Close();
  // That look at the idle connections, which Start repeats every second.
  // Network thread.
  void CloseIdleTooLong();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_HTTP_CONNECTION_H_
