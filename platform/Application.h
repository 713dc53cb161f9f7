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
  // Called once, on the main thread, when the run loop is ready (ahead of any
  // event scheduled while the delegate was built).
  virtual void applicationDidFinishLaunching() = 0;
};

class Application {
 public:
  // The process's one application object; lives until the process ends.
  static Application& shared();

  // Posts kApplicationWillTerminateNotification (only the first time it is
  // called), then ends the process with status 0. Does not return. On the
  // main thread the notification goes out at once, so this may be called
  // from any task of the run loop; a call while that notification is being
  // delivered ends the process at once, without posting again. From another
  // thread the call is handed to the main loop and the calling thread waits
  // there for the end.
  [[noreturn]] void terminate(const void* sender);

  // Test seam: what terminate() calls to end the process (default: flush
  // stderr and _exit(0)). A replacement must not return either (it may
  // throw; should it return, the process aborts). Main thread only.
  using ExitFunction = std::function<void(int status)>;
  void setExitFunction(ExitFunction exit);

 private:
  Application() = default;
  [[noreturn]] void exitProcess(int status);

  bool mTerminating = false;  // main thread only: terminate() has begun
  ExitFunction mExit;         // empty: the real exit
};

// Creates the delegate with `makeDelegate` (on the main thread, before the run
// loop starts), calls its applicationDidFinishLaunching as the loop is
// entered, ahead of every event of the loop, and runs the main loop. In normal operation the
// process ends inside it, through terminate(); it returns 0 only if the loop
// is stopped. The delegate belongs to ApplicationMain: it is deleted when
// ApplicationMain returns (or unwinds), never on the terminate() path.
// argc and argv are accepted for symmetry with the platform entry point and
// are not interpreted.
int ApplicationMain(int argc, char** argv,
                    const std::function<ApplicationDelegate*()>& makeDelegate);

}  // namespace zy

#endif  // ZY_PLATFORM_APPLICATION_H_
