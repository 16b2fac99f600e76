#include "hosts/agent/agent_server.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

#include "holvanter/tavo_card.h"
#include "holvanter/version.h"
#include "hosts/agent/agent_log.h"
#include "hosts/agent/card_requests.h"
#include "hosts/agent/health_cache.h"
#include "hosts/agent/http_connection.h"
#include "hosts/agent/http_mapping.h"
#include "hosts/agent/route_table.h"
#include "hosts/agent/security_policy.h"
#include "hosts/desks/desk_client.h"
#include "hosts/desks/hub.h"
#include "hosts/desks/registry.h"
#include "hosts/fias/clock.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"
#include "hosts/fias/link_client.h"
#include "hosts/frontdesk/encoder_worker.h"
#include "hosts/frontdesk/exit_status.h"
#include "hosts/net/submit_within.h"

namespace agent {

namespace net = boost::asio;
using Connection = std::shared_ptr<HttpConnection>;

class AgentServer::Impl : public AgentContext {
 public:
  Impl(const AgentOptions& options, std::optional<KeyLinkSetup> key_link,
       std::optional<DesksSetup> desks, const hosts::Clock& clock)
      : options_(options),
        clock_(clock),
        sessions_(clock),
        listener_(io_, HttpService{[this](const Connection& c) { Dispatch(c); },
                                   [this](const HttpRequest& r) { return CommonHeadersOf(r); },
                                   &clock}) {
    std::set<int> ports{options.encoder_port};
    if (key_link)
      for (const auto& [coder, target] : key_link->keys.coders)
        if (target.desk.empty()) ports.insert(target.port);
    for (int port : ports) workers_[port] = MakeWorker(port);
    own_worker_ = workers_.at(options.encoder_port).get();
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
          Log, clock_);
    }
    if (key_link) {
      journal_ = std::make_unique<fias::Journal>(key_link->journal);
      keys_ = std::make_unique<fias::KeyService>(key_link->keys, *journal_,
                                                 [this] { return fias::Now(clock_); }, Log);
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
                                                *journal_, Log, clock_);
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
          Log, clock_, std::move(route));
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

  // Not looked up in workers_: a card operation's end asks for it on the
  // encoder's thread while a joined desk may add a worker to the map on the
  // network thread.
  frontdesk::EncoderWorker& worker() { return *own_worker_; }

  void StopWorkers() {
    std::lock_guard<std::mutex> lock(workers_mutex_);
    for (auto& [port, worker] : workers_) worker->Stop();
  }

  std::optional<int> Listen() {
    if (listening_) return std::nullopt;
    const std::optional<std::string> literal = HostLiteral(options_.address);
    if (!literal) {
      std::cerr << "tavocard serve: '" << options_.address << "' is no IP address\n";
      StopWorkers();
      return frontdesk::kExitUsage;
    }
    own_names_ = LoopbackNames();
    own_names_.push_back(*literal);
    if (auto failed = listener_.Listen(options_.address, static_cast<unsigned short>(options_.port))) {
      std::cerr << "tavocard serve: cannot listen on " << options_.address << ":"
                << options_.port << ": " << *failed << "\n";
      StopWorkers();
      return frontdesk::kExitFailedCall;
    }
    listening_ = true;
    return std::nullopt;
  }

  int Run(std::string token, std::unique_ptr<IdempotencyKeys> idempotency,
          const std::function<void(const std::string&)>& listening,
          const std::function<void()>& ended) {
    const hosts::SteadyTime started = clock_.Steady();
    if (const std::optional<int> failed = Listen()) return *failed;
    token_ = std::move(token);
    idempotency_ = std::move(idempotency);
    health_.Start();  // the first health answer need not wait for one
    // The health answer tells whether the encoder opened: not before it was tried.
    for (auto& [port, worker] : workers_) worker->WaitUntilProbed();
    signals_.async_wait([this](const boost::system::error_code&, int signal) {
      BeginStop(signal == SIGINT ? "SIGINT" : "SIGTERM");
    });
    if (hub_) {
      const std::string failed = hub_->Listen();
      if (!failed.empty()) {
        std::cerr << "tavocard serve: cannot listen for desks on " << options_.desks_listen
                  << ": " << failed << "\n";
        StopWorkers();
        return frontdesk::kExitFailedCall;
      }
      Log("listening for desks on " + options_.desks_listen + " (port " +
          std::to_string(hub_->port()) + ")");
    }
    listener_.Start();
    if (link_) link_->Start();
    if (desk_client_) desk_client_->Start();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Steady() - started);
    const std::string port = std::to_string(listener_.port());
    Log("listening on http://" + options_.address + ":" + port + "/ (encoder port " +
        std::to_string(options_.encoder_port) + ", at most " +
        std::to_string(listener_.most_open()) + " connections, started in " +
        std::to_string(ms.count()) + " ms)");
    listening("http://" + options_.address + ":" + port + "/");
    // Answers come back from the worker threads; the loop runs until the
    // stop has let them out.
    auto keep_running = net::make_work_guard(io_);
    io_.run();
    ended();
    if (stopper_.joinable()) stopper_.join();
    Log("stopped");
    return 0;
  }

  void Stop(const std::string& why) {
    net::post(io_, [this, why] { BeginStop(why); });
  }

  // AgentContext
  const AgentOptions& options() const override { return options_; }
  const std::string& token() const override { return token_; }
  PageSessions& page_sessions() override { return sessions_; }

  void OnEncoder(const Connection& connection,
                 std::function<frontdesk::CardAnswer(int port)> operation,
                 std::string words_for) override {
    // The wait's timer, kept so that a stop can answer the waiting at once;
    // still null when the worker refused the job (the agent is stopping).
    auto wait = std::make_shared<std::shared_ptr<net::steady_timer>>();
    *wait = hostnet::SubmitWithin<HttpAnswer>(
        io_,
        [this](std::function<void()> run) { return worker().Submit(std::move(run)); },
        std::chrono::milliseconds(static_cast<long long>(options_.queue_wait_seconds * 1000)),
        [this, operation, words_for] {
          const frontdesk::CardAnswer card = operation(options_.encoder_port);
          worker().set_opened(card.opened && !card.hresult);
          return CardOperationAnswer(card, words_for);
        },
        [this, connection, wait](HttpAnswer answer) {
          waits_.erase(*wait);
          connection->Send(std::move(answer));
        },
        [this, connection, wait] {
          if (!*wait) return connection->Send(StoppingAnswer());
          waits_.erase(*wait);
          connection->Send(stopping_ ? StoppingAnswer(true) : EncoderBusyAnswer());
        });
    if (*wait) waits_.insert(*wait);
  }

  void OnDatabase(const Connection& connection,
                  std::function<holvanter::Result<nlohmann::json>()> lookup) override {
    net::post(database_, [this, connection, lookup] {
      const holvanter::Result<nlohmann::json> found = lookup();
      HttpAnswer answer = found.ok() ? JsonAnswer(status::kOk, found.value())
                                     : DatabaseFailedAnswer(found.status().message());
      net::post(io_, [connection, answer = std::move(answer)]() mutable {
        connection->Send(std::move(answer));
      });
    });
  }

  void AnswerHealth(const Connection& connection) override {
    nlohmann::json encoder{{"port", options_.encoder_port},
                           {"open", worker().opened()},
                           {"waiting", worker().waiting()}};
    nlohmann::json health{{"version", HOLVANTER_VERSION}, {"encoder", encoder}};
    if (link_)
      health["fias"] = {{"address", link_->address()},
                        {"up", link_->up()},
                        {"reason", link_->up() ? nlohmann::json(nullptr)
                                               : nlohmann::json(link_->down_reason())}};
    if (hub_) health["desks"] = hub_->Status();
    if (desk_client_)
      health["join"] = {{"link_desk", desk_client_->address()},
                        {"desk", options_.desk},
                        {"joined", desk_client_->joined()}};
    // Where the hotel database lies is for those who hold the token: health
    // needs none.
    const bool with_paths = CarriesToken(connection->request().Header("Authorization"), token_);
    health_.With([connection, health, with_paths](const nlohmann::json& database) mutable {
      health["database"] = database;
      if (!with_paths) health["database"].erase("path");
      connection->Send(JsonAnswer(status::kOk, health));
    });
  }

 private:
  Headers CommonHeadersOf(const HttpRequest& request) const {
    return CommonHeaders(request.Header("Origin"), options_.origins, request.method == "OPTIONS",
                         request.Header("Access-Control-Request-Private-Network") == "true");
  }

  void Dispatch(const Connection& connection) {
    const HttpRequest& request = connection->request();
    if (request.body_too_large) {
      connection->Send(ErrorAnswer(status::kPayloadTooLarge, "body_too_large",
                                   "the body is larger than 64 KiB"));
      return;
    }
    std::vector<std::string> names = own_names_;
    names.push_back(connection->reached());
    if (!NamesThisAgent(request.Header("Host"), names, listener_.port())) {
      HttpAnswer misdirected;
      misdirected.status = status::kMisdirected;
      misdirected.content_type = "text/plain";
      misdirected.body = "misdirected request\n";
      misdirected.bare = true;
      connection->Send(std::move(misdirected));
      return;
    }
    if (stopping_) {
      connection->Send(StoppingAnswer());
      return;
    }
    const RouteMatch match = FindRoute(request.method, request.path);
    const std::string origin = request.Header("Origin");
    // A browser's preflight: answered for listed origins only.
    if (request.method == "OPTIONS" && match.path_known) {
      if (!OriginListed(origin, options_.origins)) {
        connection->Send(ErrorAnswer(status::kForbidden, "origin_not_allowed",
                                     "origin not allowed: start the agent with --origin " + origin));
        return;
      }
      HttpAnswer answer;
      answer.status = status::kNoContent;
      answer.content_type = "text/plain";
      connection->Send(std::move(answer));
      return;
    }
    if (match.route == nullptr) {
      connection->Send(match.path_known
                           ? ErrorAnswer(status::kMethodNotAllowed, "method_not_allowed",
                                         request.method + " is not taken at " + request.path)
                           : ErrorAnswer(status::kNotFound, "not_found",
                                         "no such route: " + request.path));
      return;
    }
    if (match.route->needs_token &&
        !Authorized(request.Header("Authorization"), request.HasHeader("X-Holvanter-Page"),
                    request.Header("Cookie"), token_, sessions_)) {
      connection->Send(ErrorAnswer(
          status::kUnauthorized, "unauthorized",
          RefusedTokenMessage(request.Header("Authorization"), request.HasHeader("X-Holvanter-Page"),
                              request.Header("Cookie"))));
      return;
    }
    if (const std::optional<BadRequest> refused = RefusedQuery(*match.route, request.target)) {
      connection->Send(BadRequestAnswer(*refused));
      return;
    }
    if (match.route->keyed && !BeginIdempotent(connection)) return;
    match.route->handle(*this, connection);
  }

  // The Idempotency-Key of a request that writes, when it has one: false when
  // the request is answered already (a kept answer, a key reused for another
  // request, a bad key) or waits for the first request with its key.
  bool BeginIdempotent(const Connection& connection) {
    const HttpRequest& request = connection->request();
    if (!request.HasHeader("Idempotency-Key")) return true;
    const std::string key = request.Header("Idempotency-Key");
    if (!UsableIdempotencyKey(key)) {
      connection->Send(ErrorAnswer(status::kBadRequest, "bad_idempotency_key",
                                   "the Idempotency-Key must be 1 to 255 visible ASCII characters",
                                   "Idempotency-Key"));
      return false;
    }
    const std::string fingerprint = RequestFingerprint(request.path, request.body);
    KeptAnswer kept;
    const auto answer_of = [](const KeptAnswer& kept) {
      HttpAnswer answer;
      answer.status = kept.status;
      answer.body = kept.body;
      if (kept.kept) answer.headers = {{"Idempotent-Replayed", "true"}};
      return answer;
    };
    switch (idempotency_->Begin(key, fingerprint, kept,
                                [connection, answer_of](const KeptAnswer& first) {
                                  connection->Send(answer_of(first));
                                })) {
      case IdempotencyKeys::Outcome::kFirst:
        // The answer settles the key: kept when it changed the cards, else
        // the key is free again for the retry that may work. Network thread.
        connection->OnAnswer([this, key](const HttpAnswer& answer) {
          const KeptAnswer kept{answer.status, answer.body, true};
          if (answer.effected) {
            idempotency_->Finish(key, kept);  // logs what it cannot keep
          } else {
            idempotency_->Forget(key, kept);
          }
        });
        return true;
      case IdempotencyKeys::Outcome::kReplay:
        connection->Send(answer_of(kept));
        return false;
      case IdempotencyKeys::Outcome::kReused:
        connection->Send(ErrorAnswer(status::kUnprocessable, "idempotency_key_reused",
                                     "this Idempotency-Key came with another request in the last "
                                     "24 hours: use a new key for a new request",
                                     "Idempotency-Key"));
        return false;
      case IdempotencyKeys::Outcome::kWaiting:
        return false;
    }
    return false;
  }

  // Stops taking requests, lets the card operation in progress finish and
  // answer, answers the waiting ones with 503, then ends.
  // Network thread only.
  void BeginStop(const std::string& why) {
    if (stopping_.exchange(true)) return;
    Log("stopping on " + why);
    listener_.Close();
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
          Impl* self;
          std::shared_ptr<net::steady_timer> timer;
          hosts::SteadyTime until;
          void operator()(const boost::system::error_code&) const {
            if (self->link_ && self->link_->connected() && self->clock_.Steady() < until) {
              timer->expires_after(std::chrono::milliseconds(50));
              timer->async_wait(*this);
              return;
            }
            self->io_.stop();
          }
        };
        grace->async_wait(Grace{this, grace, clock_.Steady() + std::chrono::milliseconds(2300)});
      });
    });
  }

  const AgentOptions options_;
  const hosts::Clock& clock_;
  // Both given to Run before the loop runs; then read on the network
  // thread only.
  std::string token_;
  std::unique_ptr<IdempotencyKeys> idempotency_;
  PageSessions sessions_;  // network thread only
  bool listening_ = false;
  net::io_context io_;
  HttpListener listener_;
  std::vector<std::string> own_names_;  // the names of this agent a Host header may use
  net::signal_set signals_{io_, SIGINT, SIGTERM};
  // One worker per encoder port: the agent's own and the key coders'.
  std::map<int, std::unique_ptr<frontdesk::EncoderWorker>> workers_;
  frontdesk::EncoderWorker* own_worker_ = nullptr;  // workers_' entry for the agent's port
  std::unique_ptr<fias::Journal> journal_;
  std::unique_ptr<fias::KeyService> keys_;
  std::unique_ptr<fias::LinkClient> link_;
  std::unique_ptr<desks::DeskRegistry> registry_;
  std::unique_ptr<desks::DeskHub> hub_;                // the link desk's, for joined desks
  std::unique_ptr<desks::DeskClient> desk_client_;     // a desk's, joined to the link desk
  std::mutex workers_mutex_;  // a desk adds workers while the stopper stops them
  net::thread_pool database_{1};
  HealthCache health_{io_, database_, clock_, DatabaseHealth};
  std::set<std::shared_ptr<net::steady_timer>> waits_;  // network thread only
  std::atomic<bool> stopping_{false};
  std::thread stopper_;
};

AgentServer::AgentServer(const AgentOptions& options, std::optional<KeyLinkSetup> key_link,
                         std::optional<DesksSetup> desks, const hosts::Clock& clock)
    : impl_(std::make_unique<Impl>(options, std::move(key_link), std::move(desks), clock)) {}

AgentServer::~AgentServer() = default;

std::optional<int> AgentServer::Listen() { return impl_->Listen(); }

int AgentServer::Run(std::string token, std::unique_ptr<IdempotencyKeys> idempotency,
                     const std::function<void(const std::string&)>& listening,
                     const std::function<void()>& ended) {
  return impl_->Run(std::move(token), std::move(idempotency), listening, ended);
}

void AgentServer::Stop(const std::string& why) { impl_->Stop(why); }

}  // namespace agent
