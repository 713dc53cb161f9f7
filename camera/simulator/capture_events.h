// What one exposure delivers through the frame callback: the transfer events
// in the order a camera sends them, with their payloads.
#ifndef KRV_SIM_CAPTURE_EVENTS_H_
#define KRV_SIM_CAPTURE_EVENTS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace krv_sim {

// One frame-callback event. The callback sees `bytes.data()` (or null when
// nullData) and `size`; size need not match bytes.size() (the name's
// 0xFFFFFFFF form, a start event announcing the coming file's length).
struct TransferEvent {
  int state = 0;
  std::vector<uint8_t> bytes;
  bool nullData = false;
  unsigned int size = 0;
};

// The camera settings a capture is taken with, copied when the shutter fires
// so that later changes do not affect images already in flight.
struct CaptureSnapshot {
  unsigned number = 0;          // 1 for the first capture of a session
  int model = 0;
  int32_t fileFormat = 0;
  bool sendOrientation = true;
  int32_t orientation = 1;
  bool sendName = true;
  std::string namePattern;      // '#' runs become the zero-padded number
  bool nulTerminatedName = false;
  int width = 0, height = 0;    // JPEG size
  int dngWidth = 0, dngHeight = 0;
  int jpegQuality = 85;
};

// Which files a file format value delivers: 1 and 2 give the DNG only, 3 and
// 4 the JPEG only, anything else both.
bool FormatSendsDng(int32_t fileFormat);
bool FormatSendsJpeg(int32_t fileFormat);

// Expands the '#' runs of `pattern` with `number`, e.g. IMG_####.JPG -> IMG_0007.JPG.
std::string ExpandObjectName(const std::string& pattern, unsigned number);

// Receives each event as soon as it is ready; returns false to stop the
// capture (the SDK was shut down), so no further images are rendered.
using EventSink = std::function<bool(const TransferEvent& event)>;

// Renders and encodes the capture's pictures and hands out its events in
// order: orientation (0), object name (8), thumbnail (1), DNG start/end
// (2, 4), JPEG start/end (3, 5), leaving out what the snapshot says not to
// send. Each file is produced just before its events, as a camera streams
// them. An encoder failure turns that file into a transfer error (6).
void StreamCaptureEvents(const CaptureSnapshot& snapshot, const EventSink& sink);

constexpr int kThumbnailWidth = 160;
constexpr int kThumbnailHeight = 120;

}  // namespace krv_sim

#endif  // KRV_SIM_CAPTURE_EVENTS_H_
