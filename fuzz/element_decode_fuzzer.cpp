// Decodes arbitrary bytes as one element through the in-memory read buffer.
// Decoding may refuse input only with a platform exception. Whatever decodes
// must re-encode to bytes that decode again and encode to the same bytes.
//
// Data and table keys order by address, so two tables holding several such
// keys may write their entries in different orders although they are equal.
// Byte identity is therefore required only for elements without such keys;
// every element (and a deep copy of it) is also compared in a canonical form in which the entries of
// each table are sorted by their own canonical bytes (a multiset comparison).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Exception.h"
#include "fuzz/canonical_encoding.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"

namespace {

using tether_fuzz::Canonical;
using tether_fuzz::Encode;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "element_decode_fuzzer: %s\n", what);
  std::abort();
}

bool HasIdentityKeys(const ZyLuaTE& element) {
  const auto* table = dynamic_cast<const ZyLuaTETable*>(&element);
  if (table == nullptr) return false;
  for (const auto& entry : table->mTable) {
    const int32_t kind = entry.first->mType;
    if (kind == ZyLuaTE::kData || kind == ZyLuaTE::kTable) return true;
    if (HasIdentityKeys(*entry.first)) return true;
    if (entry.second != nullptr && HasIdentityKeys(*entry.second)) return true;
  }
  return false;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::unique_ptr<ZyLuaTE> element;
  {
    ZyNSDataReadStreamBuf buf(std::make_shared<zy::Data>(bytes, size));
    std::istream in(&buf);
    try {
      element.reset(ZyLuaTE::createFromStream(in));
    } catch (const zy::Exception&) {
      return 0;  // Cut short or malformed: refused, and nothing leaked (ASan).
    }
    if (in.tellg() > static_cast<std::streamoff>(size)) Fail("read past the input");
  }
  if (!element) return 0;  // An unrecognised top-level tag.

  const std::string first = Encode(*element);
  std::unique_ptr<ZyLuaTE> again;
  {
    ZyNSDataReadStreamBuf buf(std::make_shared<zy::Data>(first.data(), first.size()));
    std::istream in(&buf);
    try {
      again.reset(ZyLuaTE::createFromStream(in));
    } catch (const zy::Exception&) {
      Fail("an encoding produced by the encoder does not decode");
    }
    if (!again) Fail("an encoding produced by the encoder decodes to nothing");
    if (in.tellg() != static_cast<std::streamoff>(first.size())) Fail("re-decode left bytes over");
  }
  const std::string second = Encode(*again);
  if (!HasIdentityKeys(*element) && first != second) Fail("re-encoding changed the bytes");
  if (first.size() != second.size()) Fail("re-encoding changed the length");
  const std::string canonical = Canonical(element.get());
  if (Canonical(again.get()) != canonical) Fail("re-encoding changed the contents");
  std::unique_ptr<ZyLuaTE> copied(element->copy());
  if (Canonical(copied.get()) != canonical) Fail("a copy differs from its original");
  return 0;
}
