#include "camera/simulator/command_words.h"

#include <utility>

#include "camera/simulator/sim_config.h"

namespace krv_sim {

CommandWords::CommandWords(std::string line) : mLine(std::move(line)) {
  const std::string& text = mLine;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= text.size()) break;
    size_t j = i;
    while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
    mWords.push_back(text.substr(i, j - i));
    mEnds.push_back(j);
    i = j;
  }
}

std::string CommandWords::restAfter(size_t i) const {
  size_t start = mEnds[i];
  if (start < mLine.size()) ++start;
  return mLine.substr(start);
}

bool ToInt(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
  return ParseInt64(text, out) && *out >= lo && *out <= hi;
}

bool ToInt32(const std::string& text, int32_t* out) {
  int64_t v;
  if (!ToInt(text, INT32_MIN, INT32_MAX, &v)) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace krv_sim
