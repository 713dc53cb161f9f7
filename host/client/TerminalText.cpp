#include "host/client/TerminalText.h"

namespace tether_host {

namespace {

// The length of the well-formed UTF-8 sequence of two or more bytes at
// `i`, and its code point; 0 when there is none.
size_t SequenceAt(const std::string& s, size_t i, unsigned* codePoint) {
  const auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned lead = byte(i);
  size_t length;
  unsigned cp, min;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, cp = lead & 0x1F, min = 0x80;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, cp = lead & 0x0F, min = 0x800;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, cp = lead & 0x07, min = 0x10000;
  else return 0;
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *codePoint = cp;
  return length;
}

}  // namespace

std::string SafeForTerminal(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += c < 0x20 || c == 0x7F ? '?' : text[i];
      ++i;
      continue;
    }
    unsigned cp = 0;
    const size_t length = SequenceAt(text, i, &cp);
    if (length == 0 || (cp >= 0x80 && cp <= 0x9F)) {
      out += '?';
      i += length == 0 ? 1 : length;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}

}  // namespace tether_host
