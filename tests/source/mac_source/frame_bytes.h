// Test helpers: element and frame bytes built by hand or by the encoder, and
// a harness that feeds bytes to an accumulator and collects what it queues.
#ifndef TESTS_HOSTLINK_FRAME_BYTES_H_
#define TESTS_HOSTLINK_FRAME_BYTES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyFrameDropReporter.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"

namespace hostlink_test {

inline std::string Int32LE(int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

inline std::string Encode(const ZyLuaTE& element) {
  std::ostringstream out;
  element.writeToStream(out);
  return out.str();
}

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::string FromHex(const std::string& hex) {
  std::string out;
  std::istringstream in(hex);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
  return out;
}

// A frame whose length field says `length`.
inline std::string FrameWithLength(int32_t length, int32_t id, const std::string& name,
                                   const std::string& payload) {
  return Int32LE(length) + Int32LE(id) + name + payload;
}

// A frame with the length its body really has.
inline std::string Frame(int32_t id, const std::string& name, const std::string& payload) {
  return FrameWithLength(static_cast<int32_t>(4 + name.size() + payload.size()), id, name,
                         payload);
}

inline std::string NameBytes(const char* name) { return Encode(ZyLuaTEString(name)); }
inline std::string NilBytes() { return Encode(ZyLuaTENil()); }

// What a message carried, as bytes: the decoded elements encoded again.
struct Received {
  int32_t id = 0;
  std::string name;  // encoding of the name element
  std::string payload;  // encoding of the payload element
  bool operator==(const Received& other) const {
    return id == other.id && name == other.name && payload == other.payload;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Received& r) {
  return out << "{id " << r.id << ", name " << Hex(r.name) << ", payload " << Hex(r.payload)
             << "}";
}

// Every frame an accumulator dropped: its id and the reason given.
struct Dropped {
  int32_t id = 0;
  std::string why;
};

class DropRecorder : public ZyFrameDropReporter {
 public:
  void frameWasDropped(const CRCMessage& frame, const char* why) override {
    dropped.push_back(Dropped{frame.messageId, why});
  }
  std::vector<int32_t> ids() const {
    std::vector<int32_t> out;
    for (const Dropped& d : dropped) out.push_back(d.id);
    return out;
  }
  std::vector<Dropped> dropped;
};

// An accumulator without a source, drained the moment each message is
// announced (as the dispatcher would, only sooner).
class Harness {
 public:
  Harness() : accumulator(nullptr) {
    accumulator.setQueueLockTimeoutForTesting(0.5);
    accumulator.setFrameDropReporter(&drops);
    zy::NotificationCenter::defaultCenter().addObserver(
        this,
        [this](const zy::Notification& n) {
          if (n.name == kZyMessageIsAvailableNotification) {
            ++available;
            if (drainOnNotification) take();
          } else if (n.name == kZyReadHandleIsFinishedNotification) {
            ++finished;
          }
        },
        std::nullopt, &accumulator);
  }
  ~Harness() { zy::NotificationCenter::defaultCenter().removeObserver(this); }

  void feed(const std::string& bytes) { accumulator.formMessagesWithData(bytes.data(), bytes.size()); }

  // Feeds `bytes` in reads of the given sizes (the rest in one last read).
  void feedChunks(const std::string& bytes, const std::vector<size_t>& sizes) {
    size_t at = 0;
    for (size_t size : sizes) {
      if (at >= bytes.size()) break;
      feed(bytes.substr(at, size));
      at += size;
    }
    if (at < bytes.size()) feed(bytes.substr(at));
  }

  // Takes one queued message; records it. False when the queue is empty.
  bool take() {
    CRCMessage* m = accumulator.getNextMessage();
    if (m == nullptr) {
      ++emptyTakes;
      return false;
    }
    Received r;
    r.id = m->messageId;
    if (m->messageName != nullptr) r.name = Encode(*m->messageName);
    if (m->messageData != nullptr) r.payload = Encode(*m->messageData);
    got.push_back(r);
    ZyDeleteMessage(m);
    return true;
  }

  DropRecorder drops;  // declared first: the accumulator reports to it until destroyed
  ZyRCMessageAccumulator accumulator;
  bool drainOnNotification = true;
  std::vector<Received> got;
  int available = 0;
  int finished = 0;
  int emptyTakes = 0;
};

}  // namespace hostlink_test

#endif  // TESTS_HOSTLINK_FRAME_BYTES_H_
