#include "host/web/BoundedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace tether_host {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStopCheckMs = 100;

// The status of the response just written on this thread's connection.
thread_local int tLastStatus = 0;

// One connection's socket as httplib reads and writes it, with the head of
// each request counted and bounded. Reads are buffered (httplib reads a
// request's lines one byte at a time).
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(socket_t fd, const HttpLimits& limits, const std::atomic<bool>& stopping)
      : mFd(fd), mLimits(limits), mStopping(stopping) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }

  // The next bytes start a request head.
  void beginRequest() {
    mInHead = true;
    mHeadBytes = mHeadLines = 0;
    mTail = 0;
    mHeadDeadline = Clock::now() + std::chrono::milliseconds(mLimits.headDeadlineMs);
  }
  // Keep-alive: true when another request begins within the wait.
  bool waitForRequest() { return mPos < mLen || wait(POLLIN, mLimits.ioTimeoutMs); }

  bool is_readable() const override { return mPos < mLen || wait(POLLIN, mLimits.ioTimeoutMs); }
  bool is_writable() const override { return wait(POLLOUT, mLimits.ioTimeoutMs); }
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address(getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address(getsockname, ip, port);
  }
  socket_t socket() const override { return mFd; }

 private:
  bool wait(short events, int timeoutMs) const;
  ssize_t fill();
  bool countHead(const char* bytes, size_t n);
  void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const;

  socket_t mFd;
  const HttpLimits& mLimits;
  const std::atomic<bool>& mStopping;
  char mBuffer[4096];
  size_t mPos = 0;
  size_t mLen = 0;
  bool mInHead = false;
  size_t mHeadBytes = 0;
  size_t mHeadLines = 0;
  uint32_t mTail = 0;  // the last four head bytes, for the blank line
  Clock::time_point mHeadDeadline;
};

// Polls in short slices so that a stop is noticed; false on timeout or stop.
bool BoundedStream::wait(short events, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (mStopping.load()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p = {mFd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), kStopCheckMs)));
    if (n > 0) return true;  // ready, or an error that the next call reports
    if (n < 0 && errno != EINTR) return false;
  }
}

ssize_t BoundedStream::fill() {
  int waitMs = mLimits.ioTimeoutMs;
  if (mInHead) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mHeadDeadline - Clock::now());
    waitMs = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(waitMs, left.count())));
  }
  for (;;) {
    if (!wait(POLLIN, waitMs)) return -1;
    const ssize_t n = recv(mFd, mBuffer, sizeof mBuffer, MSG_DONTWAIT);
    if (n >= 0) {
      mPos = 0;
      mLen = static_cast<size_t>(n);
      return n;
    }
    if (errno != EINTR && errno != EAGAIN) return -1;
  }
}

// Accounts head bytes as httplib takes them; false once a bound is passed.
bool BoundedStream::countHead(const char* bytes, size_t n) {
  for (size_t i = 0; i < n && mInHead; ++i) {
    mTail = (mTail << 8) | static_cast<unsigned char>(bytes[i]);
    ++mHeadBytes;
    if (bytes[i] == '\n') ++mHeadLines;
    if (mTail == 0x0d0a0d0a) mInHead = false;  // "\r\n\r\n": the head is complete
  }
  // The request line counts as one line beside the headers.
  return mHeadBytes <= mLimits.maxHeadBytes && mHeadLines <= mLimits.maxHeaderLines + 1;
}

ssize_t BoundedStream::read(char* ptr, size_t size) {
  if (mPos == mLen) {
    const ssize_t n = fill();
    if (n <= 0) return n;
  }
  const size_t n = std::min(size, mLen - mPos);
  if (mInHead && !countHead(mBuffer + mPos, n)) return -1;
  std::copy(mBuffer + mPos, mBuffer + mPos + n, ptr);
  mPos += n;
  return static_cast<ssize_t>(n);
}

ssize_t BoundedStream::write(const char* ptr, size_t size) {
  size_t done = 0;
  while (done < size) {
    if (!wait(POLLOUT, mLimits.ioTimeoutMs)) return -1;
    const ssize_t n = send(mFd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
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
  char text[INET6_ADDRSTRLEN] = "";
  port = 0;
  if (get(mFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  }
  ip = text;
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(HttpLimits limits) : mLimits(limits) {
  const size_t threads = mLimits.threads;
  new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  set_logger([](const httplib::Request&, const httplib::Response& res) { tLastStatus = res.status; });
  set_keep_alive_max_count(static_cast<size_t>(mLimits.keepAliveRequests));
  set_keep_alive_timeout(std::max(1, mLimits.ioTimeoutMs / 1000));
}

void BoundedHttpServer::stopAll() {
  mStopping = true;
  stop();
}

bool BoundedHttpServer::process_and_close_socket(socket_t sock) {
  bool ok = false;
  {
    BoundedStream stream(sock, mLimits, mStopping);
    for (int left = mLimits.keepAliveRequests; left > 0 && !mStopping.load(); --left) {
      if (left < mLimits.keepAliveRequests && !stream.waitForRequest()) break;
      stream.beginRequest();
      bool closed = false;
      tLastStatus = 0;
      ok = process_request(stream, left == 1, closed, nullptr);
      // A refused request ends its connection: whatever follows it on the
      // wire (the rest of an oversized head, say) is not a request to parse.
      if (!ok || closed || tLastStatus >= 400) break;
    }
  }
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return ok;
}

}  // namespace tether_host
