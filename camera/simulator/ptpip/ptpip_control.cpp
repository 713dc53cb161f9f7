#include "camera/simulator/ptpip/ptpip_control.h"

#include <cctype>

#include "camera/simulator/ptpip/ptp_properties.h"
#include "camera/simulator/ptpip/ptpip_camera.h"
#include "camera/simulator/sim_config.h"

namespace krv_sim {
namespace {

using Change = std::function<void(PtpipSettings&)>;

// Applies a silent settings change and replies "ok <echo>".
ControlReply Silently(PtpipCamera* camera, const Change& change, const CommandWords& w) {
  camera->changeSettings(change);
  return "ok " + w[0] + " " + w.restAfter(0);
}

// A word of two choices: true for `yes`, false for `no`, nullopt otherwise.
std::optional<bool> Choice(const CommandWords& w, const char* yes, const char* no) {
  if (w.size() != 2 || (w[1] != yes && w[1] != no)) return std::nullopt;
  return w[1] == yes;
}

std::string Handles(const std::vector<uint32_t>& handles) {
  std::string text;
  for (uint32_t h : handles) text += " " + std::to_string(h);
  return text;
}

}  // namespace

ControlReply PtpipHelp(PtpipCamera*, const CommandWords&) {
  std::string reply = "ok commands:";
  for (const ControlCommand& c : ControlCommands()) {
    if (!c.ptpip) continue;
    reply += " " + c.name;
    if (!c.usage.empty()) reply += " " + c.usage;
  }
  std::string properties;
  for (const ptp::PropertySpec& p : ptp::Properties()) properties += " " + std::string(p.name);
  return reply + "; properties:" + properties;
}

ControlReply PtpipPing(PtpipCamera*, const CommandWords&) { return "ok pong"; }

ControlReply PtpipState(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 1) return std::nullopt;
  return camera->stateLine();
}

ControlReply PtpipCapture(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 1) return std::nullopt;
  std::vector<uint32_t> handles;
  std::string error;
  if (!camera->pressShutter(&handles, &error)) return "error " + error;
  return "ok capture" + Handles(handles);
}

ControlReply PtpipOrientation(PtpipCamera* camera, const CommandWords& w) {
  int64_t v = 0;
  const bool none = w.size() == 2 && w[1] == "none";
  if (w.size() != 2 || (!none && !ToInt(w[1], 1, 8, &v))) return std::nullopt;
  return Silently(camera, [v](PtpipSettings& s) { s.orientation = static_cast<int>(v); }, w);
}

ControlReply PtpipSize(PtpipCamera* camera, const CommandWords& w) {
  int64_t width, height;
  if (w.size() != 3 || !ToInt(w[1], 16, kMaxImageSide, &width) ||
      !ToInt(w[2], 16, kMaxImageSide, &height)) {
    return std::nullopt;
  }
  return Silently(camera, [width, height](PtpipSettings& s) {
    s.width = static_cast<int>(width);
    s.height = static_cast<int>(height);
  }, w);
}

ControlReply PtpipDngBytes(PtpipCamera* camera, const CommandWords& w) {
  int64_t bytes;
  if (w.size() != 2 || !ToInt(w[1], 0, static_cast<int64_t>(kMaxDngBytes), &bytes)) return std::nullopt;
  return Silently(camera, [bytes](PtpipSettings& s) { s.rawBytes = static_cast<uint64_t>(bytes); }, w);
}

ControlReply PtpipQuality(PtpipCamera* camera, const CommandWords& w) {
  int64_t q;
  if (w.size() != 2 || !ToInt(w[1], 1, 100, &q)) return std::nullopt;
  return Silently(camera, [q](PtpipSettings& s) { s.jpegQuality = static_cast<int>(q); }, w);
}

ControlReply PtpipDial(PtpipCamera* camera, const CommandWords& w) {
  int64_t value;
  if (w.size() != 3 || !ToInt(w[2], 0, 0xFFFFFFFFll, &value)) return std::nullopt;
  const ptp::PropertySpec* spec = ptp::FindProperty(w[1]);
  if (!spec) return "error unknown property " + w[1];
  std::string error;
  if (!camera->turnDial(spec->code, value, &error)) return "error " + error;
  return "ok dial " + std::string(spec->name) + " " + std::to_string(value);
}

ControlReply PtpipReadOnly(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return std::nullopt;
  const ptp::PropertySpec* spec = ptp::FindProperty(w[1]);
  if (!spec) return "error unknown property " + w[1];
  camera->setReadOnly(spec->code, w[2] == "on");
  return "ok read-only " + std::string(spec->name) + " " + w[2];
}

ControlReply PtpipUnplug(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 1) return std::nullopt;
  camera->setPlugged(false);
  return "ok unplugged";
}

ControlReply PtpipPlug(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 1) return std::nullopt;
  camera->setPlugged(true);
  return "ok plugged";
}

ControlReply PtpipDelay(PtpipCamera* camera, const CommandWords& w) {
  int64_t ms;
  if (w.size() != 2 || !ToInt(w[1], 0, 60000, &ms)) return std::nullopt;
  return Silently(camera, [ms](PtpipSettings& s) { s.delayMs = static_cast<int>(ms); }, w);
}

ControlReply PtpipChunkDelay(PtpipCamera* camera, const CommandWords& w) {
  int64_t ms;
  if (w.size() != 2 || !ToInt(w[1], 0, 60000, &ms)) return std::nullopt;
  return Silently(camera, [ms](PtpipSettings& s) { s.chunkDelayMs = static_cast<int>(ms); }, w);
}

ControlReply PtpipCardLimit(PtpipCamera* camera, const CommandWords& w) {
  int64_t n;
  if (w.size() != 2 || !ToInt(w[1], 0, 1000000, &n)) return std::nullopt;
  return Silently(camera, [n](PtpipSettings& s) { s.cardLimit = static_cast<size_t>(n); }, w);
}

ControlReply PtpipBusy(PtpipCamera* camera, const CommandWords& w) {
  int64_t n;
  if (w.size() != 2 || !ToInt(w[1], 0, 1000000, &n)) return std::nullopt;
  return Silently(camera, [n](PtpipSettings& s) { s.busy = static_cast<int>(n); }, w);
}

ControlReply PtpipRawFormat(PtpipCamera* camera, const CommandWords& w) {
  // Letters and digits only: the extension becomes part of a file name a
  // host will create.
  if (w.size() != 2 || w[1].empty() || w[1].size() > 4) return std::nullopt;
  std::string ext;
  for (char c : w[1]) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    ext.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return Silently(camera, [ext](PtpipSettings& s) { s.rawExtension = ext; }, w);
}

ControlReply PtpipFiles(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 2) return std::nullopt;
  CaptureFiles files;
  if (w[1] == "raw+jpeg") files = CaptureFiles::kRawAndJpeg;
  else if (w[1] == "raw") files = CaptureFiles::kRawOnly;
  else if (w[1] == "jpeg") files = CaptureFiles::kJpegOnly;
  else return std::nullopt;
  return Silently(camera, [files](PtpipSettings& s) { s.files = files; }, w);
}

ControlReply PtpipOrder(PtpipCamera* camera, const CommandWords& w) {
  const std::optional<bool> rawFirst = Choice(w, "raw-first", "jpeg-first");
  if (!rawFirst) return std::nullopt;
  return Silently(camera, [rawFirst](PtpipSettings& s) { s.rawFirst = *rawFirst; }, w);
}

ControlReply PtpipComplete(PtpipCamera* camera, const CommandWords& w) {
  const std::optional<bool> first = Choice(w, "first", "last");
  if (!first) return std::nullopt;
  return Silently(camera, [first](PtpipSettings& s) { s.completeFirst = *first; }, w);
}

ControlReply PtpipThumb(PtpipCamera* camera, const CommandWords& w) {
  const std::optional<bool> on = Choice(w, "on", "off");
  if (!on) return std::nullopt;
  return Silently(camera, [on](PtpipSettings& s) { s.thumbnail = *on; }, w);
}

ControlReply PtpipObjects(PtpipCamera* camera, const CommandWords& w) {
  if (w.size() != 1) return std::nullopt;
  return "ok objects" + Handles(camera->handles());
}

ControlReply PtpipObject(PtpipCamera* camera, const CommandWords& w) {
  int64_t handle;
  if (w.size() != 2 || !ToInt(w[1], 0, 0xFFFFFFFFll, &handle)) return std::nullopt;
  const std::string line = camera->objectLine(static_cast<uint32_t>(handle));
  return line.empty() ? "error no object " + w[1] : "ok " + line;
}

}  // namespace krv_sim
