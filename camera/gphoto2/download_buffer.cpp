#include "camera/gphoto2/download_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace krv_gphoto {

namespace {

// The first reservation of a file of unknown size; it doubles from there.
const size_t kFirstReserve = size_t{1} << 20;
// A reservation this big starts on a huge-page boundary and asks for huge
// pages: faulting in a 30 MB raw 4 KiB at a time costs more than copying it.
const size_t kHugePage = size_t{2} << 20;

void* Allocate(size_t capacity) {
  if (capacity < kHugePage) return std::malloc(capacity);
  void* p = nullptr;
  if (posix_memalign(&p, kHugePage, capacity) != 0) return nullptr;
  (void)madvise(p, capacity / kHugePage * kHugePage, MADV_HUGEPAGE);  // a hint; fine without
  return p;
}

}  // namespace

DownloadBuffer::DownloadBuffer(size_t announced, size_t limit) : mLimit(limit) {
  if (announced > limit) {
    mRefused = true;  // not a byte of it is kept
  } else if (announced > 0) {
    mLimit = announced;
    reserve(announced);  // pages are touched only as the bytes arrive
  }
}

bool DownloadBuffer::reserve(size_t capacity) {
  void* grown = mData ? std::realloc(mData.get(), capacity) : Allocate(capacity);
  if (grown == nullptr) return false;
  (void)mData.release();  // realloc took it
  mData.reset(static_cast<unsigned char*>(grown));
  mCapacity = capacity;
  return true;
}

bool DownloadBuffer::append(const void* data, size_t size) {
  if (mRefused) return false;
  if (size == 0) return true;
  if (size > mLimit - mSize ||
      (size > mCapacity - mSize &&
       !reserve(std::min(mLimit, std::max({mSize + size, mCapacity * 2, kFirstReserve}))))) {
    mRefused = true;
    return false;
  }
  std::memcpy(mData.get() + mSize, data, size);
  mSize += size;
  return true;
}

}  // namespace krv_gphoto
