// Who may use the agent, and what its answers let a browser do: the checks
// of the Host, Origin, Authorization and Cookie headers, and the headers
// every answer carries. Pure functions of the request's texts, so each rule
// is tested alone; the HTTP layer and the wiring only call them.
#ifndef HOLVANTER_HOSTS_AGENT_SECURITY_POLICY_H_
#define HOLVANTER_HOSTS_AGENT_SECURITY_POLICY_H_

#include <string>
#include <utility>
#include <vector>

namespace agent {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Whether `host` (a Host header) names this agent: one of `own_names` (the
// loopback names, the address it listens on, the address the client
// reached, as URL host literals) with the agent's `port`, in any case;
// port 80 may be left out, as a browser does. A web page on a name of its
// own that a rebinding DNS answer points at 127.0.0.1 sends that name.
bool NamesThisAgent(std::string host, const std::vector<std::string>& own_names,
                    unsigned short port);

// The loopback names every agent answers to, before its own addresses.
std::vector<std::string> LoopbackNames();

// Whether a browser page of `origin` (an Origin header) may call the agent:
// one of `origins` (--origin), exactly. No Origin header is no origin.
bool OriginListed(const std::string& origin, const std::vector<std::string>& origins);

// The headers of every answer but the bare 421: never kept by a cache, no
// type guessing, and for a listed origin the CORS headers (for a
// preflight, `preflight`, the methods and headers it may use; and leave to
// reach this desk's loopback address from the hotel network when the
// preflight asks for it, `private_network`).
Headers CommonHeaders(const std::string& origin, const std::vector<std::string>& origins,
                      bool preflight, bool private_network);

// The front-desk page's own headers: its Content-Security-Policy (nothing
// from anywhere but the agent, nothing inline, and never inside another
// site's frame, so that a page of elsewhere cannot lay invisible buttons
// over it) and X-Frame-Options for browsers that predate frame-ancestors.
Headers PageHeaders();

// The name of the page's cookie.
inline constexpr char kPageCookie[] = "holvanter_page";

// The page's cookie for the bearer token `token`: a digest of it, so that a
// new token (tavocard serve --new-token) revokes every cookie given for the
// old one.
std::string PageCookieValue(const std::string& token);

// The Set-Cookie header value that remembers this browser for 30 days.
std::string PageCookieHeader(const std::string& token);

// Whether a request may use the card routes: its Authorization header
// carries the bearer token; or it carries the page's cookie together with
// the page's own header (`page_header`), which no page of another origin
// can send without a preflight that the agent refuses (a page on another
// port of this machine is the same site, so SameSite alone would not keep
// it out). Compared in time independent of where the texts differ.
bool Authorized(const std::string& authorization, bool page_header, const std::string& cookies,
                const std::string& token);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_SECURITY_POLICY_H_
