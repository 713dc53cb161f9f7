// Who may use the live page: the person holding the session's token, through
// the address the server listens on, from the page's own origin.
//
// The token (128 random bits from the system) is accepted once from the
// page's URL, which then sets it as an HttpOnly, SameSite=Strict cookie; every
// other request must carry the cookie. The Host header must name the listening
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

  // "127.0.0.1:8080", "[::1]:8080": what a browser puts in Host for our URL.
  std::string authority() const;
  // The page's entry URL, token included.
  std::string pageUrl() const;
  // The cookie's name carries the port, so that two sessions on one machine
  // (cookies ignore ports) do not overwrite each other's token.
  const std::string& cookieName() const { return mCookieName; }
  // Set-Cookie value that hands the token to the browser.
  std::string tokenCookie() const;

  // True when `host` names the listening address (for a wildcard bind: any
  // IP literal) with our port.
  bool hostAllowed(const std::string& host) const;
  // True when one of the Cookie header's pairs carries our token.
  bool cookieAccepted(const std::string& cookieHeader) const;
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
  std::string mCookieName;
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_ACCESS_GUARD_H_
