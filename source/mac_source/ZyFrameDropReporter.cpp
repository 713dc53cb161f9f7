#include "source/mac_source/ZyFrameDropReporter.h"

#include "platform/Log.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"

namespace {

class LogFrameDropReporter : public ZyFrameDropReporter {
 public:
  void frameWasDropped(const CRCMessage& frame, const char* why) override {
    zy::Log("ZyRCMessageAccumulator: dropping malformed message %d: %s", frame.messageId, why);
  }
};

}  // namespace

ZyFrameDropReporter& ZyFrameDropReporter::logReporter() {
  static LogFrameDropReporter* reporter = new LogFrameDropReporter;  // never destroyed
  return *reporter;
}
