// Orientation from EXIF and the thumbnail made from a JPEG.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "camera/gphoto2/jpeg_facts.h"

namespace krv_gphoto {
namespace {

// An APP1 Exif segment, big-endian, with IFD0 holding one Orientation tag.
std::vector<unsigned char> ExifSegment(uint16_t orientation) {
  const unsigned char tiff[] = {'M', 'M', 0, 42, 0, 0, 0, 8,  // header, IFD0 at 8
                                0, 1,                          // one entry
                                0x01, 0x12, 0, 3, 0, 0, 0, 1,  // Orientation, SHORT, 1
                                static_cast<unsigned char>(orientation >> 8),
                                static_cast<unsigned char>(orientation), 0, 0,
                                0, 0, 0, 0};  // no next IFD
  std::vector<unsigned char> segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  segment.insert(segment.end(), tiff, tiff + sizeof tiff);
  const size_t length = segment.size() - 2;
  segment[2] = static_cast<unsigned char>(length >> 8);
  segment[3] = static_cast<unsigned char>(length);
  return segment;
}

// `jpeg` with the segment inserted after its SOI marker.
std::vector<unsigned char> WithSegment(std::vector<unsigned char> jpeg,
                                       const std::vector<unsigned char>& segment) {
  jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
  return jpeg;
}

void Dimensions(const std::vector<unsigned char>& jpeg, unsigned* w, unsigned* h) {
  jpeg_decompress_struct in;
  jpeg_error_mgr err;
  in.err = jpeg_std_error(&err);
  jpeg_create_decompress(&in);
  jpeg_mem_src(&in, jpeg.data(), jpeg.size());
  jpeg_read_header(&in, TRUE);
  *w = in.image_width;
  *h = in.image_height;
  jpeg_destroy_decompress(&in);
}

TEST(JpegFactsTest, OrientationFromExifElseUpright) {
  std::vector<unsigned char> plain;
  ASSERT_TRUE(GreyJpeg(64, 48, &plain));
  EXPECT_EQ(JpegOrientation(plain.data(), plain.size()), 1);
  for (uint16_t code : {1, 3, 6, 8}) {
    const std::vector<unsigned char> tagged = WithSegment(plain, ExifSegment(code));
    EXPECT_EQ(JpegOrientation(tagged.data(), tagged.size()), code);
  }
  const std::vector<unsigned char> bad = WithSegment(plain, ExifSegment(9));
  EXPECT_EQ(JpegOrientation(bad.data(), bad.size()), 1);
  const unsigned char junk[] = {1, 2, 3};
  EXPECT_EQ(JpegOrientation(junk, sizeof junk), 1);
  EXPECT_EQ(JpegOrientation(nullptr, 0), 1);
}

TEST(JpegFactsTest, ThumbnailScaledDownFromTheJpeg) {
  const struct {
    unsigned w, h, expectW, expectH;
  } kCases[] = {{1280, 960, 160, 120}, {320, 200, 160, 100}, {100, 80, 100, 80},
                {4000, 100, 500, 13}};  // at most 1/8
  for (const auto& c : kCases) {
    std::vector<unsigned char> full, thumb;
    ASSERT_TRUE(GreyJpeg(c.w, c.h, &full));
    ASSERT_TRUE(MakeThumbnail(full.data(), full.size(), 160, &thumb));
    unsigned w, h;
    Dimensions(thumb, &w, &h);
    EXPECT_EQ(w, c.expectW) << c.w;
    EXPECT_EQ(h, c.expectH) << c.w;
  }
  std::vector<unsigned char> thumb;
  const unsigned char junk[] = {0xFF, 0xD8, 0xFF, 0x00, 0x01};
  EXPECT_FALSE(MakeThumbnail(junk, sizeof junk, 160, &thumb));
  EXPECT_TRUE(thumb.empty());
}

}  // namespace
}  // namespace krv_gphoto
