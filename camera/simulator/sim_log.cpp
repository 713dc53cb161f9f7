#include "camera/simulator/sim_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace krv_sim {
namespace {

std::atomic<bool>& LogFlag() {
  static std::atomic<bool> enabled{false};
  return enabled;
}

}  // namespace

void SetLogEnabled(bool enabled) { LogFlag().store(enabled, std::memory_order_relaxed); }

void Log(const char* format, ...) {
  if (!LogFlag().load(std::memory_order_relaxed)) return;
  char line[1024];
  int prefix = std::snprintf(line, sizeof(line), "krv-sim: ");
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line + prefix, sizeof(line) - prefix - 1, format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = prefix + static_cast<size_t>(n);
  if (len > sizeof(line) - 2) len = sizeof(line) - 2;  // truncated entry
  line[len++] = '\n';
  ssize_t ignored = ::write(STDERR_FILENO, line, len);
  (void)ignored;
}

}  // namespace krv_sim
