// A rating's sidecar made durable against a plain write+fsync of the same
// bytes, alternating in one run in one folder:
//   plain        a new file: open(O_CREAT|O_EXCL), write, fsync, close
//   first rating WriteRatingSidecar for a picture with no sidecar yet
//   re-rating    WriteRatingSidecar replacing that picture's sidecar
// A sidecar write is ReplaceDurably's: a hidden file written and fsync'ed,
// renamed over the sidecar, the folder fsync'ed. It makes two things
// durable in order (the contents, then the name), the plain write one; a
// re-rating also frees the old sidecar, which a file system mounted with
// online discard trims before the rename returns. Prints the medians and
// the ratios; the figures never fail the run.
//   bench/tether_rating_bench [--rounds N] [--dir DIR]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/sample_stats.h"
#include "host/saving/RatingSidecar.h"

namespace {

using tether_bench::Median;

using Clock = std::chrono::steady_clock;

bool PlainWrite(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
            fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  return ok;
}

// Microseconds `step` took; false from it ends the run.
bool Timed(const std::function<bool()>& step, std::vector<double>* into) {
  const Clock::time_point a = Clock::now();
  if (!step()) return false;
  into->push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 200;
  const char* tmp = getenv("TMPDIR");
  std::string parent = tmp != nullptr ? tmp : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, atoi(argv[i + 1]));
    if (strcmp(argv[i], "--dir") == 0) parent = argv[i + 1];
  }
  std::string pattern = parent + "/tether-rating-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  std::vector<double> first, again, plain;
  std::string error;
  bool ok = true;
  for (int i = 0; ok && i < rounds; ++i) {
    const int rating = i % 7 - 1;
    const std::string bytes = tether_host::RatingSidecarText(rating);
    const std::string picture = "IMG_" + std::to_string(i) + ".jpg";
    ok = Timed([&] { return tether_host::WriteRatingSidecar(dir, picture, rating, &error); }, &first) &&
         Timed([&] { return PlainWrite(dir + "/plain-" + std::to_string(i) + ".xmp", bytes); }, &plain) &&
         Timed([&] { return tether_host::WriteRatingSidecar(dir, "IMG.jpg", rating, &error); }, &again);
    if (!ok && error.empty()) error = std::string("plain write: ") + strerror(errno);
  }
  std::filesystem::remove_all(dir);
  if (!ok) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double p = Median(plain), f = Median(first), a = Median(again);
  std::printf("%d rounds in %s, medians:\n", rounds, parent.c_str());
  std::printf("plain new file write+fsync: %8.1f us\n", p);
  std::printf("first rating, durable:      %8.1f us  ratio %.2fx (goal <= 1.2x)\n", f, f / p);
  std::printf("re-rating, durable:         %8.1f us  ratio %.2fx (goal <= 1.2x)\n", a, a / p);
  return 0;
}
