// A camera library that closes descriptor 0 and prints to stdout in the
// middle of a session: the task must neither lose its input nor let the
// stray text into its frames.
#include <cstdlib>
#include <string>

#include "host/client/HostMessage.h"
#include "tests/e2e/task_fixture.h"

namespace tether_faults {
namespace {

using namespace tether_e2e;  // the shared task fixture and its helpers
using StdioFaultTest = TaskTest;

// The preloaded library comes ahead of the sanitizer runtime, which the
// sanitizer would otherwise refuse.
std::string AsanOptions() {
  const char* now = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (now != nullptr && *now != '\0' ? std::string(now) + ":" : "") +
         "verify_asan_link_order=0";
}

TEST_F(StdioFaultTest, LibraryClosingStdinAndPrintingToStdoutLeavesTheSessionWhole) {
  startTask({"LD_PRELOAD=" STDIO_INTRUDER_PATH, AsanOptions()});
  expect("deviceAdded");
  for (int capture = 1; capture <= 2; ++capture) {
    ASSERT_GT(task().send("doCapture", nullptr), 0);
    EXPECT_EQ(expect("objectWasAdded").number("capture_id"), capture);
    expect("fileDownloadComplete");
  }
  ASSERT_TRUE(task().sendWithId(7, "getCameraSettings", nullptr));
  EXPECT_EQ(expect("ok").id, 7);
  // The stray text went to the log, which proves the library ran.
  EXPECT_EQ(logCount("intruder: a library printing to stdout"), 2u);
  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
}

}  // namespace
}  // namespace tether_faults
