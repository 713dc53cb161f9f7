// Range headers against a file of 1000 bytes (and an empty one): what is
// answered, and the Content-Range that says so.
#include "host/web/ByteRange.h"

#include <gtest/gtest.h>

namespace tether_host {
namespace {

using Answer = ByteRange::Answer;

TEST(ByteRangeTest, OneRangeIsAnsweredSeveralOrOddOnesGetTheWholeFile) {
  struct Case {
    const char* header;
    uint64_t size;
    Answer answer;
    const char* contentRange;  // for a part or an unsatisfiable range
  };
  const Case cases[] = {
      {"", 1000, Answer::kWhole, ""},
      {"bytes=0-9", 1000, Answer::kPart, "bytes 0-9/1000"},
      {"bytes=990-", 1000, Answer::kPart, "bytes 990-999/1000"},
      {"bytes=-10", 1000, Answer::kPart, "bytes 990-999/1000"},
      {"bytes=-5000", 1000, Answer::kPart, "bytes 0-999/1000"},
      {"bytes=500-99999999999", 1000, Answer::kPart, "bytes 500-999/1000"},
      {"bytes=999-999", 1000, Answer::kPart, "bytes 999-999/1000"},
      {"bytes=1000-", 1000, Answer::kUnsatisfiable, "bytes */1000"},
      {"bytes=1000-2000", 1000, Answer::kUnsatisfiable, "bytes */1000"},
      {"bytes=-0", 1000, Answer::kUnsatisfiable, "bytes */1000"},
      {"bytes=0-", 0, Answer::kUnsatisfiable, "bytes */0"},
      {"bytes=-1", 0, Answer::kUnsatisfiable, "bytes */0"},
      {"bytes=0-0,5-9", 1000, Answer::kWhole, ""},
      {"bytes=0-9, 20-29", 1000, Answer::kWhole, ""},
      {"bytes=9-0", 1000, Answer::kWhole, ""},
      {"bytes= 0-9", 1000, Answer::kWhole, ""},
      {"bytes=-", 1000, Answer::kWhole, ""},
      {"bytes=a-9", 1000, Answer::kWhole, ""},
      {"bytes=0-9x", 1000, Answer::kWhole, ""},
      {"bytes=+1-9", 1000, Answer::kWhole, ""},
      {"bytes=99999999999999999999-", 1000, Answer::kWhole, ""},
      {"items=0-9", 1000, Answer::kWhole, ""},
      {"Bytes=0-9", 1000, Answer::kWhole, ""},
  };
  for (const Case& c : cases) {
    const ByteRange r = ByteRange::forHeader(c.header, c.size);
    EXPECT_EQ(r.answer, c.answer) << c.header;
    if (c.answer != Answer::kWhole) {
      EXPECT_EQ(r.contentRange(c.size), c.contentRange) << c.header;
    }
    if (c.answer == Answer::kPart) {
      EXPECT_GT(r.length, 0u) << c.header;
      EXPECT_LE(r.offset + r.length, c.size) << c.header;
    }
  }
}

}  // namespace
}  // namespace tether_host
