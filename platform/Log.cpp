#include "platform/Log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/Mutex.h"

namespace zy {
namespace {

// The test sink. Never destroyed: threads may log during exit.
struct SinkState {
  Mutex mutex;
  LogSink sink GUARDED_BY(mutex);
};

SinkState& Sinks() {
  static SinkState* state = new SinkState;
  return *state;
}

void WriteLine(std::string_view text) {
  {
    SinkState& state = Sinks();
    MutexLock lock(&state.mutex);
    if (state.sink) {
      state.sink(text);
      return;
    }
  }
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // Nowhere left to report a failing log.
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void Log(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (n < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(n) < sizeof(small)) {
    va_end(copy);
    WriteLine(std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, copy);
  va_end(copy);
  WriteLine(std::string_view(big.data(), static_cast<size_t>(n)));
}

void LogText(std::string_view text) { WriteLine(text); }

void SetLogSink(LogSink sink) {
  SinkState& state = Sinks();
  MutexLock lock(&state.mutex);
  state.sink = std::move(sink);
}

}  // namespace zy
