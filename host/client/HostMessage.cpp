#include "host/client/HostMessage.h"

#include <sstream>

#include "platform/ByteOrder.h"

namespace tether_host {

ZyLuaTETable* HostMessage::table() const {
  if (!payload || payload->mType != ZyLuaTE::kTable) return nullptr;
  return static_cast<ZyLuaTETable*>(payload.get());
}

ZyLuaTE* HostMessage::value(const char* key) const {
  ZyLuaTETable* t = table();
  return t == nullptr ? nullptr : t->elementForKey(key);
}

std::optional<double> HostMessage::number(const char* key) const {
  ZyLuaTE* v = value(key);
  if (v == nullptr || v->mType != ZyLuaTE::kNumber) return std::nullopt;
  return static_cast<ZyLuaTENumber*>(v)->mValue;
}

std::optional<std::string> HostMessage::string(const char* key) const {
  ZyLuaTE* v = value(key);
  if (v == nullptr || v->mType != ZyLuaTE::kString) return std::nullopt;
  return static_cast<ZyLuaTEString*>(v)->mString;
}

const ZyLuaTEData* HostMessage::data(const char* key) const {
  ZyLuaTE* v = value(key);
  if (v == nullptr || v->mType != ZyLuaTE::kData) return nullptr;
  return static_cast<ZyLuaTEData*>(v);
}

std::string EncodeFrame(int32_t id, const std::string& name, const ZyLuaTETable* payload) {
  std::ostringstream body;
  ZyLuaTEString(name).writeToStream(body);
  if (payload != nullptr) {
    payload->writeToStream(body);
  } else {
    ZyLuaTENil().writeToStream(body);
  }
  const std::string elements = body.str();
  std::string frame(8, '\0');
  zy::putLittleEndianInt32(&frame[0], static_cast<int32_t>(elements.size() + 4));
  zy::putLittleEndianInt32(&frame[4], id);
  frame += elements;
  return frame;
}

}  // namespace tether_host
