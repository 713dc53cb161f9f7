#include "platform/Application.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace zy {

const char* const kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

Application& Application::shared() {
  static Application* application = new Application;  // never destroyed
  return *application;
}

void Application::setExitFunction(ExitFunction exit) { mExit = std::move(exit); }

void Application::exitProcess(int status) {
  if (mExit) {
    mExit(status);
    Log("Application: the exit function returned; aborting");
    std::abort();
  }
  std::fflush(stderr);
  ::_exit(status);
}

void Application::terminate(const void* sender) {
  RunLoop& loop = RunLoop::main();
  if (!RunLoop::isMainThread()) {
    // Observers of the notification expect the main thread: end from there.
    loop.performOnMainThread([this, sender] { terminate(sender); });
    for (;;) ::pause();
  }
  // A terminate() from an observer of the notification below: the first call
  // is already on its way out, so end now rather than post or recurse.
  if (mTerminating) exitProcess(0);
  mTerminating = true;
  NotificationCenter::defaultCenter().postNotification(kApplicationWillTerminateNotification, this);
  exitProcess(0);
}

int ApplicationMain(int argc, char** argv,
                    const std::function<ApplicationDelegate*()>& makeDelegate) {
  (void)argc;
  (void)argv;
  RunLoop& loop = RunLoop::main();  // binds the loop to this, the main thread
  Application::shared();
  std::unique_ptr<ApplicationDelegate> delegate(makeDelegate());
  // Called as the loop is entered, ahead of every event: nothing that the
  // delegate scheduled while being built can run before it.
  if (delegate) delegate->applicationDidFinishLaunching();
  loop.run();
  return 0;
}

}  // namespace zy
