#include "camera/simulator/control_payload.h"

#include <fstream>
#include <iterator>

#include "camera/simulator/sim_config.h"

namespace krv_sim {
namespace {

constexpr uint64_t kMaxPayload = kMaxDngBytes;

// Each parser gets the words and the index of its kind word.
using KindParser = bool (*)(const CommandWords& w, size_t i, Payload* p, std::string* error);

bool Fail(std::string* error, const std::string& what) {
  *error = what;
  return false;
}

bool ParseHexDigits(const std::string& hex, std::vector<uint8_t>* out) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

bool ParseNull(const CommandWords& w, size_t i, Payload* p, std::string* error) {
  int64_t n = 0;
  p->null = true;
  if (i + 1 < w.size() && !ToInt(w[i + 1], 0, UINT32_MAX, &n)) return Fail(error, "bad size");
  p->size = static_cast<unsigned int>(n);
  return true;
}

bool ParseHex(const CommandWords& w, size_t i, Payload* p, std::string* error) {
  if (i + 1 >= w.size() || !ParseHexDigits(w[i + 1], &p->bytes)) return Fail(error, "bad hex");
  p->size = static_cast<unsigned int>(p->bytes.size());
  if (i + 2 >= w.size()) return true;
  // A larger size than the bytes given is padded with zeros, so that a
  // callee trusting the size never reads outside the buffer.
  int64_t n;
  if (!ToInt(w[i + 2], 0, static_cast<int64_t>(kMaxPayload), &n)) return Fail(error, "bad size");
  if (static_cast<uint64_t>(n) > p->bytes.size()) p->bytes.resize(n, 0);
  p->size = static_cast<unsigned int>(n);
  return true;
}

bool ParseCounting(const CommandWords& w, size_t i, Payload* p, std::string* error) {
  int64_t n;
  if (i + 1 >= w.size() || !ToInt(w[i + 1], 0, static_cast<int64_t>(kMaxPayload), &n)) {
    return Fail(error, "bad size");
  }
  p->bytes.resize(static_cast<size_t>(n));
  for (size_t k = 0; k < p->bytes.size(); ++k) p->bytes[k] = static_cast<uint8_t>(k);
  p->size = static_cast<unsigned int>(n);
  return true;
}

bool ParseText(const CommandWords& w, size_t i, Payload* p, std::string*) {
  const std::string text = w.restAfter(i);
  p->bytes.assign(text.begin(), text.end());
  p->size = static_cast<unsigned int>(p->bytes.size());
  return true;
}

bool ParseCString(const CommandWords& w, size_t i, Payload* p, std::string* error) {
  ParseText(w, i, p, error);
  p->bytes.push_back(0);
  p->size = 0xFFFFFFFFu;
  return true;
}

bool ParseFile(const CommandWords& w, size_t i, Payload* p, std::string* error) {
  std::ifstream in(w.restAfter(i), std::ios::binary);
  if (!in) return Fail(error, "cannot read file");
  p->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (p->bytes.size() > kMaxPayload) return Fail(error, "file too large");
  p->size = static_cast<unsigned int>(p->bytes.size());
  return true;
}

struct PayloadKind {
  const char* name;
  const char* usage;
  KindParser parse;
};

constexpr PayloadKind kKinds[] = {
    {"null", "[size]", ParseNull},     {"hex", "<digits> [size]", ParseHex},
    {"size", "<n>", ParseCounting},    {"text", "<chars>", ParseText},
    {"cstr", "<chars>", ParseCString}, {"file", "<path>", ParseFile},
};

}  // namespace

bool ParsePayload(const CommandWords& w, size_t i, Payload* p, std::string* error) {
  if (i >= w.size()) {
    p->null = true;
    return true;
  }
  for (const PayloadKind& kind : kKinds) {
    if (w[i] == kind.name) return kind.parse(w, i, p, error);
  }
  return Fail(error, "unknown payload kind " + w[i]);
}

std::string PayloadUsage() {
  std::string usage = "(nothing)";
  for (const PayloadKind& kind : kKinds) usage += std::string("|") + kind.name + " " + kind.usage;
  return usage;
}

}  // namespace krv_sim
