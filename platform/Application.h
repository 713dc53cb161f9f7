// The application object: launches the delegate on the main run loop and
// ends the process through terminate().
#ifndef ZY_PLATFORM_APPLICATION_H_
#define ZY_PLATFORM_APPLICATION_H_

#include <functional>
#include <memory>

namespace zy {

// Posted once by terminate(), on the main thread, with the application as
// object, before the process ends.
extern const char* const kApplicationWillTerminateNotification;

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Called once, on the main thread, when the run loop is ready.
  virtual void applicationDidFinishLaunching() = 0;
};

class Application {
 public:
  static Application& shared();

  // Posts kApplicationWillTerminateNotification (only the first time it is
  // called), then ends the process with status 0. Does not return.
  [[noreturn]] void terminate(const void* sender);

  // Test seam: what terminate() calls to end the process (default: flush
  // and _exit(0)). A replacement must not return either (it may throw).
  using ExitFunction = std::function<void(int status)>;
  void setExitFunction(ExitFunction exit);
};

// Creates the delegate with `makeDelegate` (on the main thread, before the run
// loop starts), calls its applicationDidFinishLaunching once the loop runs,
// and runs the main loop. In normal operation the process ends inside it,
// through terminate(); it returns 0 only if the loop is stopped.
int ApplicationMain(int argc, char** argv,
                    const std::function<ApplicationDelegate*()>& makeDelegate);

}  // namespace zy

#endif  // ZY_PLATFORM_APPLICATION_H_
