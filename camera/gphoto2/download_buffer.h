// The bytes of one file as libgphoto2 hands them over, in a buffer of the
// bridge's own: reserved once at the size the camera announced, so that a
// 100 MB raw costs 100 MB and is never copied while it arrives (libgphoto2's
// own memory files grow by realloc, a copy of everything so far whenever the
// allocator cannot grow in place). Grown geometrically only when no size was
// announced. Never beyond its limit: bytes past it are refused, not kept.
// Not thread-safe; one download at a time.
#ifndef KRV_GPHOTO_DOWNLOAD_BUFFER_H_
#define KRV_GPHOTO_DOWNLOAD_BUFFER_H_

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace krv_gphoto {

class DownloadBuffer {
 public:
  // `announced`: the file's size as the camera gave it, 0 when unknown;
  // `limit`: the most the buffer may ever hold. An announced size over the
  // limit reserves nothing and takes no bytes.
  DownloadBuffer(size_t announced, size_t limit);

  // Appends `size` bytes. False when they would pass the limit (the
  // announced size, when there was one) or memory for them cannot be had;
  // the buffer is then refused for good and takes nothing more.
  bool append(const void* data, size_t size);
  bool refused() const { return mRefused; }

  const unsigned char* data() const { return mData.get(); }
  size_t size() const { return mSize; }

 private:
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  bool reserve(size_t capacity);

  std::unique_ptr<unsigned char, Free> mData;
  size_t mSize = 0;
  size_t mCapacity = 0;
  size_t mLimit;
  bool mRefused = false;
};

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_DOWNLOAD_BUFFER_H_
