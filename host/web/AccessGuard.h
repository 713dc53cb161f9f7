// Who may use the live page: the person holding the session's token, through
// the address the server listens on, from the page's own origin.
//
// The token (128 random bits from the system) travels in the page URL's
// fragment, which a browser never sends to any server; the page keeps it
// for its own origin (port included) and presents it as
// "Authorization: Bearer <token>". No cookie grants anything: a browser
// sends cookies to every port of a host, so a cookie would reach any other
// server on the same address. The Host header must name the listening
// address itself (an IP literal and our port), so that a DNS name rebound to
// 127.0.0.1 gets nothing. State-changing requests must also come from our own
// origin. Immutable after construction; safe to use from any thread.
#ifndef TETHER_HOST_WEB_ACCESS_GUARD_H_
#define TETHER_HOST_WEB_ACCESS_GUARD_H_

#include <string>

namespace tether_host {

class AccessGuard {
 public:
  // `bindAddress` as given to the server ("127.0.0.1", "::1", "0.0.0.0", ...).
  AccessGuard(std::string bindAddress, int port, std::string token);

  // 32 hex digits from getrandom(2); empty when the system has no randomness
  // to give (the caller must then refuse to serve).
  static std::string newToken();
  // Constant-time equality of two secrets; false when `ours` is empty.
  static bool secretsMatch(const std::string& presented, const std::string& ours);

  // "127.0.0.1:8080", "[::1]:8080": what a browser puts in Host for our URL.
  std::string authority() const;
  // The page's entry URL, the token in its fragment ("/#token=...").
  std::string pageUrl() const;

  // True when `host` names the listening address (for a wildcard bind: any
  // IP literal) with our port.
  bool hostAllowed(const std::string& host) const;
  // True when the Authorization header is "Bearer <our token>".
  bool bearerAccepted(const std::string& authorization) const;
  // Constant-time comparison of a presented token with ours.
  bool tokenMatches(const std::string& presented) const;
  // A request from our own page: Origin names us, or (without Origin) the
  // browser says Sec-Fetch-Site: same-origin.
  bool sameOrigin(const std::string& origin, const std::string& fetchSite,
                  const std::string& host) const;

 private:
  std::string mBindAddress;
  int mPort;
  std::string mToken;
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_ACCESS_GUARD_H_
