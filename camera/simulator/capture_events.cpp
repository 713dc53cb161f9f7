#include "camera/simulator/capture_events.h"

#include <cstdio>
#include <cstring>

#include "camera/KRV_SDK.h"
#include "camera/simulator/dng_writer.h"
#include "camera/simulator/jpeg_encoder.h"
#include "camera/simulator/scene.h"
#include "camera/simulator/sim_log.h"

namespace krv_sim {

bool FormatSendsDng(int32_t fileFormat) { return fileFormat != 3 && fileFormat != 4; }
bool FormatSendsJpeg(int32_t fileFormat) { return fileFormat != 1 && fileFormat != 2; }

std::string ExpandObjectName(const std::string& pattern, unsigned number) {
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern[i] != '#') {
      out += pattern[i++];
      continue;
    }
    size_t run = 0;
    while (i + run < pattern.size() && pattern[i + run] == '#') ++run;
    // A camera's counter wraps at the width of its field.
    const int width = static_cast<int>(run > 9 ? 9 : run);
    unsigned modulus = 1;
    for (int k = 0; k < width; ++k) modulus *= 10;
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%0*u", width, number % modulus);
    out += digits;
    i += run;
  }
  return out;
}

namespace {

TransferEvent Event(int state, std::vector<uint8_t> bytes) {
  TransferEvent e;
  e.state = state;
  e.size = static_cast<unsigned int>(bytes.size());
  e.bytes = std::move(bytes);
  return e;
}

TransferEvent StartEvent(int state, size_t announcedSize) {
  TransferEvent e;
  e.state = state;
  e.nullData = true;
  e.size = static_cast<unsigned int>(announcedSize);
  return e;
}

// Sends the start (unless startState < 0) and end events of one JPEG file,
// or a transfer error. Returns the sink's verdict.
bool SendJpeg(const EventSink& sink, int startState, int endState, const RgbImage& image,
              int quality, const std::string& comment) {
  std::vector<uint8_t> jpeg;
  std::string error;
  if (!EncodeJpeg(image, quality, comment, &jpeg, &error)) {
    Log("JPEG encoding failed: %s", error.c_str());
    return sink(StartEvent(eKRV_SDK_TransferError, 0));
  }
  if (startState >= 0 && !sink(StartEvent(startState, jpeg.size()))) return false;
  return sink(Event(endState, std::move(jpeg)));
}

}  // namespace

void StreamCaptureEvents(const CaptureSnapshot& s, const EventSink& sink) {
  if (s.sendOrientation) {
    std::vector<uint8_t> bytes(sizeof(int32_t));
    std::memcpy(bytes.data(), &s.orientation, sizeof(int32_t));
    if (!sink(Event(eKRV_SDK_TransferOrientation, std::move(bytes)))) return;
  }
  if (s.sendName) {
    // Like the real bodies: only the KX reports its objects with an extension.
    const std::string pattern =
        !s.namePattern.empty() ? s.namePattern
                               : (s.model == eKRV_SDK_ModelKXMk1 ? "IMG_####.JPG" : "IMG_####");
    const std::string name = ExpandObjectName(pattern, s.number);
    TransferEvent e = Event(eKRV_SDK_TransferObjectName, std::vector<uint8_t>(name.begin(), name.end()));
    if (s.nulTerminatedName) {
      e.bytes.push_back(0);
      e.size = 0xFFFFFFFFu;
    }
    if (!sink(e)) return;
  }

  const std::string comment = "KRV simulator capture " + std::to_string(s.number);
  if (!SendJpeg(sink, -1, eKRV_SDK_TransferThumbnail,
                RenderScene(kThumbnailWidth, kThumbnailHeight, s.number), s.jpegQuality, comment)) {
    return;
  }

  const bool dng = FormatSendsDng(s.fileFormat);
  const bool jpeg = FormatSendsJpeg(s.fileFormat);
  const bool sameSize = s.dngWidth == s.width && s.dngHeight == s.height;
  // The full-size picture is rendered once when the DNG and JPEG share a size.
  RgbImage full;
  if (jpeg || sameSize) full = RenderScene(s.width, s.height, s.number);
  if (dng) {
    DngDescription d;
    d.uniqueCameraModel = "KRV Simulated " + std::to_string(s.model);
    d.orientation = static_cast<uint16_t>(s.orientation);
    std::vector<uint8_t> file =
        sameSize ? WriteDng(full, d) : WriteDng(RenderScene(s.dngWidth, s.dngHeight, s.number), d);
    if (!sink(StartEvent(eKRV_SDK_TransferStartDNG, file.size()))) return;
    if (!sink(Event(eKRV_SDK_TransferEndDNG, std::move(file)))) return;
  }
  if (jpeg) {
    SendJpeg(sink, eKRV_SDK_TransferStartJPG, eKRV_SDK_TransferEndJPG, full, s.jpegQuality, comment);
  }
}

}  // namespace krv_sim
