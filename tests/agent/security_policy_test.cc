// The agent's security policy alone: which Host headers name this agent,
// which origins the CORS headers answer, which headers every answer and the
// page carry, and what lets a request into the card routes.
#include "hosts/agent/security_policy.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace agent {
namespace {

std::map<std::string, std::string> AsMap(const Headers& headers) {
  std::map<std::string, std::string> map;
  for (const auto& [name, value] : headers) EXPECT_TRUE(map.emplace(name, value).second) << name;
  return map;
}

TEST(SecurityPolicy, HostHeaderNamesThisAgent) {
  std::vector<std::string> names = LoopbackNames();
  names.push_back("192.168.1.20");  // the address the client reached
  struct Case {
    std::string host;
    unsigned short port;
    bool ours;
  } cases[] = {
      {"127.0.0.1:8866", 8866, true},      {"LocalHost:8866", 8866, true},
      {"[::1]:8866", 8866, true},          {"192.168.1.20:8866", 8866, true},
      {"evil.example:8866", 8866, false},  {"127.0.0.1:8867", 8866, false},
      {"127.0.0.1", 8866, false},          {"", 8866, false},
      {"127.0.0.1:8866.evil", 8866, false}, {"127.0.0.2:8866", 8866, false},
      {"::1:8866", 8866, false},           {" 127.0.0.1:8866", 8866, false},
      // Port 80 is the one a browser leaves out.
      {"localhost", 80, true},             {"localhost:80", 80, true},
      {"evil.example", 80, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NamesThisAgent(c.host, names, c.port), c.ours) << "'" << c.host << "' port " << c.port;
}

TEST(SecurityPolicy, OnlyListedOriginsExactly) {
  const std::vector<std::string> origins = {"https://pms.hotel.lan", "http://127.0.0.1:9000"};
  struct Case {
    std::string origin;
    bool listed;
  } cases[] = {{"https://pms.hotel.lan", true},   {"http://127.0.0.1:9000", true},
               {"https://pms.hotel.lan/", false}, {"HTTPS://PMS.HOTEL.LAN", false},
               {"https://pms.hotel.lan.evil", false}, {"null", false}, {"", false}};
  for (const Case& c : cases) EXPECT_EQ(OriginListed(c.origin, origins), c.listed) << c.origin;
  // No Origin header is never a listed origin, even with an empty one given.
  EXPECT_FALSE(OriginListed("", {""}));
}

TEST(SecurityPolicy, CommonHeadersByOriginAndPreflight) {
  const std::vector<std::string> origins = {"https://pms.hotel.lan"};
  struct Case {
    std::string origin;
    bool preflight, private_network;
    bool cors, methods, private_allowed;
  } cases[] = {
      {"https://pms.hotel.lan", false, false, true, false, false},
      {"https://pms.hotel.lan", true, false, true, true, false},
      {"https://pms.hotel.lan", true, true, true, true, true},
      {"https://evil.example", true, true, false, false, false},
      {"", false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin + (c.preflight ? " preflight" : "") + (c.private_network ? " private" : ""));
    const auto h = AsMap(CommonHeaders(c.origin, origins, c.preflight, c.private_network));
    // Never kept by a cache, no type guessing: on every answer.
    EXPECT_EQ(h.at("Cache-Control"), "no-store");
    EXPECT_EQ(h.at("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(h.count("Access-Control-Allow-Origin") ? h.at("Access-Control-Allow-Origin") : "",
              c.cors ? c.origin : "");
    EXPECT_EQ(h.count("Vary") == 1, c.cors);
    EXPECT_EQ(h.count("Access-Control-Expose-Headers") == 1, c.cors);
    EXPECT_EQ(h.count("Access-Control-Allow-Methods") ? h.at("Access-Control-Allow-Methods") : "",
              c.methods ? "GET, POST, OPTIONS" : "");
    EXPECT_EQ(h.count("Access-Control-Allow-Headers") == 1, c.methods);
    EXPECT_EQ(h.count("Access-Control-Allow-Private-Network") == 1, c.private_allowed);
  }
}

TEST(SecurityPolicy, ThePageRunsNothingInlineAndInNoFrame) {
  const auto h = AsMap(PageHeaders());
  EXPECT_EQ(h.at("Content-Security-Policy"), "default-src 'self'; frame-ancestors 'none'");
  EXPECT_EQ(h.at("X-Frame-Options"), "DENY");
  EXPECT_EQ(h.size(), 2u);
}

TEST(SecurityPolicy, BearerTokenOrPageCookieWithThePageHeader) {
  const std::string token = "0123456789abcdef0123456789abcdef";
  const std::string cookie = PageCookieValue(token);
  const std::string other = PageCookieValue("fedcba9876543210fedcba9876543210");
  ASSERT_EQ(cookie.size(), 64u);
  ASSERT_NE(cookie, other);  // a new token revokes the old cookies
  struct Case {
    std::string what, authorization;
    bool page_header;
    std::string cookies;
    bool in;
  } cases[] = {
      {"the token", "Bearer " + token, false, "", true},
      {"another token", "Bearer " + token.substr(1) + "0", false, "", false},
      {"a prefix of it", "Bearer " + token.substr(0, 31), false, "", false},
      {"no token after the scheme", "Bearer ", false, "", false},
      {"another scheme", "Basic " + token, false, "", false},
      {"the scheme in lower case", "bearer " + token, false, "", false},
      {"the cookie with the page header", "", true, "holvanter_page=" + cookie, true},
      {"the cookie among others", "", true, "a=b; holvanter_page=" + cookie + "; c=d", true},
      {"the cookie without the page header", "", false, "holvanter_page=" + cookie, false},
      {"the old token's cookie", "", true, "holvanter_page=" + other, false},
      {"the cookie under a longer name", "", true, "xholvanter_page=" + cookie, false},
      {"the cookie's value cut", "", true, "holvanter_page=" + cookie.substr(1), false},
      {"nothing", "", true, "", false},
      // A bearer header decides alone: a wrong token is not saved by a cookie.
      {"a wrong token beside the cookie", "Bearer nope", true, "holvanter_page=" + cookie, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Authorized(c.authorization, c.page_header, c.cookies, token), c.in) << c.what;
}

TEST(SecurityPolicy, ThePageCookieStaysOnThisSiteAndOutOfScripts) {
  const std::string header = PageCookieHeader("t");
  EXPECT_EQ(header, std::string(kPageCookie) + "=" + PageCookieValue("t") +
                        "; Max-Age=2592000; Path=/; HttpOnly; SameSite=Strict");
}

}  // namespace
}  // namespace agent
