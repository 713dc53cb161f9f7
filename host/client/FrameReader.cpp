#include "host/client/FrameReader.h"

#include <istream>
#include <streambuf>

#include "platform/ByteOrder.h"
#include "platform/Exception.h"

namespace tether_host {

namespace {

int32_t GetInt32(const uint8_t* p) { return zy::getLittleEndianInt32(p); }

// A read-only stream buffer over bytes it does not own; seekable, so the
// decoder can check lengths against what is left before allocating.
class SpanStreamBuf : public std::streambuf {
 public:
  SpanStreamBuf(const uint8_t* bytes, size_t count) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    setg(begin, begin, begin + count);
  }
  size_t consumed() const { return static_cast<size_t>(gptr() - eback()); }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode) override {
    off_type base = direction == std::ios_base::beg   ? 0
                    : direction == std::ios_base::cur ? gptr() - eback()
                                                      : egptr() - eback();
    return seekpos(pos_type(base + offset), std::ios_base::in);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode) override {
    const off_type at = position;
    if (at < 0 || at > egptr() - eback()) return pos_type(off_type(-1));
    setg(eback(), eback() + at, egptr());
    return position;
  }
};

// Walks one encoded element without allocating anything and returns the
// number of bytes it occupies, or 0 with *why set when it is not a valid
// element of at most `size` bytes. Every length is checked against what is
// left, so a hostile count can neither allocate nor loop for long.
size_t ElementExtent(const uint8_t* p, size_t size, int depth, std::string* why) {
  if (size < 4) {
    *why = "element cut short";
    return 0;
  }
  const int32_t tag = GetInt32(p);
  switch (tag) {
    case ZyLuaTE::kNil:
      return 4;
    case ZyLuaTE::kNumber:
      if (size < 12) break;
      return 12;
    case ZyLuaTE::kString:
    case ZyLuaTE::kData: {
      if (size < 8) break;
      const int32_t n = GetInt32(p + 4);
      if (n < 0 && tag == ZyLuaTE::kData) {
        *why = "data element with negative length " + std::to_string(n);
        return 0;
      }
      const size_t body = n < 0 ? 0 : static_cast<size_t>(n);
      if (body > size - 8) break;
      return 8 + body;
    }
    case ZyLuaTE::kTable: {
      if (size < 8) break;
      if (depth > kZyMaxTableDepth) {
        *why = "tables nested too deeply";
        return 0;
      }
      const int32_t entries = GetInt32(p + 4);
      size_t at = 8;
      // Each entry needs at least 8 bytes (two nil elements).
      if (entries > 0 && static_cast<size_t>(entries) > (size - at) / 8) break;
      for (int32_t i = 0; i < entries * 2; ++i) {
        const size_t n = ElementExtent(p + at, size - at, depth + 1, why);
        if (n == 0) return 0;
        at += n;
      }
      return at;
    }
    default:
      *why = "unknown element tag " + std::to_string(tag);
      return 0;
  }
  *why = "element cut short";
  return 0;
}

}  // namespace

FrameReader::FrameReader(int32_t maxFrameLength) : mMaxFrameLength(maxFrameLength) {}

void FrameReader::append(const void* bytes, size_t count) {
  // Drop consumed bytes once they dominate, so the buffer stays about one
  // frame plus one chunk long.
  if (mStart > 0 && mStart >= mBuffer.size() / 2) {
    mBuffer.erase(mBuffer.begin(), mBuffer.begin() + static_cast<std::ptrdiff_t>(mStart));
    mStart = 0;
  }
  const auto* p = static_cast<const uint8_t*>(bytes);
  mBuffer.insert(mBuffer.end(), p, p + count);
}

FrameReader::Result FrameReader::fail(std::string why) {
  mError = std::move(why);
  return Result::kError;
}

FrameReader::Result FrameReader::next(HostMessage* message) {
  if (!mError.empty()) return Result::kError;
  if (buffered() < 4) return Result::kNeedMore;
  const uint8_t* frame = mBuffer.data() + mStart;
  const int32_t length = GetInt32(frame);
  if (length < kMinFrameLength) {
    return fail("frame length " + std::to_string(length) + " is too small (at least " +
                std::to_string(kMinFrameLength) + ")");
  }
  if (length > mMaxFrameLength) {
    return fail("frame length " + std::to_string(length) + " exceeds the limit of " +
                std::to_string(mMaxFrameLength) + " bytes");
  }
  if (buffered() - 4 < static_cast<size_t>(length)) return Result::kNeedMore;

  const uint8_t* body = frame + 8;
  const size_t elementBytes = static_cast<size_t>(length) - 4;
  std::string why;
  const size_t nameSize = ElementExtent(body, elementBytes, 1, &why);
  if (nameSize == 0) return fail("bad name element: " + why);
  if (GetInt32(body) != ZyLuaTE::kString) return fail("message name is not a string element");
  const size_t payloadSize = ElementExtent(body + nameSize, elementBytes - nameSize, 1, &why);
  if (payloadSize == 0) return fail("bad payload element: " + why);
  const int32_t payloadTag = GetInt32(body + nameSize);
  if (payloadTag != ZyLuaTE::kTable && payloadTag != ZyLuaTE::kNil) {
    return fail("payload is neither a table nor nil");
  }
  if (nameSize + payloadSize != elementBytes) {
    return fail("frame length " + std::to_string(length) + " does not match its contents (" +
                std::to_string(nameSize + payloadSize + 4) + " bytes)");
  }

  HostMessage decoded;
  decoded.id = GetInt32(frame + 4);
  try {
    SpanStreamBuf buf(body, elementBytes);
    std::istream in(&buf);
    std::unique_ptr<ZyLuaTE> name(ZyLuaTE::createFromStream(in));
    decoded.payload.reset(ZyLuaTE::createFromStream(in));
    if (!name || !decoded.payload || buf.consumed() != elementBytes) {
      return fail("frame did not decode as it was laid out");
    }
    decoded.name = static_cast<std::string>(*name);
  } catch (const zy::Exception& e) {
    return fail("frame does not decode: " + e.reason());
  } catch (int) {
    return fail("frame does not decode: out of memory");
  }
  mStart += 4 + static_cast<size_t>(length);
  *message = std::move(decoded);
  return Result::kMessage;
}

}  // namespace tether_host
