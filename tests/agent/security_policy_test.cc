// The agent's security policy alone: which Host headers name this agent,
// which origins the CORS headers answer, which headers every answer and the
// page carry, what lets a request into the card routes, and how long the
// page's sessions last.
#include "hosts/agent/security_policy.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hosts/clock/clock.h"

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
  hosts::TestClock clock(1'000'000);
  PageSessions sessions(clock);
  const std::string cookie = sessions.Open().value();
  const std::string other = sessions.Open().value();  // another browser's
  PageSessions elsewhere(clock);  // an agent on another port, or before a restart
  const std::string foreign = elsewhere.Open().value();
  ASSERT_EQ(cookie.size(), 32u);
  ASSERT_NE(cookie, other);
  ASSERT_EQ(cookie.find(token), std::string::npos);
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
      {"another browser's cookie", "", true, "holvanter_page=" + other, true},
      {"the cookie among others", "", true, "a=b; holvanter_page=" + cookie + "; c=d", true},
      {"the cookie without the page header", "", false, "holvanter_page=" + cookie, false},
      {"a cookie this agent never gave", "", true, "holvanter_page=" + foreign, false},
      {"the token as the cookie", "", true, "holvanter_page=" + token, false},
      {"the cookie under a longer name", "", true, "xholvanter_page=" + cookie, false},
      {"the cookie's value cut", "", true, "holvanter_page=" + cookie.substr(1), false},
      {"an empty cookie", "", true, "holvanter_page=", false},
      {"nothing", "", true, "", false},
      // A bearer header decides alone: a wrong token is not saved by a cookie.
      {"a wrong token beside the cookie", "Bearer nope", true, "holvanter_page=" + cookie, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Authorized(c.authorization, c.page_header, c.cookies, token, sessions), c.in) << c.what;
  // Only the token itself makes a session.
  EXPECT_TRUE(CarriesToken("Bearer " + token, token));
  EXPECT_FALSE(CarriesToken("", token));
  EXPECT_FALSE(CarriesToken("Bearer " + cookie, token));
}

// A session lasts 30 days on the agent's clock, as its cookie does; past
// kMost sessions the oldest ends first. Each row moves the clock, then
// opens `open` sessions, then asks for the first session and the newest.
TEST(SecurityPolicy, PageSessionsEndAfterThirtyDaysOrWhenCrowdedOut) {
  hosts::TestClock clock(1'000'000);
  PageSessions sessions(clock);
  const std::string first = sessions.Open().value();
  std::string newest = first;
  const auto day = std::chrono::hours(24);
  const struct {
    const char* what;
    std::chrono::milliseconds advance;
    std::size_t open;
    bool first_live, newest_live;
    std::size_t kept;
  } rows[] = {
      {"made now", std::chrono::milliseconds(0), 0, true, true, 1},
      {"29 days on, a second browser", 29 * day, 1, true, true, 2},
      {"a second short of 30 days", day - std::chrono::seconds(1), 0, true, true, 2},
      {"30 days", std::chrono::seconds(1), 0, false, true, 2},
      {"the one ended is dropped when the next is made", std::chrono::milliseconds(0), 1, false, true, 2},
      {"crowded: the oldest live ones go", std::chrono::milliseconds(0), PageSessions::kMost, false,
       true, PageSessions::kMost},
  };
  std::string second;
  for (const auto& row : rows) {
    clock.Advance(std::chrono::duration_cast<std::chrono::milliseconds>(row.advance));
    for (std::size_t i = 0; i < row.open; ++i) {
      newest = sessions.Open().value();
      if (second.empty()) second = newest;
    }
    EXPECT_EQ(sessions.Live(first), row.first_live) << row.what;
    EXPECT_EQ(sessions.Live(newest), row.newest_live) << row.what;
    EXPECT_EQ(sessions.size(), row.kept) << row.what;
  }
  EXPECT_FALSE(sessions.Live(second));  // made a day before the crowd, pushed out by it
  EXPECT_FALSE(sessions.Live(""));
}

TEST(SecurityPolicy, ThePageCookieStaysOnThisSiteAndOutOfScripts) {
  EXPECT_EQ(PageCookieHeader("0f"), std::string(kPageCookie) +
                                        "=0f; Max-Age=2592000; Path=/; HttpOnly; SameSite=Strict");
}

// A refused request is told why in its own words: a caller who sent a
// token that is not this agent's must not be sent to look for the header.
TEST(SecurityPolicy, EachRefusedTokenHasItsOwnWords) {
  const std::string cookie = std::string(kPageCookie) + "=0f";
  const struct {
    const char* what;
    std::string authorization;
    bool page_header;
    std::string cookies;
    const char* says;
  } rows[] = {
      {"nothing", "", false, "", "a bearer token is needed"},
      {"the page's header alone", "", true, "theme=dark", "a bearer token is needed"},
      {"a cookie without the page's header", "", false, cookie, "a bearer token is needed"},
      {"a token not this agent's", "Bearer 00000000", false, "", "not this agent's"},
      {"a token not this agent's beside a cookie", "Bearer 00000000", true, cookie, "not this agent's"},
      {"no token after Bearer", "Bearer ", false, "", "must be 'Bearer TOKEN'"},
      {"another scheme", "Basic dXNlcg==", false, "", "must be 'Bearer TOKEN'"},
      {"a session that ended", "", true, "theme=dark; " + cookie, "session has ended"},
  };
  for (const auto& row : rows) {
    const std::string said = RefusedTokenMessage(row.authorization, row.page_header, row.cookies);
    EXPECT_NE(said.find(row.says), std::string::npos) << row.what << ": " << said;
  }
}

}  // namespace
}  // namespace agent
