#include "host/client/JsonRender.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "host/client/Sha256.h"

namespace tether_host {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the byte
// there does not start one (overlong forms, surrogates and code points above
// U+10FFFF are invalid).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

void AppendEscapedByte(std::string* out, unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", c);
  *out += buf;
}

}  // namespace

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      AppendEscapedByte(&out, c);
      ++i;
      continue;
    }
    const size_t n = Utf8SequenceLength(bytes, i);
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9F) {
      // A C1 control, escaped like C0 so a line printed on a terminal never
      // carries one (U+009B would start an escape sequence there).
      AppendEscapedByte(&out, static_cast<unsigned char>(bytes[i + 1]));
      i += 2;
    } else if (n == 0) {
      AppendEscapedByte(&out, c);
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  out += '"';
  return out;
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  // Below 2^53 every integer is exact, so it prints as one.
  if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
    return std::to_string(static_cast<long long>(value));
  }
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, result.ptr);
}

std::string DataSummaryJson(const void* bytes, size_t size, const std::string& savedPath) {
  std::string out = "{\"size\":" + std::to_string(size) + ",\"sha256\":\"" +
                    Sha256Hex(bytes, size) + "\"";
  if (!savedPath.empty()) out += ",\"path\":" + JsonString(savedPath);
  return out + "}";
}

namespace {

std::string RenderElement(const ZyLuaTE* element, const DataRenderer& renderData,
                          const std::string& key) {
  if (element == nullptr) return "null";
  switch (element->mType) {
    case ZyLuaTE::kNil:
      return "null";
    case ZyLuaTE::kNumber:
      return JsonNumber(static_cast<const ZyLuaTENumber*>(element)->mValue);
    case ZyLuaTE::kString:
      return JsonString(static_cast<const ZyLuaTEString*>(element)->mString);
    case ZyLuaTE::kData: {
      const auto* data = static_cast<const ZyLuaTEData*>(element);
      if (renderData) return renderData(*data, key);
      return DataSummaryJson(data->mBytes, static_cast<size_t>(data->mLength));
    }
    case ZyLuaTE::kTable: {
      const auto& entries = static_cast<const ZyLuaTETable*>(element)->mTable;
      bool stringKeys = true;
      for (const auto& entry : entries) stringKeys &= entry.first->mType == ZyLuaTE::kString;
      std::string out = stringKeys ? "{" : "[";
      bool first = true;
      for (const auto& entry : entries) {
        if (!first) out += ',';
        first = false;
        const std::string text = entry.first->mType == ZyLuaTE::kString
                                     ? static_cast<const ZyLuaTEString*>(entry.first)->mString
                                     : std::string();
        if (stringKeys) {
          out += JsonString(text) + ":" + RenderElement(entry.second, renderData, text);
        } else {
          out += "[" + RenderElement(entry.first, renderData, "") + "," +
                 RenderElement(entry.second, renderData, text) + "]";
        }
      }
      return out + (stringKeys ? "}" : "]");
    }
    default:
      return "null";
  }
}

}  // namespace

std::string JsonElement(const ZyLuaTE* element, const DataRenderer& renderData) {
  return RenderElement(element, renderData, "");
}

std::string JsonMessage(const HostMessage& message, const DataRenderer& renderData) {
  return "{\"id\":" + std::to_string(message.id) + ",\"name\":" + JsonString(message.name) +
         ",\"payload\":" + JsonElement(message.payload.get(), renderData) + "}";
}

}  // namespace tether_host
