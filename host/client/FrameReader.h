// Cuts the task's output into frames and decodes each one into a
// HostMessage. Bytes may arrive in any chunking. The reader is strict: the
// task always writes exact frames, so anything else means the stream can no
// longer be trusted, and the reader stops for good at the first bad frame.
#ifndef TETHER_HOST_FRAME_READER_H_
#define TETHER_HOST_FRAME_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/client/HostMessage.h"

namespace tether_host {

class FrameReader {
 public:
  // Frames carry names, settings, paths and thumbnails; whole image files
  // travel by path. A longer announced length is refused before anything
  // is buffered for it.
  static constexpr int32_t kDefaultMaxFrameLength = 64 * 1024 * 1024;
  // Id plus the two smallest elements (nil name would be refused later).
  static constexpr int32_t kMinFrameLength = 12;

  explicit FrameReader(int32_t maxFrameLength = kDefaultMaxFrameLength);

  // Copies the bytes in; nothing is decoded here.
  void append(const void* bytes, size_t count);

  enum class Result { kMessage, kNeedMore, kError };
  // kMessage fills *message with the oldest complete frame. kNeedMore: no
  // complete frame is buffered. kError: the buffered bytes are not a valid
  // frame (see error()); every later call returns kError too.
  Result next(HostMessage* message);

  const std::string& error() const { return mError; }
  // Bytes received but not yet handed out as messages.
  size_t buffered() const { return mBuffer.size() - mStart; }

 private:
  Result fail(std::string why);

  int32_t mMaxFrameLength;
  std::vector<uint8_t> mBuffer;
  size_t mStart = 0;  // offset of the first unconsumed byte in mBuffer
  std::string mError;  // non-empty once a frame was refused
};

}  // namespace tether_host

#endif  // TETHER_HOST_FRAME_READER_H_
