#include "camera/simulator/ptpip/ptp_data.h"

#include <algorithm>

#include "camera/simulator/ptpip/ptp_codes.h"

namespace krv_sim {
namespace ptp {

void DataWriter::u16(uint16_t v) {
  u8(static_cast<uint8_t>(v));
  u8(static_cast<uint8_t>(v >> 8));
}

void DataWriter::u32(uint32_t v) {
  u16(static_cast<uint16_t>(v));
  u16(static_cast<uint16_t>(v >> 16));
}

void DataWriter::u64(uint64_t v) {
  u32(static_cast<uint32_t>(v));
  u32(static_cast<uint32_t>(v >> 32));
}

void DataWriter::string(const std::string& text) {
  if (text.empty()) {
    u8(0);
    return;
  }
  const size_t n = std::min<size_t>(text.size(), 254);
  u8(static_cast<uint8_t>(n + 1));
  for (size_t i = 0; i < n; ++i) u16(static_cast<uint8_t>(text[i]) & 0x7F);
  u16(0);
}

void DataWriter::u16Array(const std::vector<uint16_t>& values) {
  u32(static_cast<uint32_t>(values.size()));
  for (uint16_t v : values) u16(v);
}

void DataWriter::u32Array(const std::vector<uint32_t>& values) {
  u32(static_cast<uint32_t>(values.size()));
  for (uint32_t v : values) u32(v);
}

void DataWriter::value(uint16_t type, int64_t v) {
  switch (type) {
    case kUint8: u8(static_cast<uint8_t>(v)); break;
    case kUint16: u16(static_cast<uint16_t>(v)); break;
    default: u32(static_cast<uint32_t>(v)); break;
  }
}

bool DataReader::take(size_t n, const uint8_t** p) {
  if (n > mSize - mPos) {
    mPos = mSize;
    return false;
  }
  *p = mData + mPos;
  mPos += n;
  return true;
}

bool DataReader::u16(uint16_t* v) {
  const uint8_t* p;
  if (!take(2, &p)) return false;
  *v = static_cast<uint16_t>(p[0] | (p[1] << 8));
  return true;
}

bool DataReader::u32(uint32_t* v) {
  const uint8_t* p;
  if (!take(4, &p)) return false;
  *v = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return true;
}

bool DataReader::u64(uint64_t* v) {
  uint32_t lo, hi;
  if (!u32(&lo) || !u32(&hi)) return false;
  *v = lo | (static_cast<uint64_t>(hi) << 32);
  return true;
}

bool DataReader::value(uint16_t type, int64_t* v) {
  const uint8_t* p;
  switch (type) {
    case kUint8:
      if (!take(1, &p)) return false;
      *v = p[0];
      return true;
    case kUint16: {
      uint16_t x;
      if (!u16(&x)) return false;
      *v = x;
      return true;
    }
    case kUint32:
    case kInt32: {
      uint32_t x;
      if (!u32(&x)) return false;
      *v = type == kInt32 ? static_cast<int32_t>(x) : static_cast<int64_t>(x);
      return true;
    }
    default:
      return false;
  }
}

size_t ValueWidth(uint16_t type) {
  switch (type) {
    case kUint8: return 1;
    case kUint16: return 2;
    case kInt32:
    case kUint32: return 4;
    default: return 0;
  }
}

}  // namespace ptp
}  // namespace krv_sim
