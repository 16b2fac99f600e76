#include "hosts/agent/http_connection.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "hosts/agent/agent_log.h"
#include "hosts/net/listener.h"

namespace agent {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using SteadyTime = hosts::SteadyTime;

// A connection waiting for its next request is closed after this long on
// the service's clock: any local program can open connections and leave
// them idle, or send a request a byte at a time. The listener looks once a
// second.
constexpr auto kIdleTimeout = std::chrono::seconds(15);
constexpr auto kIdleSweep = std::chrono::seconds(1);
// The most connections open at once (fewer under a low descriptor limit);
// at the limit the one idle longest is closed for a new one.
constexpr std::size_t kMostConnections = 256;
// Descriptors left to the card work under a low limit: the hotel database
// and its lock, the encoder, the key link and its journal, ODBC's own.
constexpr std::size_t kDescriptorsForCardWork = 32;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string LiteralOf(net::ip::address a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    a = net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
  return a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
}

class Connection;

// What the connections share with the listener; they keep it while they
// last, which may be past the listener at the end.
struct Shared {
  HttpService service;
  std::atomic<std::size_t> open{0};  // lowered by whichever thread lets one go last
  std::size_t most_open = kMostConnections;
  std::list<Connection*> idle;       // longest waiting first; network thread only
  std::map<std::string, std::pair<int, SteadyTime>> notes;
  SteadyTime unauthorized_since;
  uint64_t unauthorized_shown = 0, unauthorized_unshown = 0;

  // Logs `what`, once in 10 s at most: a flood gives a line, not a line for
  // each connection.
  void Note(const std::string& what) {
    auto& [count, at] = notes[what];
    ++count;
    const SteadyTime now = service.clock->Steady();
    if (at != SteadyTime() && now - at < std::chrono::seconds(10)) return;
    Log(what + (count > 1 ? " (" + std::to_string(count) + " times since this line last showed)" : ""));
    count = 0;
    at = now;
  }

  // Answers 401 are logged 20 in 10 s at most, then counted: a flood
  // without the bearer token gives a few lines, not a line for each.
  void LogUnauthorized(const std::string& line) {
    const SteadyTime now = service.clock->Steady();
    if (now - unauthorized_since >= std::chrono::seconds(10)) {
      unauthorized_since = now;
      unauthorized_shown = 0;
    }
    if (unauthorized_shown >= 20) {
      ++unauthorized_unshown;
      return;
    }
    ++unauthorized_shown;
    Log(line + (unauthorized_unshown > 0 ? " (and " + std::to_string(unauthorized_unshown) +
                                               " more 401 answers before it not shown)"
                                         : std::string()));
    unauthorized_unshown = 0;
  }

  bool CloseLongestIdle();
  // Closes the connections that have waited kIdleTimeout for their request.
  void CloseIdleTooLong();
};

class Connection : public HttpConnection, public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<Shared> shared)
      : stream_(std::move(socket)), shared_(std::move(shared)) {
    beast::error_code ignored;
    reached_ = LiteralOf(stream_.socket().local_endpoint(ignored).address());
  }
  ~Connection() override {
    Busy();  // idle only when the agent ends with it open
    --shared_->open;
  }
  void Start() { Read(); }
  // Closes the connection; its read ends at once. Network thread.
  void Close() { stream_.close(); }
  void Busy() {
    if (idle_at_) shared_->idle.erase(*std::exchange(idle_at_, std::nullopt));
  }
  // Since when it has waited for its next request (while it is idle).
  SteadyTime idle_since() const { return idle_since_; }

  const HttpRequest& request() const override { return request_; }
  const std::string& reached() const override { return reached_; }
  void OnAnswer(std::function<void(const HttpAnswer&)> settle) override {
    settle_ = std::move(settle);
  }
  void Send(HttpAnswer answer) override;

 private:
  void Read() {
    parser_.emplace();
    parser_->body_limit(kBodyLimit);
    // The wait for the request is bounded by the listener's look at the
    // idle ones, on the service's clock.
    stream_.expires_never();
    idle_since_ = shared_->service.clock->Steady();
    idle_at_ = shared_->idle.insert(shared_->idle.end(), this);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       self->OnRead(ec);
                     });
  }

  void Take(const http::request<http::string_body>& request) {
    request_ = HttpRequest{};
    request_.method = std::string(request.method_string());
    request_.target = std::string(request.target());
    request_.path = request_.target.substr(0, request_.target.find('?'));
    request_.body = request.body();
    for (const auto& field : request)
      request_.headers.emplace_back(Lower(std::string(field.name_string())), std::string(field.value()));
    version_ = request.version();
    keep_alive_ = request.keep_alive();
    answered_ = false;
    settle_ = nullptr;
  }

  void OnRead(beast::error_code ec) {
    Busy();
    started_ = shared_->service.clock->Steady();
    if (ec == http::error::body_limit) {
      Take(parser_->get());
      request_.body.clear();
      request_.body_too_large = true;
      keep_alive_ = false;
      shared_->service.handle(shared_from_this());
      return;
    }
    if (ec) {
      if (ec != http::error::end_of_stream && ec != beast::error::timeout &&
          ec != net::error::operation_aborted && ec != net::error::connection_reset)
        Log("connection closed: " + ec.message());
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
      return;
    }
    Take(parser_->release());
    stream_.expires_never();  // a card operation may take long; the queue limit applies
    shared_->service.handle(shared_from_this());
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<Shared> shared_;
  HttpRequest request_;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  std::string reached_;
  SteadyTime started_;
  bool answered_ = true;
  std::function<void(const HttpAnswer&)> settle_;
  // Its place among the idle connections while it waits for a request.
  std::optional<std::list<Connection*>::iterator> idle_at_;
  SteadyTime idle_since_{};
};

void Shared::CloseIdleTooLong() {
  // The list is in the order the connections began to wait.
  const SteadyTime cutoff = service.clock->Steady() - kIdleTimeout;
  while (!idle.empty() && idle.front()->idle_since() <= cutoff) CloseLongestIdle();
}

bool Shared::CloseLongestIdle() {
  if (idle.empty()) return false;
  Connection* connection = idle.front();
  connection->Busy();
  connection->Close();
  return true;
}

void Connection::Send(HttpAnswer answer) {
  if (answered_) return;
  answered_ = true;
  if (settle_) std::exchange(settle_, nullptr)(answer);
  auto response = std::make_shared<http::response<http::string_body>>(
      static_cast<http::status>(answer.status), version_);
  response->set(http::field::server, "holvanter-agent");
  response->set(http::field::content_type, answer.content_type);
  response->body() = std::move(answer.body);
  if (!answer.bare)
    for (const auto& [name, value] : shared_->service.common_headers(request_))
      response->set(name, value);
  for (const auto& [name, value] : answer.headers) response->set(name, value);
  response->keep_alive(keep_alive_ && !answer.bare);
  response->prepare_payload();

  const auto ms = std::chrono::duration<double, std::milli>(shared_->service.clock->Steady() - started_).count();
  char took[32];
  std::snprintf(took, sizeof took, "%.1f ms", ms);
  std::string line = request_.method + " " + request_.target + " " +
                     std::to_string(answer.status) + " " + took;
  if (!answer.log_note.empty()) line += " " + answer.log_note;
  if (answer.status == 401)
    shared_->LogUnauthorized(line);
  else
    Log(line);

  stream_.expires_after(std::chrono::seconds(30));
  http::async_write(stream_, *response,
                    [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                      if (ec || !response->keep_alive()) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                        return;
                      }
                      self->Read();
                    });
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  const std::string lower = Lower(name);
  for (const auto& [n, value] : headers)
    if (n == lower) return value;
  return "";
}

bool HttpRequest::HasHeader(std::string_view name) const {
  const std::string lower = Lower(name);
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& header) { return header.first == lower; });
}

std::optional<std::string> HostLiteral(const std::string& address) {
  beast::error_code ec;
  const net::ip::address parsed = net::ip::make_address(address, ec);
  if (ec) return std::nullopt;
  return LiteralOf(parsed);
}

struct HttpListener::Impl {
  Impl(net::io_context& io, HttpService service)
      : io(io), acceptor(io), pause(io), sweep(io), shared(std::make_shared<Shared>()) {
    shared->service = std::move(service);
  }

  // Accepts for as long as the agent runs: a failed accept is the client's
  // alone (gone before it was taken) or a shortage of descriptors, which the
  // connection idle longest, or else a short pause, makes up for.
  void Accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || closed) return;  // closed at stop
      Shared& s = *shared;
      if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
          ec == net::error::no_memory ||
          ec == boost::system::errc::too_many_files_open_in_system) {
        s.Note("out of descriptors (" + ec.message() + "): connections idle longest closed");
        if (!s.CloseLongestIdle()) {
          pause.expires_after(std::chrono::milliseconds(100));
          pause.async_wait([this](beast::error_code) { Accept(); });
          return;
        }
      } else if (ec) {
        s.Note("a connection not accepted: " + ec.message());
      } else if (s.open >= s.most_open && !s.CloseLongestIdle()) {
        s.Note(std::to_string(s.most_open) + " connections open, none idle: new ones refused");
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        if (s.open >= s.most_open)
          s.Note(std::to_string(s.most_open) + " connections open: those idle longest closed");
        ++s.open;
        std::make_shared<Connection>(std::move(socket), shared)->Start();
      }
      Accept();
    });
  }

  net::io_context& io;
  tcp::acceptor acceptor;
  // Once a second, for as long as the agent runs.
  void Sweep() {
    sweep.expires_after(kIdleSweep);
    sweep.async_wait([this](beast::error_code ec) {
      if (ec || closed) return;
      shared->CloseIdleTooLong();
      Sweep();
    });
  }

  net::steady_timer pause;
  net::steady_timer sweep;
  std::shared_ptr<Shared> shared;
  unsigned short port = 0;
  bool closed = false;
};

HttpListener::HttpListener(net::io_context& io, HttpService service)
    : impl_(std::make_unique<Impl>(io, std::move(service))) {}

HttpListener::~HttpListener() = default;

std::optional<std::string> HttpListener::Listen(const std::string& address, unsigned short port) {
  beast::error_code ec;
  const net::ip::address ip = net::ip::make_address(address, ec);
  if (ec) return address + " is no IP address";
  tcp::acceptor& acceptor = impl_->acceptor;
  if (auto failed = hostnet::OpenListener(acceptor, ip, port)) return failed;
  impl_->port = acceptor.local_endpoint().port();
#ifndef _WIN32
  // Under a low descriptor limit the connections leave room for card work.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const std::size_t descriptors = limit.rlim_cur;
    impl_->shared->most_open = std::clamp<std::size_t>(
        descriptors > 2 * kDescriptorsForCardWork ? descriptors - kDescriptorsForCardWork
                                                  : descriptors / 2,
        4, kMostConnections);
  }
#endif
  return std::nullopt;
}

unsigned short HttpListener::port() const { return impl_->port; }
std::size_t HttpListener::most_open() const { return impl_->shared->most_open; }
void HttpListener::Start() {
  impl_->Accept();
  impl_->Sweep();
}

void HttpListener::CloseIdleTooLong() { impl_->shared->CloseIdleTooLong(); }

void HttpListener::Close() {
  impl_->closed = true;
  impl_->sweep.cancel();
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

}  // namespace agent
