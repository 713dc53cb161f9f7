// Element encode/decode costs. The bulk cases are set against one memcpy of
// the same 8 MiB (into a warm buffer, and into a freshly allocated one, which
// is what a decode must do); the ratios are printed at the end of the run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"

namespace {

constexpr int kBulkBytes = 8 * 1024 * 1024;

long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Page faults per iteration: fresh pages are what separate a copy into new
// memory from a copy into warm memory.
class FaultCounter {
 public:
  explicit FaultCounter(benchmark::State& state) : mState(state), mStart(MinorFaults()) {}
  ~FaultCounter() {
    mState.counters["faults"] = benchmark::Counter(static_cast<double>(MinorFaults() - mStart),
                                                   benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& mState;
  long mStart;
};

std::unique_ptr<ZyLuaTETable> SettingsTable() {
  auto table = std::make_unique<ZyLuaTETable>();
  table->Set("isoSpeed", new ZyLuaTENumber(400));
  table->Set("aperture", new ZyLuaTENumber(5.6));
  table->Set("shutter", new ZyLuaTEString("1/100"));
  table->Set("whiteBalance", new ZyLuaTEString("Auto"));
  return table;
}

std::unique_ptr<ZyLuaTEData> BulkData() {
  std::vector<unsigned char> bytes(kBulkBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  return std::make_unique<ZyLuaTEData>(bytes.data(), kBulkBytes);
}

zy::DataRef Encoded(const ZyLuaTE& element) {
  ZyNSDataWriteStreamBuf buf(0);
  std::ostream out(&buf);
  element.writeToStream(out);
  return buf.getNSData();
}

// As the host link encodes: a fresh write buffer with no capacity hint.
void EncodeLoop(benchmark::State& state, const ZyLuaTE& element) {
  size_t bytes = 0;
  FaultCounter faults(state);
  for (auto _ : state) {
    ZyNSDataWriteStreamBuf buf(0);
    std::ostream out(&buf);
    element.writeToStream(out);
    bytes = buf.getNSData()->length();
    benchmark::DoNotOptimize(buf.getNSData()->bytes());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void DecodeLoop(benchmark::State& state, const zy::DataRef& encoded) {
  FaultCounter faults(state);
  for (auto _ : state) {
    ZyNSDataReadStreamBuf buf(encoded);
    std::istream in(&buf);
    std::unique_ptr<ZyLuaTE> element(ZyLuaTE::createFromStream(in));
    benchmark::DoNotOptimize(element.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * encoded->length()));
}

void BM_EncodeSettings(benchmark::State& state) { EncodeLoop(state, *SettingsTable()); }
void BM_DecodeSettings(benchmark::State& state) { DecodeLoop(state, Encoded(*SettingsTable())); }
void BM_EncodeData8MiB(benchmark::State& state) { EncodeLoop(state, *BulkData()); }
void BM_DecodeData8MiB(benchmark::State& state) { DecodeLoop(state, Encoded(*BulkData())); }

void BM_Memcpy8MiB(benchmark::State& state) {
  std::vector<char> source(kBulkBytes, 'x');
  std::vector<char> destination(kBulkBytes);
  FaultCounter faults(state);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), kBulkBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBulkBytes});
}

void BM_MallocMemcpy8MiB(benchmark::State& state) {
  std::vector<char> source(kBulkBytes, 'x');
  FaultCounter faults(state);
  for (auto _ : state) {
    void* destination = std::malloc(kBulkBytes);
    std::memcpy(destination, source.data(), kBulkBytes);
    benchmark::DoNotOptimize(destination);
    std::free(destination);
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBulkBytes});
}

BENCHMARK(BM_EncodeSettings);
BENCHMARK(BM_DecodeSettings);
// Interleaved repetitions spread the neighbours' load over all four.
BENCHMARK(BM_Memcpy8MiB)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_MallocMemcpy8MiB)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_EncodeData8MiB)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_DecodeData8MiB)->Unit(benchmark::kMicrosecond)->Repetitions(5);

// Prints as usual, keeping each benchmark's CPU time per iteration (the
// median over repetitions) for the closing ratios. CPU time, because the
// machine is shared and wall time mostly measures the neighbours.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        mSeconds[run.run_name.function_name].push_back(run.cpu_accumulated_time /
                                                       static_cast<double>(run.iterations));
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const double memcpy = Get("BM_Memcpy8MiB");
    const double mallocMemcpy = Get("BM_MallocMemcpy8MiB");
    std::printf("\nBulk data, 8 MiB, median CPU time relative to memcpy in this run:\n");
    for (const char* name :
         {"BM_Memcpy8MiB", "BM_MallocMemcpy8MiB", "BM_EncodeData8MiB", "BM_DecodeData8MiB"}) {
      const double t = Get(name);
      if (t > 0 && memcpy > 0 && mallocMemcpy > 0) {
        std::printf("  %-20s %8.0f us  %5.2fx memcpy  %5.2fx malloc+memcpy\n", name, t * 1e6,
                    t / memcpy, t / mallocMemcpy);
      }
    }
  }

 private:
  double Get(const std::string& name) const {
    auto it = mSeconds.find(name);
    if (it == mSeconds.end() || it->second.empty()) return 0.0;
    std::vector<double> times = it->second;
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
  }
  std::map<std::string, std::vector<double>> mSeconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
