// The task on the libgphoto2 bridge, chosen by LD_LIBRARY_PATH alone: the
// task binary is the same one that runs on the simulated SDK.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/task_fixture.h"

namespace tether_e2e {
namespace {

// A loopback port that nothing listens on (bound, read, released).
int ClosedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  close(fd);
  return ntohs(address.sin_port);
}

class BridgeTaskTest : public TaskTest {};

// The bridge's folder first in LD_LIBRARY_PATH wins over the task's run path:
// the bridge's own lines appear, the simulator's do not, and the task still
// ends cleanly while the bridge keeps looking for its camera.
TEST_F(BridgeTaskTest, LibraryPathPicksTheBridgeOverTheRunPath) {
  const int port = ClosedLoopbackPort();
  ASSERT_GT(port, 0);
  const std::string camera = "ptpip:127.0.0.1:" + std::to_string(port) + ":" + std::to_string(port);
  startTask({"LD_LIBRARY_PATH=" TETHER_BRIDGE_DIR, "KRV_GPHOTO_CAMERA=" + camera});
  ASSERT_TRUE(waitForLog("krv-gphoto: cannot open " + camera));
  ASSERT_GT(task().send("doCapture", nullptr), 0);  // no camera: nothing happens
  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(logCount("krv-gphoto: cannot open"), 1u);  // said once, not every second
  EXPECT_EQ(logCount("krv-sim: "), 0u);  // the simulator logs its init here (KRV_SIM_LOG=1)
}

// A camera choice that names no camera: refused with its reason, no camera
// ever, and the task runs and ends as usual.
TEST_F(BridgeTaskTest, MalformedCameraChoiceIsRefused) {
  startTask({"LD_LIBRARY_PATH=" TETHER_BRIDGE_DIR, "KRV_GPHOTO_CAMERA=ptpip:camera.example"});
  ASSERT_TRUE(waitForLog("krv-gphoto: KRV_GPHOTO_CAMERA: expected ptpip:ADDR"));
  ASSERT_GT(task().send("getCameraSettings", nullptr), 0);
  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
  EXPECT_TRUE(drain().empty());
}

}  // namespace
}  // namespace tether_e2e
