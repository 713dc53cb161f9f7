#include "camera/simulator/control_commands.h"

#include <cstdio>
#include <sstream>

#include "camera/KRV_SDK.h"
#include "camera/simulator/control_payload.h"
#include "camera/simulator/ptpip/ptpip_control.h"
#include "camera/simulator/sim_config.h"
#include "camera/simulator/simulator.h"

namespace krv_sim {
namespace {

constexpr std::chrono::milliseconds kEventTimeout{30000};
constexpr std::chrono::milliseconds kCaptureTimeout{120000};  // a 60 MiB DNG under a sanitizer

std::string Error(const std::string& what) { return "error " + what; }

// ---- What the handlers share

// Runs `task` on the worker and waits: `reply` once it is done.
std::string Post(Simulator* sim, Simulator::Task task, std::chrono::milliseconds timeout,
                 const std::string& reply) {
  std::string error;
  return sim->postAndWait(std::move(task), timeout, &error) ? reply : Error(error);
}

// Changes the camera's state silently (no callback): `reply` once done.
std::string ChangeState(Simulator* sim, const std::function<void(CameraState&)>& change,
                        const std::string& reply) {
  return sim->withState(change) ? reply : Error("sdk not running");
}

// Encodes a typed value for property `id`; false for unknown ids or bad text.
bool EncodeProperty(int id, const std::string& text, std::vector<uint8_t>* bytes) {
  CameraState scratch;
  switch (id) {
    case eKRV_SDK_PropAperture:
    case eKRV_SDK_PropShutterTime: {
      double v;
      if (!ParseDouble(text, &v)) return false;
      if (id == eKRV_SDK_PropAperture) scratch.aperture = v; else scratch.shutter = v;
      break;
    }
    case eKRV_SDK_PropHostAccepted: {
      int64_t v;
      if (!ToInt(text, 0, 255, &v)) return false;
      scratch.hostAccepted = static_cast<uint8_t>(v);
      break;
    }
    case eKRV_SDK_PropIso:
    case eKRV_SDK_PropFileFormat:
    case eKRV_SDK_PropWhiteBalance: {
      int32_t v;
      if (!ToInt32(text, &v)) return false;
      if (id == eKRV_SDK_PropIso) scratch.iso = v;
      else if (id == eKRV_SDK_PropFileFormat) scratch.fileFormat = v;
      else scratch.whiteBalance = v;
      break;
    }
    default:
      return false;
  }
  return ReadPropertyBytes(scratch, id, bytes);
}

// The value a burst sends for change number k of property `id`.
std::string BurstValue(int id, int64_t k) {
  static const int kIsos[] = {100, 200, 400, 800, 1600, 3200, 6400};
  static const double kApertures[] = {2.8, 4.0, 5.6, 8.0, 11.0, 16.0};
  char text[32];
  switch (id) {
    case eKRV_SDK_PropAperture: std::snprintf(text, sizeof(text), "%g", kApertures[k % 6]); break;
    case eKRV_SDK_PropShutterTime: std::snprintf(text, sizeof(text), "%.17g", 1.0 / (30 + k % 100)); break;
    case eKRV_SDK_PropWhiteBalance: std::snprintf(text, sizeof(text), "%d", static_cast<int>(k % 13)); break;
    case eKRV_SDK_PropFileFormat: std::snprintf(text, sizeof(text), "%d", static_cast<int>(k % 5)); break;
    case eKRV_SDK_PropHostAccepted: std::snprintf(text, sizeof(text), "%d", static_cast<int>(k % 2)); break;
    default: std::snprintf(text, sizeof(text), "%d", kIsos[k % 7]); break;
  }
  return text;
}

// On the worker: stores a property as changed on the camera and reports it.
void StoreAndReport(Simulator* sim, uint64_t session, int id, const std::vector<uint8_t>& bytes) {
  const auto size = static_cast<unsigned int>(bytes.size());
  sim->withState([&](CameraState& state) { WritePropertyBytes(&state, id, bytes.data(), size); });
  sim->deliverChange(session, id, bytes.data(), size);
}

std::string StateLine(const CameraState& s) {
  std::ostringstream out;
  out.precision(17);
  out << "ok model=" << s.model << " aperture=" << s.aperture << " shutter=" << s.shutter
      << " iso=" << s.iso << " format=" << s.fileFormat << " accepted=" << int(s.hostAccepted)
      << " wb=" << s.whiteBalance << " orientation="
      << (s.sendOrientation ? std::to_string(s.orientation) : "none")
      << " name=" << (s.sendName ? s.namePattern : "none")
      << " name-form=" << (s.nulTerminatedName ? "nul" : "size") << " captures=" << s.captures
      << " sync=" << (s.syncCallbacks ? "on" : "off") << " size=" << s.width << "x" << s.height
      << " dng-bytes=" << s.dngBytes << " quality=" << s.jpegQuality << " fail-read="
      << (s.failAllReads ? "all" : s.failingReads.empty() ? "none" : "some");
  return out.str();
}

// ---- Queries

ControlReply Help(Simulator*, const CommandWords&) {
  std::string reply = "ok commands:";
  for (const ControlCommand& c : ControlCommands()) {
    if (!c.handler) continue;
    reply += " " + c.name;
    if (!c.usage.empty()) reply += " " + c.usage;
  }
  return reply + "; payload: " + PayloadUsage();
}

ControlReply Ping(Simulator*, const CommandWords&) { return "ok pong"; }

ControlReply State(Simulator* sim, const CommandWords&) {
  std::string reply = Error("sdk not running");
  sim->withState([&](CameraState& s) { reply = StateLine(s); });
  return reply;
}

ControlReply Counts(Simulator* sim, const CommandWords&) { return "ok " + sim->countsLine(); }

ControlReply ResetCounts(Simulator* sim, const CommandWords&) {
  sim->resetCounts();
  return "ok";
}

// ---- Events through the worker

ControlReply Flush(Simulator* sim, const CommandWords&) {
  // Nothing to do but wait: the reply means all earlier work was delivered.
  return Post(sim, [](uint64_t) {}, kCaptureTimeout, "ok flushed");
}

ControlReply Connect(Simulator* sim, const CommandWords& w) {
  int32_t model;
  if (w.size() != 2 || !ToInt32(w[1], &model)) return std::nullopt;
  return Post(sim, [sim, model](uint64_t s) { sim->connectCamera(s, model); }, kEventTimeout,
              "ok connected " + std::to_string(model));
}

ControlReply Disconnect(Simulator* sim, const CommandWords& w) {
  std::optional<int> reported;
  int32_t model;
  if (w.size() > 2 || (w.size() == 2 && !ToInt32(w[1], &model))) return std::nullopt;
  if (w.size() == 2) reported = model;
  return Post(sim, [sim, reported](uint64_t s) { sim->disconnectCamera(s, reported, true); },
              kEventTimeout, "ok disconnected");
}

ControlReply Set(Simulator* sim, const CommandWords& w) {
  int32_t id;
  std::vector<uint8_t> bytes;
  if (w.size() != 3 || !ToInt32(w[1], &id)) return std::nullopt;
  if (!EncodeProperty(id, w[2], &bytes)) return Error("unknown property or bad value");
  return Post(sim, [sim, id, bytes](uint64_t s) { StoreAndReport(sim, s, id, bytes); },
              kEventTimeout, "ok set " + w[1] + " " + w[2]);
}

ControlReply SetRaw(Simulator* sim, const CommandWords& w) {
  int32_t id;
  Payload p;
  std::string error;
  if (w.size() < 2 || !ToInt32(w[1], &id)) return std::nullopt;
  if (!ParsePayload(w, 2, &p, &error)) return Error(error);
  auto task = [sim, id, p](uint64_t s) {
    sim->deliverChange(s, id, p.null ? nullptr : p.bytes.data(), p.size);
  };
  return Post(sim, task, kEventTimeout,
              "ok set-raw " + std::to_string(id) + " size " + std::to_string(p.size));
}

ControlReply Event(Simulator* sim, const CommandWords& w) {
  int32_t state;
  Payload p;
  std::string error;
  if (w.size() < 2 || !ToInt32(w[1], &state)) return std::nullopt;
  if (!ParsePayload(w, 2, &p, &error)) return Error(error);
  auto task = [sim, state, p](uint64_t s) {
    sim->deliverFrame(s, state, p.null ? nullptr : p.bytes.data(), p.size);
  };
  return Post(sim, task, kEventTimeout,
              "ok event " + std::to_string(state) + " size " + std::to_string(p.size));
}

ControlReply Capture(Simulator* sim, const CommandWords& w) {
  CaptureSnapshot snapshot;
  if (w.size() != 1) return std::nullopt;
  if (!sim->takeCaptureSnapshot(&snapshot)) return Error("no camera connected");
  return Post(sim, [sim, snapshot](uint64_t s) { sim->deliverCapture(s, snapshot); },
              kCaptureTimeout, "ok capture " + std::to_string(snapshot.number));
}

ControlReply Burst(Simulator* sim, const CommandWords& w) {
  int64_t count;
  int32_t id = eKRV_SDK_PropIso;
  if (w.size() < 2 || w.size() > 3 || !ToInt(w[1], 1, 100000, &count) ||
      (w.size() == 3 && !ToInt32(w[2], &id))) {
    return std::nullopt;
  }
  std::vector<uint8_t> probe;
  if (!EncodeProperty(id, BurstValue(id, 0), &probe)) return Error("unknown property");
  auto task = [sim, id, count](uint64_t s) {
    for (int64_t k = 0; k < count; ++k) {
      std::vector<uint8_t> bytes;
      EncodeProperty(id, BurstValue(id, k), &bytes);
      StoreAndReport(sim, s, id, bytes);
    }
  };
  return Post(sim, task, kEventTimeout, "ok burst " + std::to_string(count));
}

// ---- Silent changes of the camera's state

ControlReply FailRead(Simulator* sim, const CommandWords& w) {
  if (w.size() < 2) return std::nullopt;
  if (w[1] == "all" || w[1] == "none") {
    const bool all = w[1] == "all";
    return ChangeState(sim, [all](CameraState& s) {
      s.failAllReads = all;
      s.failingReads.clear();
    }, "ok fail-read " + w[1]);
  }
  std::vector<int> ids;
  for (size_t i = 1; i < w.size(); ++i) {
    int32_t id;
    if (!ToInt32(w[i], &id)) return Error("bad property id " + w[i]);
    ids.push_back(id);
  }
  return ChangeState(sim, [ids](CameraState& s) { s.failingReads.insert(ids.begin(), ids.end()); },
                     "ok fail-read " + w.restAfter(0));
}

ControlReply Format(Simulator* sim, const CommandWords& w) {
  int32_t v;
  if (w.size() != 2 || !ToInt32(w[1], &v)) return std::nullopt;
  return ChangeState(sim, [v](CameraState& s) { s.fileFormat = v; }, "ok format " + w[1]);
}

ControlReply Orientation(Simulator* sim, const CommandWords& w) {
  int32_t v = 0;
  const bool none = w.size() == 2 && w[1] == "none";
  if (w.size() != 2 || (!none && !ToInt32(w[1], &v))) return std::nullopt;
  return ChangeState(sim, [v, none](CameraState& s) {
    s.sendOrientation = !none;
    if (!none) s.orientation = v;
  }, "ok orientation " + w[1]);
}

ControlReply Name(Simulator* sim, const CommandWords& w) {
  if (w.size() < 2) return std::nullopt;
  const std::string pattern = w.restAfter(0);
  const bool none = pattern == "none";
  return ChangeState(sim, [pattern, none](CameraState& s) {
    s.sendName = !none;
    if (!none) s.namePattern = pattern;
  }, "ok name " + pattern);
}

ControlReply NameForm(Simulator* sim, const CommandWords& w) {
  if (w.size() != 2 || (w[1] != "size" && w[1] != "nul")) return std::nullopt;
  const bool nul = w[1] == "nul";
  return ChangeState(sim, [nul](CameraState& s) { s.nulTerminatedName = nul; },
                     "ok name-form " + w[1]);
}

ControlReply Sync(Simulator* sim, const CommandWords& w) {
  if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return std::nullopt;
  const bool on = w[1] == "on";
  return ChangeState(sim, [on](CameraState& s) { s.syncCallbacks = on; }, "ok sync " + w[1]);
}

ControlReply Size(Simulator* sim, const CommandWords& w) {
  int64_t width, height;
  if (w.size() != 3 || !ToInt(w[1], 16, kMaxImageSide, &width) ||
      !ToInt(w[2], 16, kMaxImageSide, &height)) {
    return std::nullopt;
  }
  return ChangeState(sim, [width, height](CameraState& s) {
    s.width = static_cast<int>(width);
    s.height = static_cast<int>(height);
  }, "ok size " + w[1] + "x" + w[2]);
}

ControlReply DngBytes(Simulator* sim, const CommandWords& w) {
  int64_t bytes;
  if (w.size() != 2 || !ToInt(w[1], 0, static_cast<int64_t>(kMaxDngBytes), &bytes)) {
    return std::nullopt;
  }
  return ChangeState(sim, [bytes](CameraState& s) { s.dngBytes = static_cast<uint64_t>(bytes); },
                     "ok dng-bytes " + w[1]);
}

ControlReply Quality(Simulator* sim, const CommandWords& w) {
  int64_t q;
  if (w.size() != 2 || !ToInt(w[1], 1, 100, &q)) return std::nullopt;
  return ChangeState(sim, [q](CameraState& s) { s.jpegQuality = static_cast<int>(q); },
                     "ok quality " + w[1]);
}

// "<id> on|off" into the set `member` of the camera state.
ControlReply ToggleProperty(Simulator* sim, const CommandWords& w, std::set<int> CameraState::*member) {
  int32_t id;
  if (w.size() != 3 || !ToInt32(w[1], &id) || (w[2] != "on" && w[2] != "off")) return std::nullopt;
  const bool on = w[2] == "on";
  return ChangeState(sim, [=](CameraState& s) {
    if (on) {
      (s.*member).insert(id);
    } else {
      (s.*member).erase(id);
    }
  }, "ok " + w[0] + " " + w[1] + " " + w[2]);
}

ControlReply ReadOnly(Simulator* sim, const CommandWords& w) {
  return ToggleProperty(sim, w, &CameraState::readOnly);
}

ControlReply Refuse(Simulator* sim, const CommandWords& w) {
  return ToggleProperty(sim, w, &CameraState::refusing);
}

ControlReply LiveRate(Simulator* sim, const CommandWords& w) {
  int64_t fps;
  if (w.size() != 2 || !ToInt(w[1], 1, 60, &fps)) return std::nullopt;
  return ChangeState(sim, [fps](CameraState& s) { s.liveFps = static_cast<int>(fps); },
                     "ok live-rate " + w[1]);
}

ControlReply LiveSize(Simulator* sim, const CommandWords& w) {
  int64_t width, height;
  if (w.size() != 3 || !ToInt(w[1], 16, kMaxImageSide, &width) ||
      !ToInt(w[2], 16, kMaxImageSide, &height)) {
    return std::nullopt;
  }
  return ChangeState(sim, [width, height](CameraState& s) {
    s.liveWidth = static_cast<int>(width);
    s.liveHeight = static_cast<int>(height);
  }, "ok live-size " + w[1] + " " + w[2]);
}

std::string UsageError(const ControlCommand& c) {
  const std::string& arguments = c.usageError.empty() ? c.usage : c.usageError;
  return Error("usage: " + c.name + (arguments.empty() ? "" : " " + arguments));
}

}  // namespace

const std::vector<ControlCommand>& ControlCommands() {
  static const std::vector<ControlCommand> kCommands = {
      {"help", "", Help, "", PtpipHelp},
      {"ping", "", Ping, "", PtpipPing},
      {"flush", "", Flush, "", nullptr},
      {"state", "", State, "", PtpipState},
      {"counts", "", Counts, "", nullptr},
      {"reset-counts", "", ResetCounts, "", nullptr},
      {"connect", "<model>", Connect, "", nullptr},
      {"disconnect", "[model]", Disconnect, "", nullptr},
      {"set", "<id> <value>", Set, "", nullptr},
      {"set-raw", "<id> <payload>", SetRaw, "", nullptr},
      {"fail-read", "all|none|<id>...", FailRead, "", nullptr},
      {"format", "<n>", Format, "", nullptr},
      {"orientation", "<n>|none", Orientation, "", PtpipOrientation},
      {"name", "<pattern>|none", Name, "", nullptr},
      {"name-form", "size|nul", NameForm, "", nullptr},
      {"event", "<state> <payload>", Event, "", nullptr},
      {"capture", "", Capture, "", PtpipCapture},
      {"burst", "<n> [id]", Burst, "", nullptr},
      {"sync", "on|off", Sync, "", nullptr},
      {"size", "<w> <h>", Size, "<w> <h> (16.." + std::to_string(kMaxImageSide) + ")", PtpipSize},
      {"dng-bytes", "<n>", DngBytes, "<n> (0 = same size as the JPEG)", PtpipDngBytes},
      {"quality", "<q>", Quality, "<1..100>", PtpipQuality},
      {"refuse", "<id> on|off", Refuse, "", nullptr},
      {"live-rate", "<fps>", LiveRate, "<1..60>", nullptr},
      {"live-size", "<w> <h>", LiveSize, "<w> <h> (16.." + std::to_string(kMaxImageSide) + ")",
       nullptr},
      // The PTP/IP camera's own.
      {"dial", "<property> <value>", nullptr, "", PtpipDial},
      {"read-only", "<property> on|off", ReadOnly, "", PtpipReadOnly},
      {"unplug", "", nullptr, "", PtpipUnplug},
      {"plug", "", nullptr, "", PtpipPlug},
      {"delay", "<ms>", nullptr, "<ms> (0..60000)", PtpipDelay},
      {"chunk-delay", "<ms>", nullptr, "<ms> (0..60000)", PtpipChunkDelay},
      {"busy", "<n>", nullptr, "", PtpipBusy},
      {"raw-format", "<EXT>", nullptr, "<EXT> (1..4 letters or digits)", PtpipRawFormat},
      {"files", "raw+jpeg|raw|jpeg", nullptr, "", PtpipFiles},
      {"order", "jpeg-first|raw-first", nullptr, "", PtpipOrder},
      {"complete", "first|last", nullptr, "", PtpipComplete},
      {"thumb", "on|off", nullptr, "", PtpipThumb},
      {"card-limit", "<n>", nullptr, "<n> (0 = no limit)", PtpipCardLimit},
      {"objects", "", nullptr, "", PtpipObjects},
      {"object", "<handle>", nullptr, "", PtpipObject},
  };
  return kCommands;
}

std::string ExecuteControlCommand(Simulator* sim, const std::string& line) {
  const CommandWords words(line);
  if (words.size() == 0) return Error("empty command");
  for (const ControlCommand& command : ControlCommands()) {
    if (command.name != words[0] || !command.handler) continue;
    ControlReply reply = command.handler(sim, words);
    return reply ? *reply : UsageError(command);
  }
  return Error("unknown command " + words[0]);
}

std::string ExecuteControlCommand(PtpipCamera* camera, const std::string& line) {
  const CommandWords words(line);
  if (words.size() == 0) return Error("empty command");
  for (const ControlCommand& command : ControlCommands()) {
    if (command.name != words[0] || !command.ptpip) continue;
    ControlReply reply = command.ptpip(camera, words);
    return reply ? *reply : UsageError(command);
  }
  return Error("unknown command " + words[0]);
}

}  // namespace krv_sim
