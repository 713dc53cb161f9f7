// Stream buffers over shared in-memory data: block writes append to a growable
// buffer, block reads and position queries are served from an immutable one.
// Neither buffers anything itself; single-character I/O fails by design.
#ifndef ZY_NSDATA_STREAM_BUF_H_
#define ZY_NSDATA_STREAM_BUF_H_

#include <cstdint>
#include <streambuf>

#include "platform/Data.h"

class ZyNSDataWriteStreamBuf : public std::streambuf {
 public:
  // Creates an empty buffer with `capacity` as a size hint (0 is valid).
  explicit ZyNSDataWriteStreamBuf(long capacity);
  ~ZyNSDataWriteStreamBuf() override;

  // The buffer itself; a caller that keeps it beyond this object's life keeps
  // its own reference (copies the shared pointer).
  const zy::MutableDataRef& getNSData() const { return mData; }

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;

 private:
  zy::MutableDataRef mData;
};

class ZyNSDataReadStreamBuf : public std::streambuf {
 public:
  // Binds `source` (a reference is held); its length is read once, here.
  explicit ZyNSDataReadStreamBuf(zy::DataRef source);
  ~ZyNSDataReadStreamBuf() override;

  // Rebinds to another source (a reference is held, the previous one given
  // up); position back to 0, length read anew.
  virtual ZyNSDataReadStreamBuf* setbuf(zy::DataRef source);
  // Copies at most min(count, length - position, capacity) bytes; returns how
  // many were copied.
  virtual std::streamsize _Xsgetn_s(char* destination, unsigned long capacity, long count);

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode mode) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override;
  std::streamsize xsgetn(char* destination, std::streamsize count) override;
  using std::streambuf::setbuf;  // The standard overload stays reachable.

 private:
  void bind(zy::DataRef source);

  zy::DataRef mData;
  int64_t mLength = 0;
  pos_type mPosition = 0;
};

#endif  // ZY_NSDATA_STREAM_BUF_H_
