// The answer to a request's Range header for a file of a known size. One
// range is answered (206); several are answered with the whole file (200),
// which is always correct; a range that starts beyond the file is 416; a
// header that is not a byte range we understand is ignored (200).
#ifndef TETHER_HOST_WEB_BYTE_RANGE_H_
#define TETHER_HOST_WEB_BYTE_RANGE_H_

#include <cstdint>
#include <string>

namespace tether_host {

struct ByteRange {
  enum class Answer { kWhole, kPart, kUnsatisfiable };
  Answer answer = Answer::kWhole;
  uint64_t offset = 0;  // the part's first byte (kPart)
  uint64_t length = 0;  // the part's length (kPart)

  // `header` as received ("" when absent); `size` is the file's.
  static ByteRange forHeader(const std::string& header, uint64_t size);
  // "bytes 0-99/2000" for a part, "bytes */2000" when unsatisfiable.
  std::string contentRange(uint64_t size) const;
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_BYTE_RANGE_H_
