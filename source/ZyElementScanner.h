// Finds where an encoded element ends without decoding it, a chunk at a
// time: the bytes are walked once, however many pieces they arrive in, so a
// reader that must wait for a whole element does not decode it again from its
// first byte on every chunk.
//
// The walk follows the decoder's own reading rules (ZyLuaTableMarshalling):
// tag, then the body its kind gives; a string's body only when its count is
// positive; a table's pairs only when its count is positive. Wherever the
// decoder itself would decide (an unrecognised tag where it ends decoding or
// drops the element, a negative data length, tables nested too deep), the walk
// stops and says so: the caller then decodes, and the decoder's verdict holds.
// Not thread-safe; one element at a time.
#ifndef ZY_ELEMENT_SCANNER_H_
#define ZY_ELEMENT_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

class ZyElementScanner {
 public:
  enum class Result {
    kNeedMore,   // every byte given is walked; the element goes on beyond them
    kComplete,   // the element ends within the bytes given: decode it
    kDecideNow,  // the decoder decides from the bytes given: decode them
  };

  // Walks on through `bytes`, `length` in all, which start at the element's
  // first byte and begin with what the previous calls were given (the bytes
  // already walked are not looked at again). kComplete and kDecideNow stay
  // the answer until reset().
  Result scan(const uint8_t* bytes, size_t length);

  // Forgets the walk; the next scan starts a new element.
  void reset();

  // How far the walk has got, from the element's first byte.
  size_t walked() const { return mOffset; }

 private:
  struct Table {
    int64_t fieldsLeft;  // keys and values still to walk
  };
  enum class Step { kTag, kCount, kSkip };

  // One step over the bytes; false when it needs bytes not yet given.
  bool step(const uint8_t* bytes, size_t length);
  void tagRead(int32_t tag);
  void countRead(int32_t count);  // a string's or data's length, a table's count
  void skip(uint64_t bytes);
  // An element (or a table's key or value) has been walked entirely.
  void elementDone();
  // The nesting depth of the element whose tag is next (1 = the outermost).
  int depth() const { return static_cast<int>(mTables.size()) + 1; }

  size_t mOffset = 0;
  Step mStep = Step::kTag;
  int32_t mTag = 0;         // tag of the element being walked (kCount, kSkip)
  uint64_t mSkipLeft = 0;   // bytes of a body still to skip (kSkip)
  Result mVerdict = Result::kNeedMore;
  std::vector<Table> mTables;  // open tables, innermost last
};

#endif  // ZY_ELEMENT_SCANNER_H_
