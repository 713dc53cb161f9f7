// An httplib server that no crowd of clients can starve or use to exhaust
// the process's open files.
//
// One reactor thread accepts and holds every connection that has not yet
// sent a whole request head, at a few bytes of memory each and no thread;
// only a complete head goes to a worker thread, which runs httplib's request
// handling on it and hands a kept-alive connection back to the reactor.
// Bounds, all refused at once rather than queued:
//  - connections held: `maxConnections`, further limited to the open-file
//    limit (raised to its hard limit at bind()) minus `reservedFiles`, which
//    stay free for the rest of the process (saving pictures); `maxPerPeer`
//    from any one address. Beyond a bound, the connection that has waited
//    longest without a request (from the same address, for the per-address
//    bound) is closed, so that a flood of idle connections cannot keep a
//    real request out.
//  - a connection must start a request within `idleDeadlineMs` (new or kept
//    alive), its head must be whole within `headDeadlineMs` of its first
//    byte, and its body must arrive within that same deadline.
//  - heads: at most `maxHeadBytes` (request line, headers, blank line) and
//    `maxHeaderLines` header lines; beyond, 400 and the connection ends.
//    Any one header line may take the whole head (httplib's own limit is
//    8 KiB a line: longer ones reach the handlers past its parser). httplib
//    never sees Range: the handlers answer it themselves, or it is ignored.
//  - `threads` requests at once, `queuedRequests` waiting; beyond, 503.
// Each wait to write a response lasts at most `ioTimeoutMs`; stopAll() ends
// every connection within a fraction of a second. A request answered with
// an error ends its connection.
#ifndef TETHER_HOST_WEB_BOUNDED_HTTP_SERVER_H_
#define TETHER_HOST_WEB_BOUNDED_HTTP_SERVER_H_

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Mutex.h"

namespace tether_host {

struct HttpLimits {
  size_t maxHeadBytes = 16 * 1024;
  size_t maxHeaderLines = 64;
  int headDeadlineMs = 10000;
  int idleDeadlineMs = 5000;
  int ioTimeoutMs = 5000;
  int keepAliveRequests = 100;
  size_t threads = 40;  // requests served at once (live pages hold one each)
  size_t queuedRequests = 64;
  size_t maxConnections = 4096;
  size_t maxPerPeer = 1024;
  size_t reservedFiles = 256;
};

class BoundedHttpServer : public httplib::Server {
 public:
  explicit BoundedHttpServer(HttpLimits limits);
  ~BoundedHttpServer() override;

  // Listens on `address` (an IP literal or a name) and `port` (0: any free
  // port); the port, or -1 with errno set. Raises the soft open-file limit
  // to the hard one and sizes the connection bound from it.
  int bindAndListen(const std::string& address, int port);
  // Serves until stopAll(); call once, after bindAndListen(), on a thread of
  // its own. Returns once every connection is closed.
  void serve();
  // From any thread: serve() returns promptly, open connections end.
  void stopAll();
  bool stopping() const { return mStopping.load(); }
  // Connections held at most, known after bindAndListen().
  size_t connectionBound() const { return mBound; }

  // For a handler that writes its whole response to its connection itself
  // (a live frame written the moment it comes, from the thread that has
  // it): the non-blocking socket of the request this thread serves, else
  // -1. After markAnswered(), what httplib writes for this request is
  // dropped and the connection ends after it; the handler's response must
  // say "Connection: close". Handler threads only.
  static int currentSocket();
  static void markAnswered();

  struct Connection;

 private:
  // The reactor's side: connections waiting for a whole request head.
  void react();
  void acceptSome();
  void adopt(int fd, const std::string& peer);
  void readFrom(uint64_t id);
  void advance(std::unique_ptr<Connection> c);
  void hold(std::unique_ptr<Connection> c);
  std::unique_ptr<Connection> detach(uint64_t id);
  bool evictOldest(const std::string* peer);
  void expire();
  void takeReturned();
  void pauseAccepting(bool paused);

  // The workers' side.
  void dispatch(std::unique_ptr<Connection> c);
  void work();
  bool serveOne(Connection* c);
  void giveBack(std::unique_ptr<Connection> c);

  const HttpLimits mLimits;
  std::atomic<bool> mStopping{false};
  std::atomic<size_t> mOpen{0};
  size_t mBound = 0;
  int mListenFd = -1;
  int mEpollFd = -1;
  int mWakeFd = -1;

  // Reactor thread only.
  uint64_t mNextId = 1;
  bool mAcceptPaused = false;
  std::map<uint64_t, std::unique_ptr<Connection>> mWaiting;  // oldest first
  std::map<std::string, std::set<uint64_t>> mWaitingByPeer;

  zy::Mutex mMutex;
  zy::CondVar mWork;
  bool mWorkersDone GUARDED_BY(mMutex) = false;
  std::deque<std::unique_ptr<Connection>> mQueue GUARDED_BY(mMutex);
  std::vector<std::unique_ptr<Connection>> mReturned GUARDED_BY(mMutex);
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_BOUNDED_HTTP_SERVER_H_
