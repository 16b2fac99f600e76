#include "hosts/agent/security_policy.h"

#include <algorithm>
#include <cctype>

#include "hosts/agent/token.h"
#include "hosts/desks/mac.h"

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

std::string PageCookieValue(const std::string& token) {
  return desks::Hex(desks::HmacSha256(token, "holvanter page cookie"));
}

std::string PageCookieHeader(const std::string& token) {
  return std::string(kPageCookie) + "=" + PageCookieValue(token) +
         "; Max-Age=2592000; Path=/; HttpOnly; SameSite=Strict";
}

bool Authorized(const std::string& authorization, bool page_header, const std::string& cookies,
                const std::string& token) {
  const std::string scheme = "Bearer ";
  if (authorization.size() > scheme.size() && authorization.compare(0, scheme.size(), scheme) == 0)
    return SameToken(authorization.substr(scheme.size()), token);
  if (!page_header) return false;
  const std::string name = std::string(kPageCookie) + "=";
  const std::string wanted = PageCookieValue(token);
  for (std::size_t at = 0; at < cookies.size();) {
    std::size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size(), name) == 0 && SameToken(pair.substr(name.size()), wanted))
      return true;
    at = end + 1;
  }
  return false;
}

}  // namespace agent
