#include "hosts/agent/security_policy.h"

#include <algorithm>
#include <cctype>

#include <array>
#include <cstdint>

#include "crypto/crypto.h"
#include "hosts/agent/token.h"
#include "util/encoding.h"

namespace agent {

bool NamesThisAgent(std::string host, const std::vector<std::string>& own_names,
                    unsigned short port) {
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string with_port = ":" + std::to_string(port);
  for (const std::string& name : own_names)
    if (host == name + with_port || (port == 80 && host == name)) return true;
  return false;
}

std::vector<std::string> LoopbackNames() { return {"127.0.0.1", "localhost", "[::1]"}; }

bool OriginListed(const std::string& origin, const std::vector<std::string>& origins) {
  return !origin.empty() && std::find(origins.begin(), origins.end(), origin) != origins.end();
}

Headers CommonHeaders(const std::string& origin, const std::vector<std::string>& origins,
                      bool preflight, bool private_network) {
  Headers headers{{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
  if (!OriginListed(origin, origins)) return headers;
  headers.insert(headers.end(), {{"Access-Control-Allow-Origin", origin},
                                 {"Vary", "Origin"},
                                 {"Access-Control-Expose-Headers", "Idempotent-Replayed"}});
  if (!preflight) return headers;
  headers.insert(headers.end(),
                 {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
                  {"Access-Control-Allow-Headers", "Authorization, Content-Type, Idempotency-Key"},
                  {"Access-Control-Max-Age", "600"}});
  // A PMS page served from the hotel network asks before it reaches this
  // desk's loopback address.
  if (private_network) headers.emplace_back("Access-Control-Allow-Private-Network", "true");
  return headers;
}

Headers PageHeaders() {
  // The page's script and style sheet are files of their own that the agent
  // serves: nothing inline runs, neither <script> elements nor style="" or
  // onclick="" attributes.
  return {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
          {"X-Frame-Options", "DENY"}};
}

holvanter::Result<std::string> PageSessions::Open() {
  std::array<uint8_t, 16> bits;
  std::string error;
  if (!crypto::RandomBytes(bits.data(), bits.size(), &error))
    return holvanter::Status::InvalidArgument("no random bytes for a page session: " + error);
  const hosts::SteadyTime now = clock_.Steady();
  while (!sessions_.empty() &&
         (sessions_.size() >= kMost || now - sessions_.front().made >= kLastsFor))
    sessions_.pop_front();
  sessions_.push_back({holvanter::HexEncode(bits.data(), bits.size()), now});
  return sessions_.back().value;
}

bool PageSessions::Live(const std::string& value) const {
  const hosts::SteadyTime now = clock_.Steady();
  bool live = false;
  // Every session is compared, so the time taken tells nothing of which.
  for (const Session& session : sessions_)
    live |= SameToken(value, session.value) && now - session.made < kLastsFor;
  return live;
}

std::string PageCookieHeader(const std::string& value) {
  const auto seconds = std::chrono::seconds(PageSessions::kLastsFor).count();
  return std::string(kPageCookie) + "=" + value + "; Max-Age=" + std::to_string(seconds) +
         "; Path=/; HttpOnly; SameSite=Strict";
}

bool CarriesToken(const std::string& authorization, const std::string& token) {
  const std::string scheme = "Bearer ";
  return authorization.size() > scheme.size() &&
         authorization.compare(0, scheme.size(), scheme) == 0 &&
         SameToken(authorization.substr(scheme.size()), token);
}

bool Authorized(const std::string& authorization, bool page_header, const std::string& cookies,
                const std::string& token, const PageSessions& sessions) {
  // A bearer header decides alone: a wrong token is not saved by a cookie.
  const std::string scheme = "Bearer ";
  if (authorization.size() > scheme.size() && authorization.compare(0, scheme.size(), scheme) == 0)
    return CarriesToken(authorization, token);
  if (!page_header) return false;
  const std::string name = std::string(kPageCookie) + "=";
  for (std::size_t at = 0; at < cookies.size();) {
    std::size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size(), name) == 0 && sessions.Live(pair.substr(name.size())))
      return true;
    at = end + 1;
  }
  return false;
}

std::string RefusedTokenMessage(const std::string& authorization, bool page_header,
                                const std::string& cookies) {
  if (authorization.rfind("Bearer ", 0) == 0 && authorization.size() > 7)
    return "the bearer token is not this agent's: give the token of its token file (a new "
           "token, tavocard serve --new-token, refuses the old one)";
  if (!authorization.empty())
    return "the Authorization header must be 'Bearer TOKEN'";
  if (page_header && cookies.find(std::string(kPageCookie) + "=") != std::string::npos)
    return "the page's session has ended (the agent started again, or its token was "
           "renewed): type the token again";
  return "a bearer token is needed (Authorization: Bearer TOKEN)";
}

}  // namespace agent
