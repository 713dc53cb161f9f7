#include "camera/simulator/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "camera/simulator/sim_log.h"

namespace krv_sim {
namespace {

// A line longer than this (a hex payload of 2 MiB) is refused and the
// connection dropped, so a runaway client cannot exhaust memory.
constexpr size_t kMaxLine = 4u << 20;

struct Client {
  int fd;
  std::string pending;  // bytes received after the last complete line
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads what `c` sent and answers each complete line. False when the
// connection is to be dropped: closed by the peer, an I/O error, or a line
// longer than kMaxLine.
bool AnswerClient(Client* c, const ControlServer::Handler& handler) {
  char buffer[65536];
  ssize_t n = ::recv(c->fd, buffer, sizeof(buffer), 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  c->pending.append(buffer, static_cast<size_t>(n));
  size_t start = 0;
  bool ok = true;
  for (size_t nl; ok && (nl = c->pending.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string line = c->pending.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ok = WriteAll(c->fd, handler(line) + "\n");
  }
  c->pending.erase(0, start);
  if (ok && c->pending.size() <= kMaxLine) return true;
  if (ok) WriteAll(c->fd, "error line too long\n");
  return false;
}

// Closes the connections in `closed` and forgets their clients.
void DropClients(const std::vector<int>& closed, std::vector<Client>* clients) {
  for (int fd : closed) {
    ::close(fd);
    for (size_t i = 0; i < clients->size(); ++i) {
      if ((*clients)[i].fd == fd) {
        clients->erase(clients->begin() + static_cast<long>(i));
        break;
      }
    }
  }
}

}  // namespace

ControlServer::ControlServer(std::string path, Handler handler)
    : mPath(std::move(path)), mHandler(std::move(handler)) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (mPath.size() >= sizeof(addr.sun_path)) {
    *error = "path too long";
    return false;
  }
  std::memcpy(addr.sun_path, mPath.c_str(), mPath.size() + 1);
  mListenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (mListenFd < 0 || mWakeFd < 0) {
    *error = std::strerror(errno);
    stop();
    return false;
  }
  // A socket file left by a process that ended without KRV_SDK_exit is
  // replaced; any other kind of file at the path is left alone (bind fails).
  struct stat st;
  if (::lstat(mPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(mPath.c_str());
  if (::bind(mListenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(mListenFd, 8) != 0) {
    *error = std::strerror(errno);
    stop();
    return false;
  }
  mThread = std::thread(&ControlServer::serve, this);
  Log("control socket at %s", mPath.c_str());
  return true;
}

void ControlServer::stop() {
  if (mThread.joinable()) {
    uint64_t one = 1;
    ssize_t ignored = ::write(mWakeFd, &one, sizeof(one));
    (void)ignored;
    mThread.join();
    ::unlink(mPath.c_str());
  }
  if (mListenFd >= 0) ::close(mListenFd);
  if (mWakeFd >= 0) ::close(mWakeFd);
  mListenFd = mWakeFd = -1;
}

void ControlServer::serve() {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({mWakeFd, POLLIN, 0});
    fds.push_back({mListenFd, POLLIN, 0});
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      Log("control socket poll: %s", std::strerror(errno));
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    // Serve clients in poll order; `closed` collects the ones to drop.
    std::vector<int> closed;
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents != 0 && !AnswerClient(&clients[i - 2], mHandler)) {
        closed.push_back(clients[i - 2].fd);
      }
    }
    DropClients(closed, &clients);
  }
  for (const Client& c : clients) ::close(c.fd);
}

}  // namespace krv_sim
