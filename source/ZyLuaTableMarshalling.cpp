#include "source/ZyLuaTableMarshalling.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/ByteOrder.h"
#include "platform/Exception.h"
#include "platform/Log.h"
#include "platform/Object.h"

const char* const kZyStreamError = "Stream Error";
const char* const kZyMalformedElement = "Malformed Element";

// Decodes one element whose table, if it is one, sits at nesting level
// `depth` (1 = the outermost). Declared here; befriended by ZyLuaTETable.
ZyLuaTE* ZyLuaTECreateFromStreamAtDepth(std::istream& in, int depth);

namespace {

// When a stream cannot tell how many bytes it still holds, bodies are read in
// pieces of this size, so a lying length costs at most about twice the bytes
// that really arrive.
constexpr size_t kChunk = 64 * 1024;

[[noreturn]] void ThrowStreamError() { throw zy::Exception(kZyStreamError, kZyStreamError); }

[[noreturn]] void ThrowMalformed(const char* why) {
  throw zy::Exception(kZyMalformedElement, std::string(kZyMalformedElement) + ": " + why);
}

void Check(std::istream& in) {
  if (!in.good()) ThrowStreamError();
}

// One block read of exactly `count` bytes; Stream Error when fewer arrive.
void ReadExactly(std::istream& in, void* destination, size_t count) {
  in.read(static_cast<char*>(destination), static_cast<std::streamsize>(count));
  Check(in);
}

int32_t ReadInt32(std::istream& in) {
  char b[4];
  ReadExactly(in, b, sizeof b);
  return zy::getLittleEndianInt32(b);
}

void WriteInt32(std::ostream& out, int32_t value) {
  char b[4];
  zy::putLittleEndianInt32(b, value);
  out.write(b, sizeof b);
}

// Bytes the stream still holds, or -1 when its buffer cannot seek. The read
// position is left where it was.
int64_t RemainingBytes(std::istream& in) {
  std::streambuf* buf = in.rdbuf();
  if (buf == nullptr) return -1;
  const std::streampos here = buf->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
  if (here == std::streampos(-1)) return -1;
  // Offset 0 from the end is the end for standard buffers and for ours alike.
  const std::streampos end = buf->pubseekoff(0, std::ios_base::end, std::ios_base::in);
  if (buf->pubseekpos(here, std::ios_base::in) != here) {
    in.setstate(std::ios_base::badbit);  // Lost our place: nothing sane to read.
    ThrowStreamError();
  }
  if (end == std::streampos(-1)) return -1;
  return std::max<int64_t>(0, static_cast<int64_t>(end - here));
}

// Refuses, before anything is allocated, a body longer than what is left.
// Returns false when the stream cannot tell (read in chunks then).
bool EnsureAvailable(std::istream& in, int64_t count) {
  const int64_t left = RemainingBytes(in);
  if (left < 0) return false;
  if (count > left) {
    in.setstate(std::ios_base::failbit);  // As the short read would have.
    ThrowStreamError();
  }
  return true;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using MallocPtr = std::unique_ptr<void, FreeDeleter>;

// At least one byte, so that every data element has a buffer address of its
// own (data keys order by that address).
MallocPtr Allocate(size_t count) {
  void* p = std::malloc(std::max<size_t>(count, 1));
  if (p == nullptr) throw -1;
  return MallocPtr(p);
}

}  // namespace

// ---- ZyLuaTE ----

bool ZyLuaTE::operator<(const ZyLuaTE&) const { return false; }
void ZyLuaTE::writeToStream(std::ostream&) const {}
ZyLuaTE::operator std::string() const { return std::string(); }
ZyLuaTE::operator double() { return 0.0; }

ZyLuaTE* ZyLuaTE::createFromStream(std::istream& in) { return ZyLuaTECreateFromStreamAtDepth(in, 1); }

ZyLuaTE* ZyLuaTECreateFromStreamAtDepth(std::istream& in, int depth) {
  switch (ReadInt32(in)) {
    case ZyLuaTE::kNil:
      return new ZyLuaTENil(in);
    case ZyLuaTE::kNumber:
      return new ZyLuaTENumber(in);
    case ZyLuaTE::kString:
      return new ZyLuaTEString(in);
    case ZyLuaTE::kData:
      return new ZyLuaTEData(in);
    case ZyLuaTE::kTable:
      // Bounds the decoder's recursion, whatever the input.
      if (depth > kZyMaxTableDepth) ThrowMalformed("tables nested too deep");
      return new ZyLuaTETable(in, depth);
    default:
      return nullptr;  // Only the tag is consumed; the caller decides.
  }
}

// ---- ZyLuaTENil ----

ZyLuaTENil::ZyLuaTENil(std::istream&) : ZyLuaTE(kNil) {}

bool ZyLuaTENil::operator<(const ZyLuaTE& other) const { return mType < other.mType; }

void ZyLuaTENil::writeToStream(std::ostream& out) const { WriteInt32(out, mType); }

ZyLuaTE* ZyLuaTENil::copy() { return new ZyLuaTENil(); }

// ---- ZyLuaTENumber ----

ZyLuaTENumber::ZyLuaTENumber(std::istream& in) : ZyLuaTE(kNumber) {
  char b[8];
  ReadExactly(in, b, sizeof b);
  mValue = zy::getLittleEndianDouble(b);
}

bool ZyLuaTENumber::operator<(const ZyLuaTE& other) const {
  if (mType != other.mType) return mType < other.mType;
  const double a = mValue;
  const double b = static_cast<const ZyLuaTENumber&>(other).mValue;
  // Every NaN is one key, after all other numbers: keeps the ordering strict
  // and weak, so a NaN key can neither corrupt the map nor multiply.
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

void ZyLuaTENumber::writeToStream(std::ostream& out) const {
  WriteInt32(out, mType);
  char b[8];
  zy::putLittleEndianDouble(b, mValue);
  out.write(b, sizeof b);
}

ZyLuaTE* ZyLuaTENumber::copy() { return new ZyLuaTENumber(mValue); }

// ---- ZyLuaTEString ----

ZyLuaTEString::ZyLuaTEString(const zy::String* text)
    : ZyLuaTE(kString), mString(text->UTF8String()) {}

ZyLuaTEString::ZyLuaTEString(std::istream& in) : ZyLuaTE(kString) {
  const int32_t n = ReadInt32(in);
  if (n <= 0) return;  // An empty text; no body follows.
  const auto count = static_cast<size_t>(n);
  if (EnsureAvailable(in, n)) {
    mString.resize(count);
    ReadExactly(in, &mString[0], count);
  } else {
    while (mString.size() < count) {
      const size_t have = mString.size();
      const size_t piece = std::min(kChunk, count - have);
      mString.resize(have + piece);
      ReadExactly(in, &mString[have], piece);
    }
  }
  // The text ends at its first NUL; what follows it is consumed and dropped.
  mString.resize(std::strlen(mString.c_str()));
}

bool ZyLuaTEString::operator<(const ZyLuaTE& other) const {
  if (mType != other.mType) return mType < other.mType;
  // std::string compares bytes as unsigned char.
  return mString < static_cast<const ZyLuaTEString&>(other).mString;
}

void ZyLuaTEString::writeToStream(std::ostream& out) const {
  WriteInt32(out, mType);
  const char* text = mString.c_str();
  const size_t n = std::strlen(text) + 1;  // Up to and including the first NUL.
  WriteInt32(out, static_cast<int32_t>(n));
  out.write(text, static_cast<std::streamsize>(n));
}

ZyLuaTE* ZyLuaTEString::copy() { return new ZyLuaTEString(mString); }

// ---- ZyLuaTEData ----

ZyLuaTEData::ZyLuaTEData(void* bytes, int length) : ZyLuaTE(kData) {
  if (length < 0) throw -1;  // No buffer of that size exists.
  MallocPtr buffer = Allocate(static_cast<size_t>(length));
  if (length > 0) std::memcpy(buffer.get(), bytes, static_cast<size_t>(length));
  mBytes = buffer.release();
  mLength = length;
}

ZyLuaTEData::ZyLuaTEData(std::istream& in) : ZyLuaTE(kData) {
  const int32_t n = ReadInt32(in);
  if (n < 0) ThrowMalformed("negative data length");
  const auto count = static_cast<size_t>(n);
  MallocPtr buffer;
  if (EnsureAvailable(in, n)) {
    // The only copy of the body: straight from the stream into our buffer.
    buffer = Allocate(count);
    if (count > 0) ReadExactly(in, buffer.get(), count);
  } else {
    size_t capacity = std::min(kChunk, count);
    buffer = Allocate(capacity);
    size_t have = 0;
    while (have < count) {
      if (have == capacity) {
        capacity = std::min(count, capacity * 2);
        void* grown = std::realloc(buffer.get(), capacity);
        if (grown == nullptr) throw -1;
        buffer.release();
        buffer.reset(grown);
      }
      const size_t piece = std::min(kChunk, capacity - have);
      ReadExactly(in, static_cast<char*>(buffer.get()) + have, piece);
      have += piece;
    }
  }
  mBytes = buffer.release();
  mLength = n;
}

ZyLuaTEData::~ZyLuaTEData() { std::free(mBytes); }

bool ZyLuaTEData::operator<(const ZyLuaTE& other) const {
  if (mType != other.mType) return mType < other.mType;
  // Identity of the buffer, never the contents.
  return reinterpret_cast<uintptr_t>(mBytes) <
         reinterpret_cast<uintptr_t>(static_cast<const ZyLuaTEData&>(other).mBytes);
}

void ZyLuaTEData::writeToStream(std::ostream& out) const {
  WriteInt32(out, mType);
  WriteInt32(out, mLength);
  out.write(static_cast<const char*>(mBytes), mLength);
}

ZyLuaTE* ZyLuaTEData::copy() { return new ZyLuaTEData(mBytes, mLength); }

// ---- ZyLuaTETable ----

ZyLuaTETable::ZyLuaTETable(std::istream& in) : ZyLuaTETable(in, 1) {}

ZyLuaTETable::ZyLuaTETable(std::istream& in, int depth) : ZyLuaTE(kTable) {
  const int32_t count = ReadInt32(in);
  // Entries are added as they arrive, never reserved by count: a lying count
  // runs into the end of the stream instead of into memory.
  try {
    for (int32_t i = 0; i < count; ++i) {
      std::unique_ptr<ZyLuaTE> key(ZyLuaTECreateFromStreamAtDepth(in, depth + 1));
      if (!key) ThrowMalformed("table key with an unrecognised tag");
      std::unique_ptr<ZyLuaTE> value(ZyLuaTECreateFromStreamAtDepth(in, depth + 1));
      auto it = mTable.find(key.get());
      if (it != mTable.end()) {
        // A repeated key: the first key stays, the later value wins; the
        // superseded value and then the surplus key are destroyed.
        delete it->second;
        it->second = value.release();
      } else {
        mTable.emplace(key.get(), value.get());
        key.release();
        value.release();
      }
    }
  } catch (...) {
    // A constructor that throws runs no destructor: free what was decoded.
    for (auto& entry : mTable) {
      delete entry.first;
      delete entry.second;
    }
    throw;
  }
}

ZyLuaTETable::~ZyLuaTETable() {
  for (auto& entry : mTable) {
    delete entry.first;
    delete entry.second;
  }
}

bool ZyLuaTETable::operator<(const ZyLuaTE& other) const {
  if (mType != other.mType) return mType < other.mType;
  return reinterpret_cast<uintptr_t>(this) < reinterpret_cast<uintptr_t>(&other);
}

void ZyLuaTETable::writeToStream(std::ostream& out) const {
  WriteInt32(out, mType);
  WriteInt32(out, static_cast<int32_t>(static_cast<uint32_t>(mTable.size())));
  for (const auto& entry : mTable) {
    entry.first->writeToStream(out);
    if (entry.second != nullptr) {
      entry.second->writeToStream(out);
    } else {
      ZyLuaTENil().writeToStream(out);  // Keeps the entry count honest.
    }
  }
}

ZyLuaTE* ZyLuaTETable::copy() {
  std::unique_ptr<ZyLuaTETable> result(new ZyLuaTETable());
  for (const auto& entry : mTable) {
    std::unique_ptr<ZyLuaTE> value(entry.second ? entry.second->copy() : nullptr);
    std::unique_ptr<ZyLuaTE> key(entry.first->copy());
    result->mTable.emplace_hint(result->mTable.end(), key.get(), value.get());
    key.release();
    value.release();
  }
  return result.release();
}

void ZyLuaTETable::Set(ZyLuaTE* key, ZyLuaTE* value) {
  std::unique_ptr<ZyLuaTE> newKey(key);
  std::unique_ptr<ZyLuaTE> newValue(value);
  auto hint = mTable.end();
  auto it = mTable.find(key);
  if (it != mTable.end()) {
    ZyLuaTE* oldKey = it->first;
    ZyLuaTE* oldValue = it->second;
    hint = mTable.erase(it);
    delete oldKey;
    delete oldValue;
  }
  mTable.emplace_hint(hint, key, value);
  newKey.release();
  newValue.release();
}

void ZyLuaTETable::Set(const char* key, ZyLuaTE* value) {
  std::unique_ptr<ZyLuaTE> guard(value);
  ZyLuaTE* keyElement = new ZyLuaTEString(key);
  Set(keyElement, guard.release());
}

ZyLuaTE* ZyLuaTETable::elementForKey(ZyLuaTE* key) {
  if (key == nullptr) return nullptr;
  auto it = mTable.find(key);
  return it == mTable.end() ? nullptr : it->second;
}

ZyLuaTE* ZyLuaTETable::elementForKey(std::string key) {
  ZyLuaTEString lookup(std::move(key));
  return elementForKey(&lookup);
}

ZyLuaTE* ZyLuaTETable::elementForKey(const char* key) {
  ZyLuaTEString lookup(key);
  return elementForKey(&lookup);
}

ZyLuaTE* ZyLuaTETable::elementForKey(int key) {
  ZyLuaTENumber lookup(static_cast<double>(key));
  return elementForKey(&lookup);
}

// ---- Dictionary conversion ----

ZyLuaTE* makeElementForObject(const zy::Object* object) {
  if (const auto* number = dynamic_cast<const zy::Number*>(object)) {
    return new ZyLuaTENumber(number->doubleValue());
  }
  if (const auto* text = dynamic_cast<const zy::String*>(object)) {
    return new ZyLuaTEString(text);
  }
  return nullptr;
}

void ZyLuaTETable::addDictionary(const zy::Dictionary* dictionary) {
  if (dictionary == nullptr) return;
  for (const zy::ObjectRef& keyObject : dictionary->keys()) {
    const zy::Object* valueObject = dictionary->objectForKey(*keyObject);
    std::unique_ptr<ZyLuaTE> key(makeElementForObject(keyObject.get()));
    std::unique_ptr<ZyLuaTE> value(makeElementForObject(valueObject));
    if (!key || !value) {
      const std::string keyText = keyObject ? keyObject->description() : "(null)";
      const std::string valueText = valueObject ? valueObject->description() : "(null)";
      zy::Log("Could not convert either key or value to an ZyLuaTE element - key: %s, value: %s",
              keyText.c_str(), valueText.c_str());
      // Only numbers and strings may be passed: a breach stops the process
      // (the assertion's exception is not caught on this path).
      zy::HandleAssertionFailure("addDictionary", this, "ZyLuaTableMarshalling", 853,
                                 "Could not convert either key or value to an ZyLuaTE element");
    }
    Set(key.release(), value.release());
  }
}
