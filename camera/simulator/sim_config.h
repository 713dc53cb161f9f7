// Start-up settings of the simulated SDK, read from KRV_SIM_* environment
// variables at every KRV_SDK_init. The task itself reads no configuration;
// these knobs exist for tests and demos only (see README.md).
#ifndef KRV_SIM_SIM_CONFIG_H_
#define KRV_SIM_SIM_CONFIG_H_

#include <cstdint>
#include <string>

namespace krv_sim {

// Limits that keep every generated file's size within the SDK's 32-bit
// size argument and the machine's memory.
constexpr int kMaxImageSide = 16384;
constexpr uint64_t kMaxDngBytes = 512ull << 20;

struct SimConfig {
  int model = 8241;              // camera connected at start; 0 = none
  int connectDelayMs = 50;       // init -> device callback
  int32_t fileFormat = 0;        // initial value of property 30
  bool syncCallbacks = false;    // capture/setProperty callbacks inside the call
  bool log = false;              // diagnostics on stderr
  std::string controlPath;       // Unix socket; empty = no control socket
  std::string countsPath;        // written with the call counts at exit; empty = none
  int imageWidth = 640;          // JPEG (and by default DNG) size
  int imageHeight = 480;
  uint64_t dngBytes = 0;         // when > 0: DNG raw size chosen to give about this many bytes
  int jpegQuality = 85;
  int liveFps = 20;               // live view frames a second
  int liveWidth = 640, liveHeight = 480;
  bool liveStamp = false;        // the callback's CLOCK_MONOTONIC time in each frame's comment
  int32_t orientation = 1;       // sent with every capture
  // '#' runs become the capture number; empty: the model's own form
  // ("IMG_####.JPG" on 8257, "IMG_####" on the others).
  std::string objectName;
  bool nulTerminatedName = false;           // send names with size 0xFFFFFFFF

  // Reads the environment. A malformed value is reported on stderr (always,
  // since a silently ignored knob wastes a tester's time) and the default kept.
  static SimConfig fromEnvironment();
};

// Parses a whole decimal (or 0x-prefixed hex) integer; false if `text` is not
// one or is out of range.
bool ParseInt64(const std::string& text, int64_t* value);
bool ParseDouble(const std::string& text, double* value);

}  // namespace krv_sim

#endif  // KRV_SIM_SIM_CONFIG_H_
