// The wire's fixed-width numbers, in one place: little-endian 32-bit integers
// (frame lengths, message ids, element sizes) and little-endian IEEE-754
// doubles (number elements). Every reader and writer of frames, in the task
// and in the host, goes through these, so the byte order has one home.
//
// The put functions write exactly 4 or 8 bytes at `out`; the get functions
// read exactly that many at `in`. Neither checks bounds: the caller has them.
// Both work for any alignment, on any host byte order.
#ifndef TETHER_PLATFORM_BYTE_ORDER_H_
#define TETHER_PLATFORM_BYTE_ORDER_H_

#include <cstdint>
#include <cstring>

namespace zy {

inline void putLittleEndian32(void* out, uint32_t value) {
  auto* b = static_cast<unsigned char*>(out);
  b[0] = static_cast<unsigned char>(value);
  b[1] = static_cast<unsigned char>(value >> 8);
  b[2] = static_cast<unsigned char>(value >> 16);
  b[3] = static_cast<unsigned char>(value >> 24);
}

inline uint32_t getLittleEndian32(const void* in) {
  const auto* b = static_cast<const unsigned char*>(in);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Signed forms: the two's-complement bit pattern of `value`, as on the wire.
inline void putLittleEndianInt32(void* out, int32_t value) {
  putLittleEndian32(out, static_cast<uint32_t>(value));
}
inline int32_t getLittleEndianInt32(const void* in) {
  return static_cast<int32_t>(getLittleEndian32(in));
}

inline void putLittleEndian64(void* out, uint64_t value) {
  putLittleEndian32(out, static_cast<uint32_t>(value));
  putLittleEndian32(static_cast<unsigned char*>(out) + 4, static_cast<uint32_t>(value >> 32));
}

inline uint64_t getLittleEndian64(const void* in) {
  const auto* b = static_cast<const unsigned char*>(in);
  return uint64_t{getLittleEndian32(b)} | uint64_t{getLittleEndian32(b + 4)} << 32;
}

// A double as its IEEE-754 bit pattern; NaN payloads and -0.0 survive.
inline void putLittleEndianDouble(void* out, double value) {
  static_assert(sizeof(double) == sizeof(uint64_t), "doubles must be 64-bit");
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  putLittleEndian64(out, bits);
}

inline double getLittleEndianDouble(const void* in) {
  const uint64_t bits = getLittleEndian64(in);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace zy

#endif  // TETHER_PLATFORM_BYTE_ORDER_H_
