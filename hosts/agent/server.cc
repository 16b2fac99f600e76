// The agent's HTTP face (Boost.Beast over Asio): one network thread that
// accepts, checks and answers requests; card operations go to the encoder
// port's worker thread, database look-ups to a thread of their own.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "holvanter/tavo_card.h"
#include "holvanter/version.h"
#include "hosts/agent/agent.h"
#include "hosts/agent/idempotency.h"
#include "hosts/frontdesk/encoder_worker.h"
#include "hosts/agent/routes.h"
#include "hosts/agent/token.h"
#include "hosts/desks/desk_client.h"
#include "hosts/desks/mac.h"
#include "hosts/desks/hub.h"
#include "hosts/desks/registry.h"
#include "hosts/fias/authkey.h"
#include "util/encoding.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"
#include "hosts/fias/link_client.h"
#include "hosts/frontdesk/frontdesk.h"
#include "hosts/frontdesk/image_decode.h"
#include "util/log_escape.h"

namespace agent {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBodyLimit = 64 * 1024;
// A connection waiting for its next request is closed after this long: any
// local program can open connections and leave them idle.
constexpr auto kIdleTimeout = std::chrono::seconds(15);
// The most connections open at once (fewer under a low descriptor limit);
// at the limit the one idle longest is closed for a new one.
constexpr std::size_t kMostConnections = 256;
// Descriptors left to the card work under a low limit: the hotel database
// and its lock, the encoder, the key link and its journal, ODBC's own.
constexpr std::size_t kDescriptorsForCardWork = 32;

struct Answer {
  http::status status = http::status::ok;
  std::string body;
  std::string content_type = "application/json";
  std::string card_no;  // for the log line
  bool page = false;    // the page at /: its security policy goes with it
  bool bare = false;    // no CORS or other headers, and the connection closes
  std::string set_cookie;  // a Set-Cookie header
  bool ran = false;     // a card operation reached the encoder: an idempotency key keeps it
  bool replayed = false;  // the kept answer of an earlier request with the same key
};

// The page's Content-Security-Policy: nothing from anywhere but the agent,
// and never inside another site's frame (a page of elsewhere cannot lay
// invisible buttons over it). Its inline <script> and <style> elements are
// let in by their SHA-256, taken from index.html when the build is
// configured; nothing else inline runs: no style="" or onclick=""
// attributes. Script and styles may instead go in page/page.js and
// page/page.css, which the agent serves at /page.js and /page.css.
constexpr char kPagePolicy[] = "default-src 'self'; frame-ancestors 'none'";

// kPagePolicy with the `directive` (script-src, style-src) that lets in
// the inline elements whose hashes (hex, each after a blank) are `hashes`.
std::string WithInlineHashes(std::string policy, const char* directive, const std::string& hashes) {
  std::string sources;
  for (std::size_t at = hashes.find_first_not_of(' '); at != std::string::npos;
       at = hashes.find_first_not_of(' ', at + 64)) {
    uint8_t digest[32];
    for (int i = 0; i < 32; ++i)
      digest[i] = static_cast<uint8_t>(std::stoi(hashes.substr(at + 2 * i, 2), nullptr, 16));
    sources += " 'sha256-" + holvanter::Base64Encode(digest, sizeof digest) + "'";
  }
  if (!sources.empty()) policy += std::string("; ") + directive + " 'self'" + sources;
  return policy;
}

const std::string& PagePolicy() {
  static const std::string policy = WithInlineHashes(
      WithInlineHashes(kPagePolicy, "script-src", kPageScriptHashes), "style-src", kPageStyleHashes);
  return policy;
}

Answer Json(http::status status, const nlohmann::json& body) {
  Answer a;
  a.status = status;
  a.body = frontdesk::Dump(body);
  if (body.is_object() && body.contains("card_no") && body["card_no"].is_string())
    a.card_no = body["card_no"].get<std::string>();
  return a;
}

// Every answer that is not 2xx: {"error": {code, message, field?, result?}},
// `code` a stable name a program can switch on.
nlohmann::json ErrorObject(const std::string& code, const std::string& message,
                           const std::string& field = "", std::optional<int> result = std::nullopt) {
  nlohmann::json error{{"code", code}, {"message", message}};
  if (!field.empty()) error["field"] = field;
  if (result) error["result"] = *result;
  return error;
}

Answer Error(http::status status, const std::string& code, const std::string& message,
             const std::string& field = "") {
  return Json(status, {{"error", ErrorObject(code, message, field)}});
}

// The HTTP status of a card operation's result code: the component's
// refusals of the stay are 422, a card on the encoder that does not fit the
// operation 409, the encoder failing to read or write 502, a desk whose
// hotel database cannot be reached 500.
http::status StatusOfResult(int code) {
  namespace result = holvanter::result;
  switch (code) {
    case result::kDone:
      return http::status::ok;
    case result::kBadBegin: case result::kBadEnd: case result::kBadBuilding:
    case result::kBadFloor: case result::kBadGuestRoom: case result::kBadVillaRooms:
      return http::status::unprocessable_entity;
    case result::kNoCard: case result::kCardKind01: case result::kCardKindAA:
    case result::kNoOpenRecord:
      return http::status::conflict;
    case result::kNoSettingsFile: case result::kNoDatabaseFile: case result::kDatabaseNotOpen:
      return http::status::internal_server_error;
    default:  // -99, -128, -129, the encoder's write statuses
      return http::status::bad_gateway;
  }
}

// The answer of a card operation: the front desk's JSON answer, and for
// anything but success the error object beside it.
Answer OfCard(const frontdesk::CardAnswer& card) {
  nlohmann::json body = frontdesk::ToJson(card);
  body.erase("error");
  body.erase("message");
  http::status status = http::status::ok;
  nlohmann::json error;
  if (!card.usage_error.empty()) {
    status = http::status::bad_request;
    error = ErrorObject("invalid_field", card.usage_error);
  } else if (!card.refusal_code.empty()) {
    status = card.refusal_code == frontdesk::kCardInUse ? http::status::conflict
                                                        : http::status::unprocessable_entity;
    error = ErrorObject(card.refusal_code, card.refusal,
                        card.refusal_code == frontdesk::kUnknownRoom
                            ? (card.rooms.size() > 1 ? "rooms" : "room")
                            : "");
  } else if (card.hresult) {
    char hresult[16];
    std::snprintf(hresult, sizeof hresult, "0x%08X", static_cast<unsigned>(*card.hresult));
    status = http::status::internal_server_error;
    error = ErrorObject("call_failed", std::string("the card call failed with ") + hresult +
                                           ": " + card.error_message);
    error["hresult"] = hresult;
  } else if (!card.opened || card.nothing_read) {
    status = http::status::bad_gateway;
    error = ErrorObject(frontdesk::ResultName(holvanter::result::kPortNotOpened), card.meaning,
                        "", card.result);
  } else if (card.result != holvanter::result::kDone) {
    status = StatusOfResult(card.result);
    error = ErrorObject(frontdesk::ResultName(card.result),
                        card.meaning + (card.reason.empty() ? "" : ": " + card.reason), "",
                        card.result);
  }
  if (!error.is_null()) body["error"] = std::move(error);
  Answer answer = Json(status, body);
  answer.ran = true;
  return answer;
}

void Log(const std::string& line) {
  static std::mutex mutex;
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::lock_guard<std::mutex> lock(mutex);
  // Whatever a value brings in (an HTTP target, a PMS field, a refusal
  // heard from the network) stays on this one line and shows as it is.
  std::cout << stamp << " " << holvanter::EscapeForLog(line) << std::endl;
}

class Server;

// The agent that Serve runs, for a service manager that stops it from a
// thread of its own (tavocard service on Windows).
struct Running {
  std::mutex mutex;
  Server* server = nullptr;        // while it listens
  std::string stop_asked;          // a stop that came before it listened
  std::function<void(const std::string&)> listening;
};

Running& TheRunning() {
  static Running running;
  return running;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Server& server) : stream_(std::move(socket)), server_(server) {
    beast::error_code ignored;
    local_ = stream_.socket().local_endpoint(ignored).address();
  }
  ~Session();
  void Start() { Read(); }
  // Closes the connection; its read ends at once. On the network thread.
  void Close() { stream_.close(); }
  // The address the client reached this agent at.
  const net::ip::address& local_address() const { return local_; }
  // Sends the answer to the request read last; on the network thread.
  void Send(Answer answer);
  const http::request<http::string_body>& request() const { return request_; }
  // The Idempotency-Key this request holds: its answer settles the key.
  void HoldKey(std::string key) { idempotency_key_ = std::move(key); }

 private:
  void Read();
  void OnRead(beast::error_code ec);

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::request<http::string_body> request_;
  Server& server_;
  net::ip::address local_;
  Clock::time_point started_;
  bool answered_ = true;
  std::string idempotency_key_;
  // Its place among the idle connections while it waits for a request.
  friend class Server;
  std::optional<std::list<Session*>::iterator> idle_at_;
};

class Server {
 public:
  // Answers 401 are logged 20 in 10 s at most, then counted: a flood
  // without the bearer token gives a few lines, not a line for each.
  void LogUnauthorized(const std::string& line) {
    const Clock::time_point now = Clock::now();
    if (now - unauthorized_since_ >= std::chrono::seconds(10)) {
      unauthorized_since_ = now;
      unauthorized_shown_ = 0;
    }
    if (unauthorized_shown_ >= 20) {
      ++unauthorized_unshown_;
      return;
    }
    ++unauthorized_shown_;
    Log(line + (unauthorized_unshown_ > 0 ? " (and " + std::to_string(unauthorized_unshown_) +
                                                " more 401 answers before it not shown)"
                                          : std::string()));
    unauthorized_unshown_ = 0;
  }
  Clock::time_point unauthorized_since_;
  uint64_t unauthorized_shown_ = 0, unauthorized_unshown_ = 0;
  Server(const AgentOptions& options, std::string token, std::optional<KeyLinkSetup> key_link,
         std::optional<DesksSetup> desks, std::unique_ptr<IdempotencyKeys> idempotency)
      : options_(options),
        token_(std::move(token)),
        idempotency_(std::move(idempotency)),
        acceptor_(io_),
        signals_(io_, SIGINT, SIGTERM) {
    std::set<int> ports{options.encoder_port};
    if (key_link)
      for (const auto& [coder, target] : key_link->keys.coders)
        if (target.desk.empty()) ports.insert(target.port);
    for (int port : ports) workers_[port] = MakeWorker(port);
    const auto queue_wait =
        std::chrono::milliseconds(static_cast<long long>(options.queue_wait_seconds * 1000));
    if (desks && !desks->join_host.empty()) {
      journal_ = std::make_unique<fias::Journal>(desks->journal);
      desks::DeskClient::Options join;
      join.host = desks->join_host;
      join.port = desks->join_port;
      join.desk = desks->desk;
      join.secret_file = desks->secret_file;
      join.pairing_code = desks->pairing_code;
      join.queue_wait = queue_wait;
      desk_client_ = std::make_unique<desks::DeskClient>(
          io_, std::move(join), *journal_,
          [this](int port, std::function<void()> run) -> std::shared_ptr<Job> {
            // The link desk names the port: a worker for it at its first request.
            std::lock_guard<std::mutex> lock(workers_mutex_);
            if (stopping_) return nullptr;
            auto& worker = workers_[port];
            if (!worker) worker = MakeWorker(port);
            return worker->Submit(std::move(run));
          },
          Log);
    }
    if (key_link) {
      journal_ = std::make_unique<fias::Journal>(key_link->journal);
      keys_ = std::make_unique<fias::KeyService>(key_link->keys, *journal_, fias::Now);
      fias::LinkClient::Options link;
      link.host = key_link->host;
      link.port = key_link->port;
      link.queue_wait = queue_wait;
      link.link = key_link->link;
      fias::LinkClient::Route route;
      if (desks && !desks->registry.empty()) {
        registry_ = std::make_unique<desks::DeskRegistry>(desks->registry);
        desks::DeskHub::Options hub;
        hub.address = desks->listen_address;
        hub.port = desks->listen_port;
        hub.queue_wait = queue_wait;
        hub.coders = desks->coders;
        hub_ = std::make_unique<desks::DeskHub>(io_, std::move(hub), *registry_, *keys_,
                                                *journal_, Log);
        route = [this](const std::string& desk, int port, const fias::Record& request,
                       std::function<void(fias::KeyOutcome)> done) {
          hub_->Route(desk, port, request, std::move(done));
        };
      }
      link_ = std::make_unique<fias::LinkClient>(
          io_, std::move(link), *keys_, *journal_,
          [this](int port, std::function<void()> run) {
            return workers_.at(port)->Submit(std::move(run));
          },
          Log, std::move(route));
    }
  }

  using Job = frontdesk::EncoderWorker::Job;

  static std::unique_ptr<frontdesk::EncoderWorker> MakeWorker(int port) {
    return std::make_unique<frontdesk::EncoderWorker>(port, [port] {
      // Whether the encoder opens, for the health answer before any card.
      holvanter::TavoCard card;
      try {
        const bool opened = card.OpenPort(port) == port + 1;
        card.ClosePort();
        return opened;
      } catch (const holvanter::TavoError&) {
        return false;  // no encoder library: each operation says so
      }
    });
  }

  frontdesk::EncoderWorker& worker() { return *workers_.at(options_.encoder_port); }
  const frontdesk::EncoderWorker& worker() const { return *workers_.at(options_.encoder_port); }

  void StopWorkers() {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    for (auto& [port, worker] : workers_) worker->Stop();
  }

  int Run() {
    const Clock::time_point started = Clock::now();
    StartDatabaseCheck();  // the first health answer need not wait for one
    // The health answer tells whether the encoder opened: not before it was tried.
    for (auto& [port, worker] : workers_) worker->WaitUntilProbed();
    beast::error_code ec;
    const tcp::endpoint endpoint(net::ip::make_address(options_.address, ec),
                                 static_cast<unsigned short>(options_.port));
    if (ec) {
      std::cerr << "tavocard serve: '" << options_.address << "' is no IP address\n";
      return 64;
    }
    acceptor_.open(endpoint.protocol(), ec);
#ifndef _WIN32
    // A restarted agent takes its port back at once. (On Windows the same
    // option would let a second program take a port in use.)
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
#endif
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
      std::cerr << "tavocard serve: cannot listen on " << options_.address << ":"
                << options_.port << ": " << ec.message() << "\n";
      StopWorkers();
      return 3;
    }
    port_ = acceptor_.local_endpoint().port();
#ifndef _WIN32
    // Under a low descriptor limit the connections leave room for card work.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      const std::size_t descriptors = limit.rlim_cur;
      most_open_ = std::clamp<std::size_t>(descriptors > 2 * kDescriptorsForCardWork
                                               ? descriptors - kDescriptorsForCardWork
                                               : descriptors / 2,
                                           4, kMostConnections);
    }
#endif
    signals_.async_wait([this](beast::error_code, int signal) {
      BeginStop(signal == SIGINT ? "SIGINT" : "SIGTERM");
    });
    if (hub_) {
      const std::string failed = hub_->Listen();
      if (!failed.empty()) {
        std::cerr << "tavocard serve: cannot listen for desks on " << options_.desks_listen
                  << ": " << failed << "\n";
        StopWorkers();
        return 3;
      }
      Log("listening for desks on " + options_.desks_listen + " (port " +
          std::to_string(hub_->port()) + ")");
    }
    Accept();
    if (link_) link_->Start();
    if (desk_client_) desk_client_->Start();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    Log("listening on http://" + options_.address + ":" +
        std::to_string(port_) + "/ (encoder port " +
        std::to_string(options_.encoder_port) + ", at most " + std::to_string(most_open_) +
        " connections, started in " + std::to_string(ms.count()) + " ms)");
    std::string stop_asked;
    std::function<void(const std::string&)> listening;
    {
      Running& running = TheRunning();
      std::lock_guard<std::mutex> lock(running.mutex);
      running.server = this;
      stop_asked = running.stop_asked;
      listening = running.listening;
    }
    if (!stop_asked.empty()) net::post(io_, [this, stop_asked] { BeginStop(stop_asked); });
    if (listening) listening("http://" + options_.address + ":" + std::to_string(port_) + "/");
    // Answers come back from the worker threads; the loop runs until the
    // stop has let them out.
    auto keep_running = net::make_work_guard(io_);
    io_.run();
    {
      Running& running = TheRunning();
      std::lock_guard<std::mutex> lock(running.mutex);
      running.server = nullptr;
    }
    if (stopper_.joinable()) stopper_.join();
    Log("stopped");
    return 0;
  }

  // For StopServing: the loop the stop runs on, and the stop.
  net::io_context& io() { return io_; }
  void Stop(const std::string& why) { BeginStop(why); }

  void Dispatch(const std::shared_ptr<Session>& session);
  bool BeginIdempotent(const std::shared_ptr<Session>& session, const std::string& path);
  void Decorate(http::response<http::string_body>& response,
                const http::request<http::string_body>& request) const;

  // Whether `host` (a Host header) names this agent: the loopback names,
  // the address it was told to listen on, or the address the client
  // reached, each with the agent's port. A web page on a name of its own
  // that a rebinding DNS answer points at 127.0.0.1 sends that name.
  bool OwnHost(std::string host, const net::ip::address& reached) const {
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto literal = [](net::ip::address a) {
      if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
      return a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
    };
    beast::error_code ec;
    const net::ip::address listening = net::ip::make_address(options_.address, ec);
    const std::string port = ":" + std::to_string(port_);
    for (const std::string& name : {std::string("127.0.0.1"), std::string("localhost"),
                                    std::string("[::1]"), literal(listening), literal(reached)})
      // Port 80 is the one a browser leaves out.
      if (host == name + port || (port_ == 80 && host == name)) return true;
    return false;
  }

  // A connection waits for a request (idle) or not; the idle ones are kept
  // in order, the longest waiting first. Network thread only.
  void Idle(Session& session) { session.idle_at_ = idle_.insert(idle_.end(), &session); }
  void Busy(Session& session) {
    if (session.idle_at_) idle_.erase(*std::exchange(session.idle_at_, std::nullopt));
  }
  // A connection has ended; on any thread.
  void Gone() { --open_; }

  // The answer to a request that held an Idempotency-Key: kept when the
  // card operation ran, else the key is free again. Network thread.
  void Settle(const std::string& key, const Answer& answer) {
    const KeptAnswer kept{static_cast<int>(answer.status), answer.body, true};
    if (answer.ran)
      idempotency_->Finish(key, kept);
    else
      idempotency_->Forget(key, kept);
  }

  bool OriginListed(const std::string& origin) const {
    return !origin.empty() &&
           std::find(options_.origins.begin(), options_.origins.end(), origin) !=
               options_.origins.end();
  }

 private:
  // Accepts for as long as the agent runs: a failed accept is the client's
  // alone (gone before it was taken) or a shortage of descriptors, which the
  // connection idle longest, or else a short pause, makes up for.
  void Accept() {
    acceptor_.async_accept(net::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || stopping_) return;  // closed at stop
      if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
          ec == net::error::no_memory ||
          ec == boost::system::errc::too_many_files_open_in_system) {
        Note("out of descriptors (" + ec.message() + "): connections idle longest closed");
        if (!CloseLongestIdle()) {
          accept_pause_.expires_after(std::chrono::milliseconds(100));
          accept_pause_.async_wait([this](beast::error_code) { Accept(); });
          return;
        }
      } else if (ec) {
        Note("a connection not accepted: " + ec.message());
      } else if (open_ >= most_open_ && !CloseLongestIdle()) {
        Note(std::to_string(most_open_) + " connections open, none idle: new ones refused");
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        if (open_ >= most_open_)
          Note(std::to_string(most_open_) + " connections open: those idle longest closed");
        ++open_;
        std::make_shared<Session>(std::move(socket), *this)->Start();
      }
      Accept();
    });
  }

  bool CloseLongestIdle() {
    if (idle_.empty()) return false;
    Session* session = idle_.front();
    Busy(*session);
    session->Close();
    return true;
  }

  // Logs `what`, once in 10 s at most: a flood gives a line, not a line for
  // each connection.
  void Note(const std::string& what) {
    auto& [count, at] = notes_[what];
    ++count;
    const Clock::time_point now = Clock::now();
    if (at != Clock::time_point() && now - at < std::chrono::seconds(10)) return;
    Log(what + (count > 1 ? " (" + std::to_string(count) + " times since this line last showed)" : ""));
    count = 0;
    at = now;
  }

  // Stops taking requests, lets the card operation in progress finish and
  // answer, answers the waiting ones with 503, then ends.
  // Network thread only.
  void BeginStop(const std::string& why) {
    if (stopping_.exchange(true)) return;
    Log("stopping on " + why);
    beast::error_code ignored;
    acceptor_.close(ignored);
    if (link_) link_->Stop();
    if (hub_) hub_->Stop();
    if (desk_client_) desk_client_->Stop();
    stopper_ = std::thread([this] {
      StopWorkers();
      database_.join();
      net::post(io_, [this] {
        for (const auto& timer : waits_) timer->cancel();
        // A moment for the last answers to leave, then idle connections
        // close; the key link's LE waits for the interface's LE (2 s at most).
        auto grace = std::make_shared<net::steady_timer>(io_, std::chrono::milliseconds(300));
        struct Grace {
          Server* self;
          std::shared_ptr<net::steady_timer> timer;
          std::chrono::steady_clock::time_point until;
          void operator()(beast::error_code) const {
            if (self->link_ && self->link_->connected() && std::chrono::steady_clock::now() < until) {
              timer->expires_after(std::chrono::milliseconds(50));
              timer->async_wait(*this);
              return;
            }
            self->io_.stop();
          }
        };
        grace->async_wait(
            Grace{this, grace, std::chrono::steady_clock::now() + std::chrono::milliseconds(2300)});
      });
    });
  }

  // Runs `operation` (a front-desk card operation) on the encoder's thread;
  // 503 when it has waited longer than the configured limit.
  template <typename Operation>
  void OnEncoder(const std::shared_ptr<Session>& session, Operation operation) {
    auto timer = std::make_shared<net::steady_timer>(
        io_, std::chrono::milliseconds(static_cast<long long>(options_.queue_wait_seconds * 1000)));
    auto job = worker().Submit([this, session, timer, operation] {
      const frontdesk::CardAnswer card = operation(options_.encoder_port);
      worker().set_opened(card.opened && !card.hresult);
      Answer answer = OfCard(card);
      net::post(io_, [session, timer, answer = std::move(answer)]() mutable {
        timer->cancel();
        session->Send(std::move(answer));
      });
    });
    if (!job) {
      session->Send(Error(http::status::service_unavailable, "agent_stopping", "the agent is stopping"));
      return;
    }
    waits_.insert(timer);
    timer->async_wait([this, session, timer, job](beast::error_code) {
      waits_.erase(timer);
      if (job->Expire())
        session->Send(Error(http::status::service_unavailable,
                            stopping_ ? "agent_stopping" : "encoder_busy",
                            stopping_ ? "the agent is stopping; nothing was done"
                                      : "the encoder stayed busy longer than the wait limit; "
                                        "nothing was done"));
    });
  }

  // Runs `lookup` on the database thread.
  template <typename Lookup>
  void OnDatabase(const std::shared_ptr<Session>& session, Lookup lookup) {
    net::post(database_, [this, session, lookup] {
      Answer answer = Guarded(lookup);
      net::post(io_, [session, answer = std::move(answer)]() mutable {
        session->Send(std::move(answer));
      });
    });
  }

  // Calls `use` with the hotel database check of the health answer: the last
  // one while it is younger than kDatabaseCheckAge or a new one is under
  // way, else a new one. Health needs no token, so anyone may ask often:
  // the database sees one connection every few seconds at most, and the
  // check runs on the database thread, never behind card work.
  static constexpr auto kDatabaseCheckAge = std::chrono::seconds(5);
  template <typename Use>
  void WithDatabaseCheck(Use use) {
    if (database_check_ && (checking_ || Clock::now() - checked_at_ < kDatabaseCheckAge)) {
      use(*database_check_);
      return;
    }
    check_waiters_.push_back(std::move(use));
    StartDatabaseCheck();
  }

  void StartDatabaseCheck() {
    if (checking_) return;
    checking_ = true;
    net::post(database_, [this] {
      nlohmann::json check;
      try {
        check = DatabaseHealth();
      } catch (const std::exception& e) {
        check = {{"reachable", false}, {"path", ""}, {"message", e.what()}};
      }
      net::post(io_, [this, check] {
        checking_ = false;
        database_check_ = check;
        checked_at_ = Clock::now();
        for (auto& use : std::exchange(check_waiters_, {})) use(check);
      });
    });
  }

  // A database that cannot be read answers 500 with the reason.
  template <typename Body>
  static Answer Guarded(Body body) {
    try {
      return body();
    } catch (const std::exception& e) {
      return Error(http::status::internal_server_error, "database_failed", e.what());
    }
  }

  // The page's cookie: a digest of the token, so that a new token
  // (tavocard serve --new-token) revokes every cookie given for the old.
  static constexpr char kPageCookie[] = "holvanter_page";
  std::string PageCookieValue() const {
    return desks::Hex(desks::HmacSha256(token_, "holvanter page cookie"));
  }

  // The bearer token; or the page's cookie together with the page's own
  // header, which no page of another origin can send without a preflight
  // that the agent refuses (a page on another port of this machine is the
  // same site, so SameSite alone would not keep it out).
  bool Authorized(const http::request<http::string_body>& request) const {
    const std::string header(request[http::field::authorization]);
    const std::string scheme = "Bearer ";
    if (header.size() > scheme.size() && header.compare(0, scheme.size(), scheme) == 0)
      return SameToken(header.substr(scheme.size()), token_);
    if (request.find("X-Holvanter-Page") == request.end()) return false;
    const std::string cookies(request[http::field::cookie]);
    const std::string name = std::string(kPageCookie) + "=";
    for (std::size_t at = 0; at < cookies.size();) {
      std::size_t end = cookies.find(';', at);
      if (end == std::string::npos) end = cookies.size();
      std::string pair = cookies.substr(at, end - at);
      pair.erase(0, pair.find_first_not_of(' '));
      if (pair.compare(0, name.size(), name) == 0 &&
          SameToken(pair.substr(name.size()), PageCookieValue()))
        return true;
      at = end + 1;
    }
    return false;
  }

  const AgentOptions options_;
  const std::string token_;
  std::unique_ptr<IdempotencyKeys> idempotency_;  // network thread only
  unsigned short port_ = 0;  // the port listened on
  // The connections (before io_: a connection's end reaches them).
  std::atomic<std::size_t> open_{0};  // lowered by whichever thread lets one go last
  std::size_t most_open_ = kMostConnections;
  std::list<Session*> idle_;
  net::io_context io_;
  tcp::acceptor acceptor_;
  net::signal_set signals_;
  // One worker per encoder port: the agent's own and the key coders'.
  std::map<int, std::unique_ptr<frontdesk::EncoderWorker>> workers_;
  std::unique_ptr<fias::Journal> journal_;
  std::unique_ptr<fias::KeyService> keys_;
  std::unique_ptr<fias::LinkClient> link_;
  std::unique_ptr<desks::DeskRegistry> registry_;
  std::unique_ptr<desks::DeskHub> hub_;                // the link desk's, for joined desks
  std::unique_ptr<desks::DeskClient> desk_client_;     // a desk's, joined to the link desk
  std::mutex workers_mutex_;  // a desk adds workers while the stopper stops them
  net::thread_pool database_{1};
  std::set<std::shared_ptr<net::steady_timer>> waits_;  // network thread only
  // The health answer's database check; network thread only.
  std::optional<nlohmann::json> database_check_;
  Clock::time_point checked_at_;
  bool checking_ = false;
  std::vector<std::function<void(const nlohmann::json&)>> check_waiters_;
  net::steady_timer accept_pause_{io_};
  std::map<std::string, std::pair<int, Clock::time_point>> notes_;
  std::atomic<bool> stopping_{false};
  std::thread stopper_;
};

Session::~Session() {
  server_.Busy(*this);  // idle only when the agent ends with it open
  server_.Gone();
}

void Session::Read() {
  parser_.emplace();
  parser_->body_limit(kBodyLimit);
  stream_.expires_after(kIdleTimeout);
  server_.Idle(*this);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) {
                     self->OnRead(ec);
                   });
}

void Session::OnRead(beast::error_code ec) {
  server_.Busy(*this);
  started_ = Clock::now();
  if (ec == http::error::body_limit) {
    request_ = parser_->get();
    request_.keep_alive(false);
    answered_ = false;
    Send(Error(http::status::payload_too_large, "body_too_large", "the body is larger than 64 KiB"));
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
  request_ = parser_->release();
  answered_ = false;
  stream_.expires_never();  // a card operation may take long; the queue limit applies
  server_.Dispatch(shared_from_this());
}

void Session::Send(Answer answer) {
  if (answered_) return;
  answered_ = true;
  if (!idempotency_key_.empty()) server_.Settle(std::exchange(idempotency_key_, {}), answer);
  auto response = std::make_shared<http::response<http::string_body>>(answer.status,
                                                                      request_.version());
  response->set(http::field::server, "holvanter-agent");
  response->set(http::field::content_type, answer.content_type);
  response->body() = std::move(answer.body);
  if (!answer.bare) server_.Decorate(*response, request_);
  if (answer.replayed) response->set("Idempotent-Replayed", "true");
  if (!answer.set_cookie.empty()) response->set(http::field::set_cookie, answer.set_cookie);
  if (answer.page) {
    response->set("Content-Security-Policy", PagePolicy());
    response->set("X-Frame-Options", "DENY");
  }
  response->keep_alive(request_.keep_alive() && !answer.bare);
  response->prepare_payload();

  const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
  char took[32];
  std::snprintf(took, sizeof took, "%.1f ms", ms);
  std::string line = std::string(request_.method_string()) + " " +
                     std::string(request_.target()) + " " +
                     std::to_string(static_cast<int>(answer.status)) + " " + took;
  if (!answer.card_no.empty()) line += " card " + answer.card_no;
  if (answer.status == http::status::unauthorized)
    server_.LogUnauthorized(line);
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

void Server::Decorate(http::response<http::string_body>& response,
                      const http::request<http::string_body>& request) const {
  response.set(http::field::cache_control, "no-store");
  response.set("X-Content-Type-Options", "nosniff");
  const std::string origin(request[http::field::origin]);
  if (!OriginListed(origin)) return;
  response.set(http::field::access_control_allow_origin, origin);
  response.set(http::field::vary, "Origin");
  response.set(http::field::access_control_expose_headers, "Idempotent-Replayed");
  if (request.method() == http::verb::options) {
    response.set(http::field::access_control_allow_methods, "GET, POST, OPTIONS");
    response.set(http::field::access_control_allow_headers, "Authorization, Content-Type, Idempotency-Key");
    response.set(http::field::access_control_max_age, "600");
    // A PMS page served from the hotel network asks before it reaches this
    // desk's loopback address.
    if (request["Access-Control-Request-Private-Network"] == "true")
      response.set("Access-Control-Allow-Private-Network", "true");
  }
}

// The Idempotency-Key of a request that writes, when it has one: false when
// the request is answered already (a kept answer, a key reused for another
// request, a bad key) or waits for the first request with its key.
bool Server::BeginIdempotent(const std::shared_ptr<Session>& session, const std::string& path) {
  const auto& request = session->request();
  if (request.find("Idempotency-Key") == request.end()) return true;
  const std::string key(request["Idempotency-Key"]);
  if (!UsableIdempotencyKey(key)) {
    session->Send(Error(http::status::bad_request, "bad_idempotency_key",
                        "the Idempotency-Key must be 1 to 255 visible ASCII characters",
                        "Idempotency-Key"));
    return false;
  }
  // The same request is the same route and the same JSON, however it is
  // spaced; only a digest of it is kept.
  const nlohmann::json parsed = nlohmann::json::parse(request.body(), nullptr, false);
  const std::string canonical = parsed.is_discarded() ? request.body() : frontdesk::Dump(parsed);
  const std::string fingerprint =
      desks::Hex(desks::HmacSha256("holvanter idempotency", path + "\n" + canonical));
  KeptAnswer kept;
  const auto answer_of = [](const KeptAnswer& kept) {
    Answer answer;
    answer.status = static_cast<http::status>(kept.status);
    answer.body = kept.body;
    answer.replayed = kept.kept;
    return answer;
  };
  switch (idempotency_->Begin(key, fingerprint, kept, [session, answer_of](const KeptAnswer& first) {
    session->Send(answer_of(first));
  })) {
    case IdempotencyKeys::Outcome::kFirst:
      session->HoldKey(key);
      return true;
    case IdempotencyKeys::Outcome::kReplay:
      session->Send(answer_of(kept));
      return false;
    case IdempotencyKeys::Outcome::kReused:
      session->Send(Error(http::status::unprocessable_entity, "idempotency_key_reused",
                          "this Idempotency-Key came with another request in the last 24 hours: "
                          "use a new key for a new request",
                          "Idempotency-Key"));
      return false;
    case IdempotencyKeys::Outcome::kWaiting:
      return false;
  }
  return false;
}

void Server::Dispatch(const std::shared_ptr<Session>& session) {
  const auto& request = session->request();
  const std::string target(request.target());
  const std::string path = target.substr(0, target.find('?'));
  const http::verb method = request.method();
  const std::string origin(request[http::field::origin]);

  if (!OwnHost(std::string(request[http::field::host]), session->local_address())) {
    Answer misdirected;
    misdirected.status = http::status::misdirected_request;
    misdirected.content_type = "text/plain";
    misdirected.body = "misdirected request\n";
    misdirected.bare = true;
    session->Send(std::move(misdirected));
    return;
  }
  if (stopping_) {
    session->Send(Error(http::status::service_unavailable, "agent_stopping", "the agent is stopping"));
    return;
  }

  struct Route {
    const char* path;
    http::verb method;
    bool token;
  };
  static const Route routes[] = {
      {"/", http::verb::get, false},
      {"/page.js", http::verb::get, false},
      {"/page.css", http::verb::get, false},
      {"/v1/health", http::verb::get, false},
      {"/v1/openapi.json", http::verb::get, false},
      {"/v1/cards/guest", http::verb::post, true},
      {"/v1/cards/villa", http::verb::post, true},
      {"/v1/card", http::verb::get, true},
      {"/v1/card/checkout", http::verb::post, true},
      {"/v1/cards", http::verb::get, true},
      {"/v1/rooms", http::verb::get, true},
      {"/v1/settings", http::verb::get, true},
      {"/v1/decode", http::verb::post, true},
      {"/v1/session", http::verb::post, true},
  };
  const Route* route = nullptr;
  bool path_known = false;
  for (const Route& r : routes) {
    if (path != r.path) continue;
    path_known = true;
    if (method == r.method) route = &r;
  }

  // A browser's preflight: answered for listed origins only.
  if (method == http::verb::options && path_known) {
    if (!OriginListed(origin)) {
      session->Send(Error(http::status::forbidden, "origin_not_allowed",
                          "origin not allowed: start the agent with --origin " + origin));
      return;
    }
    Answer answer;
    answer.status = http::status::no_content;
    answer.content_type = "text/plain";
    session->Send(std::move(answer));
    return;
  }
  if (route == nullptr) {
    session->Send(path_known ? Error(http::status::method_not_allowed, "method_not_allowed",
                                     std::string(request.method_string()) + " is not taken at " + path)
                             : Error(http::status::not_found, "not_found", "no such route: " + path));
    return;
  }
  if (route->token && !Authorized(request)) {
    session->Send(Error(http::status::unauthorized, "unauthorized",
                        "a bearer token is needed (Authorization: Bearer TOKEN)"));
    return;
  }

  try {
    if (path == "/v1/cards/guest" || path == "/v1/cards/villa" || path == "/v1/card/checkout") {
      if (!BeginIdempotent(session, path)) return;
    }
    if (path == "/") {
      Answer page;
      page.body = kFrontDeskPage;
      page.content_type = "text/html; charset=utf-8";
      page.page = true;
      session->Send(std::move(page));
    } else if (path == "/page.js" || path == "/page.css") {
      const bool script = path == "/page.js";
      const char* text = script ? kPageScript : kPageStyle;
      if (text == nullptr) {
        session->Send(Error(http::status::not_found, "not_found", "the page has no " + path.substr(1)));
        return;
      }
      Answer asset;
      asset.body = text;
      asset.content_type = script ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8";
      session->Send(std::move(asset));
    } else if (path == "/v1/openapi.json") {
      Answer doc;
      doc.body = kOpenApiDocument;
      session->Send(std::move(doc));
    } else if (path == "/v1/health") {
      nlohmann::json encoder{{"port", options_.encoder_port},
                             {"open", worker().opened()},
                             {"waiting", worker().waiting()}};
      nlohmann::json health{{"version", HOLVANTER_VERSION}, {"encoder", encoder}};
      if (link_) health["fias"] = {{"address", link_->address()}, {"up", link_->up()}};
      if (hub_) health["desks"] = hub_->Status();
      if (desk_client_)
        health["join"] = {{"link_desk", desk_client_->address()},
                          {"desk", options_.desk},
                          {"joined", desk_client_->joined()}};
      WithDatabaseCheck([session, health](const nlohmann::json& database) mutable {
        health["database"] = database;
        session->Send(Json(http::status::ok, health));
      });
    } else if (path == "/v1/cards/guest") {
      const nlohmann::json in = CheckBody(request.body(), kGuestFields);
      frontdesk::GuestStay stay = GuestStayOf(in);
      stay.replace = ReplaceAsked(in);
      OnEncoder(session, [stay](int port) { return frontdesk::IssueGuestCard(port, stay); });
    } else if (path == "/v1/cards/villa") {
      const nlohmann::json in = CheckBody(request.body(), kVillaFields);
      frontdesk::VillaStay stay = VillaStayOf(in);
      stay.replace = ReplaceAsked(in);
      OnEncoder(session, [stay](int port) { return frontdesk::IssueVillaCard(port, stay); });
    } else if (path == "/v1/card") {
      OnEncoder(session, [](int port) { return frontdesk::ReadCardOnEncoder(port); });
    } else if (path == "/v1/card/checkout") {
      CheckBody(request.body(), kCheckOutFields);
      OnEncoder(session, [](int port) { return frontdesk::CheckOut(port); });
    } else if (path == "/v1/cards") {
      const frontdesk::CardFilter filter = CardFilterOf(target);
      OnDatabase(session, [filter] { return Json(http::status::ok, NewestCards(filter)); });
    } else if (path == "/v1/rooms") {
      OnDatabase(session, [] { return Json(http::status::ok, RoomBoard()); });
    } else if (path == "/v1/session") {
      // The agent's own page, after the clerk typed the token once: a
      // cookie for this browser, so that the next visit asks nothing.
      CheckBody(request.body(), kCheckOutFields);
      Answer session_answer;
      session_answer.status = http::status::no_content;
      session_answer.content_type = "text/plain";
      session_answer.set_cookie = std::string(kPageCookie) + "=" + PageCookieValue() +
                                  "; Max-Age=2592000; Path=/; HttpOnly; SameSite=Strict";
      session->Send(std::move(session_answer));
    } else if (path == "/v1/settings") {
      session->Send(Json(http::status::ok, {{"checkin_time", options_.checkin_time},
                                            {"checkout_time", options_.checkout_time}}));
    } else if (path == "/v1/decode") {
      const nlohmann::json in = CheckBody(request.body(), kDecodeFields);
      const holvanter::Result<nlohmann::json> card =
          frontdesk::DecodeImageHex(in["image"].get<std::string>());
      if (!card.ok())
        throw BadRequest("invalid_field", "image", "field 'image' " + card.status().message());
      session->Send(Json(http::status::ok, card.value()));
    }
  } catch (const BadRequest& e) {
    session->Send(Error(http::status::bad_request, e.code(), e.what(), e.field()));
  }
}

}  // namespace

void SetListeningHook(std::function<void(const std::string& where)> hook) {
  Running& running = TheRunning();
  std::lock_guard<std::mutex> lock(running.mutex);
  running.listening = std::move(hook);
}

void StopServing(const std::string& why) {
  Running& running = TheRunning();
  std::lock_guard<std::mutex> lock(running.mutex);
  if (running.server == nullptr) {
    running.stop_asked = why;
    return;
  }
  Server* server = running.server;
  net::post(server->io(), [server, why] { server->Stop(why); });
}

int Serve(const AgentOptions& options, std::optional<KeyLinkSetup> key_link,
          std::optional<DesksSetup> desks) {
  const std::string token_file =
      options.token_file.empty() ? DefaultTokenFile() : options.token_file;
  if (token_file.empty()) {
    std::cerr << "tavocard serve: no folder of this user's own for the token ("
#ifdef _WIN32
                 "LOCALAPPDATA"
#else
                 "XDG_STATE_HOME or HOME"
#endif
                 " is not set); give one with --token-file PATH\n";
    return 64;
  }
  Token token;
  try {
    if (options.new_token) {
      // A new token revokes the old one and every page cookie given for it.
      std::error_code ignored;
      std::filesystem::remove(token_file, ignored);
    }
    token = LoadOrCreateToken(token_file);
  } catch (const std::exception& e) {
    std::cerr << "tavocard serve: " << e.what() << "\n";
    return 3;
  }
  // The log (a journal, a console kept open) is read by more people than
  // the token file: the token shows once, when it is made.
  if (token.made)
    std::cout << "bearer token " << token.value << " made and kept in " << token_file
              << " (readable by its owner only); it is not shown again" << std::endl;
  else
    std::cout << "bearer token kept in " << token_file << std::endl;
  std::unique_ptr<IdempotencyKeys> idempotency;
  try {
    idempotency = std::make_unique<IdempotencyKeys>(
        BesideTokenFile(options, "idempotency-keys"),
        [] { return static_cast<int64_t>(std::time(nullptr)); });
  } catch (const std::exception& e) {
    std::cerr << "tavocard serve: " << e.what() << "\n";
    return 3;
  }
  Server server(options, token.value, std::move(key_link), std::move(desks),
                std::move(idempotency));
  return server.Run();
}

}  // namespace agent
