// Feeds arbitrary bytes to the inbound accumulator in chunks that the input
// chooses, and the same bytes in one chunk to a second accumulator. Framing
// must not depend on how the bytes were split, so both must form the same
// messages in the same order, and drop the same frames for the same reasons.
// Each accumulator must announce every message it queues exactly once, and
// every message formed must survive a round trip through the frame encoding:
// written as a frame of exact length and fed to a third accumulator, it comes
// back unchanged and nothing is dropped. Everything formed is freed here and
// everything left half-formed by the accumulators' destructors, so a leak
// anywhere shows up under LeakSanitizer.
//
// Input layout: byte 0 picks the chunking. Its low four bits k count the
// chunk sizes that follow it (bytes 1..k, each giving a size of byte + 1),
// used in turn and cycled over the stream; k = 0 feeds one byte at a time.
// Everything after them is the byte stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "fuzz/canonical_encoding.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"
#include "source/mac_source/ZyFrameDropReporter.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"

namespace {

using tether_fuzz::Canonical;
using tether_fuzz::Encode;
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "accumulator_fuzzer: %s\n", what);
  std::abort();
}



// What the dispatcher would see of one message.
struct Formed {
  int32_t id;
  bool hasName;
  bool hasPayload;
  std::string nameText;  // operator std::string, as the dispatcher compares it
  std::string name;      // canonical encodings
  std::string payload;

  bool operator==(const Formed& o) const {
    return id == o.id && hasName == o.hasName && hasPayload == o.hasPayload &&
           nameText == o.nameText && name == o.name && payload == o.payload;
  }
};

// Takes every queued message out of `accumulator`, records it and frees it.
void Drain(ZyRCMessageAccumulator& accumulator, std::vector<Formed>* out) {
  while (CRCMessage* message = accumulator.getNextMessage()) {
    Formed formed;
    formed.id = message->messageId;
    formed.hasName = message->messageName != nullptr;
    formed.hasPayload = message->messageData != nullptr;
    if (formed.hasName) {
      formed.nameText = static_cast<std::string>(*message->messageName);
      formed.name = Canonical(message->messageName);
    }
    if (formed.hasPayload) formed.payload = Canonical(message->messageData);
    ZyDeleteMessage(message);
    out->push_back(std::move(formed));
  }
}

// Counts the "messageIsAvailable" notifications of one accumulator.
class AnnouncementCounter {
 public:
  explicit AnnouncementCounter(const ZyRCMessageAccumulator* accumulator) {
    zy::NotificationCenter::defaultCenter().addObserver(
        this, [this](const zy::Notification&) { ++mCount; },
        std::string(kZyMessageIsAvailableNotification), accumulator);
  }
  ~AnnouncementCounter() { zy::NotificationCenter::defaultCenter().removeObserver(this); }
  size_t count() const { return mCount; }

 private:
  size_t mCount = 0;
};

// Every frame one accumulator dropped, as "<id>: <reason>".
class DropRecorder : public ZyFrameDropReporter {
 public:
  void frameWasDropped(const CRCMessage& frame, const char* why) override {
    dropped.push_back(std::to_string(frame.messageId) + ": " + why);
  }
  std::vector<std::string> dropped;
};

void PutInt32(std::string* out, int32_t value) {
  char b[4];
  zy::putLittleEndianInt32(b, value);
  out->append(b, sizeof b);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Nothing here should log (drops go to the recorders); a line that does
  // would only slow the run down.
  zy::SetLogSink([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const size_t sizeCount = std::min<size_t>(bytes[0] & 0x0F, size - 1);
  std::vector<size_t> chunkSizes;
  for (size_t i = 0; i < sizeCount; ++i) chunkSizes.push_back(size_t{bytes[1 + i]} + 1);
  if (chunkSizes.empty()) chunkSizes.push_back(1);
  const uint8_t* stream = bytes + 1 + sizeCount;
  const size_t length = size - 1 - sizeCount;

  std::vector<Formed> split;
  DropRecorder splitDrops;
  {
    ZyRCMessageAccumulator accumulator(nullptr);
    accumulator.setFrameDropReporter(&splitDrops);
    AnnouncementCounter announced(&accumulator);
    size_t next = 0;
    for (size_t offset = 0; offset < length;) {
      const size_t chunk = std::min(chunkSizes[next++ % chunkSizes.size()], length - offset);
      accumulator.formMessagesWithData(stream + offset, chunk);
      offset += chunk;
      // Taken out between chunks, as the dispatcher does while reads go on.
      Drain(accumulator, &split);
    }
    if (announced.count() != split.size()) Fail("split: announcements differ from messages");
  }

  std::vector<Formed> whole;
  DropRecorder wholeDrops;
  {
    ZyRCMessageAccumulator accumulator(nullptr);
    accumulator.setFrameDropReporter(&wholeDrops);
    AnnouncementCounter announced(&accumulator);
    if (length > 0) accumulator.formMessagesWithData(stream, length);
    Drain(accumulator, &whole);
    if (announced.count() != whole.size()) Fail("whole: announcements differ from messages");
  }

  if (split.size() != whole.size()) Fail("the chunking changed the number of messages");
  for (size_t i = 0; i < split.size(); ++i) {
    if (!(split[i] == whole[i])) Fail("the chunking changed a message");
  }
  if (splitDrops.dropped != wholeDrops.dropped) Fail("the chunking changed what was dropped");

  // Written back as frames of exact length, the messages must come back as
  // they were. Only complete messages can be written.
  std::string frames;
  size_t written = 0;
  for (const Formed& formed : whole) {
    if (!formed.hasName || !formed.hasPayload) continue;
    PutInt32(&frames, static_cast<int32_t>(4 + formed.name.size() + formed.payload.size()));
    PutInt32(&frames, formed.id);
    frames += formed.name;
    frames += formed.payload;
    ++written;
  }
  std::vector<Formed> again;
  DropRecorder againDrops;
  {
    ZyRCMessageAccumulator accumulator(nullptr);
    accumulator.setFrameDropReporter(&againDrops);
    if (!frames.empty()) accumulator.formMessagesWithData(frames.data(), frames.size());
    Drain(accumulator, &again);
  }
  if (again.size() != written) Fail("re-framed messages did not all come back");
  if (!againDrops.dropped.empty()) Fail("a re-framed message was dropped");
  size_t j = 0;
  for (const Formed& formed : whole) {
    if (!formed.hasName || !formed.hasPayload) continue;
    if (!(again[j++] == formed)) Fail("a re-framed message came back changed");
  }
  return 0;
}
