// Who may use the agent, and what its answers let a browser do: the checks
// of the Host, Origin, Authorization and Cookie headers, and the headers
// every answer carries. Pure functions of the request's texts, so each rule
// is tested alone; the HTTP layer and the wiring only call them. Beside
// them the page's sessions, which the agent keeps, on the clock it is given.
#ifndef HOLVANTER_HOSTS_AGENT_SECURITY_POLICY_H_
#define HOLVANTER_HOSTS_AGENT_SECURITY_POLICY_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "hosts/clock/clock.h"
#include "util/status.h"

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

// The page's sessions: one random value per browser, made by POST
// /v1/session for a request that carries the bearer token itself (a
// session's cookie makes none), and kept in the agent's memory only.
// Nothing of it comes from the token: one browser's cookie says nothing of
// another's, and an agent on another port of this machine, to which the
// browser sends the same cookie, knows none of this one's. A session ends
// 30 days after it was made (the cookie's Max-Age), when kMost newer ones
// have been made, and when the agent stops: a new token is taken only at a
// start (tavocard serve --new-token), so it ends every session of the old
// one. Network thread only.
class PageSessions {
 public:
  // A desk has a browser or two; a loop that makes sessions pushes out
  // only the oldest.
  static constexpr std::size_t kMost = 32;
  static constexpr std::chrono::hours kLastsFor{30 * 24};

  explicit PageSessions(const hosts::Clock& clock) : clock_(clock) {}

  // A new session: its cookie value, 128 bits of the system's random
  // source as 32 hex figures; or why the system gave none.
  holvanter::Result<std::string> Open();
  // Whether `value` is a session that has not ended; compared with each
  // in time independent of where the texts differ.
  bool Live(const std::string& value) const;
  std::size_t size() const { return sessions_.size(); }

 private:
  struct Session {
    std::string value;
    hosts::SteadyTime made;
  };
  const hosts::Clock& clock_;
  std::deque<Session> sessions_;  // oldest first
};

// The Set-Cookie header value that remembers this browser by its session
// `value` for as long as the agent keeps it.
std::string PageCookieHeader(const std::string& value);

// Whether the Authorization header carries the bearer token `token`.
bool CarriesToken(const std::string& authorization, const std::string& token);

// Whether a request may use the card routes: its Authorization header
// carries the bearer token; or it carries the cookie of a live page
// session together with the page's own header (`page_header`), which no
// page of another origin can send without a preflight that the agent
// refuses (a page on another port of this machine is the same site, so
// SameSite alone would not keep it out). Compared in time independent of
// where the texts differ.
bool Authorized(const std::string& authorization, bool page_header, const std::string& cookies,
                const std::string& token, const PageSessions& sessions);

// The words of a 401, for a request that Authorized refused: one that
// named no token is asked for one; one whose Authorization header is not
// "Bearer TOKEN", whose token is not this agent's, or whose page cookie
// names no live session is told that, so that a caller with a token in
// hand does not look for a header it sent.
std::string RefusedTokenMessage(const std::string& authorization, bool page_header,
                                const std::string& cookies);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_SECURITY_POLICY_H_
