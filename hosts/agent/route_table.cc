#include "hosts/agent/route_table.h"

#include <sstream>
#include <stdexcept>

#include "hosts/agent/card_requests.h"
#include "hosts/agent/http_mapping.h"
#include "hosts/agent/page_assets.h"
#include "hosts/agent/security_policy.h"
#include "hosts/frontdesk/image_decode.h"

namespace agent {
namespace {

using Connection = std::shared_ptr<HttpConnection>;

void Page(AgentContext&, const Connection& connection) {
  HttpAnswer page;
  page.body = kFrontDeskPage;
  page.content_type = "text/html; charset=utf-8";
  page.headers = PageHeaders();
  connection->Send(std::move(page));
}

void Asset(AgentContext&, const Connection& connection) {
  const std::string& path = connection->request().path;
  const std::string name = path.substr(path.rfind('/') + 1);
  const PageAsset* asset = FindPageAsset(name);
  if (asset == nullptr) {
    connection->Send(ErrorAnswer(status::kNotFound, "not_found", "the page has no " + name));
    return;
  }
  HttpAnswer answer;
  answer.body = asset->text;
  answer.content_type = asset->content_type;
  connection->Send(std::move(answer));
}

void OpenApi(AgentContext&, const Connection& connection) {
  HttpAnswer doc;
  doc.body = kOpenApiDocument;
  connection->Send(std::move(doc));
}

void Health(AgentContext& agent, const Connection& connection) { agent.AnswerHealth(connection); }

// Answers 400 when `checked` is refused; true when it was.
template <typename T>
bool Refused(const Checked<T>& checked, const Connection& connection) {
  if (checked.refusal()) connection->Send(BadRequestAnswer(*checked.refusal()));
  return checked.refusal() != nullptr;
}

template <typename Stay, typename Issue>
void IssueCard(AgentContext& agent, const Connection& connection,
               const std::vector<FieldSpec>& fields,
               Checked<Stay> (*stay_of)(const nlohmann::json&), Issue issue) {
  const Checked<nlohmann::json> in = CheckBody(connection->request().body, fields);
  if (Refused(in, connection)) return;
  const Checked<Stay> checked = stay_of(*in);
  if (Refused(checked, connection)) return;
  Stay stay = *checked;
  stay.replace = ReplaceAsked(*in);
  agent.OnEncoder(connection, [stay, issue](int port) { return issue(port, stay); });
}

void GuestCard(AgentContext& agent, const Connection& connection) {
  IssueCard(agent, connection, kGuestFields, GuestStayOf, frontdesk::IssueGuestCard);
}

void VillaCard(AgentContext& agent, const Connection& connection) {
  IssueCard(agent, connection, kVillaFields, VillaStayOf, frontdesk::IssueVillaCard);
}

// The page reads the card before a check-out (for=checkout): the clerk's
// words then speak of the check-out.
void ReadCard(AgentContext& agent, const Connection& connection) {
  const Checked<std::optional<std::string>> purpose = QueryValue(connection->request().target, "for");
  if (Refused(purpose, connection)) return;
  if (*purpose && **purpose != "checkout") {
    connection->Send(BadRequestAnswer({"invalid_parameter", "for", "for must be checkout"}));
    return;
  }
  agent.OnEncoder(
      connection, [](int port) { return frontdesk::ReadCardOnEncoder(port); },
      purpose->value_or("read"));
}

void CheckOut(AgentContext& agent, const Connection& connection) {
  if (Refused(CheckBody(connection->request().body, kCheckOutFields), connection)) return;
  agent.OnEncoder(connection, [](int port) { return frontdesk::CheckOut(port); });
}

void Cards(AgentContext& agent, const Connection& connection) {
  const Checked<frontdesk::CardFilter> filter = CardFilterOf(connection->request().target);
  if (Refused(filter, connection)) return;
  agent.OnDatabase(connection, [filter = *filter] { return NewestCards(filter); });
}

void Rooms(AgentContext& agent, const Connection& connection) {
  agent.OnDatabase(connection, [] { return RoomBoard(); });
}

void Settings(AgentContext& agent, const Connection& connection) {
  connection->Send(JsonAnswer(status::kOk, {{"checkin_time", agent.options().checkin_time},
                                            {"checkout_time", agent.options().checkout_time}}));
}

void Decode(AgentContext&, const Connection& connection) {
  const Checked<nlohmann::json> in = CheckBody(connection->request().body, kDecodeFields);
  if (Refused(in, connection)) return;
  const holvanter::Result<nlohmann::json> card =
      frontdesk::DecodeImageHex((*in)["image"].get<std::string>());
  if (!card.ok()) {
    connection->Send(BadRequestAnswer(
        {"invalid_field", "image", "field 'image' " + card.status().message()}));
    return;
  }
  connection->Send(JsonAnswer(status::kOk, card.value()));
}

// The agent's own page, after the clerk typed the token once: a session of
// this browser's own, so that the next visit asks nothing while the agent
// keeps it.
void PageSession(AgentContext& agent, const Connection& connection) {
  const HttpRequest& request = connection->request();
  if (Refused(CheckBody(request.body, kCheckOutFields), connection)) return;
  // Only the token makes a session: a copied cookie cannot make itself a
  // new one that outlives it.
  if (!CarriesToken(request.Header("Authorization"), agent.token())) {
    connection->Send(ErrorAnswer(status::kUnauthorized, "unauthorized",
                                 "a page session is made with the bearer token "
                                 "(Authorization: Bearer TOKEN), not with a session's cookie"));
    return;
  }
  const holvanter::Result<std::string> session = agent.page_sessions().Open();
  if (!session.ok()) {
    connection->Send(ErrorAnswer(status::kInternalError, "call_failed", session.status().message()));
    return;
  }
  HttpAnswer answer;
  answer.status = status::kNoContent;
  answer.content_type = "text/plain";
  answer.headers = {{"Set-Cookie", PageCookieHeader(session.value())}};
  connection->Send(std::move(answer));
}

constexpr Route kRoutes[] = {
    {"GET", "/", false, false, Page, nullptr},
    {"GET", "/page/{file}", false, false, Asset, nullptr},
    {"GET", "/v1/health", false, false, Health},
    {"GET", "/v1/openapi.json", false, false, OpenApi},
    {"POST", "/v1/cards/guest", true, true, GuestCard},
    {"POST", "/v1/cards/villa", true, true, VillaCard},
    {"GET", "/v1/card", true, false, ReadCard, "for"},
    {"POST", "/v1/card/checkout", true, true, CheckOut},
    {"GET", "/v1/cards", true, false, Cards, "limit room holder before"},
    {"GET", "/v1/rooms", true, false, Rooms},
    {"GET", "/v1/settings", true, false, Settings},
    {"POST", "/v1/decode", true, false, Decode},
    {"POST", "/v1/session", true, false, PageSession},
};

// Whether `path` is one of `pattern`: the same, or a file name in place of
// a last "{file}".
bool PathOf(const std::string& pattern, const std::string& path) {
  const std::size_t brace = pattern.find('{');
  if (brace == std::string::npos) return pattern == path;
  return path.size() > brace && path.compare(0, brace, pattern, 0, brace) == 0 &&
         path.find('/', brace) == std::string::npos;
}

}  // namespace

std::span<const Route> RouteTable() { return kRoutes; }

std::vector<std::string> QueryParameters(const Route& route) {
  std::vector<std::string> names;
  std::istringstream in(route.query != nullptr ? route.query : "");
  for (std::string name; in >> name;) names.push_back(name);
  return names;
}

std::optional<BadRequest> RefusedQuery(const Route& route, const std::string& target) {
  if (route.query == nullptr) return std::nullopt;
  return UnknownQueryParameter(target, QueryParameters(route));
}

RouteMatch FindRoute(const std::string& method, const std::string& path) {
  RouteMatch match;
  for (const Route& route : kRoutes) {
    if (!PathOf(route.path, path)) continue;
    match.path_known = true;
    if (method == route.method) match.route = &route;
  }
  return match;
}

}  // namespace agent
