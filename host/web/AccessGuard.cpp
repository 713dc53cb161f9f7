#include "host/web/AccessGuard.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <sys/random.h>

#include <cstring>
#include <vector>

namespace tether_host {
namespace {

constexpr size_t kTokenBytes = 16;

bool IsWildcard(const std::string& address) {
  return address.empty() || address == "0.0.0.0" || address == "::";
}

// The address bytes of an IPv4 or IPv6 literal; empty when it is neither.
std::string AddressBytes(const std::string& literal) {
  unsigned char buf[16];
  if (inet_pton(AF_INET, literal.c_str(), buf) == 1) return std::string(buf, buf + 4);
  if (inet_pton(AF_INET6, literal.c_str(), buf) == 1) return std::string(buf, buf + 16);
  return "";
}

// Splits "addr:port" or "[v6]:port"; false when the form is neither.
bool SplitHost(const std::string& host, std::string* address, std::string* port) {
  size_t colon;
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos || close + 1 >= host.size() || host[close + 1] != ':') {
      return false;
    }
    *address = host.substr(1, close - 1);
    colon = close + 1;
    if (address->find(':') == std::string::npos) return false;  // brackets are for IPv6 only
  } else {
    colon = host.find(':');
    if (colon == std::string::npos || host.find(':', colon + 1) != std::string::npos) return false;
    *address = host.substr(0, colon);
  }
  *port = host.substr(colon + 1);
  return true;
}

std::string Bracketed(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

}  // namespace

AccessGuard::AccessGuard(std::string bindAddress, int port, std::string token)
    : mBindAddress(std::move(bindAddress)),
      mPort(port),
      mToken(std::move(token)) {}

std::string AccessGuard::newToken() {
  unsigned char bytes[kTokenBytes];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

std::string AccessGuard::authority() const {
  // A wildcard is no address to browse to; this machine's loopback is.
  const std::string address = IsWildcard(mBindAddress) ? "127.0.0.1" : mBindAddress;
  return Bracketed(address) + ":" + std::to_string(mPort);
}

std::string AccessGuard::pageUrl() const { return "http://" + authority() + "/#token=" + mToken; }

bool AccessGuard::hostAllowed(const std::string& host) const {
  std::string address, port;
  if (!SplitHost(host, &address, &port) || port != std::to_string(mPort)) return false;
  const std::string bytes = AddressBytes(address);
  if (bytes.empty()) return false;  // a name, never an address: refused
  return IsWildcard(mBindAddress) || bytes == AddressBytes(mBindAddress);
}

bool AccessGuard::secretsMatch(const std::string& presented, const std::string& ours) {
  return !ours.empty() && presented.size() == ours.size() &&
         CRYPTO_memcmp(presented.data(), ours.data(), ours.size()) == 0;
}

bool AccessGuard::tokenMatches(const std::string& presented) const {
  return secretsMatch(presented, mToken);
}

bool AccessGuard::bearerAccepted(const std::string& authorization) const {
  static const std::string kScheme = "Bearer ";
  return authorization.compare(0, kScheme.size(), kScheme) == 0 &&
         tokenMatches(authorization.substr(kScheme.size()));
}

bool AccessGuard::sameOrigin(const std::string& origin, const std::string& fetchSite,
                             const std::string& host) const {
  if (!origin.empty()) return origin == "http://" + host && hostAllowed(host);
  return fetchSite == "same-origin";
}

}  // namespace tether_host
