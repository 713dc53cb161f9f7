// Helpers shared by the value tests: encode to and decode from byte strings
// through the in-memory stream buffers, and name a thrown platform exception.
#ifndef TESTS_VALUE_VALUE_TEST_UTIL_H_
#define TESTS_VALUE_VALUE_TEST_UTIL_H_

#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Data.h"
#include "platform/Exception.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"

namespace value_test {

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

inline zy::DataRef DataOf(const std::string& bytes) {
  return std::make_shared<zy::Data>(bytes.data(), bytes.size());
}

inline std::string Encode(const ZyLuaTE& element) {
  ZyNSDataWriteStreamBuf buf(0);
  std::ostream out(&buf);
  element.writeToStream(out);
  const auto& data = buf.getNSData();
  return std::string(reinterpret_cast<const char*>(data->bytes()), data->length());
}

// Decodes one element; `consumed`, when given, receives the stream position
// afterwards.
inline std::unique_ptr<ZyLuaTE> Decode(const std::string& bytes, long* consumed = nullptr) {
  ZyNSDataReadStreamBuf buf(DataOf(bytes));
  std::istream in(&buf);
  std::unique_ptr<ZyLuaTE> element(ZyLuaTE::createFromStream(in));
  if (consumed != nullptr) *consumed = static_cast<long>(in.tellg());
  return element;
}

// The name of the zy::Exception that decoding `bytes` raises, or "" when it
// raises none.
inline std::string DecodeError(const std::string& bytes) {
  try {
    Decode(bytes);
  } catch (const zy::Exception& e) {
    return e.name();
  }
  return "";
}

}  // namespace value_test

#endif  // TESTS_VALUE_VALUE_TEST_UTIL_H_
