// Latencies of the whole task against its built-in delays: start to ready,
// "getCameraSettings" to "ok" (the 100 ms dispatch delay plus our overhead),
// "shutdown" to exit, and the CPU an idle task uses. Each figure is printed
// beside the budget it is measured against; nothing here passes or fails.
//
//   bench/task_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "host/client/TaskProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using tether_host::HostMessage;
using tether_host::TaskProcess;

std::string gScratch;

std::unique_ptr<TaskProcess> StartTask() {
  TaskProcess::Options options;
  options.path = TETHER_TASK_PATH;
  options.environment = {"TMPDIR=" + gScratch, "KRV_SIM_CONNECT_DELAY_MS=0",
                         "KRV_SIM_IMAGE_WIDTH=64", "KRV_SIM_IMAGE_HEIGHT=48"};
  options.stderrPath = "/dev/null";
  options.privateTempDir = false;  // the task alone is measured
  std::string error;
  auto task = TaskProcess::start(options, &error);
  if (!task) {
    std::fprintf(stderr, "task_bench: %s\n", error.c_str());
    std::exit(2);
  }
  return task;
}

// Reads until a message named `name`; false on anything else ending the wait.
bool WaitFor(TaskProcess& task, const char* name) {
  for (;;) {
    HostMessage message;
    if (task.read(&message, 10000) != TaskProcess::ReadStatus::kMessage) return false;
    if (message.name == name) return true;
  }
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// From spawning the process to its first frame: the camera connects at once,
// and its announcement is written the moment launching has finished.
void BM_StartToReady(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = Clock::now();
    auto task = StartTask();
    if (!WaitFor(*task, "deviceAdded")) state.SkipWithError("no deviceAdded");
    state.SetIterationTime(Seconds(Clock::now() - start));
    task->send("shutdown", nullptr);
    task->waitForExit(10000);
  }
  state.counters["budget_ms"] = 50;
}
BENCHMARK(BM_StartToReady)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// Request to reply; the task waits 100 ms before it dispatches a message.
void BM_SettingsRoundTrip(benchmark::State& state) {
  auto task = StartTask();
  if (!WaitFor(*task, "deviceAdded")) state.SkipWithError("no deviceAdded");
  for (auto _ : state) {
    const auto start = Clock::now();
    task->send("getCameraSettings", nullptr);
    if (!WaitFor(*task, "ok")) state.SkipWithError("no ok");
    state.SetIterationTime(Seconds(Clock::now() - start));
  }
  state.counters["budget_ms"] = 110;
  task->send("shutdown", nullptr);
  task->waitForExit(10000);
}
BENCHMARK(BM_SettingsRoundTrip)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// "shutdown" to the process's end, with no Qt events pending: the 100 ms
// dispatch delay, then the stop sequence.
void BM_ShutdownToExit(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto task = StartTask();
    if (!WaitFor(*task, "deviceAdded")) state.SkipWithError("no deviceAdded");
    state.ResumeTiming();
    const auto start = Clock::now();
    task->send("shutdown", nullptr);
    task->waitForExit(10000);
    state.SetIterationTime(Seconds(Clock::now() - start));
  }
  state.counters["budget_ms"] = 150;
}
BENCHMARK(BM_ShutdownToExit)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// CPU time of the process (user + system) from /proc, in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// An idle task: the 0.05 s Qt tick and nothing else. Reported as the share
// of one core over a 3-second window.
void BM_IdleCpuShare(benchmark::State& state) {
  auto task = StartTask();
  if (!WaitFor(*task, "deviceAdded")) state.SkipWithError("no deviceAdded");
  double share = 0;
  for (auto _ : state) {
    const double before = ProcessCpuSeconds(task->pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double used = ProcessCpuSeconds(task->pid()) - before;
    share = used / Seconds(Clock::now() - start);
    state.SetIterationTime(Seconds(Clock::now() - start));
  }
  state.counters["core_percent"] = share * 100;
  state.counters["budget_percent"] = 1;
  task->send("shutdown", nullptr);
  task->waitForExit(10000);
}
BENCHMARK(BM_IdleCpuShare)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/tether-task-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  gScratch = pattern;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string command = "rm -rf '" + gScratch + "'";
  return std::system(command.c_str()) == 0 ? 0 : 1;
}
