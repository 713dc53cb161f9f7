// The statistics the benchmarks print over their timed samples. Each takes
// the samples by value (it sorts its copy); an empty set gives 0.
#ifndef TETHER_BENCH_SAMPLE_STATS_H_
#define TETHER_BENCH_SAMPLE_STATS_H_

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tether_bench {

// The upper of the two middle samples when their number is even.
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The sample at fraction `p` (0..1) of the sorted samples.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

}  // namespace tether_bench

#endif  // TETHER_BENCH_SAMPLE_STATS_H_
