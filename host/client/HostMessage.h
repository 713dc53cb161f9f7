// One message as the host sees it: the frame's id, the name's text and the
// decoded payload, plus the encoder for frames going the other way.
#ifndef TETHER_HOST_HOST_MESSAGE_H_
#define TETHER_HOST_HOST_MESSAGE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "source/ZyLuaTableMarshalling.h"

namespace tether_host {

struct HostMessage {
  int32_t id = 0;
  std::string name;
  // Owned; a table or a nil element once a frame has been read.
  std::unique_ptr<ZyLuaTE> payload;

  // The payload as a table (borrowed), or null when it is nil.
  ZyLuaTETable* table() const;
  // Borrowed value under the string key, or null (also when not a table).
  ZyLuaTE* value(const char* key) const;
  // Typed look-ups: empty when the key is absent or holds another kind.
  std::optional<double> number(const char* key) const;
  std::optional<std::string> string(const char* key) const;
  const ZyLuaTEData* data(const char* key) const;
};

// The complete frame: length, id, the name as a string element, then the
// payload (a nil element when `payload` is null). The payload is only read.
std::string EncodeFrame(int32_t id, const std::string& name, const ZyLuaTETable* payload);

}  // namespace tether_host

#endif  // TETHER_HOST_HOST_MESSAGE_H_
