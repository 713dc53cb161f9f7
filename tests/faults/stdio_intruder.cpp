// Preloaded into the task in place of a careless camera library: every
// capture first closes descriptor 0 and prints to stdout, as libraries do in
// their error paths, then hands over to the real SDK's capture.
#include <dlfcn.h>
#include <unistd.h>

extern "C" bool KRV_SDK_capture(void) {
  ::close(STDIN_FILENO);
  static const char kStray[] = "intruder: a library printing to stdout\n";
  if (::write(STDOUT_FILENO, kStray, sizeof kStray - 1) < 0) return false;
  using Capture = bool (*)(void);
  static const auto real = reinterpret_cast<Capture>(dlsym(RTLD_NEXT, "KRV_SDK_capture"));
  return real != nullptr && real();
}
