#include "host/client/TaskLaunch.h"

#include <arpa/inet.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace tether_host {

std::string DefaultTaskPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "tether-task";
  const std::string self(buf, static_cast<size_t>(n));
  const std::string dir = self.substr(0, self.find_last_of('/') + 1);
  const std::string installed = dir + "../lib/tether/bin/tether-task";
  char resolved[PATH_MAX];
  if (access(installed.c_str(), X_OK) == 0 && realpath(installed.c_str(), resolved) != nullptr) {
    return resolved;
  }
  return dir + "tether-task";
}

std::string DefaultTaskLogPath() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tether-host/task.log";
  const char* home = getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : "/tmp") +
         "/.local/state/tether-host/task.log";
}

namespace {

constexpr char kCameraWords[] = "sim, usb, usb:BUS,DEV or ptpip:ADDR[:PORT[:EVENTPORT]]";

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1) {
    parts.push_back(text.substr(from, at - from));
  }
  parts.push_back(text.substr(from));
  return parts;
}

// 1 to `digits` decimal digits whose value is within [1, max].
bool Number(const std::string& text, size_t digits, long max) {
  if (text.empty() || text.size() > digits || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = std::stol(text);
  return value >= 1 && value <= max;
}

bool Ipv4Literal(const std::string& text) {
  in_addr address;
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace

std::string CameraWordProblem(const std::string& word) {
  if (word == "sim" || word == "usb") return "";
  const std::string usage = "; the camera is one of " + std::string(kCameraWords);
  if (word.compare(0, 4, "usb:") == 0) {
    const std::vector<std::string> p = Split(word.substr(4), ',');
    if (p.size() == 2 && Number(p[0], 3, 999) && Number(p[1], 3, 999)) return "";
    return "'" + word + "' is not a USB bus and device number (usb:BUS,DEV, as lsusb shows them)" + usage;
  }
  if (word.compare(0, 6, "ptpip:") == 0) {
    const std::vector<std::string> p = Split(word.substr(6), ':');
    if (p.size() > 3 || !Ipv4Literal(p[0])) {
      return "'" + word + "' does not start with an IPv4 address (ptpip:ADDR[:PORT[:EVENTPORT]])" + usage;
    }
    for (size_t i = 1; i < p.size(); ++i) {
      if (!Number(p[i], 5, 65535)) return "'" + p[i] + "' is not a port number (1 to 65535)" + usage;
    }
    return "";
  }
  return "unknown camera '" + word + "'" + usage;
}

std::string BridgeFolderFor(const std::string& taskPath) {
  const std::string task = taskPath.empty() ? DefaultTaskPath() : taskPath;
  const size_t slash = task.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : task.substr(0, slash + 1);
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) != nullptr) folder = resolved;
  return folder + "/../Frameworks/gphoto2";
}

bool AddCameraEnvironment(const std::string& camera, TaskLaunch* launch, std::string* error) {
  if (camera == "sim") return true;
  const std::string bridge = BridgeFolderFor(launch->taskPath);
  if (access((bridge + "/libKRV_SDK.so.1").c_str(), R_OK) != 0) {
    *error = "the libgphoto2 camera library is not at " + bridge +
             "/libKRV_SDK.so.1 (built with the task; see doc/cameras.md)";
    return false;
  }
  const char* old = getenv("LD_LIBRARY_PATH");
  launch->environment.push_back("LD_LIBRARY_PATH=" + bridge +
                                (old != nullptr && *old != '\0' ? ":" + std::string(old) : ""));
  launch->environment.push_back("KRV_GPHOTO_CAMERA=" + camera);
  return true;
}

}  // namespace tether_host
