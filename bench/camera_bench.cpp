// The end of a 64 MiB DNG transfer: from the transfer callback's entry until
// its "fileDownloadComplete" frame is handed to the host link, against a plain
// write-and-rename of the same bytes into the same directory, measured in the
// same run. Prints the time ratio and the peak memory growth of one save
// beyond the SDK's own buffer. Never fails on the figures.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <benchmark/benchmark.h>

#include "bench/sample_stats.h"
#include "camera/KRV_SDK.h"
#include "camera/Tether_qt.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/SendMessageToClient.h"

namespace {

using tether_bench::Median;

using Clock = std::chrono::steady_clock;

const size_t kFileSize = 64u << 20;
Clock::time_point gHandedOver;  // when the last frame reached the host link
size_t gFrameBytes = 0;

std::vector<char>& SdkBuffer() {
  static std::vector<char> buffer = [] {
    std::vector<char> b(kFileSize);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 131 + (i >> 12));
    return b;
  }();
  return buffer;
}

void PlainWriteAndRename(const std::string& dir) {
  const std::string scratch = dir + "/.plain.tmp", target = dir + "/plain.DNG";
  int fd = open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  const char* p = SdkBuffer().data();
  size_t left = kFileSize;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) abort();
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(scratch.c_str(), target.c_str()) != 0) abort();
}

void BM_ControllerDngEnd(benchmark::State& state) {
  Tether_qt tether;
  for (auto _ : state) {
    const auto start = Clock::now();
    Tether_qt::frameCallback(&tether, eKRV_SDK_TransferEndDNG, SdkBuffer().data(), kFileSize);
    state.SetIterationTime(std::chrono::duration<double>(gHandedOver - start).count());
  }
}

void BM_PlainWriteRename(benchmark::State& state) {
  const std::string dir = QDir::tempPath().toStdString();
  for (auto _ : state) {
    const auto start = Clock::now();
    PlainWriteAndRename(dir);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}

BENCHMARK(BM_PlainWriteRename)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);
BENCHMARK(BM_ControllerDngEnd)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t len = strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, len, field) == 0) return atol(line.c_str() + len + 1);
  }
  return -1;
}

// Peak resident growth of one call, in KiB: the high-water mark is reset
// first, so only what the call itself adds on top of the resident set counts.
template <typename F>
long PeakGrowthKiB(F f) {
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = StatusKiB("VmRSS:");
  f();
  return StatusKiB("VmHWM:") - before;
}

}  // namespace

void SendFrequentMessageToClient(const char*, std::unique_ptr<ZyLuaTETable>) {}
long UnreadBytesAtClient() { return 0; }

void SendMessageToClient(long, const char*, ZyLuaTETable* table) {
  gHandedOver = Clock::now();
  std::ostringstream bytes;
  if (table) table->writeToStream(bytes);
  gFrameBytes = bytes.str().size();
}

extern "C" {
bool KRV_SDK_init(KRV_SDK_DeviceCallback, void*) { return true; }
bool KRV_SDK_setFrameCallback(KRV_SDK_FrameCallback, void*) { return true; }
bool KRV_SDK_setChangesCallback(KRV_SDK_ChangesCallback, void*) { return true; }
bool KRV_SDK_getProperty(int id, void* buffer, unsigned int size) {
  if (id != eKRV_SDK_PropFileFormat || size != 4) return false;
  const int32_t both = 0;  // DNG and JPEG
  memcpy(buffer, &both, 4);
  return true;
}
bool KRV_SDK_setProperty(int, const void*, unsigned int) { return true; }
bool KRV_SDK_capture(void) { return true; }
bool KRV_SDK_requestClose(void) { return true; }
bool KRV_SDK_exit(void) { return true; }
}

int main(int argc, char** argv) {
  // The transfer's own debug lines would only measure the terminal.
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  SdkBuffer();  // the SDK's buffer is resident before anything is measured

  benchmark::RunSpecifiedBenchmarks();

  // The ratio comes from interleaved pairs (median of each side), so that
  // the disk's write-back of one side does not land on the other alone.
  Tether_qt pairTether;
  const std::string pairDir = QDir::tempPath().toStdString();
  std::vector<double> plainTimes, controllerTimes;
  for (int i = 0; i < 15; ++i) {
    auto start = Clock::now();
    PlainWriteAndRename(pairDir);
    plainTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    start = Clock::now();
    Tether_qt::frameCallback(&pairTether, eKRV_SDK_TransferEndDNG, SdkBuffer().data(), kFileSize);
    controllerTimes.push_back(std::chrono::duration<double>(gHandedOver - start).count());
  }
  const double plain = Median(plainTimes), controller = Median(controllerTimes);
  printf("64 MiB DNG end, median of 15 interleaved pairs: controller %.1f ms, plain "
         "write+rename %.1f ms, ratio %.3fx (goal <= 1.25x)\n",
         controller * 1e3, plain * 1e3, controller / plain);

  Tether_qt tether;
  const std::string dir = QDir::tempPath().toStdString();
  const long plainGrowth = PeakGrowthKiB([&] { PlainWriteAndRename(dir); });
  const long controllerGrowth = PeakGrowthKiB([&] {
    Tether_qt::frameCallback(&tether, eKRV_SDK_TransferEndDNG, SdkBuffer().data(), kFileSize);
  });
  // Calibration: the same measurement around an 8 MiB allocation that is touched.
  const long calibration = PeakGrowthKiB([] {
    std::vector<char> probe(8u << 20, 1);
    benchmark::DoNotOptimize(probe.data());
  });
  printf("peak memory growth during one save: controller %ld KiB, plain %ld KiB (goal < 4096 KiB; "
         "an 8 MiB allocation measures %ld KiB)\n",
         controllerGrowth, plainGrowth, calibration);
  printf("last frame handed over: %zu bytes\n", gFrameBytes);
  unlink((dir + "/plain.DNG").c_str());
  unlink((dir + "/TetherTMP0.DNG").c_str());
  return 0;
}
