// The agent's routes, in one table: each method and path, whether it needs
// the bearer token, whether it takes an Idempotency-Key, and the handler
// that answers it. The dispatch, the preflight and the 404/405 answers are
// all read from it, and a test holds it to the OpenAPI document.
#ifndef HOLVANTER_HOSTS_AGENT_ROUTE_TABLE_H_
#define HOLVANTER_HOSTS_AGENT_ROUTE_TABLE_H_

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/agent/agent.h"
#include "hosts/agent/card_requests.h"
#include "hosts/agent/http_connection.h"
#include "hosts/agent/security_policy.h"
#include "hosts/frontdesk/frontdesk.h"
#include "util/status.h"

namespace agent {

// What the handlers ask of the running agent.
class AgentContext {
 public:
  virtual ~AgentContext() = default;
  virtual const AgentOptions& options() const = 0;
  // Runs `operation` (a front-desk card operation) on the encoder's thread
  // and answers with its outcome, the clerk's words those of `words_for`
  // (empty: the operation's own); 503 when it waited too long.
  virtual void OnEncoder(const std::shared_ptr<HttpConnection>& connection,
                         std::function<frontdesk::CardAnswer(int port)> operation,
                         std::string words_for = "") = 0;
  // Runs `lookup` on the database thread and answers 200 with it, or 500
  // when the database cannot be read.
  virtual void OnDatabase(const std::shared_ptr<HttpConnection>& connection,
                          std::function<holvanter::Result<nlohmann::json>()> lookup) = 0;
  // Answers GET /v1/health.
  virtual void AnswerHealth(const std::shared_ptr<HttpConnection>& connection) = 0;
  // The bearer token.
  virtual const std::string& token() const = 0;
  // The page's sessions, which POST /v1/session opens.
  virtual PageSessions& page_sessions() = 0;
};

using RouteHandler = void (*)(AgentContext&, const std::shared_ptr<HttpConnection>&);

struct Route {
  const char* method;  // "GET", "POST"
  const char* path;    // "/v1/cards"; a last segment "{file}" is any one file name
  bool needs_token;
  bool keyed;          // takes an Idempotency-Key
  RouteHandler handle;
  // The query parameters it takes, blank-separated ("limit room"); any
  // other is refused as an unknown body field is. nullptr: the query is
  // not looked at (the page and its files, which a browser may ask for
  // with a query of its own).
  const char* query = "";
};

std::span<const Route> RouteTable();

// The route of `method` and `path`, and whether any route has that path
// (a path known with another method is 405, not 404).
struct RouteMatch {
  const Route* route = nullptr;
  bool path_known = false;
};
RouteMatch FindRoute(const std::string& method, const std::string& path);

// The query parameters of `route`, by name.
std::vector<std::string> QueryParameters(const Route& route);
// A request whose query holds a parameter `route` does not take, or one
// twice: 400 before anything runs.
std::optional<BadRequest> RefusedQuery(const Route& route, const std::string& target);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_ROUTE_TABLE_H_
