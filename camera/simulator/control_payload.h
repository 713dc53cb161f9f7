// The payloads that the control commands set-raw and event hand to a
// callback: any bytes, any size, or null data, written out on the command line.
#ifndef KRV_SIM_CONTROL_PAYLOAD_H_
#define KRV_SIM_CONTROL_PAYLOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "camera/simulator/command_words.h"

namespace krv_sim {

// What the callback gets: `bytes.data()` (or null when `null`) and `size`,
// which need not match bytes.size() (null data with a size, the 0xFFFFFFFF
// form of a NUL-terminated string).
struct Payload {
  std::vector<uint8_t> bytes;
  bool null = false;
  unsigned int size = 0;
};

// Parses the payload that starts at word `i` (none there: null data, size 0).
// False with *error for a malformed one.
bool ParsePayload(const CommandWords& words, size_t i, Payload* payload, std::string* error);

// "(nothing)|null [size]|hex <digits> [size]|...", for help.
std::string PayloadUsage();

}  // namespace krv_sim

#endif  // KRV_SIM_CONTROL_PAYLOAD_H_
