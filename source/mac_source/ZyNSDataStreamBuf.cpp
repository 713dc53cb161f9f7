#include "source/mac_source/ZyNSDataStreamBuf.h"

#include <algorithm>

// ---- ZyNSDataWriteStreamBuf ----

ZyNSDataWriteStreamBuf::ZyNSDataWriteStreamBuf(long capacity)
    : mData(std::make_shared<zy::MutableData>(static_cast<size_t>(std::max(capacity, 0L)))) {}

ZyNSDataWriteStreamBuf::~ZyNSDataWriteStreamBuf() = default;

std::streamsize ZyNSDataWriteStreamBuf::xsputn(const char* bytes, std::streamsize count) {
  if (count <= 0) return 0;
  mData->appendBytes(bytes, static_cast<size_t>(count));
  return count;
}

// ---- ZyNSDataReadStreamBuf ----

ZyNSDataReadStreamBuf::ZyNSDataReadStreamBuf(zy::DataRef source) { bind(std::move(source)); }

ZyNSDataReadStreamBuf::~ZyNSDataReadStreamBuf() = default;

ZyNSDataReadStreamBuf* ZyNSDataReadStreamBuf::setbuf(zy::DataRef source) {
  bind(std::move(source));
  return this;
}

void ZyNSDataReadStreamBuf::bind(zy::DataRef source) {
  // The length is taken now and never refreshed: bytes appended to a
  // growable source later stay unseen until it is bound again.
  mLength = source ? static_cast<int64_t>(source->length()) : 0;
  mData = std::move(source);
  mPosition = 0;
}

ZyNSDataReadStreamBuf::pos_type ZyNSDataReadStreamBuf::seekoff(off_type offset,
                                                               std::ios_base::seekdir direction,
                                                               std::ios_base::openmode) {
  int64_t position = static_cast<int64_t>(mPosition);
  if (direction == std::ios_base::beg) {
    position = offset;
  } else if (direction == std::ios_base::cur) {
    position += offset;
  } else if (direction == std::ios_base::end) {
    position = mLength - offset;  // A positive offset moves back from the end.
  }
  // Never fails: clamps into the source.
  mPosition = std::clamp<int64_t>(position, 0, mLength);
  return mPosition;
}

ZyNSDataReadStreamBuf::pos_type ZyNSDataReadStreamBuf::seekpos(pos_type position,
                                                               std::ios_base::openmode mode) {
  return seekoff(off_type(position), std::ios_base::beg, mode);
}

std::streamsize ZyNSDataReadStreamBuf::xsgetn(char* destination, std::streamsize count) {
  return _Xsgetn_s(destination, static_cast<unsigned long>(count), count);
}

std::streamsize ZyNSDataReadStreamBuf::_Xsgetn_s(char* destination, unsigned long capacity,
                                                 long count) {
  const int64_t position = static_cast<int64_t>(mPosition);
  int64_t n = std::min<int64_t>(count, mLength - position);
  if (n <= 0) return 0;
  if (static_cast<unsigned long>(n) > capacity) n = static_cast<int64_t>(capacity);
  if (n == 0) return 0;
  // Straight from the source into the caller's memory: the one copy.
  mData->getBytes(destination, static_cast<size_t>(position), static_cast<size_t>(n));
  mPosition = position + n;
  return n;
}
