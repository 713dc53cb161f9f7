// Little-endian PTP data: a writer that builds datasets and packets, and a
// bounds-checked reader for bytes that came from the peer.
#ifndef KRV_SIM_PTPIP_PTP_DATA_H_
#define KRV_SIM_PTPIP_PTP_DATA_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krv_sim {
namespace ptp {

class DataWriter {
 public:
  void u8(uint8_t v) { mBytes.push_back(v); }
  void u16(uint16_t v);
  void u32(uint32_t v);
  void u64(uint64_t v);
  // A PTP string: a count byte (characters including the NUL) and UCS-2LE
  // characters; "" is one 0 byte. ASCII only, cut at 254 characters.
  void string(const std::string& text);
  void u16Array(const std::vector<uint16_t>& values);
  void u32Array(const std::vector<uint32_t>& values);
  // A value of PTP data type `type` (kUint8, kUint16, kInt32, kUint32).
  void value(uint16_t type, int64_t v);
  void bytes(const uint8_t* data, size_t size) { mBytes.insert(mBytes.end(), data, data + size); }

  std::vector<uint8_t>& data() { return mBytes; }

 private:
  std::vector<uint8_t> mBytes;
};

// Reads from a borrowed buffer; every read fails (returns false) rather than
// run past the end, and the reader stays failed.
class DataReader {
 public:
  DataReader(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
  bool u16(uint16_t* v);
  bool u32(uint32_t* v);
  bool u64(uint64_t* v);
  // A value of PTP data type `type`; false for another type.
  bool value(uint16_t type, int64_t* v);
  size_t remaining() const { return mSize - mPos; }

 private:
  bool take(size_t n, const uint8_t** p);

  const uint8_t* mData;
  size_t mSize;
  size_t mPos = 0;
};

// The byte width of a value of `type`; 0 for types the camera does not use.
size_t ValueWidth(uint16_t type);

}  // namespace ptp
}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTP_DATA_H_
