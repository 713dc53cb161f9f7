#include "camera/simulator/ptpip/ptpip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptpip_camera.h"
#include "camera/simulator/ptpip/ptpip_packet.h"
#include "camera/simulator/sim_log.h"

namespace krv_sim {
namespace {

using namespace ptp;  // NOLINT

// Bounds on what a host may send: its packets are small (requests, a
// property value); a connection that has not introduced itself soon is
// dropped; a send the host does not read for this long gives up.
constexpr size_t kMaxPacket = 64 * 1024;
constexpr uint64_t kMaxHostData = 64 * 1024;
constexpr size_t kMaxPending = 8;
constexpr auto kIntroductionTimeout = std::chrono::seconds(10);
constexpr int kSendTimeoutSeconds = 30;
constexpr size_t kDataChunk = 1u << 20;

using Clock = std::chrono::steady_clock;

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) { return SendAll(fd, bytes.data(), bytes.size()); }

// A connected socket and the packets it has sent so far.
struct Connection {
  explicit Connection(int f) : fd(f), framer(kMaxPacket), since(Clock::now()) {}
  ~Connection() { ::close(fd); }
  // Reads what is there. False when the peer closed, failed or sent a
  // malformed stream.
  bool receive() {
    uint8_t buffer[16384];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) return false;
    framer.append(buffer, static_cast<size_t>(n));
    return !framer.malformed();
  }

  const int fd;
  PacketFramer framer;
  const Clock::time_point since;
};

int Listen(const std::string& address, int port, int* boundPort, std::string* error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    *error = "not an IPv4 address: " + address;
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  socklen_t length = sizeof(addr);
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    *error = address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *boundPort = ntohs(addr.sin_port);
  return fd;
}

// One host's session: its command and event connections and the operation
// in progress. Lives on the serving thread.
class HostLink {
 public:
  explicit HostLink(PtpipCamera* camera) : mCamera(camera) {}

  bool hasCommand() const { return mCommand != nullptr; }
  bool hasEvent() const { return mEvent != nullptr; }
  int commandFd() const { return mCommand ? mCommand->fd : -1; }
  int eventFd() const { return mEvent ? mEvent->fd : -1; }

  // A new connection whose first packet is `first`. False: refuse it.
  bool introduce(std::unique_ptr<Connection>* c, const Packet& first);
  // The command connection is readable: runs the operations it completed.
  // False: drop the host.
  bool onCommand();
  // The event connection is readable (the host sends nothing but probes).
  bool onEvent();
  // Sends the events the camera queued. False: drop the host.
  bool flushEvents();
  void drop();

 private:
  // Runs the complete packets the command connection has received.
  bool drainCommand();
  bool handle(const Packet& p);
  bool run();
  bool sendResult(const OperationResult& r);

  PtpipCamera* const mCamera;
  std::unique_ptr<Connection> mCommand, mEvent;
  uint32_t mConnectionNumber = 0;
  std::array<uint8_t, 16> mGuid{0x4b, 0x52, 0x56, 0x53, 0x49, 0x4d, 0x50, 0x54,
                                0x50, 0x49, 0x50, 0x00, 0x00, 0x00, 0x00, 0x01};
  // The operation in progress and, if the host sends data, what came so far.
  OperationRequest mRequest;
  bool mAwaitingData = false;
  bool mStarted = false;  // StartData seen
  uint64_t mExpected = 0;
  std::vector<uint8_t> mHostData;
};

bool HostLink::introduce(std::unique_ptr<Connection>* c, const Packet& first) {
  InitCommandRequest init;
  uint32_t number;
  if (ParseInitCommandRequest(first, &init)) {
    if (mCommand) {
      SendAll((*c)->fd, InitFail(1));  // one host at a time
      return false;
    }
    ++mConnectionNumber;
    if (!SendAll((*c)->fd, InitCommandAck(mConnectionNumber, mGuid, "Sim PTP/IP Camera"))) return false;
    Log("ptpip: host \"%s\" connected", init.name.c_str());
    mCommand = std::move(*c);
    if (!drainCommand()) drop();  // a host that did not wait for the Ack
    return true;
  }
  if (ParseInitEventRequest(first, &number)) {
    if (!mCommand || mEvent || number != mConnectionNumber) {
      SendAll((*c)->fd, InitFail(1));
      return false;
    }
    if (!SendAll((*c)->fd, InitEventAck())) return false;
    mEvent = std::move(*c);
    return true;
  }
  return false;
}

void HostLink::drop() {
  if (mCommand) mCamera->endSession();
  mCommand.reset();
  mEvent.reset();
  mAwaitingData = mStarted = false;
  mHostData.clear();
}

bool HostLink::onCommand() { return mCommand->receive() && drainCommand(); }

bool HostLink::drainCommand() {
  Packet p;
  while (mCommand && mCommand->framer.next(&p)) {
    if (!handle(p)) return false;
  }
  return !mCommand->framer.malformed();
}

bool HostLink::onEvent() {
  if (!mEvent->receive()) return false;
  Packet p;
  while (mEvent->framer.next(&p)) {
    if (p.type != kProbeRequest) return false;
    if (!SendAll(mEvent->fd, DataHeader(kProbeResponse, 0, 0).data(), 8)) return false;
  }
  return true;
}

bool HostLink::handle(const Packet& p) {
  if (p.type == kProbeRequest) return SendAll(mCommand->fd, DataHeader(kProbeResponse, 0, 0).data(), 8);
  if (!mAwaitingData) {
    if (!ParseOperationRequest(p, &mRequest)) return false;
    if (mRequest.dataPhase != kDataPhaseOut) return run();
    mAwaitingData = true;
    mStarted = false;
    mHostData.clear();
    return true;
  }
  DataPacket d;
  if (!ParseDataPacket(p, &d) || d.transactionId != mRequest.transactionId) return false;
  if (p.type == kStartData) {
    if (mStarted || d.totalLength > kMaxHostData) return false;
    mStarted = true;
    mExpected = d.totalLength;
    return mExpected > 0 || run();
  }
  if (!mStarted || mHostData.size() + d.size > mExpected) return false;
  mHostData.insert(mHostData.end(), d.data, d.data + d.size);
  return p.type == kData || run();
}

bool HostLink::run() {
  mAwaitingData = false;
  const int delay = mCamera->settings().delayMs;
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  const OperationResult r = mCamera->execute(mRequest, mHostData);
  mHostData.clear();
  return sendResult(r) && flushEvents();
}

bool HostLink::sendResult(const OperationResult& r) {
  const int fd = mCommand->fd;
  const uint32_t tid = mRequest.transactionId;
  if (r.hasData && r.code == kOk) {
    if (!SendAll(fd, StartDataPacket(tid, r.size))) return false;
    size_t done = 0;
    do {
      // Unplugging cuts a transfer short, as pulling a cable does.
      const int pause = mCamera->settings().chunkDelayMs;
      if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
      if (!mCamera->plugged()) return false;
      const size_t n = std::min(kDataChunk, r.size - done);
      const bool last = done + n == r.size;
      if (!SendAll(fd, DataHeader(last ? kEndData : kData, tid, n)) ||
          !SendAll(fd, r.data->data() + r.offset + done, n)) {
        return false;
      }
      done += n;
    } while (done < r.size);
  }
  return SendAll(fd, OperationResponse(r.code, tid, r.params));
}

bool HostLink::flushEvents() {
  for (const PendingEvent& e : mCamera->takeEvents()) {
    if (mEvent && !SendAll(mEvent->fd, EventPacket(e.code, e.transactionId, e.params))) return false;
  }
  return true;
}

}  // namespace

PtpipServer::PtpipServer(PtpipCamera* camera, PtpipServerOptions options)
    : mCamera(camera), mOptions(std::move(options)) {}

PtpipServer::~PtpipServer() { stop(); }

bool PtpipServer::start(std::string* error) {
  mCommandFd = Listen(mOptions.address, mOptions.commandPort, &mCommandPort, error);
  if (mCommandFd < 0) return false;
  mEventPort = mCommandPort;
  if (mOptions.eventPort >= 0) {
    mEventFd = Listen(mOptions.address, mOptions.eventPort, &mEventPort, error);
    if (mEventFd < 0) {
      stop();
      return false;
    }
  }
  mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (mWakeFd < 0) {
    *error = std::strerror(errno);
    stop();
    return false;
  }
  mThread = std::thread(&PtpipServer::serve, this);
  return true;
}

void PtpipServer::stop() {
  if (mThread.joinable()) {
    mStopping = true;
    wake();
    mThread.join();
  }
  for (int* fd : {&mCommandFd, &mEventFd, &mWakeFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void PtpipServer::wake() {
  const uint64_t one = 1;
  const ssize_t ignored = ::write(mWakeFd, &one, sizeof(one));
  (void)ignored;
}

void PtpipServer::serve() {
  HostLink host(mCamera);
  std::vector<std::unique_ptr<Connection>> pending;  // not yet introduced
  while (!mStopping) {
    std::vector<pollfd> fds = {{mWakeFd, POLLIN, 0}, {mCommandFd, POLLIN, 0},
                               {mEventFd, POLLIN, 0}, {host.commandFd(), POLLIN, 0},
                               {host.eventFd(), POLLIN, 0}};
    for (const auto& c : pending) fds.push_back({c->fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) {
      Log("ptpip: poll: %s", std::strerror(errno));
      break;
    }
    const bool plugged = mCamera->plugged();
    size_t polled = pending.size();  // fds[5 + i] is pending[i]'s
    if (fds[0].revents) {
      uint64_t count;
      const ssize_t ignored = ::read(mWakeFd, &count, sizeof(count));
      (void)ignored;
      if (!plugged) {
        host.drop();
        pending.clear();
        polled = 0;
      } else if (!host.flushEvents()) {
        host.drop();
      }
    }
    if ((fds[3].revents && !host.onCommand()) || (fds[4].revents && host.hasEvent() && !host.onEvent())) {
      host.drop();
    }
    // Introductions: the first packet decides what a connection is.
    const auto now = Clock::now();
    std::vector<std::unique_ptr<Connection>> still;
    for (size_t i = 0; i < polled; ++i) {
      std::unique_ptr<Connection>& c = pending[i];
      if (fds[5 + i].revents) {
        Packet first;
        if (!c->receive()) continue;  // closed by dropping it
        if (c->framer.next(&first)) {
          host.introduce(&c, first);  // takes it, or leaves it to be dropped
          continue;
        }
        if (c->framer.malformed()) continue;
      }
      if (now - c->since < kIntroductionTimeout) still.push_back(std::move(c));
    }
    for (int i : {1, 2}) {
      if (!(fds[i].revents & POLLIN)) continue;
      const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      // An unplugged camera, or one with enough strangers at the door,
      // takes no connection.
      if (!plugged || still.size() >= kMaxPending) {
        ::close(fd);
        continue;
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      const timeval timeout{kSendTimeoutSeconds, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
      still.push_back(std::make_unique<Connection>(fd));
    }
    pending = std::move(still);
  }
  host.drop();
}

}  // namespace krv_sim
