#include "host/HostMessage.h"

#include <sstream>

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

namespace {

void PutInt32(std::string* out, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(v >> shift));
}

}  // namespace

std::string EncodeFrame(int32_t id, const std::string& name, const ZyLuaTETable* payload) {
  std::ostringstream body;
  ZyLuaTEString(name).writeToStream(body);
  if (payload != nullptr) {
    payload->writeToStream(body);
  } else {
    ZyLuaTENil().writeToStream(body);
  }
  const std::string elements = body.str();
  std::string frame;
  frame.reserve(8 + elements.size());
  PutInt32(&frame, static_cast<int32_t>(elements.size() + 4));
  PutInt32(&frame, id);
  frame += elements;
  return frame;
}

}  // namespace tether_host
