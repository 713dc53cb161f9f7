#include "host/saving/FilenamePattern.h"

#include <limits.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tether_host {

namespace {

constexpr char kCodes[] = "fCnYmdHMS%";
// The longest extension a capture's file gets and the widest suffix the
// placement tries (below kMaxSuffix of OutputFiles.h).
constexpr char kLongestExtension[] = "thumb.jpg";
constexpr int kWidestSuffix = 99999;

// Bytes by which the longest '/'-separated part of `path` exceeds NAME_MAX.
size_t Overflow(const std::string& path) {
  size_t longest = 0;
  for (size_t start = 0; start <= path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    longest = std::max(longest, slash - start);
    start = slash + 1;
  }
  return longest > NAME_MAX ? longest - NAME_MAX : 0;
}

// `text` without its last `cut` bytes, and without the start of a UTF-8
// sequence that the cut would split.
std::string CutUtf8(const std::string& text, size_t cut) {
  size_t keep = cut >= text.size() ? 0 : text.size() - cut;
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  return text.substr(0, keep);
}

std::vector<std::string> PartsOf(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t slash = text.find('/', start);
    parts.push_back(text.substr(start, slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

// The pattern without its "." parts ("./%f" is "%f").
std::string WithoutDotParts(const std::string& text) {
  std::string out;
  for (const std::string& part : PartsOf(text)) {
    if (part == ".") continue;
    out += (out.empty() ? "" : "/") + part;
  }
  return out;
}

bool BadFolder(const std::string& text) {
  for (const std::string& part : PartsOf(text)) {
    if (part == "..") return true;
  }
  return false;
}

size_t CountCode(const std::string& text, char code) {
  size_t n = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%') continue;
    n += text[i + 1] == code;
    ++i;
  }
  return n;
}

std::string TwoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string TimeField(char code, const struct tm& t) {
  switch (code) {
    case 'Y': return std::to_string(t.tm_year + 1900);
    case 'm': return TwoDigits(t.tm_mon + 1);
    case 'd': return TwoDigits(t.tm_mday);
    case 'H': return TwoDigits(t.tm_hour);
    case 'M': return TwoDigits(t.tm_min);
    default: return TwoDigits(t.tm_sec);
  }
}

}  // namespace

FilenamePattern::FilenamePattern() : mText(kDefaultFilenamePattern) {}

bool FilenamePattern::parse(const std::string& given, FilenamePattern* pattern, std::string* error) {
  const std::string text = given.empty() || given[0] == '/' ? given : WithoutDotParts(given);
  if (text.empty()) {
    *error = "the file name pattern is empty";
    return false;
  }
  if (text[0] == '/' || BadFolder(text)) {
    *error = "the file name pattern '" + text + "' must stay inside the output folder";
    return false;
  }
  if (text.back() == '/') {
    *error = "the file name pattern '" + text + "' ends with a folder, not a name";
    return false;
  }
  bool hasExtension = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 == text.size() || std::strchr(kCodes, text[i + 1]) == nullptr) {
      *error = "unknown code '" + text.substr(i, 2) + "' in the file name pattern '" + text +
               "' (known: %f %C %n %Y %m %d %H %M %S %%)";
      return false;
    }
    hasExtension |= text[i + 1] == 'C';
    ++i;
  }
  pattern->mText = hasExtension ? text : text + ".%C";
  return true;
}

std::vector<std::string> FilenamePattern::warnings(const std::string& given) {
  const std::string text = WithoutDotParts(given);
  std::vector<std::string> lines;
  if (CountCode(text, 'C') > 1) {
    lines.push_back("the file name pattern '" + given +
                    "' puts the extension in more than once (IMG_0001.dng.dng)");
  }
  for (const std::string& part : PartsOf(text)) {
    if (!part.empty() && part[0] == '.') {
      lines.push_back("the file name pattern '" + given + "' makes names starting with '.', "
                      "which file browsers hide");
      break;
    }
  }
  if (text.find(':') != std::string::npos) {
    lines.push_back("the file name pattern '" + given + "' puts ':' in names, which memory cards "
                    "and other systems' file systems refuse");
  }
  return lines;
}

std::string FilenamePattern::expand(const NameFields& fields, const std::string& ext,
                                    int n) const {
  return render(fields, fittedStem(fields, ext), ext, n);
}

std::string FilenamePattern::fittedStem(const NameFields& fields, const std::string& ext) const {
  const std::string widest = ext.size() > sizeof kLongestExtension - 1 ? ext : kLongestExtension;
  const std::string& stem = fields.cameraStem;
  const auto fits = [&](size_t bytes) {
    return Overflow(render(fields, CutUtf8(stem, stem.size() - bytes), widest, kWidestSuffix)) == 0;
  };
  // Nothing to gain when the pattern's own text is too long: that is
  // refused by the file system with its own error.
  if (fits(stem.size()) || !fits(0)) return stem;
  size_t good = 0, bad = stem.size();  // the longest cut that fits, by halving
  while (bad - good > 1) {
    const size_t mid = good + (bad - good) / 2;
    (fits(mid) ? good : bad) = mid;
  }
  return CutUtf8(stem, stem.size() - good);
}

std::string FilenamePattern::render(const NameFields& fields, const std::string& stem,
                                    const std::string& ext, int n) const {
  const time_t seconds = std::chrono::system_clock::to_time_t(fields.time);
  struct tm local;
  localtime_r(&seconds, &local);
  std::string out;
  bool numbered = n == 0;
  for (size_t i = 0; i < mText.size(); ++i) {
    if (mText[i] != '%') {
      out += mText[i];
      continue;
    }
    const char code = mText[++i];
    if (code == 'C' && !numbered) {
      // The suffix goes before the extension's dot: IMG_0003-1.dng.
      const bool dot = !out.empty() && out.back() == '.';
      if (dot) out.pop_back();
      out += "-" + std::to_string(n) + (dot ? "." : "");
      numbered = true;
    }
    if (code == 'f') out += stem;
    else if (code == 'C') out += ext;
    else if (code == 'n') out += std::to_string(fields.number);
    else if (code == '%') out += '%';
    else out += TimeField(code, local);
  }
  return out;
}

}  // namespace tether_host
