// The application delegate: owns the host link and writes every outbound
// frame to the task's output.
//
// Output side. A frame is int32 length (4 + name bytes + payload bytes),
// int32 message id, name element, payload element (a nil when there is no
// table), integers little-endian. Each frame leaves in one gathered write on
// the output handle, so frames from concurrent senders never interleave.
#ifndef ZY_TETHER_TASK_H_
#define ZY_TETHER_TASK_H_

#include <cstddef>
#include <cstdint>

#include "platform/Application.h"
#include "platform/Data.h"

class ZyLuaTE;
class ZyLuaTEString;
class ZyLuaTETable;

namespace zy {
class FileHandle;
}  // namespace zy

class TetherTask : public zy::ApplicationDelegate {
 public:
  // Writes its frames to the process's standard output.
  TetherTask();
  // Writes its frames to `outputFileHandle`, which is not owned and must
  // outlive the task.
  explicit TetherTask(zy::FileHandle* outputFileHandle);
  // If this task is the published one, unpublishes it first: later sends are
  // held again. Senders on other threads must be finished by then.
  ~TetherTask() override;
  TetherTask(const TetherTask&) = delete;
  TetherTask& operator=(const TetherTask&) = delete;

  // Main thread, once the run loop is ready: publishes the task
  // (publishForSending). Whatever else launching does belongs before it.
  void applicationDidFinishLaunching() override;

  // The launch hook of the output side. Main thread. Makes this task
  // gTetherTask and, before any later frame, writes every frame that
  // SendMessageToClient has held since start-up, in the order sent; from then
  // on sends go straight out. Safe against sends racing with it on other
  // threads: no held frame is lost or overtaken.
  void publishForSending();

  // The element's complete encoding, in a buffer of its own sized exactly
  // (it is never regrown, so the bytes are copied once, here).
  static zy::DataRef luaTableElementToNSData(ZyLuaTE* element);

  // Any thread. Logs "Tether task writing message <id> to host: <name>" and
  // writes one frame: `name` (borrowed, not null), `messageId`, and `data`
  // (borrowed, may be null: a nil payload). Write failures are not reported;
  // a host that has gone away shows up as end of input.
  void sendMessage(ZyLuaTEString* name, int32_t messageId, ZyLuaTETable* data);

  // Frames held because no task was published yet.
  static size_t heldFrameCount();
  // Test seam: forgets the held frames without writing them.
  static void discardHeldFramesForTesting();

 private:
  // The rest of the delegate (service, input handle, accumulator, the queued
  // reply list) is added by the start-up and dispatch side.
  zy::FileHandle* _outputFileHandle;  // not owned
};

// The published delegate: null until launching has finished, then the one
// task. Written on the main thread by publishForSending (and the task's
// destructor) under the send lock; other threads reach it only through
// SendMessageToClient, which reads it under that lock.
extern TetherTask* gTetherTask;

#endif  // ZY_TETHER_TASK_H_
