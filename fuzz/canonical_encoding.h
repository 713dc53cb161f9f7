// Encodings that the fuzz targets compare: an element's bytes, and a
// canonical form of them that does not depend on key identity.
#ifndef TETHER_FUZZ_CANONICAL_ENCODING_H_
#define TETHER_FUZZ_CANONICAL_ENCODING_H_

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyNSDataStreamBuf.h"
#include "tests/source/value_test_util.h"

namespace tether_fuzz {

// The plain encoding, as the value tests write it.
using value_test::Encode;

// The encoding with every table's entries sorted by their own canonical
// bytes. Data and table keys order by address, so two decodings of the same
// bytes may write their entries in different orders; this form does not. An
// absent table value counts as nil, as the encoder writes it.
inline std::string Canonical(const ZyLuaTE* element) {
  const auto* table = dynamic_cast<const ZyLuaTETable*>(element);
  if (table == nullptr) return element != nullptr ? Encode(*element) : Encode(ZyLuaTENil());
  std::vector<std::string> entries;
  for (const auto& entry : table->mTable) {
    entries.push_back(Canonical(entry.first) + Canonical(entry.second));
  }
  std::sort(entries.begin(), entries.end());
  std::string out = Encode(ZyLuaTETable());  // Tag and a zero count...
  zy::putLittleEndian32(&out[4], static_cast<uint32_t>(entries.size()));  // ...patched.
  for (const std::string& entry : entries) out += entry;
  return out;
}

}  // namespace tether_fuzz

#endif  // TETHER_FUZZ_CANONICAL_ENCODING_H_
