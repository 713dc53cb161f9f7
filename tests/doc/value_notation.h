// The value notation of doc/protocol.md, read into elements:
//   nil | number | "text" (escapes \" \\ \xHH) | <hex bytes> | {key: value, ...}
//   frame <id> <name> <payload>
// Shared by the doc check and the encoding tool that the Python client's
// tests compare against.
#ifndef TETHER_TESTS_DOC_VALUE_NOTATION_H_
#define TETHER_TESTS_DOC_VALUE_NOTATION_H_

#include <cstdint>
#include <memory>
#include <string>

#include "source/ZyLuaTableMarshalling.h"

namespace tether_doc {

struct NotatedValue {
  bool isFrame = false;
  int32_t id = 0;                    // frames only
  std::unique_ptr<ZyLuaTE> name;     // frames only
  std::unique_ptr<ZyLuaTE> element;  // the value, or the frame's payload
};

// Reads one value or frame filling all of `text` (surrounding blanks aside).
// Throws std::invalid_argument naming the offset of the first error.
NotatedValue ParseNotation(const std::string& text);

// Bytes from hex pairs separated by blanks ("1A 00"); throws
// std::invalid_argument on anything else.
std::string ParseHexBytes(const std::string& text);

// The bytes as the task sends them: the element's encoding, or the whole
// frame as the task's output side writes it (a frame's payload must be a
// table or a nil, as every payload the task sends is).
std::string EncodeAsTask(const NotatedValue& value);

}  // namespace tether_doc

#endif  // TETHER_TESTS_DOC_VALUE_NOTATION_H_
