// Shared byte buffers: the stand-ins for the platform's immutable and growable
// data objects. Both are shared by reference counting (std::shared_ptr); a
// buffer lives while any holder keeps a reference.
#ifndef ZY_PLATFORM_DATA_H_
#define ZY_PLATFORM_DATA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zy {

class Data {
 public:
  Data() = default;
  // Copies `length` bytes from `bytes`.
  Data(const void* bytes, size_t length);
  // Takes the bytes of `bytes` without copying.
  explicit Data(std::vector<uint8_t>&& bytes) : mBytes(std::move(bytes)) {}
  virtual ~Data() = default;

  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;

  size_t length() const { return mBytes.size(); }
  // Contiguous contents; valid until the buffer is changed or destroyed.
  const uint8_t* bytes() const { return mBytes.data(); }
  // Copies the `count` bytes at `start` to `destination`. The range must lie
  // inside the buffer.
  void getBytes(void* destination, size_t start, size_t count) const;

 protected:
  std::vector<uint8_t> mBytes;
};

class MutableData : public Data {
 public:
  // An empty buffer; `capacity` is only a hint, 0 is valid.
  explicit MutableData(size_t capacity = 0);

  void appendBytes(const void* bytes, size_t length);
  // Shrinks, or grows with zero bytes.
  void setLength(size_t length);
  // Drops the first `count` bytes, keeping the rest in order (count is
  // clamped to the length).
  void removeLeading(size_t count);
  uint8_t* mutableBytes() { return mBytes.data(); }
};

using DataRef = std::shared_ptr<const Data>;
using MutableDataRef = std::shared_ptr<MutableData>;

}  // namespace zy

#endif  // ZY_PLATFORM_DATA_H_
