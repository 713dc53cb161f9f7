// tether: the tethered session at the terminal. Enter asks for a picture,
// i/I, a/A and s/S step ISO, aperture and shutter down/up, Ctrl-C ends the
// session (a second one stops the task at once).
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "host/cli/CommandSupport.h"
#include "host/cli/Commands.h"
#include "host/saving/HookRunner.h"
#include "host/cli/StatusLine.h"

namespace tether_host {

namespace {

// The keys that step a setting: lower case down, upper case up.
struct StepKey {
  char key;
  TetherSession::StepSetting setting;
  int direction;
};
constexpr StepKey kStepKeys[] = {
    {'i', TetherSession::kStepIso, -1},      {'I', TetherSession::kStepIso, +1},
    {'a', TetherSession::kStepAperture, -1}, {'A', TetherSession::kStepAperture, +1},
    {'s', TetherSession::kStepShutter, -1},  {'S', TetherSession::kStepShutter, +1}};

// On a terminal, keys arrive as they are pressed (no line editing, no echo)
// for as long as this lives; Enter and Ctrl-C work as before. Not from the
// background, where changing the terminal would stop the process.
class KeysAsPressed {
 public:
  KeysAsPressed() {
    if (isatty(0) != 1 || tcgetpgrp(0) != getpgrp() || tcgetattr(0, &mSaved) != 0) return;
    struct termios raw = mSaved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    mActive = tcsetattr(0, TCSANOW, &raw) == 0;
  }
  ~KeysAsPressed() {
    if (mActive) tcsetattr(0, TCSANOW, &mSaved);
  }
  KeysAsPressed(const KeysAsPressed&) = delete;
  KeysAsPressed& operator=(const KeysAsPressed&) = delete;

 private:
  struct termios mSaved = {};
  bool mActive = false;
};

// Turns Enter into requestCapture() and Ctrl-C into requestStop() until
// the session has ended (`done` readable).
void Controls(TetherSession* session, StopSignals* stop, int done) {
  bool input = true;
  for (;;) {
    struct pollfd fds[3] = {{done, POLLIN, 0}, {stop->fd(), POLLIN, 0}, {input ? 0 : -1, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) continue;
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) {
      stop->drain();
      session->requestStop();
    }
    if (fds[2].revents != 0) {
      char buf[256];
      const ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) input = false;  // no more input: Ctrl-C or the count ends the session
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == '\n') session->requestCapture();
        for (const StepKey& k : kStepKeys) {
          if (buf[i] == k.key) session->requestStep(k.setting, k.direction);
        }
      }
    }
  }
}

int ExitCodeOf(const TetherResult& result) {
  switch (result.end) {
    case TetherResult::End::kStopped:
    case TetherResult::End::kCountReached:
      return result.allSaved() ? kExitOk : kExitCaptureFailed;
    case TetherResult::End::kSetupFailed: return kExitUsage;
    case TetherResult::End::kNoTask: return kExitNoTask;
    case TetherResult::End::kTaskEnded: return kExitTaskDied;
    case TetherResult::End::kBadFrame: return kExitBadFrame;
  }
  return kExitTaskDied;
}

void Report(const TetherArgs& args, const TetherResult& result, int code) {
  if (!result.message.empty()) Say(result.message);
  const SaveRecord& saved = result.saved;
  PrintSummary(args.options.outDir, saved.files, saved.failures, saved.incomplete);
  std::fflush(stdout);
  for (const std::string& problem : saved.problems) Say(problem);
  SayLeftovers(result.leftovers);
  if (code != kExitOk) SayLogTail(result.taskLogPath, result.taskLogTail);
}

}  // namespace

int runTether(const TetherArgs& args, SessionCompanion* companion) {
  StopSignals stop;  // before any thread, so that every thread has them blocked
  TetherOptions options = args.options;
  options.say = Say;
  TetherSession session(options);
  StatusLine status(stdout, isatty(1) == 1);
  session.addObserver(&status);
  std::unique_ptr<HookRunner> hooks;
  if (!args.hook.empty()) {
    hooks.reset(new HookRunner(args.hook, Say));
    session.addObserver(hooks.get());
  }
  if (companion != nullptr && !companion->start(&session)) return kExitUsage;
  const int done = eventfd(0, EFD_CLOEXEC);
  KeysAsPressed keys;
  std::thread controls(Controls, &session, &stop, done);
  Say("tethering into " + args.options.outDir +
      ": shoot on the camera, or press Enter; i/I a/A s/S step ISO, aperture, shutter "
      "down/up; Ctrl-C ends");
  const TetherResult result = session.run();
  if (companion != nullptr) companion->stop();
  const uint64_t one = 1;
  if (write(done, &one, sizeof one) < 0) Say("cannot stop the input thread");
  controls.join();
  close(done);
  status.finish();
  if (hooks && hooks->pending() > 0) {
    Say("hooks are finishing: " + std::to_string(hooks->pending()) + " remain");
  }
  if (hooks) hooks->finish();
  const int code = ExitCodeOf(result);
  Report(args, result, code);
  return code;
}

}  // namespace tether_host
