#include "source/mac_source/TetherTask.h"

#include <sys/ioctl.h>
#include <sys/uio.h>

#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "platform/Mutex.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/SendMessageToClient.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"

// Not GUARDED_BY the send lock: the main thread, its only writer, also reads
// it without the lock (main.cpp's signal handlers).
TetherTask* gTetherTask = nullptr;

namespace {

// Counts what an encoder writes without storing it: sizes a write buffer
// before the real encode so that the buffer never has to grow.
class ByteCountingStreamBuf : public std::streambuf {
 public:
  std::streamsize count() const { return mCount; }

 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    mCount += count;
    return count;
  }

 private:
  std::streamsize mCount = 0;
};

// One encoded frame, ready for a single gathered write.
struct EncodedFrame {
  int32_t messageId = 0;
  std::string name;  // for the log line
  unsigned char header[8] = {};  // length and id, little-endian
  zy::DataRef nameBytes;
  zy::DataRef payloadBytes;
};

EncodedFrame EncodeFrame(ZyLuaTEString* name, int32_t messageId, ZyLuaTETable* data) {
  EncodedFrame frame;
  frame.messageId = messageId;
  frame.name = static_cast<std::string>(*name);
  frame.nameBytes = TetherTask::luaTableElementToNSData(name);
  if (data != nullptr) {
    frame.payloadBytes = TetherTask::luaTableElementToNSData(data);
  } else {
    ZyLuaTENil nil;
    frame.payloadBytes = TetherTask::luaTableElementToNSData(&nil);
  }
  // 32-bit arithmetic, as the length field is 32 bits (frames of 2 GiB or
  // more are outside the design).
  const uint32_t length = static_cast<uint32_t>(frame.nameBytes->length()) +
                          static_cast<uint32_t>(frame.payloadBytes->length()) + 4u;
  zy::putLittleEndian32(frame.header, length);
  zy::putLittleEndianInt32(frame.header + 4, messageId);
  return frame;
}

void LogWriting(const EncodedFrame& frame) {
  zy::Log("Tether task writing message %ld to host: %s", static_cast<long>(frame.messageId),
          frame.name.c_str());
}

void WriteFrame(zy::FileHandle* output, const EncodedFrame& frame) {
  struct iovec iov[3];
  iov[0].iov_base = const_cast<unsigned char*>(frame.header);
  iov[0].iov_len = sizeof(frame.header);
  iov[1].iov_base = const_cast<uint8_t*>(frame.nameBytes->bytes());
  iov[1].iov_len = frame.nameBytes->length();
  iov[2].iov_base = const_cast<uint8_t*>(frame.payloadBytes->bytes());
  iov[2].iov_len = frame.payloadBytes->length();
  // Failures are not reported: the host has gone, and its end of input ends
  // the task.
  output->writeAll(iov, 3);
}

// Orders publishing against sending. Frames sent before a task is published
// wait here, oldest first. Process-wide because until then senders have no
// task to reach; never destroyed, as SDK threads may still send during exit.
struct SendGate {
  zy::Mutex mutex;
  std::vector<EncodedFrame> held GUARDED_BY(mutex);
};

SendGate& Gate() {
  static SendGate* gate = new SendGate;
  return *gate;
}

}  // namespace

TetherTask::TetherTask(zy::FileHandle* outputFileHandle, TaskScheduler& scheduler)
    : _outputFileHandle(outputFileHandle), _scheduler(scheduler) {}

void TetherTask::unpublish() {
  zy::MutexLock lock(&Gate().mutex);
  if (gTetherTask == this) gTetherTask = nullptr;
}

void TetherTask::applicationDidFinishLaunching() { publishForSending(); }

void TetherTask::publishForSending() {
  SendGate& gate = Gate();
  // Held frames go out while the lock is held: a sender that finds the task
  // published can only write after them.
  zy::MutexLock lock(&gate.mutex);
  gTetherTask = this;
  std::vector<EncodedFrame> held;
  held.swap(gate.held);
  for (const EncodedFrame& frame : held) {
    LogWriting(frame);
    WriteFrame(_outputFileHandle, frame);
  }
}

zy::DataRef TetherTask::luaTableElementToNSData(ZyLuaTE* element) {
  ByteCountingStreamBuf counter;
  {
    std::ostream out(&counter);
    element->writeToStream(out);
  }
  ZyNSDataWriteStreamBuf buffer(static_cast<long>(counter.count()));
  {
    std::ostream out(&buffer);
    element->writeToStream(out);
  }
  return buffer.getNSData();  // our own reference: outlives the stream buffer
}

void TetherTask::sendMessage(ZyLuaTEString* name, int32_t messageId, ZyLuaTETable* data) {
  zy::Log("Tether task writing message %ld to host: %s", static_cast<long>(messageId),
          static_cast<std::string>(*name).c_str());
  WriteFrame(_outputFileHandle, EncodeFrame(name, messageId, data));
}

void TetherTask::sendFrequentMessage(ZyLuaTEString* name, std::unique_ptr<ZyLuaTETable> data) {
  const EncodedFrame frame = EncodeFrame(name, 0, data.get());
  data.reset();  // while the host is slow, only the encoding is held
  WriteFrame(_outputFileHandle, frame);
}

long TetherTask::unreadOutputBytes() const {
  int unread = 0;
  // Pipes and sockets answer; a file does not (and never backs up).
  if (ioctl(_outputFileHandle->fileDescriptor(), FIONREAD, &unread) != 0) return -1;
  return unread;
}

size_t TetherTask::heldFrameCount() {
  SendGate& gate = Gate();
  zy::MutexLock lock(&gate.mutex);
  return gate.held.size();
}

void TetherTask::discardHeldFramesForTesting() {
  SendGate& gate = Gate();
  zy::MutexLock lock(&gate.mutex);
  gate.held.clear();
}

void SendMessageToClient(long messageId, const char* name, ZyLuaTETable* table) {
  if (name == nullptr) name = "";
  ZyLuaTEString nameElement(name);
  // The low 32 bits, as the frame's id field holds.
  const int32_t id = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(messageId)));

  TetherTask* task = nullptr;
  {
    SendGate& gate = Gate();
    zy::MutexLock lock(&gate.mutex);
    task = gTetherTask;
    // Not launched yet: hold the frame, encoded now (the table stays the
    // caller's), until publishForSending writes it.
    if (task == nullptr) gate.held.push_back(EncodeFrame(&nameElement, id, table));
  }
  if (task != nullptr) task->sendMessage(&nameElement, id, table);
  zy::Log("Sent message: %s", name);
}

void SendFrequentMessageToClient(const char* name, std::unique_ptr<ZyLuaTETable> table) {
  ZyLuaTEString nameElement(name);
  TetherTask* task;
  {
    SendGate& gate = Gate();
    zy::MutexLock lock(&gate.mutex);
    task = gTetherTask;
  }
  if (task != nullptr) task->sendFrequentMessage(&nameElement, std::move(table));
}

long UnreadBytesAtClient() {
  TetherTask* task;
  {
    SendGate& gate = Gate();
    zy::MutexLock lock(&gate.mutex);
    task = gTetherTask;
  }
  return task != nullptr ? task->unreadOutputBytes() : -1;
}
