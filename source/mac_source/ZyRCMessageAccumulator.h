// The inbound side of the host link: collects the bytes read from the host,
// cuts them into frames, decodes each frame's name and payload, queues the
// finished messages and announces each one.
//
// Frame: int32 length (the bytes after it: 4 for the id + name element +
// payload element), int32 message id, name element, payload element; all
// integers little-endian.
//
// Threading: everything except getNextMessage() runs on the main thread (read
// completions arrive there). The queue is shared with whoever takes messages
// and is guarded by _messageQueueLock, held for one push or one pop.
#ifndef ZY_RC_MESSAGE_ACCUMULATOR_H_
#define ZY_RC_MESSAGE_ACCUMULATOR_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iosfwd>

#include "platform/Data.h"
#include "platform/Lock.h"
#include "platform/ThreadAnnotations.h"
#include "source/ZyElementScanner.h"

class ZyFrameDropReporter;
class ZyLuaTE;

namespace zy {
class FileHandle;
struct Notification;
}  // namespace zy

// Posted, with the accumulator as object, once for every message queued,
// after the queue lock has been released.
extern const char* const kZyMessageIsAvailableNotification;  // "messageIsAvailable"
// Posted, with the accumulator as object, once when the source reaches end of
// input; nothing is read afterwards.
extern const char* const kZyReadHandleIsFinishedNotification;  // "readHandleIsFinished"

// One received message. A plain record: whoever owns it owns both elements
// too, and deletes them before the record (ZyDeleteMessage does both).
struct CRCMessage {
  int32_t messageId = 0;
  ZyLuaTE* messageName = nullptr;  // owned; normally a ZyLuaTEString
  ZyLuaTE* messageData = nullptr;  // owned; normally a table or a nil
  int32_t messageLength = 0;       // the frame's length field
};

// Deletes the message's elements, then the message. Null is allowed.
void ZyDeleteMessage(CRCMessage* message);

class ZyRCMessageAccumulator {
 public:
  // Starts reading `source`: registers for its read completions and arms the
  // first background read. `source` is not owned and must outlive the
  // accumulator. A null source reads nothing; bytes then arrive only through
  // formMessagesWithData (tests, replay).
  explicit ZyRCMessageAccumulator(zy::FileHandle* source);
  // Unregisters from every notification and deletes every message still
  // owned: the queued ones and the one being formed, with their elements.
  ~ZyRCMessageAccumulator();
  ZyRCMessageAccumulator(const ZyRCMessageAccumulator&) = delete;
  ZyRCMessageAccumulator& operator=(const ZyRCMessageAccumulator&) = delete;

  // A read completion of the source: forms messages from its bytes and arms
  // the next read, or, when it holds no bytes, posts "readHandleIsFinished"
  // and reads no more.
  void dataWasRead(const zy::Notification& notification);

  // Appends the bytes and forms, queues and announces every message that is
  // complete. One pass; parsing resumes where the previous pass stopped.
  void formMessagesWithData(const void* bytes, size_t length);
  void formMessagesWithData(const zy::Data& data) {
    formMessagesWithData(data.bytes(), data.length());
  }

  // Queues a finished message (taking ownership) and posts
  // "messageIsAvailable". When the queue lock cannot be taken in time, it
  // reports an assertion failure, which throws zy::Exception; the message is
  // then NOT taken and stays the caller's.
  void addMessageToQueue(CRCMessage* message) EXCLUDES(_messageQueueLock);

  // Any thread. The oldest queued message, handed to the caller with its
  // elements, or null when there is none or the lock could not be taken in
  // time.
  CRCMessage* getNextMessage() EXCLUDES(_messageQueueLock);

  // Where dropped frames are reported; null restores the default, the log
  // line. `reporter` is not owned and must outlive its use here.
  void setFrameDropReporter(ZyFrameDropReporter* reporter);

  // Test seams. The deadline for taking the queue lock (10 s by default), and
  // the lock itself, so that a test can hold it from another thread.
  void setQueueLockTimeoutForTesting(double seconds) { _queueLockTimeout = seconds; }
  zy::Lock& messageQueueLockForTesting() { return _messageQueueLock; }
  // How many times an element decode has been tried, cut short or not.
  int64_t elementDecodesForTesting() const { return _elementDecodes; }

 private:
  // Forgets the message being formed (freeing its elements) and starts a
  // fresh one at stage 0.
  void resetCurrentMessage();
  // One step of the current stage over `in` (positions are offsets into
  // _accumulatedData, `total` its length). Advances *pos past what the step
  // consumed; false when the step needs more bytes. Throws what the decoder
  // or enqueue throw, with the step not taken.
  bool formNextStage(std::istream& in, int64_t total, int64_t* pos);
  // Stages 2 and 3: whether the element at *pos may be decoded now, that is
  // whether it ends within the buffer or the decoder can judge it already.
  // Walks only the bytes that arrived since the last call for that element.
  bool elementIsReady(int64_t pos, int64_t total);
  // Stages 2 and 3: decodes one element into *element and advances *pos.
  // False when its tag is unrecognised; the frame is then dropped.
  bool decodeElement(std::istream& in, int64_t* pos, ZyLuaTE** element,
                     const char* whyUnrecognised);
  // Reports the current frame as dropped for `why`, forgets it, and moves
  // *pos and `in` to where parsing resumes.
  void dropCurrentFrame(std::istream& in, int64_t* pos, const char* why);
  // Cuts the first `consumed` bytes off _accumulatedData.
  void discardConsumed(int64_t consumed);
  // Pushes under the queue lock, taking ownership; on timeout reports the
  // assertion failure (which throws) without taking it.
  void enqueue(CRCMessage* message) EXCLUDES(_messageQueueLock);
  void postMessageIsAvailable();

  zy::Lock _messageQueueLock;
  std::deque<CRCMessage*> _waitingMessages GUARDED_BY(_messageQueueLock);  // owned
  zy::FileHandle* _sourceFileHandle;  // not owned; may be null
  zy::MutableDataRef _accumulatedData;  // bytes not yet consumed
  CRCMessage* _currentMessage;  // owned; never null
  int32_t _currentMessageStage = 0;

  // Where the current frame ends by its length field, as an offset into
  // _accumulatedData (meaningful at stages 2 to 4; behind the buffer's start
  // once passed). A malformed frame is skipped up to here.
  int64_t _currentFrameEnd = 0;
  // How far the element awaited at stage 2 or 3 has been walked. Between
  // passes that element begins the buffer; reset whenever a decode is tried.
  ZyElementScanner _elementScanner;
  int64_t _elementDecodes = 0;
  double _queueLockTimeout = 10.0;
  ZyFrameDropReporter* _dropReporter;  // not owned; never null
};

#endif  // ZY_RC_MESSAGE_ACCUMULATOR_H_
