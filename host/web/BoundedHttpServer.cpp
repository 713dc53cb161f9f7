#include "host/web/BoundedHttpServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

namespace tether_host {

using Clock = std::chrono::steady_clock;

// One client connection; closing it is destroying it.
struct BoundedHttpServer::Connection {
  Connection(int socket, std::string from, int requests, std::atomic<size_t>* openCount)
      : fd(socket), peer(std::move(from)), requestsLeft(requests), open(openCount) {
    ++*open;
  }
  ~Connection() {
    close(fd);
    --*open;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const int fd;
  const std::string peer;
  int requestsLeft;
  std::string in;              // received, not yet taken by a request
  bool started = false;        // the next request's first byte has arrived
  Clock::time_point deadline;  // for the head while waiting, then for the body
  uint64_t id = 0;             // while the reactor holds it
  std::atomic<size_t>* const open;
};

namespace {

constexpr int kStopCheckMs = 100;
constexpr int kSweepMs = 100;
constexpr int kAcceptPauseMs = 100;
constexpr int kAcceptsPerWake = 64;
constexpr rlim_t kMaxOpenFiles = 1 << 16;

// The status of the response just written on this thread's connection.
thread_local int tLastStatus = 0;
// The connection this thread serves a request on, and whether its handler
// has written the whole response itself.
thread_local int tSocket = -1;
thread_local bool tAnsweredDirectly = false;

std::chrono::milliseconds Ms(int ms) { return std::chrono::milliseconds(ms); }

enum class Head { kIncomplete, kComplete, kTooLarge };

// Whether `in` starts with a whole request head within the bounds.
Head ScanHead(const std::string& in, const HttpLimits& limits) {
  const size_t end = in.find("\r\n\r\n");
  const size_t scanned = end == std::string::npos ? in.size() : end + 4;
  // Lines ended so far, the request line included.
  const size_t lines = static_cast<size_t>(std::count(in.begin(), in.begin() + scanned, '\n'));
  if (end == std::string::npos) {
    return in.size() >= limits.maxHeadBytes || lines > limits.maxHeaderLines + 1 ? Head::kTooLarge
                                                                                 : Head::kIncomplete;
  }
  // Request line, header lines, blank line.
  return scanned <= limits.maxHeadBytes && lines <= limits.maxHeaderLines + 2 ? Head::kComplete
                                                                             : Head::kTooLarge;
}

// A fixed answer sent without waiting, for refusals that must cost nothing.
void SendAndEnd(int fd, const char* status, const char* text) {
  const std::string body = std::string(text) + "\n";
  const std::string reply = std::string("HTTP/1.1 ") + status +
                            "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  (void)!send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(fd, SHUT_WR);
  // Unread bytes at close() would reset the connection and could lose the reply.
  char drain[4096];
  while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
  }
}

bool SameName(const std::string& a, const char* b) {
  return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// Splits off the header lines that httplib must not parse, from the whole
// head at the front of `in`, into *held; returns `in` without them. httplib
// refuses any line over its fixed 8 KiB (our heads may be 16 KiB), and it
// answers Range itself in ways that can disagree with the file, so Range
// and the long lines are held back and given to the handlers after
// httplib's parse. Framing headers stay, however long: httplib must see
// them (and refuses them).
std::string HoldBack(const std::string& in, httplib::Headers* held) {
  constexpr size_t kHttplibLineLimit = 8192;  // its line limit, line end included
  const size_t headEnd = in.find("\r\n\r\n");
  size_t pos = in.find("\r\n");
  if (headEnd == std::string::npos || pos == headEnd) return in;
  std::string out = in.substr(0, pos + 2);  // the request line
  while (pos < headEnd) {
    const size_t start = pos + 2;
    const size_t end = in.find("\r\n", start);
    const std::string line = in.substr(start, end - start);
    pos = end;
    const size_t colon = line.find(':');
    const std::string name = line.substr(0, colon);
    const bool framing = SameName(name, "Content-Length") || SameName(name, "Transfer-Encoding");
    if (colon != std::string::npos && !framing &&
        (SameName(name, "Range") || line.size() + 2 > kHttplibLineLimit)) {
      const size_t from = line.find_first_not_of(" \t", colon + 1);
      const size_t to = line.find_last_not_of(" \t");
      held->emplace(name, from == std::string::npos ? "" : line.substr(from, to + 1 - from));
    } else {
      out += line + "\r\n";
    }
  }
  return out + in.substr(headEnd + 2);
}

std::string PeerOf(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
  }
  return text;
}

size_t OpenFiles() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 64;  // a guess on the generous side
  size_t n = 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

// The soft open-file limit, raised as far as the hard limit allows.
size_t RaiseFileLimit() {
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024;
  const rlim_t want = std::min(rl.rlim_max, kMaxOpenFiles);
  if (rl.rlim_cur < want) {
    rlimit raised = {want, rl.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl.rlim_cur = want;
  }
  return static_cast<size_t>(std::min(rl.rlim_cur, kMaxOpenFiles));
}

// One connection as httplib reads and writes it during one request: first
// the bytes the reactor already received, then the socket. Every read ends
// by the request's deadline, every write waits at most the I/O timeout.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(BoundedHttpServer::Connection* c, const HttpLimits& limits,
                const std::atomic<bool>& stopping)
      : mConn(c), mLimits(limits), mStopping(stopping), mIn(std::move(c->in)) {}
  // What the request left unread (the start of a pipelined request).
  std::string unread() { return mIn.substr(mPos); }

  bool is_readable() const override { return mPos < mIn.size() || wait(POLLIN, readWaitMs()); }
  bool is_writable() const override { return wait(POLLOUT, mLimits.ioTimeoutMs); }
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address(getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address(getsockname, ip, port);
  }
  // httplib answers 500 to a socket at or beyond FD_SETSIZE because its own
  // streams select() on it; this one polls, so the number is not given out.
  socket_t socket() const override { return mConn->fd < FD_SETSIZE ? mConn->fd : INVALID_SOCKET; }

 private:
  int readWaitMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mConn->deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
  }
  bool wait(short events, int timeoutMs) const;
  void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const;

  BoundedHttpServer::Connection* mConn;
  const HttpLimits& mLimits;
  const std::atomic<bool>& mStopping;
  std::string mIn;
  size_t mPos = 0;
};

// Polls in short slices so that a stop is noticed; false on timeout or stop.
bool BoundedStream::wait(short events, int timeoutMs) const {
  const auto deadline = Clock::now() + Ms(timeoutMs);
  for (;;) {
    if (mStopping.load()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p = {mConn->fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), kStopCheckMs)));
    if (n > 0) return true;  // ready, or an error that the next call reports
    if (n < 0 && errno != EINTR) return false;
  }
}

ssize_t BoundedStream::read(char* ptr, size_t size) {
  if (mPos < mIn.size()) {
    const size_t n = std::min(size, mIn.size() - mPos);
    std::copy(mIn.data() + mPos, mIn.data() + mPos + n, ptr);
    mPos += n;
    return static_cast<ssize_t>(n);
  }
  for (;;) {
    if (!wait(POLLIN, readWaitMs())) return -1;
    const ssize_t n = recv(mConn->fd, ptr, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

ssize_t BoundedStream::write(const char* ptr, size_t size) {
  if (tAnsweredDirectly) return static_cast<ssize_t>(size);  // the handler has answered
  size_t done = 0;
  while (done < size) {
    if (!wait(POLLOUT, mLimits.ioTimeoutMs)) return -1;
    const ssize_t n = send(mConn->fd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return -1;
    }
  }
  return static_cast<ssize_t>(size);
}

void BoundedStream::address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip,
                            int& port) const {
  sockaddr_storage addr;
  socklen_t len = sizeof addr;
  port = 0;
  ip.clear();
  if (get(mConn->fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  ip = PeerOf(addr);
  if (addr.ss_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  if (addr.ss_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(HttpLimits limits) : mLimits(limits) {
  set_logger([](const httplib::Request&, const httplib::Response& res) { tLastStatus = res.status; });
}

BoundedHttpServer::~BoundedHttpServer() {
  for (int fd : {mListenFd, mEpollFd, mWakeFd}) {
    if (fd >= 0) close(fd);
  }
}

int BoundedHttpServer::bindAndListen(const std::string& address, int port) {
  const size_t fileLimit = RaiseFileLimit();
  const size_t inUse = OpenFiles();
  const size_t kept = inUse + mLimits.reservedFiles;
  const size_t spare = fileLimit > kept ? fileLimit - kept : 0;
  // Enough for every worker and the queue besides a few waiting, even when
  // the limit leaves less (then the reserve shrinks instead).
  mBound = std::max(std::min(mLimits.maxConnections, spare), mLimits.threads + mLimits.queuedRequests + 16);

  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  for (addrinfo* ai = found; ai != nullptr && mListenFd < 0; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
      mListenFd = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (mListenFd < 0) return -1;
  sockaddr_storage bound;
  socklen_t len = sizeof bound;
  getsockname(mListenFd, reinterpret_cast<sockaddr*>(&bound), &len);
  mEpollFd = epoll_create1(EPOLL_CLOEXEC);
  mWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (mEpollFd < 0 || mWakeFd < 0) return -1;
  svr_sock_ = mListenFd;  // httplib streams a response only while this is set
  for (int fd : {mListenFd, mWakeFd}) {
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(fd == mListenFd ? 0 : ~uint64_t{0});
    epoll_ctl(mEpollFd, EPOLL_CTL_ADD, fd, &ev);
  }
  return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void BoundedHttpServer::stopAll() {
  mStopping = true;
  svr_sock_ = INVALID_SOCKET;
  const uint64_t one = 1;
  if (mWakeFd >= 0) (void)!::write(mWakeFd, &one, sizeof one);
}

void BoundedHttpServer::serve() {
  std::vector<std::thread> workers;
  for (size_t i = 0; i < mLimits.threads; ++i) workers.emplace_back([this] { work(); });
  react();
  mWaiting.clear();
  mWaitingByPeer.clear();
  {
    zy::MutexLock lock(&mMutex);
    mWorkersDone = true;
    mQueue.clear();
  }
  mWork.signalAll();
  for (std::thread& t : workers) t.join();
  zy::MutexLock lock(&mMutex);
  mReturned.clear();
}

// ---- the reactor ----

void BoundedHttpServer::react() {
  epoll_event events[256];
  auto lastSweep = Clock::now();
  auto resumeAccepting = lastSweep;
  while (!mStopping.load()) {
    const int n = epoll_wait(mEpollFd, events, 256, kSweepMs);
    for (int i = 0; i < n && !mStopping.load(); ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == 0) {
        acceptSome();
        if (mAcceptPaused) resumeAccepting = Clock::now() + Ms(kAcceptPauseMs);
      } else if (key == ~uint64_t{0}) {
        uint64_t count;
        (void)!::read(mWakeFd, &count, sizeof count);
        takeReturned();
      } else {
        readFrom(key);
      }
    }
    const auto now = Clock::now();
    if (mAcceptPaused && now >= resumeAccepting) pauseAccepting(false);
    if (now - lastSweep >= Ms(kSweepMs)) {
      expire();
      lastSweep = now;
    }
  }
}

void BoundedHttpServer::pauseAccepting(bool paused) {
  epoll_event ev = {};
  ev.events = paused ? 0u : static_cast<uint32_t>(EPOLLIN);
  ev.data.u64 = 0;
  epoll_ctl(mEpollFd, EPOLL_CTL_MOD, mListenFd, &ev);
  mAcceptPaused = paused;
}

void BoundedHttpServer::acceptSome() {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    if (mOpen.load() >= mBound && !evictOldest(nullptr)) {
      pauseAccepting(true);  // every connection is at work: the backlog waits
      return;
    }
    sockaddr_storage addr;
    socklen_t len = sizeof addr;
    const int fd = accept4(mListenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      adopt(fd, PeerOf(addr));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    // Out of files all the same (another part of the process used the
    // reserve): the oldest waiting connection makes room, or we wait.
    if ((errno == EMFILE || errno == ENFILE) && evictOldest(nullptr)) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting(true);
    return;
  }
}

void BoundedHttpServer::adopt(int fd, const std::string& peer) {
  auto c = std::make_unique<Connection>(fd, peer, mLimits.keepAliveRequests, &mOpen);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // live updates are small writes
  c->deadline = Clock::now() + Ms(mLimits.idleDeadlineMs);
  const auto peerIt = mWaitingByPeer.find(peer);
  if (peerIt != mWaitingByPeer.end() && peerIt->second.size() >= mLimits.maxPerPeer) evictOldest(&peer);
  hold(std::move(c));
}

void BoundedHttpServer::hold(std::unique_ptr<Connection> c) {
  c->id = mNextId++;
  epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = c->id;
  if (epoll_ctl(mEpollFd, EPOLL_CTL_ADD, c->fd, &ev) != 0) return;  // closed by c's end
  mWaitingByPeer[c->peer].insert(c->id);
  mWaiting.emplace(c->id, std::move(c));
}

std::unique_ptr<BoundedHttpServer::Connection> BoundedHttpServer::detach(uint64_t id) {
  const auto it = mWaiting.find(id);
  if (it == mWaiting.end()) return nullptr;
  std::unique_ptr<Connection> c = std::move(it->second);
  mWaiting.erase(it);
  const auto peerIt = mWaitingByPeer.find(c->peer);
  peerIt->second.erase(id);
  if (peerIt->second.empty()) mWaitingByPeer.erase(peerIt);
  epoll_ctl(mEpollFd, EPOLL_CTL_DEL, c->fd, nullptr);
  return c;
}

bool BoundedHttpServer::evictOldest(const std::string* peer) {
  uint64_t id = 0;
  if (peer == nullptr) {
    if (mWaiting.empty()) return false;
    id = mWaiting.begin()->first;
  } else {
    const auto it = mWaitingByPeer.find(*peer);
    if (it == mWaitingByPeer.end()) return false;
    id = *it->second.begin();
  }
  detach(id);  // and closed
  return true;
}

void BoundedHttpServer::expire() {
  const auto now = Clock::now();
  std::vector<uint64_t> late;
  for (const auto& [id, c] : mWaiting) {
    if (c->deadline <= now) late.push_back(id);
  }
  for (uint64_t id : late) detach(id);
}

void BoundedHttpServer::readFrom(uint64_t id) {
  const auto it = mWaiting.find(id);
  if (it == mWaiting.end()) return;
  Connection* c = it->second.get();
  bool ended = false;
  char buf[16384];
  while (c->in.size() <= mLimits.maxHeadBytes) {
    const ssize_t n = recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      c->in.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      break;
    }
  }
  if (!c->started && !c->in.empty()) {
    c->started = true;
    c->deadline = Clock::now() + Ms(mLimits.headDeadlineMs);
  }
  const Head head = ScanHead(c->in, mLimits);
  if (head == Head::kIncomplete && !ended) return;
  std::unique_ptr<Connection> taken = detach(id);
  // A client that sent its request and half-closed still gets the answer.
  if (head != Head::kIncomplete) advance(std::move(taken));
}

// A connection with bytes of a request: to a worker, refused, or held.
void BoundedHttpServer::advance(std::unique_ptr<Connection> c) {
  switch (ScanHead(c->in, mLimits)) {
    case Head::kComplete:
      if (!c->started) {  // pipelined behind the last request: its own deadline
        c->started = true;
        c->deadline = Clock::now() + Ms(mLimits.headDeadlineMs);
      }
      dispatch(std::move(c));
      return;
    case Head::kTooLarge:
      SendAndEnd(c->fd, "400 Bad Request", "Request head too large");
      return;
    case Head::kIncomplete:
      c->started = !c->in.empty();
      c->deadline = Clock::now() + Ms(c->started ? mLimits.headDeadlineMs : mLimits.idleDeadlineMs);
      hold(std::move(c));
      return;
  }
}

void BoundedHttpServer::takeReturned() {
  std::vector<std::unique_ptr<Connection>> returned;
  {
    zy::MutexLock lock(&mMutex);
    returned.swap(mReturned);
  }
  for (auto& c : returned) {
    c->started = false;  // a new request begins
    advance(std::move(c));
  }
}

// ---- the workers ----

void BoundedHttpServer::dispatch(std::unique_ptr<Connection> c) {
  {
    zy::MutexLock lock(&mMutex);
    if (mQueue.size() < mLimits.queuedRequests) {
      mQueue.push_back(std::move(c));
      mWork.signal();
      return;
    }
  }
  SendAndEnd(c->fd, "503 Service Unavailable", "Too many requests at once; try again.");
}

void BoundedHttpServer::work() {
  for (;;) {
    std::unique_ptr<Connection> c;
    {
      zy::MutexLock lock(&mMutex);
      while (mQueue.empty() && !mWorkersDone) mWork.wait(&mMutex);
      if (mQueue.empty()) return;
      c = std::move(mQueue.front());
      mQueue.pop_front();
    }
    if (serveOne(c.get()) && !mStopping.load()) giveBack(std::move(c));
  }
}

// True when the connection stays open for another request.
bool BoundedHttpServer::serveOne(Connection* c) {
  const bool last = --c->requestsLeft <= 0;
  bool closed = false;
  tLastStatus = 0;
  tSocket = c->fd;
  tAnsweredDirectly = false;
  bool ok;
  {
    httplib::Headers held;
    c->in = HoldBack(c->in, &held);
    BoundedStream stream(c, mLimits, mStopping);
    ok = process_request(stream, last, closed, [&held](httplib::Request& req) {
      req.headers.insert(held.begin(), held.end());
    });
    c->in = stream.unread();
  }
  const bool direct = tAnsweredDirectly;
  tSocket = -1;
  tAnsweredDirectly = false;
  // A refused request ends its connection: whatever follows it on the wire
  // (a body left unread, say) is not a request to parse. So does one its
  // handler answered itself ("Connection: close").
  return ok && !direct && !closed && !last && tLastStatus > 0 && tLastStatus < 400;
}

int BoundedHttpServer::currentSocket() { return tSocket; }

void BoundedHttpServer::markAnswered() { tAnsweredDirectly = tSocket >= 0; }

void BoundedHttpServer::giveBack(std::unique_ptr<Connection> c) {
  {
    zy::MutexLock lock(&mMutex);
    mReturned.push_back(std::move(c));
  }
  const uint64_t one = 1;
  (void)!::write(mWakeFd, &one, sizeof one);
}

}  // namespace tether_host
