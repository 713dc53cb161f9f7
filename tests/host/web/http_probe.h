// A raw HTTP client for the live page's tests: requests go out byte for
// byte as written (so that malformed, oversized and hostile requests can be
// sent), and event streams are read as a browser's EventSource would.
#ifndef TESTS_WEB_HTTP_PROBE_H_
#define TESTS_WEB_HTTP_PROBE_H_

#include <optional>
#include <string>
#include <vector>

namespace tether_web_test {

struct HttpReply {
  int status = 0;  // 0: no reply (connection closed, reset or timed out)
  std::string head;
  std::string body;  // as sent (chunked bodies are not decoded)
  // The first header of that name (case-insensitive), or "".
  std::string header(const std::string& name) const;
};

// Sends `request` to 127.0.0.1:port and reads until the server closes the
// connection (requests should say "Connection: close").
HttpReply Exchange(int port, const std::string& request, int guardMs = 20000);

// "GET <target> HTTP/1.1" with our Host, the header line when given (no
// CRLF), and Connection: close.
std::string GetRequest(int port, const std::string& target, const std::string& header = "");

// The page's URL as printed: port and token.
struct PageUrl {
  int port = 0;
  std::string token;
  bool parse(const std::string& url);
  std::string authorization() const;  // "Authorization: Bearer <token>"
};

// One client of GET /events, sending `header` (a whole line without CRLF).
class EventStream {
 public:
  // `receiveBuffer` > 0 shrinks the socket's receive buffer before
  // connecting (a client that will stop reading).
  EventStream(int port, const std::string& header, int receiveBuffer = 0);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // The reply's status line and headers; 0 status when none came.
  int status() const { return mStatus; }
  // The next event's data (its JSON), or empty on end of stream or guard.
  std::optional<std::string> next(int guardMs = 20000);
  // Reads events until one contains `needle`; false at end or guard.
  bool waitFor(const std::string& needle, int guardMs = 20000);
  // The same, returning that event (empty at end or guard).
  std::string waitForEvent(const std::string& needle, int guardMs = 20000);

 private:
  bool readMore(int guardMs);
  bool decodeChunks();

  int mFd = -1;
  int mStatus = 0;
  std::string mRaw;      // bytes after the head, still chunk-encoded
  std::string mDecoded;  // the event stream's text
};

// The integer after "\"seq\":" in an event, or -1.
long SeqOf(const std::string& event);
// The string member `key` of an event (no escapes expected), or "".
std::string StringOf(const std::string& event, const std::string& key);

}  // namespace tether_web_test

#endif  // TESTS_WEB_HTTP_PROBE_H_
