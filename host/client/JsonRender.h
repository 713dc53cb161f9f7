// Renders messages and elements as one-line JSON for people and scripts.
//
// Numbers: integral values print without a fraction, others in the shortest
// form that reads back to the same double, non-finite ones as null. Strings:
// valid UTF-8 passes through; quotes, backslashes and control characters are
// escaped; each byte that is not part of valid UTF-8 prints as \u00XX of the
// byte. Tables with string keys only become objects (in key order); any other
// table becomes an array of [key, value] pairs, so nothing is lost.
#ifndef TETHER_HOST_JSON_RENDER_H_
#define TETHER_HOST_JSON_RENDER_H_

#include <functional>
#include <string>
#include <string_view>

#include "host/client/HostMessage.h"

namespace tether_host {

// Renders a data value found under `key` (empty when the key is not a
// string) as JSON text.
using DataRenderer = std::function<std::string(const ZyLuaTEData& data, const std::string& key)>;

std::string JsonString(std::string_view bytes);
std::string JsonNumber(double value);

// {"size":N,"sha256":"..."}, plus "path" when `savedPath` is non-empty.
std::string DataSummaryJson(const void* bytes, size_t size, const std::string& savedPath = "");

// `element` may be null (an absent value): rendered as null. A null
// `renderData` uses DataSummaryJson without a path.
std::string JsonElement(const ZyLuaTE* element, const DataRenderer& renderData = nullptr);

// {"id":N,"name":"...","payload":...}
std::string JsonMessage(const HostMessage& message, const DataRenderer& renderData = nullptr);

}  // namespace tether_host

#endif  // TETHER_HOST_JSON_RENDER_H_
