#include "tests/e2e/task_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tether_e2e {

using tether_host::HostMessage;
using tether_host::TaskProcess;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

void TaskTest::SetUp() {
  char pattern[] = "/tmp/tether-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  mDir = pattern;
}

void TaskTest::TearDown() {
  mControl.reset();
  mTask.reset();  // ends and reaps the task if a test left it running
  std::error_code ignored;
  std::filesystem::remove_all(mDir, ignored);
}

void TaskTest::StartTask(const std::vector<std::string>& environment) {
  TaskProcess::Options options;
  options.path = TETHER_TASK_PATH;
  options.environment = {
      "TMPDIR=" + mDir,
      "KRV_SIM_CONTROL=" + mDir + "/control.sock",
      "KRV_SIM_COUNTS_FILE=" + mDir + "/counts",
      "KRV_SIM_LOG=1",
      "KRV_SIM_IMAGE_WIDTH=64",
      "KRV_SIM_IMAGE_HEIGHT=48",
  };
  options.environment.insert(options.environment.end(), environment.begin(), environment.end());
  options.stderrPath = mDir + "/task.log";
  std::string error;
  mTask = TaskProcess::start(options, &error);
  ASSERT_NE(mTask, nullptr) << error;
}

HostMessage TaskTest::Expect(const std::string& name, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    HostMessage message;
    auto status = mTask->read(&message, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (status != TaskProcess::ReadStatus::kMessage) {
      ADD_FAILURE() << "no \"" << name << "\" message (read status "
                    << static_cast<int>(status) << ", " << mTask->error() << ")\nlog:\n"
                    << TaskLog();
      return HostMessage();
    }
    if (message.name == name) return message;
    mSeen.push_back(std::move(message));
  }
}

std::vector<HostMessage> TaskTest::Drain() {
  std::vector<HostMessage> out;
  for (;;) {
    HostMessage message;
    if (mTask->read(&message, 0) != TaskProcess::ReadStatus::kMessage) return out;
    out.push_back(std::move(message));
  }
}

bool TaskTest::WaitForLog(const std::string& text, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (TaskLog().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string TaskTest::TaskLog() const { return ReadFile(mDir + "/task.log"); }

std::string TaskTest::CountsAtExit() const { return ReadFile(mDir + "/counts"); }

krv_sim::ControlClient& TaskTest::Control() {
  if (!mControl) {
    mControl = std::make_unique<krv_sim::ControlClient>();
    const std::string path = mDir + "/control.sock";
    std::string error;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!mControl->Connect(path, &error)) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "control socket: " << error;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return *mControl;
}

std::string TaskTest::MustControl(const std::string& command) {
  std::string reply = Control().Command(command);
  EXPECT_TRUE(krv_sim::ControlClient::IsOk(reply)) << command << " -> " << reply;
  return reply;
}

}  // namespace tether_e2e
