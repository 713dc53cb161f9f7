// An httplib server whose connections read every request head through a
// bounded stream: at most `maxHeadBytes` and `maxHeaderLines` before the
// blank line, within `headDeadlineMs` of its first byte. A head over any
// bound is cut off (httplib then answers 400 and closes the connection), so
// a client cannot grow our memory with endless headers or hold a thread by
// trickling them. Every connection gets TCP_NODELAY (live updates are small
// writes that must not wait) and waits of at most `ioTimeoutMs` per read or
// write; a stop() ends idle connections within a fraction of a second. A
// request answered with an error ends its connection.
#ifndef TETHER_HOST_WEB_BOUNDED_HTTP_SERVER_H_
#define TETHER_HOST_WEB_BOUNDED_HTTP_SERVER_H_

#include <httplib.h>

#include <atomic>
#include <cstddef>

namespace tether_host {

struct HttpLimits {
  size_t maxHeadBytes = 16 * 1024;
  size_t maxHeaderLines = 64;
  int headDeadlineMs = 10000;
  int ioTimeoutMs = 5000;
  int keepAliveRequests = 100;
  size_t threads = 40;  // connections served at once (live pages hold one each)
};

class BoundedHttpServer : public httplib::Server {
 public:
  explicit BoundedHttpServer(HttpLimits limits);
  // Like httplib's stop(), but open connections end promptly too.
  void stopAll();
  bool stopping() const { return mStopping.load(); }

 private:
  bool process_and_close_socket(socket_t sock) override;

  HttpLimits mLimits;
  std::atomic<bool> mStopping{false};
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_BOUNDED_HTTP_SERVER_H_
