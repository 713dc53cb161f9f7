#include "camera/simulator/control_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace krv_sim {

ControlClient::~ControlClient() { close(); }

void ControlClient::close() {
  if (mFd >= 0) ::close(mFd);
  mFd = -1;
  mPending.clear();
}

bool ControlClient::connect(const std::string& path, std::string* error) {
  close();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    *error = "bad socket path";
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  mFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (mFd < 0 || ::connect(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = std::string(path) + ": " + std::strerror(errno);
    close();
    return false;
  }
  return true;
}

std::string ControlClient::command(const std::string& line) {
  if (mFd < 0) return "error io: not connected";
  const std::string out = line + "\n";
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::send(mFd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string reply = std::string("error io: ") + std::strerror(errno);
      close();
      return reply;
    }
    done += static_cast<size_t>(n);
  }
  for (;;) {
    const size_t nl = mPending.find('\n');
    if (nl != std::string::npos) {
      std::string reply = mPending.substr(0, nl);
      mPending.erase(0, nl + 1);
      return reply;
    }
    char buffer[4096];
    ssize_t n = ::recv(mFd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string reply = n == 0 ? "error io: connection closed"
                                 : std::string("error io: ") + std::strerror(errno);
      close();
      return reply;
    }
    mPending.append(buffer, static_cast<size_t>(n));
  }
}

bool ControlClient::isOk(const std::string& reply) {
  return reply == "ok" || reply.rfind("ok ", 0) == 0;
}

}  // namespace krv_sim
