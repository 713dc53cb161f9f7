// What a download buffer keeps and what it refuses.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/gphoto2/download_buffer.h"

namespace krv_gphoto {
namespace {

const size_t kMiB = size_t{1} << 20;

std::string Held(const DownloadBuffer& b) {
  return b.data() == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

TEST(DownloadBufferTest, KeepsPiecesUpToTheAnnouncedSizeOrTheLimit) {
  const struct {
    size_t announced, limit;
    std::vector<std::string> pieces;
    std::string held;  // what the buffer holds at the end
    bool refused;
  } kCases[] = {
      {6, 100, {"abc", "", "def"}, "abcdef", false},
      {6, 100, {"abc", "defg"}, "abc", true},          // more than announced
      {6, 100, {"abc", "defg", "h"}, "abc", true},     // and nothing after that
      {0, 7, {"abc", "defg"}, "abcdefg", false},       // unknown size: up to the limit
      {0, 6, {"abc", "defg"}, "abc", true},
      {101, 100, {"a"}, "", true},                     // announced over the limit
      {0, 100, {}, "", false},
  };
  for (const auto& c : kCases) {
    DownloadBuffer buffer(c.announced, c.limit);
    for (const std::string& piece : c.pieces) buffer.append(piece.data(), piece.size());
    EXPECT_EQ(Held(buffer), c.held) << c.announced << "/" << c.limit;
    EXPECT_EQ(buffer.refused(), c.refused) << c.announced << "/" << c.limit;
  }
}

TEST(DownloadBufferTest, LargeFilesArriveWholeWhetherAnnouncedOrNot) {
  std::string piece(kMiB, '\0');
  for (const size_t announced : {size_t{0}, 9 * kMiB + 3}) {
    DownloadBuffer buffer(announced, 64 * kMiB);
    const unsigned char* first = nullptr;
    for (int i = 0; i < 9; ++i) {
      piece.assign(kMiB, static_cast<char>('a' + i));
      ASSERT_TRUE(buffer.append(piece.data(), piece.size()));
      if (i == 0) first = buffer.data();
    }
    ASSERT_TRUE(buffer.append("xyz", 3));
    ASSERT_EQ(buffer.size(), 9 * kMiB + 3);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(buffer.data()[i * kMiB + kMiB - 1], 'a' + i);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()) + 9 * kMiB, 3), "xyz");
    // An announced size is reserved once: the bytes never move.
    if (announced > 0) {
      EXPECT_EQ(buffer.data(), first);
    }
  }
}

}  // namespace
}  // namespace krv_gphoto
