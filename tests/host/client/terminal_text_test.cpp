// What may reach a terminal from a camera's or a task's text.
#include "host/client/TerminalText.h"

#include <gtest/gtest.h>

namespace {

TEST(TerminalTextTest, ControlsAndBrokenUtf8BecomeQuestionMarks) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"IMG_0001.dng", "IMG_0001.dng"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7"},
      {"a\x1b]0;title\x07z", "a?]0;title?z"},          // sets the window title
      {"\x1b[2J\r\n\t", "?[2J???"},                     // C0, lone escape
      {"del\x7f", "del?"},
      {"c1 \xC2\x9B" "2J \xC2\x80 \xC2\x9F \xC2\xA0", "c1 ?2J ? ? \xC2\xA0"},  // C1 as UTF-8
      {"raw \x9b" "31m", "raw ?31m"},                   // C1 as a lone byte
      {"cut \xE2\x82", "cut ??"},                       // truncated sequence
      {"over \xC0\xAF \xED\xA0\x80", "over ?? ???"},    // overlong, surrogate
      {std::string("nul\0x", 5), "nul?x"},
  };
  for (const auto& row : rows) EXPECT_EQ(tether_host::SafeForTerminal(row.in), row.out) << row.in;
}

}  // namespace
