#include "source/ZyElementScanner.h"

#include "platform/ByteOrder.h"
#include "source/ZyLuaTableMarshalling.h"

ZyElementScanner::Result ZyElementScanner::scan(const uint8_t* bytes, size_t length) {
  while (mVerdict == Result::kNeedMore && step(bytes, length)) {
  }
  return mVerdict;
}

void ZyElementScanner::reset() { *this = ZyElementScanner(); }

bool ZyElementScanner::step(const uint8_t* bytes, size_t length) {
  if (mStep == Step::kSkip) {
    const uint64_t have = length - mOffset;
    const uint64_t piece = have < mSkipLeft ? have : mSkipLeft;
    mOffset += static_cast<size_t>(piece);
    mSkipLeft -= piece;
    if (mSkipLeft > 0) return false;
    elementDone();
    return true;
  }
  if (length - mOffset < 4) return false;
  const int32_t field = zy::getLittleEndianInt32(reinterpret_cast<const char*>(bytes + mOffset));
  mOffset += 4;
  if (mStep == Step::kTag) {
    tagRead(field);
  } else {
    countRead(field);
  }
  return true;
}

void ZyElementScanner::tagRead(int32_t tag) {
  mTag = tag;
  switch (tag) {
    case ZyLuaTE::kNil:
      elementDone();
      return;
    case ZyLuaTE::kNumber:
      skip(8);
      return;
    case ZyLuaTE::kTable:
      if (depth() > kZyMaxTableDepth) {
        mVerdict = Result::kDecideNow;  // the decoder refuses it
        return;
      }
      [[fallthrough]];
    case ZyLuaTE::kString:
    case ZyLuaTE::kData:
      mStep = Step::kCount;
      return;
    default:
      // Only a table's value is passed over by the decoder; anywhere else an
      // unrecognised tag ends what it does.
      if (!mTables.empty() && mTables.back().fieldsLeft % 2 == 1) {
        elementDone();
      } else {
        mVerdict = Result::kDecideNow;
      }
  }
}

void ZyElementScanner::countRead(int32_t count) {
  if (mTag == ZyLuaTE::kTable) {
    if (count <= 0) {
      elementDone();  // an empty table
    } else {
      mTables.push_back({2 * static_cast<int64_t>(count)});
      mStep = Step::kTag;
    }
  } else if (mTag == ZyLuaTE::kData && count < 0) {
    mVerdict = Result::kDecideNow;  // malformed: the decoder says why
  } else if (count <= 0) {
    elementDone();  // an empty string or data: no body
  } else {
    skip(static_cast<uint64_t>(count));
  }
}

void ZyElementScanner::skip(uint64_t bytes) {
  mStep = Step::kSkip;
  mSkipLeft = bytes;
}

void ZyElementScanner::elementDone() {
  mStep = Step::kTag;
  // Finishing a table's last field finishes the table, and so on outwards.
  while (!mTables.empty()) {
    if (--mTables.back().fieldsLeft > 0) return;
    mTables.pop_back();
  }
  mVerdict = Result::kComplete;
}
