#include "camera/simulator/sim_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace krv_sim {

bool ParseInt64(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

namespace {

const char* Env(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

void Warn(const char* name, const char* value) {
  std::fprintf(stderr, "krv-sim: ignoring %s=%s (malformed or out of range)\n", name, value);
}

// Reads an integer knob in [lo, hi] into *out; leaves *out alone otherwise.
template <typename T>
void ReadInt(const char* name, int64_t lo, int64_t hi, T* out) {
  const char* v = Env(name);
  if (v == nullptr) return;
  int64_t parsed;
  if (!ParseInt64(v, &parsed) || parsed < lo || parsed > hi) {
    Warn(name, v);
    return;
  }
  *out = static_cast<T>(parsed);
}

void ReadBool(const char* name, bool* out) {
  const char* v = Env(name);
  if (v == nullptr) return;
  std::string s(v);
  if (s == "1" || s == "yes" || s == "on" || s == "true") {
    *out = true;
  } else if (s == "0" || s == "no" || s == "off" || s == "false") {
    *out = false;
  } else {
    Warn(name, v);
  }
}

}  // namespace

SimConfig SimConfig::fromEnvironment() {
  SimConfig c;
  constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
  constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();
  if (const char* m = Env("KRV_SIM_MODEL")) {
    if (std::string(m) == "none") {
      c.model = 0;
    } else {
      ReadInt("KRV_SIM_MODEL", kI32Min, kI32Max, &c.model);
    }
  }
  ReadInt("KRV_SIM_CONNECT_DELAY_MS", 0, 3600 * 1000, &c.connectDelayMs);
  ReadInt("KRV_SIM_FILE_FORMAT", kI32Min, kI32Max, &c.fileFormat);
  ReadBool("KRV_SIM_SYNC_CALLBACKS", &c.syncCallbacks);
  ReadBool("KRV_SIM_LOG", &c.log);
  if (const char* p = Env("KRV_SIM_CONTROL")) c.controlPath = p;
  if (const char* p = Env("KRV_SIM_COUNTS_FILE")) c.countsPath = p;
  ReadInt("KRV_SIM_IMAGE_WIDTH", 16, kMaxImageSide, &c.imageWidth);
  ReadInt("KRV_SIM_IMAGE_HEIGHT", 16, kMaxImageSide, &c.imageHeight);
  ReadInt("KRV_SIM_DNG_BYTES", 0, static_cast<int64_t>(kMaxDngBytes), &c.dngBytes);
  ReadInt("KRV_SIM_JPEG_QUALITY", 1, 100, &c.jpegQuality);
  ReadInt("KRV_SIM_ORIENTATION", kI32Min, kI32Max, &c.orientation);
  if (const char* n = Env("KRV_SIM_OBJECT_NAME")) c.objectName = n;
  ReadBool("KRV_SIM_NAME_NUL", &c.nulTerminatedName);
  ReadInt("KRV_SIM_LIVE_FPS", 1, 60, &c.liveFps);
  ReadInt("KRV_SIM_LIVE_WIDTH", 16, kMaxImageSide, &c.liveWidth);
  ReadInt("KRV_SIM_LIVE_HEIGHT", 16, kMaxImageSide, &c.liveHeight);
  ReadBool("KRV_SIM_LIVE_STAMP", &c.liveStamp);
  return c;
}

}  // namespace krv_sim
