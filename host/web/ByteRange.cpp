#include "host/web/ByteRange.h"

#include <optional>

namespace tether_host {
namespace {

// Decimal digits only, no sign, no overflow; empty text is nullopt.
std::optional<uint64_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

ByteRange Part(uint64_t offset, uint64_t length) {
  return {ByteRange::Answer::kPart, offset, length};
}

}  // namespace

ByteRange ByteRange::forHeader(const std::string& header, uint64_t size) {
  const std::string unit = "bytes=";
  if (header.compare(0, unit.size(), unit) != 0) return {};
  const std::string spec = header.substr(unit.size());
  const size_t dash = spec.find('-');
  if (spec.find(',') != std::string::npos || dash == std::string::npos) return {};
  const std::optional<uint64_t> first = Number(spec.substr(0, dash));
  const std::optional<uint64_t> last = Number(spec.substr(dash + 1));
  if (dash == 0) {  // "-N": the last N bytes
    if (!last) return {};
    if (*last == 0 || size == 0) return {Answer::kUnsatisfiable};
    const uint64_t n = *last < size ? *last : size;
    return Part(size - n, n);
  }
  if (!first || (dash + 1 < spec.size() && (!last || *last < *first))) return {};  // not a range
  if (*first >= size) return {Answer::kUnsatisfiable};
  const uint64_t end = last && *last < size - 1 ? *last : size - 1;
  return Part(*first, end - *first + 1);
}

std::string ByteRange::contentRange(uint64_t size) const {
  const std::string total = "/" + std::to_string(size);
  if (answer != Answer::kPart) return "bytes */" + std::to_string(size);
  return "bytes " + std::to_string(offset) + "-" + std::to_string(offset + length - 1) + total;
}

}  // namespace tether_host
