// Fixture for tests over the real simulated SDK: a clean KRV_SIM_*
// environment with a private control socket, and KRV_SDK_exit afterwards so
// that no callback can reach a destroyed recorder.
#ifndef TESTS_SIMULATOR_SIM_FIXTURE_H_
#define TESTS_SIMULATOR_SIM_FIXTURE_H_

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"
#include "camera/simulator/control_client.h"
#include "tests/camera/simulator/sdk_recorder.h"

namespace krv_test {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSimulatorEnvironment();
    socketPath = TestSocketPath();
    ::setenv("KRV_SIM_CONTROL", socketPath.c_str(), 1);
  }
  void TearDown() override {
    KRV_SDK_exit();
    ClearSimulatorEnvironment();
  }

  // Starts the SDK and waits for the default camera, with the control
  // socket connected and the events of accepting the camera (the change
  // report of property 31) delivered.
  void startWithCamera(int model = eKRV_SDK_ModelKMk3) {
    ASSERT_TRUE(recorder.init());
    ASSERT_TRUE(recorder.waitForConnected(model));
    connectControl();
    ok("flush");
  }
  void connectControl() {
    std::string error;
    ASSERT_TRUE(control.connect(socketPath, &error)) << error;
  }
  // Sends a control command that must succeed; returns the reply.
  std::string ok(const std::string& command) {
    const std::string reply = control.command(command);
    EXPECT_TRUE(krv_sim::ControlClient::isOk(reply)) << command << " -> " << reply;
    return reply;
  }

  std::string socketPath;
  SdkRecorder recorder;
  krv_sim::ControlClient control;
};

}  // namespace krv_test

#endif  // TESTS_SIMULATOR_SIM_FIXTURE_H_
