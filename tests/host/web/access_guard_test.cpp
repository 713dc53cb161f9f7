// Host and Origin rules for the bind addresses the HTTP tests do not run
// on: IPv6 and the wildcards, where any IP literal names us but a DNS name
// (the rebinding case) never does.
#include "host/web/AccessGuard.h"

#include <gtest/gtest.h>

namespace tether_host {
namespace {

TEST(AccessGuardTest, HostMustNameTheListeningAddressAsAnIpLiteralWithOurPort) {
  struct Case {
    const char* bind;
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1:8080", true},   {"127.0.0.1", "127.0.0.2:8080", false},
      {"127.0.0.1", "localhost:8080", false},  {"127.0.0.1", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.1:80800", false}, {"127.0.0.1", "127.0.0.1:8080:1", false},
      {"::1", "[::1]:8080", true},             {"::1", "[0:0::1]:8080", true},
      {"::1", "::1:8080", false},              {"::1", "[127.0.0.1]:8080", false},
      {"127.0.0.1", "[127.0.0.1]:8080", false},
      {"0.0.0.0", "192.168.1.20:8080", true},  {"0.0.0.0", "[fe80::1]:8080", true},
      {"0.0.0.0", "studio.example:8080", false}, {"0.0.0.0", "192.168.1.20:9090", false},
      {"::", "10.0.0.5:8080", true},           {"::", "attacker.example:8080", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AccessGuard(c.bind, 8080, "t").hostAllowed(c.host), c.allowed) << c.bind << " " << c.host;
  }
}

TEST(AccessGuardTest, UrlTokenAndOriginFollowTheAddress) {
  const std::string token = AccessGuard::newToken();
  ASSERT_EQ(token.size(), 32u);
  EXPECT_NE(token, AccessGuard::newToken());
  const AccessGuard v6("::1", 8080, token);
  EXPECT_EQ(v6.pageUrl(), "http://[::1]:8080/#token=" + token);
  EXPECT_TRUE(v6.bearerAccepted("Bearer " + token));
  for (const std::string& wrong : {"Bearer " + token + " ", "bearer " + token, "Bearer  " + token,
                                   "Basic " + token, token, std::string("Bearer ")}) {
    EXPECT_FALSE(v6.bearerAccepted(wrong)) << wrong;
  }
  EXPECT_FALSE(AccessGuard("::1", 8080, "").bearerAccepted("Bearer "));
  EXPECT_TRUE(v6.sameOrigin("http://[::1]:8080", "", "[::1]:8080"));
  EXPECT_FALSE(v6.sameOrigin("https://[::1]:8080", "same-origin", "[::1]:8080"));
  EXPECT_EQ(AccessGuard("0.0.0.0", 8080, token).pageUrl(), "http://127.0.0.1:8080/#token=" + token);
}

// The token is all or nothing, and an origin counts only when it names us.
TEST(AccessGuardTest, TokenAndOriginRefusals) {
  const std::string token(32, 'a');
  const AccessGuard guard("127.0.0.1", 8080, token);
  EXPECT_TRUE(guard.tokenMatches(token));
  for (const std::string& wrong : {token + "a", token.substr(1), std::string(), std::string(32, 'b')}) {
    EXPECT_FALSE(guard.tokenMatches(wrong)) << wrong;
    EXPECT_FALSE(guard.bearerAccepted("Bearer " + wrong)) << wrong;
  }
  EXPECT_FALSE(AccessGuard("127.0.0.1", 8080, "").tokenMatches(""));
  struct Case {
    const char* origin;
    const char* fetchSite;
    const char* host;
    bool same;
  };
  const Case cases[] = {
      {"http://127.0.0.1:8080", "", "127.0.0.1:8080", true},
      {"http://evil.example:8080", "", "evil.example:8080", false},
      {"http://127.0.0.1:8080", "", "127.0.0.1:8081", false},
      {"http://127.0.0.1:8081", "same-origin", "127.0.0.1:8080", false},
      {"", "same-origin", "127.0.0.1:8080", true},
      {"", "same-site", "127.0.0.1:8080", false},
      {"", "none", "127.0.0.1:8080", false},
      {"", "", "127.0.0.1:8080", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(guard.sameOrigin(c.origin, c.fetchSite, c.host), c.same) << c.origin << " " << c.fetchSite;
  }
}

}  // namespace
}  // namespace tether_host
