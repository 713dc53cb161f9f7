// A rating's sidecar made durable (hidden file written and fsync'ed in the
// opened folder, renamed over the sidecar, folder fsync'ed) against a plain
// write plus fsync of the same bytes to one file, alternating in the same
// run on the same file system. Prints the medians and their ratio; the
// figures never fail the run.
//   bench/tether_rating_bench [--rounds N] [--dir DIR]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/saving/RatingSidecar.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool PlainWrite(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
            fsync(fd) == 0;
  if (fd >= 0) ok = close(fd) == 0 && ok;
  return ok;
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
  std::vector<double> sidecar, plain;
  for (int i = 0; i < rounds; ++i) {
    const int rating = i % 7 - 1;
    const std::string bytes = tether_host::RatingSidecarText(rating);
    std::string error;
    const Clock::time_point a = Clock::now();
    if (!tether_host::WriteRatingSidecar(dir, "IMG_0001.jpg", rating, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    const Clock::time_point b = Clock::now();
    if (!PlainWrite(dir + "/plain.xmp", bytes)) {
      std::perror("plain write");
      return 1;
    }
    const Clock::time_point c = Clock::now();
    sidecar.push_back(std::chrono::duration<double, std::micro>(b - a).count());
    plain.push_back(std::chrono::duration<double, std::micro>(c - b).count());
  }
  std::filesystem::remove_all(dir);
  const double s = Median(sidecar), p = Median(plain);
  std::printf("rating sidecar, durable: median %.1f us over %d rounds in %s\n", s, rounds, parent.c_str());
  std::printf("plain write+fsync:       median %.1f us\n", p);
  std::printf("ratio sidecar/plain:     %.2fx (goal <= 1.2x)\n", s / p);
  return 0;
}
