// A control command line split into words, with the raw text after any word
// kept for arguments that may contain blanks (names, text payloads), and the
// number parsing every command shares.
#ifndef KRV_SIM_COMMAND_WORDS_H_
#define KRV_SIM_COMMAND_WORDS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace krv_sim {

class CommandWords {
 public:
  // Splits `line` at blanks and tabs.
  explicit CommandWords(std::string line);

  size_t size() const { return mWords.size(); }
  const std::string& operator[](size_t i) const { return mWords[i]; }
  // Everything after word i, less the one separating blank.
  std::string restAfter(size_t i) const;

 private:
  std::string mLine;
  std::vector<std::string> mWords;
  std::vector<size_t> mEnds;  // offset just past each word
};

// A whole integer (decimal or 0x hex) within [lo, hi].
bool ToInt(const std::string& text, int64_t lo, int64_t hi, int64_t* out);
bool ToInt32(const std::string& text, int32_t* out);

}  // namespace krv_sim

#endif  // KRV_SIM_COMMAND_WORDS_H_
