#include "platform/Data.h"

#include <algorithm>
#include <cstring>

namespace zy {

Data::Data(const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  mBytes.assign(p, p + length);
}

void Data::getBytes(void* destination, size_t start, size_t count) const {
  if (count > 0) std::memcpy(destination, mBytes.data() + start, count);
}

MutableData::MutableData(size_t capacity) { mBytes.reserve(capacity); }

void MutableData::appendBytes(const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  mBytes.insert(mBytes.end(), p, p + length);
}

void MutableData::setLength(size_t length) { mBytes.resize(length); }

void MutableData::removeLeading(size_t count) {
  count = std::min(count, mBytes.size());
  mBytes.erase(mBytes.begin(), mBytes.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace zy
