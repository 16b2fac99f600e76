// The agent's routes, in one table: each method and path, whether it needs
// the bearer token, whether it takes an Idempotency-Key, and the handler
// that answers it. The dispatch, the preflight and the 404/405 answers are
// all read from it, and a test holds it to the OpenAPI document.
#ifndef HOLVANTER_HOSTS_AGENT_ROUTE_TABLE_H_
#define HOLVANTER_HOSTS_AGENT_ROUTE_TABLE_H_

#include <functional>
#include <memory>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "hosts/agent/agent.h"
#include "hosts/agent/http_connection.h"
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
  // The bearer token (the page's cookie is a digest of it).
  virtual const std::string& token() const = 0;
};

using RouteHandler = void (*)(AgentContext&, const std::shared_ptr<HttpConnection>&);

struct Route {
  const char* method;  // "GET", "POST"
  const char* path;    // "/v1/cards"; a last segment "{file}" is any one file name
  bool needs_token;
  bool keyed;          // takes an Idempotency-Key
  RouteHandler handle;
};

std::span<const Route> RouteTable();

// The route of `method` and `path`, and whether any route has that path
// (a path known with another method is 405, not 404).
struct RouteMatch {
  const Route* route = nullptr;
  bool path_known = false;
};
RouteMatch FindRoute(const std::string& method, const std::string& path);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_ROUTE_TABLE_H_
