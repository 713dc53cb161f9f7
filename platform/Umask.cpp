#include "platform/Umask.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace zy {
namespace {

mode_t ReadUmaskOnce() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}
// Read during static initialisation, while the process has one thread.
const mode_t kUmaskAtLoad = ReadUmaskOnce();

}  // namespace

mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "Umask:") != 0) continue;
    unsigned long mask = 0;
    if (std::sscanf(line.c_str() + 6, "%lo", &mask) == 1) return static_cast<mode_t>(mask & 0777);
  }
  return kUmaskAtLoad;
}

}  // namespace zy
