#include "source/mac_source/ZyRCMessageAccumulator.h"

#include <algorithm>
#include <istream>
#include <memory>
#include <utility>
#include <string>

#include "platform/ByteOrder.h"
#include "platform/Exception.h"
#include "platform/FileHandle.h"
#include "platform/NotificationCenter.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyFrameDropReporter.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"

const char* const kZyMessageIsAvailableNotification = "messageIsAvailable";
const char* const kZyReadHandleIsFinishedNotification = "readHandleIsFinished";

namespace {

// Buffers up to this size are emptied and reused; larger ones are released.
constexpr int64_t kKeptBufferCapacity = 1 << 20;

// One little-endian int32 by one block read, straight from the buffer (the
// stream's sentry would cost more than the read). False when fewer than 4
// bytes were left; the caller then treats the read as not having happened.
bool ReadInt32(std::streambuf& in, int32_t* value) {
  char b[4];
  if (in.sgetn(b, sizeof(b)) != static_cast<std::streamsize>(sizeof(b))) return false;
  *value = zy::getLittleEndianInt32(b);
  return true;
}

// The read position, asked of the buffer itself: unlike tellg it also
// answers after a failed read.
int64_t PositionOf(std::streambuf& buffer) {
  return static_cast<int64_t>(buffer.pubseekoff(0, std::ios_base::cur, std::ios_base::in));
}

}  // namespace

void ZyDeleteMessage(CRCMessage* message) {
  if (message == nullptr) return;
  delete message->messageName;
  delete message->messageData;
  delete message;
}

ZyRCMessageAccumulator::ZyRCMessageAccumulator(zy::FileHandle* source)
    : _sourceFileHandle(source),
      _accumulatedData(std::make_shared<zy::MutableData>()),
      _currentMessage(new CRCMessage),
      _dropReporter(&ZyFrameDropReporter::logReporter()) {
  if (_sourceFileHandle == nullptr) return;
  zy::NotificationCenter::defaultCenter().addObserver(
      this, [this](const zy::Notification& notification) { dataWasRead(notification); },
      std::string(zy::kFileHandleReadCompletionNotification), _sourceFileHandle);
  _sourceFileHandle->readInBackgroundAndNotify();
}

ZyRCMessageAccumulator::~ZyRCMessageAccumulator() {
  zy::NotificationCenter::defaultCenter().removeObserver(this);
  for (CRCMessage* message : _waitingMessages) ZyDeleteMessage(message);
  _waitingMessages.clear();
  ZyDeleteMessage(_currentMessage);
}

void ZyRCMessageAccumulator::dataWasRead(const zy::Notification& notification) {
  if (notification.data != nullptr && notification.data->length() > 0) {
    formMessagesWithData(*notification.data);
    // Armed only now, so every message of this chunk is queued and announced
    // before the next chunk can arrive.
    if (_sourceFileHandle != nullptr) _sourceFileHandle->readInBackgroundAndNotify();
    return;
  }
  // End of input. The bytes of an incomplete frame are dropped silently.
  zy::NotificationCenter::defaultCenter().postNotification(kZyReadHandleIsFinishedNotification,
                                                          this);
}

void ZyRCMessageAccumulator::setFrameDropReporter(ZyFrameDropReporter* reporter) {
  _dropReporter = reporter != nullptr ? reporter : &ZyFrameDropReporter::logReporter();
}

void ZyRCMessageAccumulator::resetCurrentMessage() {
  ZyDeleteMessage(_currentMessage);
  _currentMessage = new CRCMessage;
  _currentMessageStage = 0;
  _elementScanner.reset();
}

// Stages of _currentMessageStage: 0 awaiting the length field, 1 length known
// and body awaited, 2 id read, 3 name decoded, 4 complete (queueing it failed
// last time when a pass starts here).
//
// A frame is dropped as malformed, and parsing resumes at the end that its
// length field declares (or where decoding stopped, if that is further on),
// when one of its elements is malformed, when its name or payload has an
// unrecognised tag, or when its length field is negative. A negative length
// cannot be waited on; the body is still read by its own encodings, as for
// any length smaller than its body, and then discarded: a sender that only
// got the length wrong (a 32-bit length wrapped by a frame of 2 GiB or more)
// leaves the stream in step, and a garbled body is cut short by the rule
// above.
void ZyRCMessageAccumulator::formMessagesWithData(const void* bytes, size_t length) {
  _accumulatedData->appendBytes(bytes, length);
  // 64-bit, so neither a length near INT32_MAX nor a large buffer can
  // overflow the comparisons below.
  const int64_t total = static_cast<int64_t>(_accumulatedData->length());

  // A large body being awaited: the buffer starts at it, so this pass would
  // consume nothing and move nothing. One comparison decides that.
  if (_currentMessageStage == 1 && total < _currentMessage->messageLength) return;

  int64_t pos = 0;  // first byte not yet consumed
  {
    ZyNSDataReadStreamBuf buffer(_accumulatedData);
    std::istream in(&buffer);
    bool more = true;
    while (more && pos < total) {
      try {
        more = formNextStage(in, total, &pos);
      } catch (const zy::Exception& e) {
        // Malformed input cannot be mended by more bytes: drop the frame and
        // go on. Anything else (an element cut short, the queue lock) ends
        // the pass; the failed step counts as not taken.
        if (e.name() != kZyMalformedElement) break;
        dropCurrentFrame(in, &pos, e.reason().c_str());
      }
    }
  }
  discardConsumed(std::min(pos, total));
}

bool ZyRCMessageAccumulator::formNextStage(std::istream& in, int64_t total, int64_t* pos) {
  std::streambuf& buffer = *in.rdbuf();
  switch (_currentMessageStage) {
    case 0: {
      int32_t frameLength = 0;
      if (!ReadInt32(buffer, &frameLength)) return false;
      _currentMessage->messageLength = frameLength;
      *pos = PositionOf(buffer);
      _currentFrameEnd = *pos + frameLength;
      _currentMessageStage = 1;
      return true;
    }
    case 1: {
      if (total - *pos < _currentMessage->messageLength) return false;
      int32_t messageId = 0;
      if (!ReadInt32(buffer, &messageId)) return false;
      _currentMessage->messageId = messageId;
      *pos = PositionOf(buffer);
      _currentMessageStage = 2;
      return true;
    }
    case 2:
      if (!elementIsReady(*pos, total)) return false;
      if (decodeElement(in, pos, &_currentMessage->messageName, "name with an unrecognised tag")) {
        _currentMessageStage = 3;
      }
      return true;
    case 3:
      if (!elementIsReady(*pos, total)) return false;
      if (!decodeElement(in, pos, &_currentMessage->messageData,
                         "payload with an unrecognised tag")) {
        return true;
      }
      _currentMessageStage = 4;
      [[fallthrough]];
    case 4:
      if (_currentMessage->messageLength < 0) {
        dropCurrentFrame(in, pos, "negative length");
        return true;
      }
      // Throws, leaving the message current at stage 4, when the queue lock
      // is not obtained; the next pass queues it first.
      enqueue(_currentMessage);
      _currentMessage = new CRCMessage;
      _currentMessageStage = 0;
      postMessageIsAvailable();
      return true;
  }
  return false;  // no such stage
}

// An element cut short (its frame's length field was smaller than its body)
// is not decoded again from its first byte on every chunk: its end is sought
// by walking each byte once, and it is decoded when that end has arrived.
bool ZyRCMessageAccumulator::elementIsReady(int64_t pos, int64_t total) {
  const uint8_t* element = _accumulatedData->bytes() + pos;
  return _elementScanner.scan(element, static_cast<size_t>(total - pos)) !=
         ZyElementScanner::Result::kNeedMore;
}

bool ZyRCMessageAccumulator::decodeElement(std::istream& in, int64_t* pos, ZyLuaTE** element,
                                           const char* whyUnrecognised) {
  _elementScanner.reset();
  ++_elementDecodes;
  *element = ZyLuaTE::createFromStream(in);
  *pos = PositionOf(*in.rdbuf());
  if (*element != nullptr) return true;
  dropCurrentFrame(in, pos, whyUnrecognised);
  return false;
}

void ZyRCMessageAccumulator::dropCurrentFrame(std::istream& in, int64_t* pos, const char* why) {
  _dropReporter->frameWasDropped(*_currentMessage, why);
  resetCurrentMessage();
  *pos = std::max(PositionOf(*in.rdbuf()), _currentFrameEnd);
  in.clear();
  in.rdbuf()->pubseekpos(*pos, std::ios_base::in);
}

// The buffer then starts where the current stage resumes. A buffer that grew
// large for one big frame is replaced rather than shrunk in place, so its
// memory does not stay with the task.
void ZyRCMessageAccumulator::discardConsumed(int64_t consumed) {
  const int64_t total = static_cast<int64_t>(_accumulatedData->length());
  const bool large = total > kKeptBufferCapacity;
  if (consumed >= total) {
    if (large) {
      _accumulatedData = std::make_shared<zy::MutableData>();
    } else {
      _accumulatedData->setLength(0);
    }
  } else if (consumed > 0) {
    if (large) {
      const size_t rest = static_cast<size_t>(total - consumed);
      auto fresh = std::make_shared<zy::MutableData>(rest);
      fresh->appendBytes(_accumulatedData->bytes() + consumed, rest);
      _accumulatedData = std::move(fresh);
    } else {
      _accumulatedData->removeLeading(static_cast<size_t>(consumed));
    }
  }
  _currentFrameEnd -= consumed;
}

void ZyRCMessageAccumulator::enqueue(CRCMessage* message) {
  if (!_messageQueueLock.lockWithin(_queueLockTimeout)) {
    zy::HandleAssertionFailure("addMessageToQueue:", this, "ZyRCMessageAccumulator", 209,
                               "ZyRemoteCommunicationMac: addMessageToQueue: Message is being "
                               "lost because we timed out waiting for the queue lock!");
  }
  try {
    _waitingMessages.push_back(message);
  } catch (...) {
    _messageQueueLock.unlock();
    throw;
  }
  _messageQueueLock.unlock();
}

void ZyRCMessageAccumulator::postMessageIsAvailable() {
  zy::NotificationCenter::defaultCenter().postNotification(kZyMessageIsAvailableNotification,
                                                          this);
}

void ZyRCMessageAccumulator::addMessageToQueue(CRCMessage* message) {
  enqueue(message);
  postMessageIsAvailable();
}

CRCMessage* ZyRCMessageAccumulator::getNextMessage() {
  if (!_messageQueueLock.lockWithin(_queueLockTimeout)) return nullptr;
  CRCMessage* message = nullptr;
  if (!_waitingMessages.empty()) {
    message = _waitingMessages.front();
    _waitingMessages.pop_front();
  }
  _messageQueueLock.unlock();
  return message;
}
