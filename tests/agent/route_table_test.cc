// The agent's one route table against its OpenAPI document (every route
// documented with the same methods and token, every documented path
// routed), the routing read from it, and the page's files it serves.
#include "hosts/agent/route_table.h"

#include <regex>
#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "hosts/agent/page_assets.h"

namespace agent {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(RouteTable, IsTheOpenApiDocument) {
  const nlohmann::json doc = nlohmann::json::parse(kOpenApiDocument);
  // (method, path, needs token, takes an Idempotency-Key, query parameters)
  using Row = std::tuple<std::string, std::string, bool, bool, std::set<std::string>>;
  std::set<Row> routed, documented;
  for (const Route& route : RouteTable()) {
    const std::vector<std::string> query = QueryParameters(route);
    EXPECT_TRUE(routed.emplace(Lower(route.method), route.path, route.needs_token, route.keyed,
                               std::set<std::string>(query.begin(), query.end())).second)
        << route.method << " " << route.path << " twice";
  }
  for (const auto& [path, operations] : doc["paths"].items())
    for (const auto& [method, op] : operations.items()) {
      if (method == "options") continue;  // the preflight every path answers
      const bool open = op.contains("security") && op["security"].empty();
      bool keyed = false;
      std::set<std::string> query;
      for (const auto& parameter : op.value("parameters", nlohmann::json::array())) {
        keyed = keyed || parameter.value("name", "") == "Idempotency-Key";
        if (parameter.value("in", "") == "query") query.insert(parameter.value("name", ""));
      }
      documented.emplace(method, path, !open, keyed, query);
    }
  EXPECT_EQ(routed, documented);
  // Every documented path takes the preflight.
  for (const auto& [path, operations] : doc["paths"].items())
    EXPECT_TRUE(operations.contains("options")) << path;
}

TEST(RouteTable, FindsEachRequestsRoute) {
  struct Case {
    std::string method, path;
    const char* route;  // its path; nullptr: none
    bool path_known;
  } cases[] = {
      {"GET", "/", "/", true},
      {"GET", "/v1/cards", "/v1/cards", true},
      {"POST", "/v1/cards", nullptr, true},  // 405
      {"OPTIONS", "/v1/card", nullptr, true},
      {"get", "/v1/card", nullptr, true},   // methods are case-sensitive
      {"POST", "/v1/cards/guest", "/v1/cards/guest", true},
      {"GET", "/v1/cards/", nullptr, false},
      {"GET", "/v1/Cards", nullptr, false},
      {"GET", "/nope", nullptr, false},
      {"GET", "/page/main.js", "/page/{file}", true},
      {"GET", "/page/none.js", "/page/{file}", true},  // the handler says 404
      {"GET", "/page/", nullptr, false},
      {"GET", "/page/a/b.js", nullptr, false},
      {"GET", "/page.js", nullptr, false},
      {"GET", "/page", nullptr, false},
  };
  for (const Case& c : cases) {
    const RouteMatch match = FindRoute(c.method, c.path);
    EXPECT_EQ(match.route ? std::string(match.route->path) : "-", c.route ? c.route : "-")
        << c.method << " " << c.path;
    EXPECT_EQ(match.path_known, c.path_known) << c.method << " " << c.path;
  }
}

// Each route refuses a query parameter it does not take before anything
// runs; the page and its files leave a browser's own query be.
TEST(RouteTable, RefusesQueryParametersItDoesNotTake) {
  const struct {
    const char* method;
    const char* target;
    const char* refused;  // the parameter named; nullptr: taken
  } cases[] = {
      {"GET", "/v1/cards?limit=5&room=0203&holder=Li&before=00000101", nullptr},
      {"GET", "/v1/cards?sort=asc", "sort"},
      {"GET", "/v1/card?for=checkout", nullptr},
      {"GET", "/v1/card?limit=5", "limit"},
      {"POST", "/v1/card/checkout?force=1", "force"},
      {"POST", "/v1/cards/guest?replace=true", "replace"},
      {"GET", "/v1/rooms?building=1", "building"},
      {"GET", "/v1/health?verbose", "verbose"},
      {"GET", "/v1/settings", nullptr},
      {"GET", "/?lang=zh", nullptr},
      {"GET", "/page/main.js?v=2", nullptr},
  };
  for (const auto& c : cases) {
    const std::string target = c.target;
    const RouteMatch match = FindRoute(c.method, target.substr(0, target.find('?')));
    ASSERT_NE(match.route, nullptr) << c.target;
    const std::optional<BadRequest> refused = RefusedQuery(*match.route, target);
    EXPECT_EQ(refused ? refused->field : "-", c.refused ? c.refused : "-") << c.target;
  }
}

TEST(RouteTable, ServesEveryFileThePageNames) {
  // The files index.html names, and those each module imports, are all
  // built in and routed.
  std::set<std::string> wanted;
  const std::regex named("(?:src|href)=\"/page/([^\"]+)\"");
  const std::string page = kFrontDeskPage;
  for (std::sregex_iterator it(page.begin(), page.end(), named), end; it != end; ++it)
    wanted.insert((*it)[1]);
  EXPECT_TRUE(wanted.count("main.js"));
  const std::regex imported("from \"\\./([^\"]+)\"");
  for (const PageAsset& asset : PageAssets()) {
    const std::string text = asset.text;
    for (std::sregex_iterator it(text.begin(), text.end(), imported), end; it != end; ++it)
      wanted.insert((*it)[1]);
    EXPECT_NE(FindRoute("GET", std::string("/page/") + asset.name).route, nullptr) << asset.name;
    const bool script = std::string(asset.name).ends_with(".js");
    EXPECT_EQ(asset.content_type,
              std::string(script ? "text/javascript" : "text/css") + "; charset=utf-8");
  }
  for (const std::string& name : wanted) EXPECT_NE(FindPageAsset(name), nullptr) << name;
  EXPECT_EQ(FindPageAsset("index.html"), nullptr);  // served at / alone
}

}  // namespace
}  // namespace agent
