// The application delegate: owns the tether service and the host link (the
// input and output handles and the inbound accumulator), dispatches the
// host's commands, and writes every outbound frame to the task's output.
//
// Output side. A frame is int32 length (4 + name bytes + payload bytes),
// int32 message id, name element, payload element (a nil when there is no
// table), integers little-endian. Each frame leaves in one gathered write on
// the output handle, so frames from concurrent senders never interleave.
#ifndef ZY_TETHER_TASK_H_
#define ZY_TETHER_TASK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Application.h"
#include "platform/Data.h"
#include "source/mac_source/TaskScheduler.h"

class ImageCaptureTetherService;
class ZyLuaTE;
class ZyLuaTEString;
class ZyLuaTETable;
class ZyRCMessageAccumulator;
struct CRCMessage;

namespace zy {
class FileHandle;
struct Notification;
}  // namespace zy

class TetherTask : public zy::ApplicationDelegate {
 public:
  // The process's delegate. Main thread, once, before the run loop starts:
  // creates the tether service (which starts the camera SDK and the Qt
  // tick), takes the output and input handles, creates the accumulator
  // (which arms the first read of standard input), then registers for the
  // accumulator's notifications and for the will-terminate notification.
  TetherTask();
  // An output-only task: writes its frames to `outputFileHandle`, which is
  // not owned and must outlive the task; no service and no input. Delayed
  // dispatches go to `scheduler` (borrowed; it must outlive the task).
  explicit TetherTask(zy::FileHandle* outputFileHandle,
                      TaskScheduler& scheduler = TaskScheduler::mainLoop());
  // If this task is the published one, unpublishes it first: later sends are
  // held again. Senders on other threads must be finished by then. Then
  // unregisters and deletes the accumulator and the service.
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

  // "messageIsAvailable": dispatch the queue 0.1 s later (one delayed
  // dispatch per message; the first drains the queue). "readHandleIsFinished":
  // terminate the application. Any other name: nothing.
  void notificationFromAccumulator(const zy::Notification& notification);
  // The will-terminate reaction: logs, then runs the service's stop sequence.
  void willShutdown(const zy::Notification& notification);

  // Main thread. Dispatches every queued message in arrival order, deleting
  // each after its handler has returned.
  void dispatchMessages();
  // Logs "Received message: <name>" and calls the service's handler for the
  // name (exact, case-sensitive match); "shutdown" terminates the
  // application. Unknown names are only logged. `message` is borrowed.
  void dispatchMessage(CRCMessage* message);

  // The element's complete encoding, in a buffer of its own sized exactly
  // (it is never regrown, so the bytes are copied once, here).
  static zy::DataRef luaTableElementToNSData(ZyLuaTE* element);

  // Any thread. Logs "Tether task writing message <id> to host: <name>" and
  // writes one frame: `name` (borrowed, not null), `messageId`, and `data`
  // (borrowed, may be null: a nil payload). Write failures are not reported;
  // a host that has gone away shows up as end of input.
  void sendMessage(ZyLuaTEString* name, int32_t messageId, ZyLuaTETable* data);
  // The same with id 0 and without the log line; takes `data` and frees it
  // before writing (SendFrequentMessageToClient).
  void sendFrequentMessage(ZyLuaTEString* name, std::unique_ptr<ZyLuaTETable> data);
  // What the host has not read yet of the output; -1 when it cannot be told.
  long unreadOutputBytes() const;

  // Frames held because no task was published yet.
  static size_t heldFrameCount();
  // Test seam: forgets the held frames without writing them.
  static void discardHeldFramesForTesting();

 private:
  // Stops sending through this task: later sends are held again.
  void unpublish();

  ImageCaptureTetherService* _tetherService = nullptr;  // owned; null when output-only
  std::vector<CRCMessage*> _queuedReplyMessages;        // declared; nothing uses it yet
  zy::FileHandle* _outputFileHandle;                     // not owned; process lifetime
  zy::FileHandle* _inputFileHandle = nullptr;            // not owned; process lifetime
  ZyRCMessageAccumulator* _messageAccumulator = nullptr;  // owned; null when output-only
  TaskScheduler& _scheduler;  // not owned; the main loop's unless a test gives another
};

// The published delegate: null until launching has finished, then the one
// task. Written on the main thread by publishForSending (and the task's
// destructor) under the send lock; other threads reach it only through
// SendMessageToClient, which reads it under that lock.
extern TetherTask* gTetherTask;

#endif  // ZY_TETHER_TASK_H_
