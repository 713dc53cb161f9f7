// Runs the built tether-task as a child process over real pipes, with the
// simulated camera SDK, a scratch temp directory, the simulator's control
// socket and the task's log in a file.
#ifndef TETHER_TESTS_E2E_TASK_FIXTURE_H_
#define TETHER_TESTS_E2E_TASK_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "camera/simulator/control_client.h"
#include "host/TaskProcess.h"

namespace tether_e2e {

// Generous guards against a hung task; no assertion depends on them being
// tight.
constexpr int kEventTimeoutMs = 20000;

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the task; `environment` adds or replaces "NAME=value" entries
  // (the simulator's own KRV_SIM_* knobs).
  void StartTask(const std::vector<std::string>& environment = {});

  // Reads messages until one named `name` arrives (others are kept in
  // seen()). Fails the test on timeout, end of output or a bad frame.
  tether_host::HostMessage Expect(const std::string& name, int timeoutMs = kEventTimeoutMs);
  // Reads whatever is already written, without waiting for more.
  std::vector<tether_host::HostMessage> Drain();
  // True once the task's log holds a line containing `text`.
  bool WaitForLog(const std::string& text, int timeoutMs = kEventTimeoutMs);
  std::string TaskLog() const;
  // Counts of each SDK call, written by the simulator when the SDK exits.
  std::string CountsAtExit() const;

  // The simulator's control socket (connected on first use).
  krv_sim::ControlClient& Control();
  // Sends a control command and requires an "ok" reply.
  std::string MustControl(const std::string& command);

  const std::vector<tether_host::HostMessage>& seen() const { return mSeen; }
  tether_host::TaskProcess& task() { return *mTask; }
  const std::string& dir() const { return mDir; }

 private:
  std::string mDir;
  std::unique_ptr<tether_host::TaskProcess> mTask;
  std::unique_ptr<krv_sim::ControlClient> mControl;
  std::vector<tether_host::HostMessage> mSeen;
};

}  // namespace tether_e2e

#endif  // TETHER_TESTS_E2E_TASK_FIXTURE_H_
