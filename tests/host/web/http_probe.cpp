#include "tests/host/web/http_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace tether_web_test {
namespace {

using Clock = std::chrono::steady_clock;

int Connect(int port, int receiveBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;  // the server may close early on a bad request
    done += static_cast<size_t>(n);
  }
  return true;
}

// Appends what arrives within the guard; false at end of stream or guard.
bool ReadSome(int fd, std::string* into, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return false;
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char buf[16384];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  into->append(buf, static_cast<size_t>(n));
  return true;
}

int StatusOf(const std::string& head) {
  return head.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(head.c_str() + 9) : 0;
}

}  // namespace

std::string HttpReply::header(const std::string& name) const {
  size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    const size_t end = head.find("\r\n", pos + 2);
    const std::string line = head.substr(pos + 2, end - pos - 2);
    if (line.size() > name.size() && line[name.size()] == ':' &&
        strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      return line.substr(line.find_first_not_of(' ', name.size() + 1));
    }
    pos = end;
  }
  return "";
}

HttpReply Exchange(int port, const std::string& request, int guardMs) {
  HttpReply reply;
  const int fd = Connect(port, 0);
  if (fd < 0) return reply;
  SendAll(fd, request);
  std::string raw;
  const auto deadline = Clock::now() + std::chrono::milliseconds(guardMs);
  while (ReadSome(fd, &raw, deadline)) {
  }
  close(fd);
  const size_t end = raw.find("\r\n\r\n");
  reply.head = raw.substr(0, end);
  reply.body = end == std::string::npos ? "" : raw.substr(end + 4);
  reply.status = StatusOf(reply.head);
  return reply;
}

std::string GetRequest(int port, const std::string& target, const std::string& header) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
         (header.empty() ? "" : header + "\r\n") + "Connection: close\r\n\r\n";
}

bool PageUrl::parse(const std::string& url) {
  const std::string prefix = "http://127.0.0.1:";
  const size_t slash = url.find("/#token=");
  if (url.rfind(prefix, 0) != 0 || slash == std::string::npos) return false;
  port = std::atoi(url.c_str() + prefix.size());
  token = url.substr(slash + 8);
  return port > 0 && token.size() == 32;
}

std::string PageUrl::authorization() const { return "Authorization: Bearer " + token; }

EventStream::EventStream(int port, const std::string& header, int receiveBuffer) {
  mFd = Connect(port, receiveBuffer);
  if (mFd < 0 || !SendAll(mFd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                   "\r\n" + header + "\r\nAccept: text/event-stream\r\n\r\n")) {
    return;
  }
  std::string raw;
  const auto deadline = Clock::now() + std::chrono::milliseconds(20000);
  while (raw.find("\r\n\r\n") == std::string::npos && ReadSome(mFd, &raw, deadline)) {
  }
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return;
  mStatus = StatusOf(raw);
  mRaw = raw.substr(end + 4);
}

EventStream::~EventStream() {
  if (mFd >= 0) close(mFd);
}

// Moves whole chunks from mRaw to mDecoded; false at the last chunk.
bool EventStream::decodeChunks() {
  for (;;) {
    const size_t eol = mRaw.find("\r\n");
    if (eol == std::string::npos) return true;
    const size_t size = std::strtoul(mRaw.c_str(), nullptr, 16);
    if (size == 0) return false;
    if (mRaw.size() < eol + 2 + size + 2) return true;
    mDecoded += mRaw.substr(eol + 2, size);
    mRaw.erase(0, eol + 2 + size + 2);
  }
}

bool EventStream::readMore(int guardMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(guardMs);
  return ReadSome(mFd, &mRaw, deadline);
}

std::optional<std::string> EventStream::next(int guardMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(guardMs);
  for (;;) {
    decodeChunks();
    size_t end;
    while ((end = mDecoded.find("\n\n")) != std::string::npos) {
      const std::string block = mDecoded.substr(0, end);
      mDecoded.erase(0, end + 2);
      const size_t data = block.find("data: ");
      if (data != std::string::npos) return block.substr(data + 6);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (mFd < 0 || left.count() <= 0 || !readMore(static_cast<int>(left.count()))) return std::nullopt;
  }
}

bool EventStream::waitFor(const std::string& needle, int guardMs) {
  return !waitForEvent(needle, guardMs).empty();
}

std::string EventStream::waitForEvent(const std::string& needle, int guardMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(guardMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const std::optional<std::string> event = next(static_cast<int>(std::max<int64_t>(1, left.count())));
    if (!event) return "";
    if (event->find(needle) != std::string::npos) return *event;
  }
}

long SeqOf(const std::string& event) {
  const size_t at = event.find("\"seq\":");
  return at == std::string::npos ? -1 : std::atol(event.c_str() + at + 6);
}

std::string StringOf(const std::string& event, const std::string& key) {
  const std::string start = "\"" + key + "\":\"";
  const size_t at = event.find(start);
  if (at == std::string::npos) return "";
  const size_t from = at + start.size();
  return event.substr(from, event.find('"', from) - from);
}

}  // namespace tether_web_test
