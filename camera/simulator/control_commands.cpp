#include "camera/simulator/control_commands.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "camera/KRV_SDK.h"
#include "camera/simulator/sim_config.h"
#include "camera/simulator/simulator.h"

namespace krv_sim {
namespace {

constexpr std::chrono::milliseconds kEventTimeout{30000};
constexpr std::chrono::milliseconds kCaptureTimeout{120000};  // a 60 MiB DNG under a sanitizer
constexpr uint64_t kMaxPayload = kMaxDngBytes;

const char kHelp[] =
    "ok commands: help ping flush state counts reset-counts connect <model> disconnect [model] "
    "set <id> <value> set-raw <id> <payload> fail-read all|none|<id>... format <n> "
    "orientation <n>|none name <pattern>|none name-form size|nul "
    "event <state> <payload> capture burst <n> [id] sync on|off size <w> <h> dng-bytes <n> "
    "quality <q>; payload: (nothing)|null [size]|hex <digits> [size]|size <n>|text <chars>|"
    "cstr <chars>|file <path>";

// A command line split into words, with the raw text after any word kept for
// arguments that may contain blanks (names, text payloads).
struct Words {
  std::vector<std::string> words;
  std::vector<size_t> ends;  // offset just past each word
  std::string line;

  explicit Words(const std::string& text) : line(text) {
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
      if (i >= text.size()) break;
      size_t j = i;
      while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
      words.push_back(text.substr(i, j - i));
      ends.push_back(j);
      i = j;
    }
  }
  size_t size() const { return words.size(); }
  const std::string& operator[](size_t i) const { return words[i]; }
  // Everything after word i, less the one separating blank.
  std::string restAfter(size_t i) const {
    size_t start = ends[i];
    if (start < line.size()) ++start;
    return line.substr(start);
  }
};

bool ToInt(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
  return ParseInt64(text, out) && *out >= lo && *out <= hi;
}

bool ToInt32(const std::string& text, int32_t* out) {
  int64_t v;
  if (!ToInt(text, INT32_MIN, INT32_MAX, &v)) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

std::string Error(const std::string& what) { return "error " + what; }

// A payload for set-raw and event, starting at word `i`.
struct Payload {
  std::vector<uint8_t> bytes;
  bool null = false;
  unsigned int size = 0;
};

bool ParseHex(const std::string& hex, std::vector<uint8_t>* out) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

bool ParsePayload(const Words& w, size_t i, Payload* p, std::string* error) {
  if (i >= w.size()) {
    p->null = true;
    return true;
  }
  const std::string& kind = w[i];
  int64_t n = 0;
  if (kind == "null") {
    p->null = true;
    if (i + 1 < w.size() && !ToInt(w[i + 1], 0, UINT32_MAX, &n)) {
      *error = "bad size";
      return false;
    }
    p->size = static_cast<unsigned int>(n);
    return true;
  }
  if (kind == "hex") {
    if (i + 1 >= w.size() || !ParseHex(w[i + 1], &p->bytes)) {
      *error = "bad hex";
      return false;
    }
    p->size = static_cast<unsigned int>(p->bytes.size());
    if (i + 2 < w.size()) {
      // A larger size than the bytes given is padded with zeros, so that a
      // callee trusting the size never reads outside the buffer.
      if (!ToInt(w[i + 2], 0, static_cast<int64_t>(kMaxPayload), &n)) {
        *error = "bad size";
        return false;
      }
      if (static_cast<uint64_t>(n) > p->bytes.size()) p->bytes.resize(n, 0);
      p->size = static_cast<unsigned int>(n);
    }
    return true;
  }
  if (kind == "size") {
    if (i + 1 >= w.size() || !ToInt(w[i + 1], 0, static_cast<int64_t>(kMaxPayload), &n)) {
      *error = "bad size";
      return false;
    }
    p->bytes.resize(static_cast<size_t>(n));
    for (size_t k = 0; k < p->bytes.size(); ++k) p->bytes[k] = static_cast<uint8_t>(k);
    p->size = static_cast<unsigned int>(n);
    return true;
  }
  if (kind == "text" || kind == "cstr") {
    const std::string text = w.restAfter(i);
    p->bytes.assign(text.begin(), text.end());
    p->size = static_cast<unsigned int>(p->bytes.size());
    if (kind == "cstr") {
      p->bytes.push_back(0);
      p->size = 0xFFFFFFFFu;
    }
    return true;
  }
  if (kind == "file") {
    std::ifstream in(w.restAfter(i), std::ios::binary);
    if (!in) {
      *error = "cannot read file";
      return false;
    }
    p->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (p->bytes.size() > kMaxPayload) {
      *error = "file too large";
      return false;
    }
    p->size = static_cast<unsigned int>(p->bytes.size());
    return true;
  }
  *error = "unknown payload kind " + kind;
  return false;
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

}  // namespace

std::string ExecuteControlCommand(Simulator* sim, const std::string& line) {
  const Words w(line);
  if (w.size() == 0) return Error("empty command");
  const std::string& cmd = w[0];
  std::string error;
  auto stateCommand = [&](const std::function<void(CameraState&)>& fn,
                          const std::string& reply) {
    return sim->withState(fn) ? reply : Error("sdk not running");
  };

  if (cmd == "help") return kHelp;
  if (cmd == "ping") return "ok pong";
  if (cmd == "counts") return "ok " + sim->countsLine();
  if (cmd == "reset-counts") {
    sim->resetCounts();
    return "ok";
  }
  if (cmd == "state") {
    std::string reply = Error("sdk not running");
    sim->withState([&](CameraState& s) { reply = StateLine(s); });
    return reply;
  }

  if (cmd == "flush") {
    // Nothing to do but wait: the reply means all earlier work was delivered.
    if (!sim->postAndWait([](uint64_t) {}, kCaptureTimeout, &error)) return Error(error);
    return "ok flushed";
  }
  if (cmd == "connect") {
    int32_t model;
    if (w.size() != 2 || !ToInt32(w[1], &model)) return Error("usage: connect <model>");
    if (!sim->postAndWait([sim, model](uint64_t s) { sim->connectCamera(s, model); },
                          kEventTimeout, &error)) {
      return Error(error);
    }
    return "ok connected " + std::to_string(model);
  }
  if (cmd == "disconnect") {
    std::optional<int> reported;
    int32_t model;
    if (w.size() > 2 || (w.size() == 2 && !ToInt32(w[1], &model))) {
      return Error("usage: disconnect [model]");
    }
    if (w.size() == 2) reported = model;
    if (!sim->postAndWait([sim, reported](uint64_t s) { sim->disconnectCamera(s, reported, true); },
                          kEventTimeout, &error)) {
      return Error(error);
    }
    return "ok disconnected";
  }
  if (cmd == "set") {
    int32_t id;
    std::vector<uint8_t> bytes;
    if (w.size() != 3 || !ToInt32(w[1], &id)) return Error("usage: set <id> <value>");
    if (!EncodeProperty(id, w[2], &bytes)) return Error("unknown property or bad value");
    auto task = [sim, id, bytes](uint64_t s) {
      sim->withState([&](CameraState& state) {
        WritePropertyBytes(&state, id, bytes.data(), static_cast<unsigned int>(bytes.size()));
      });
      sim->deliverChange(s, id, bytes.data(), static_cast<unsigned int>(bytes.size()));
    };
    if (!sim->postAndWait(task, kEventTimeout, &error)) return Error(error);
    return "ok set " + w[1] + " " + w[2];
  }
  if (cmd == "set-raw") {
    int32_t id;
    Payload p;
    if (w.size() < 2 || !ToInt32(w[1], &id)) return Error("usage: set-raw <id> <payload>");
    if (!ParsePayload(w, 2, &p, &error)) return Error(error);
    auto task = [sim, id, p](uint64_t s) {
      sim->deliverChange(s, id, p.null ? nullptr : p.bytes.data(), p.size);
    };
    if (!sim->postAndWait(task, kEventTimeout, &error)) return Error(error);
    return "ok set-raw " + std::to_string(id) + " size " + std::to_string(p.size);
  }
  if (cmd == "event") {
    int32_t state;
    Payload p;
    if (w.size() < 2 || !ToInt32(w[1], &state)) return Error("usage: event <state> <payload>");
    if (!ParsePayload(w, 2, &p, &error)) return Error(error);
    auto task = [sim, state, p](uint64_t s) {
      sim->deliverFrame(s, state, p.null ? nullptr : p.bytes.data(), p.size);
    };
    if (!sim->postAndWait(task, kEventTimeout, &error)) return Error(error);
    return "ok event " + std::to_string(state) + " size " + std::to_string(p.size);
  }
  if (cmd == "capture") {
    CaptureSnapshot snapshot;
    if (w.size() != 1) return Error("usage: capture");
    if (!sim->takeCaptureSnapshot(&snapshot)) return Error("no camera connected");
    auto task = [sim, snapshot](uint64_t s) { sim->deliverCapture(s, snapshot); };
    if (!sim->postAndWait(task, kCaptureTimeout, &error)) return Error(error);
    return "ok capture " + std::to_string(snapshot.number);
  }
  if (cmd == "burst") {
    int64_t count;
    int32_t id = eKRV_SDK_PropIso;
    if (w.size() < 2 || w.size() > 3 || !ToInt(w[1], 1, 100000, &count) ||
        (w.size() == 3 && !ToInt32(w[2], &id))) {
      return Error("usage: burst <n> [id]");
    }
    std::vector<uint8_t> probe;
    if (!EncodeProperty(id, BurstValue(id, 0), &probe)) return Error("unknown property");
    auto task = [sim, id, count](uint64_t s) {
      for (int64_t k = 0; k < count; ++k) {
        std::vector<uint8_t> bytes;
        EncodeProperty(id, BurstValue(id, k), &bytes);
        sim->withState([&](CameraState& state) {
          WritePropertyBytes(&state, id, bytes.data(), static_cast<unsigned int>(bytes.size()));
        });
        sim->deliverChange(s, id, bytes.data(), static_cast<unsigned int>(bytes.size()));
      }
    };
    if (!sim->postAndWait(task, kEventTimeout, &error)) return Error(error);
    return "ok burst " + std::to_string(count);
  }

  if (cmd == "fail-read") {
    if (w.size() < 2) return Error("usage: fail-read all|none|<id>...");
    if (w[1] == "all" || w[1] == "none") {
      const bool all = w[1] == "all";
      return stateCommand([all](CameraState& s) {
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
    return stateCommand([ids](CameraState& s) { s.failingReads.insert(ids.begin(), ids.end()); },
                        "ok fail-read " + w.restAfter(0));
  }
  if (cmd == "format") {
    int32_t v;
    if (w.size() != 2 || !ToInt32(w[1], &v)) return Error("usage: format <n>");
    return stateCommand([v](CameraState& s) { s.fileFormat = v; }, "ok format " + w[1]);
  }
  if (cmd == "orientation") {
    int32_t v = 0;
    const bool none = w.size() == 2 && w[1] == "none";
    if (w.size() != 2 || (!none && !ToInt32(w[1], &v))) return Error("usage: orientation <n>|none");
    return stateCommand([v, none](CameraState& s) {
      s.sendOrientation = !none;
      if (!none) s.orientation = v;
    }, "ok orientation " + w[1]);
  }
  if (cmd == "name") {
    if (w.size() < 2) return Error("usage: name <pattern>|none");
    const std::string pattern = w.restAfter(0);
    const bool none = pattern == "none";
    return stateCommand([pattern, none](CameraState& s) {
      s.sendName = !none;
      if (!none) s.namePattern = pattern;
    }, "ok name " + pattern);
  }
  if (cmd == "name-form") {
    if (w.size() != 2 || (w[1] != "size" && w[1] != "nul")) return Error("usage: name-form size|nul");
    const bool nul = w[1] == "nul";
    return stateCommand([nul](CameraState& s) { s.nulTerminatedName = nul; }, "ok name-form " + w[1]);
  }
  if (cmd == "sync") {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return Error("usage: sync on|off");
    const bool on = w[1] == "on";
    return stateCommand([on](CameraState& s) { s.syncCallbacks = on; }, "ok sync " + w[1]);
  }
  if (cmd == "size") {
    int64_t width, height;
    if (w.size() != 3 || !ToInt(w[1], 16, kMaxImageSide, &width) ||
        !ToInt(w[2], 16, kMaxImageSide, &height)) {
      return Error("usage: size <w> <h> (16.." + std::to_string(kMaxImageSide) + ")");
    }
    return stateCommand([width, height](CameraState& s) {
      s.width = static_cast<int>(width);
      s.height = static_cast<int>(height);
    }, "ok size " + w[1] + "x" + w[2]);
  }
  if (cmd == "dng-bytes") {
    int64_t bytes;
    if (w.size() != 2 || !ToInt(w[1], 0, static_cast<int64_t>(kMaxDngBytes), &bytes)) {
      return Error("usage: dng-bytes <n> (0 = same size as the JPEG)");
    }
    return stateCommand([bytes](CameraState& s) { s.dngBytes = static_cast<uint64_t>(bytes); },
                        "ok dng-bytes " + w[1]);
  }
  if (cmd == "quality") {
    int64_t q;
    if (w.size() != 2 || !ToInt(w[1], 1, 100, &q)) return Error("usage: quality <1..100>");
    return stateCommand([q](CameraState& s) { s.jpegQuality = static_cast<int>(q); },
                        "ok quality " + w[1]);
  }
  return Error("unknown command " + cmd);
}

}  // namespace krv_sim
