// Forms messages from arbitrary bytes and dispatches each one through the
// task's dispatcher to the tether service, with the simulated camera SDK
// running in this process and a camera connected: captures, settings
// requests and the callbacks they cause all run for real.
//
// One set-up serves the whole process (the task, the service and the SDK are
// process-wide, as in the real task): standard output goes to /dev/null, so
// that frames never reach the fuzzer's own output, standard input becomes a
// pipe that never delivers, so that the task's own reader neither reads nor
// sees end of input, and the logs are silenced. Each input then runs on a
// fresh accumulator; the run loop and Qt's events are pumped a bounded
// amount afterwards (no sleeping), and the captured files are removed.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "camera/KRV_SDK.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "source/mac_source/TetherTask.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"

namespace {

// Thrown by the exit seam of zy::Application instead of ending the process.
struct TerminateRequested {};

// The process-wide set-up. Never destroyed: the SDK's threads may call into
// the task until the process ends.
struct Harness {
  TetherTask* task = nullptr;
  std::string imageDirectory;  // TMPDIR: where captured files are written
  uint64_t dispatched = 0;     // messages handed to the dispatcher
  uint64_t shutdowns = 0;      // of those, "shutdown"s that reached terminate
  uint64_t files = 0;          // captured files removed
};

Harness* gHarness = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "dispatch_fuzzer: %s\n", what);
  std::abort();
}

// Makes `fd` refer to what `to` refers to, and closes `to` (unless the two
// were the same, as when `fd` was closed and `to` took its number).
void Redirect(int fd, int to) {
  if (to == fd) return;
  if (::dup2(to, fd) < 0) Fail("dup2 failed");
  ::close(to);
}

// Runs what is ready on the main loop and the timers that are due, then
// drains Qt's events (the controller's queued slot and damper timer). Bounded:
// a marker timer due now ends the loop pass once the earlier work has run.
void Pump() {
  for (int round = 0; round < 2; ++round) {
    auto reached = std::make_shared<bool>(false);
    zy::RunLoop::main().performAfterDelay(0, [reached] { *reached = true; });
    zy::RunLoop::main().runUntil([reached] { return *reached; }, 1.0);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
}

// Each capture leaves its DNG and JPEG in TMPDIR; a long run
// would otherwise fill the disk.
void RemoveCapturedFiles() {
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(gHarness->imageDirectory, error)) {
    if (std::filesystem::remove_all(entry.path(), error) > 0) ++gHarness->files;
  }
}

void AtExit() {
  // Stop the SDK's threads before static destruction begins.
  KRV_SDK_exit();
  std::error_code error;
  std::filesystem::remove_all(gHarness->imageDirectory, error);
  std::fprintf(stderr,
               "dispatch_fuzzer: %llu messages dispatched, %llu of them shutdowns; "
               "%llu captured files\n",
               static_cast<unsigned long long>(gHarness->dispatched),
               static_cast<unsigned long long>(gHarness->shutdowns),
               static_cast<unsigned long long>(gHarness->files));
}

void SetUp() {
  gHarness = new Harness;
  zy::SetLogSink([](std::string_view) {});
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

  // A camera that connects at once, small pictures, and capture callbacks
  // that come from inside the capture call, so that each input's captures
  // finish while that input runs. Read by the SDK when the service starts it.
  setenv("KRV_SIM_MODEL", "8241", 1);
  setenv("KRV_SIM_CONNECT_DELAY_MS", "0", 1);
  setenv("KRV_SIM_IMAGE_WIDTH", "16", 1);
  setenv("KRV_SIM_IMAGE_HEIGHT", "16", 1);
  setenv("KRV_SIM_DNG_BYTES", "0", 1);
  setenv("KRV_SIM_SYNC_CALLBACKS", "1", 1);
  setenv("KRV_SIM_LOG", "0", 1);
  unsetenv("KRV_SIM_CONTROL");
  char directory[] = "/tmp/dispatch_fuzzer.XXXXXX";
  if (::mkdtemp(directory) == nullptr) Fail("mkdtemp failed");
  gHarness->imageDirectory = directory;
  setenv("TMPDIR", directory, 1);

  // Before the task takes its handles on fd 0 and fd 1.
  std::fflush(stdout);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) Fail("cannot open /dev/null");
  Redirect(STDOUT_FILENO, devNull);
  int input[2];
  if (::pipe(input) != 0) Fail("pipe failed");
  Redirect(STDIN_FILENO, input[0]);  // input[1] stays open and silent for good

  static int argc = 1;
  static char name[] = "dispatch_fuzzer";
  static char* argv[] = {name, nullptr};
  new QCoreApplication(argc, argv);  // lives as long as the process
  zy::RunLoop::main();               // binds the main loop to this thread

  zy::Application& application = zy::Application::shared();
  application.setExitFunction([](int) { throw TerminateRequested(); });
  // "shutdown" must be able to reach the dispatcher without ending the
  // campaign. terminate() posts the will-terminate notification only on its
  // first call, and that notification runs the stop sequence, which shuts
  // the SDK down for good (the task cannot start it again). So the first
  // terminate() is spent here, before any observer exists: every "shutdown"
  // dispatched later takes the real path into terminate() and out through
  // the exit seam, and the camera stays up. The stop sequence itself is
  // covered by the task's own tests; run once at a random point of a
  // campaign it would only make findings depend on input order.
  try {
    application.terminate(nullptr);
  } catch (const TerminateRequested&) {
  }

  gHarness->task = new TetherTask();
  gHarness->task->applicationDidFinishLaunching();  // frames go out (to /dev/null)
  std::atexit(AtExit);

  // Wait for the camera, bounded: any property read succeeds once it is there.
  // Without one, captures and settings requests would exercise nothing.
  const bool connected = zy::RunLoop::main().runUntil(
      [] {
        int32_t iso = 0;
        return KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, sizeof iso);
      },
      10.0);
  if (!connected) Fail("the simulated camera did not connect");
  Pump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (gHarness == nullptr) SetUp();

  ZyRCMessageAccumulator accumulator(nullptr);
  accumulator.formMessagesWithData(bytes, size);
  // The real task ends at a "shutdown": the messages behind it are freed
  // without being dispatched.
  bool ended = false;
  while (CRCMessage* message = accumulator.getNextMessage()) {
    if (!ended) {
      ++gHarness->dispatched;
      try {
        gHarness->task->dispatchMessage(message);
      } catch (const TerminateRequested&) {
        ++gHarness->shutdowns;
        ended = true;
      }
    }
    ZyDeleteMessage(message);
  }
  Pump();
  RemoveCapturedFiles();
  return 0;
}
