// What a capture delivers: event order, names, and thumbnails, JPEGs and
// DNGs that real decoders accept.
#include <cstring>

#include "tests/camera/simulator/image_checks.h"
#include "tests/camera/simulator/sim_fixture.h"

namespace krv_test {
namespace {

using CaptureTest = SimTest;

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool HasJpegMarkers(const std::vector<uint8_t>& b) {
  return b.size() > 4 && b[0] == 0xFF && b[1] == 0xD8 && b[b.size() - 2] == 0xFF &&
         b[b.size() - 1] == 0xD9;
}

void ExpectValidDng(const std::vector<uint8_t>& dng, uint32_t width, uint32_t height) {
  const DngFacts f = ReadDng(dng);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_EQ(f.width, width);
  EXPECT_EQ(f.height, height);
  EXPECT_EQ(f.bitsPerSample, 16);
  EXPECT_EQ(f.samplesPerPixel, 1);
  EXPECT_EQ(f.photometric, 32803) << "a colour filter array raw image";
  EXPECT_EQ(f.compression, 1);
  EXPECT_EQ(f.subfileType, 0u);
  EXPECT_EQ(f.dngVersion, (std::vector<uint8_t>{1, 4, 0, 0}));
  EXPECT_FALSE(f.uniqueCameraModel.empty());
  EXPECT_EQ(f.rawBytesRead, uint64_t{width} * height * 2);

  std::string output;
  const int status = RunTiffinfo(dng, &output);
  if (status == -1) GTEST_SKIP() << "tiffinfo not installed";
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("rror"), std::string::npos) << output;
  EXPECT_EQ(output.find("arning"), std::string::npos) << output;
  EXPECT_NE(output.find("Image Width: " + std::to_string(width)), std::string::npos) << output;
}

TEST_F(CaptureTest, EventsComeInCameraOrderWithRealImages) {
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(7));
  const auto frames = recorder.frames();
  ASSERT_EQ(recorder.frameStates(), (std::vector<int>{0, 8, 1, 2, 4, 3, 5}));

  EXPECT_EQ(frames[0].size, 4u);
  EXPECT_EQ(AsInt32(frames[0].bytes), 1);
  // The default model reports its objects without an extension.
  EXPECT_EQ(AsText(frames[1].bytes), "IMG_0001");
  EXPECT_EQ(frames[1].size, 8u) << "the name is sent with size = strlen";

  const DecodedJpeg thumb = DecodeJpeg(frames[2].bytes);
  ASSERT_TRUE(thumb.ok) << thumb.error;
  EXPECT_EQ(thumb.width, 160);
  EXPECT_EQ(thumb.height, 120);
  EXPECT_TRUE(HasJpegMarkers(frames[2].bytes));

  // Start events carry no data; they announce the size of the file to come.
  EXPECT_TRUE(frames[3].nullData);
  EXPECT_EQ(frames[3].size, frames[4].size);
  EXPECT_TRUE(frames[5].nullData);
  EXPECT_EQ(frames[5].size, frames[6].size);

  ExpectValidDng(frames[4].bytes, 640, 480);

  EXPECT_TRUE(HasJpegMarkers(frames[6].bytes));
  const DecodedJpeg jpeg = DecodeJpeg(frames[6].bytes);
  ASSERT_TRUE(jpeg.ok) << jpeg.error;
  EXPECT_EQ(jpeg.width, 640);
  EXPECT_EQ(jpeg.height, 480);
  EXPECT_EQ(jpeg.components, 3);
}

TEST_F(CaptureTest, EachCaptureIsNumberedAndLooksDifferent) {
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(7));
  const auto first = recorder.frames();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(14));
  const auto second = recorder.frames();

  EXPECT_EQ(AsText(second[8].bytes), "IMG_0002");
  EXPECT_NE(first[2].bytes, second[9].bytes) << "thumbnails";
  EXPECT_NE(first[4].bytes, second[11].bytes) << "DNGs";
  const DecodedJpeg a = DecodeJpeg(first[6].bytes);
  const DecodedJpeg b = DecodeJpeg(second[13].bytes);
  ASSERT_TRUE(a.ok && b.ok);
  // Not just a different comment: the pictures themselves differ widely.
  size_t differing = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    if (std::abs(int(a.pixels[i]) - int(b.pixels[i])) > 32) ++differing;
  }
  EXPECT_GT(differing, a.pixels.size() / 50);
}

struct FormatCase {
  int32_t format;
  std::vector<int> states;
};

class FileFormatTest : public SimTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FileFormatTest, FileFormatChoosesTheTransferredFiles) {
  ::setenv("KRV_SIM_FILE_FORMAT", std::to_string(GetParam().format).c_str(), 1);
  startWithCamera();
  int32_t read = -99;
  ASSERT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropFileFormat, &read, 4));
  EXPECT_EQ(read, GetParam().format);
  ASSERT_TRUE(KRV_SDK_capture());
  // A marker event: the worker delivers it, and the control socket answers,
  // only after the whole capture posted before it.
  ok("event 9");
  auto states = recorder.frameStates();
  ASSERT_EQ(states.back(), 9);
  states.pop_back();
  EXPECT_EQ(states, GetParam().states);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FileFormatTest,
    ::testing::Values(FormatCase{0, {0, 8, 1, 2, 4, 3, 5}}, FormatCase{1, {0, 8, 1, 2, 4}},
                      FormatCase{2, {0, 8, 1, 2, 4}}, FormatCase{3, {0, 8, 1, 3, 5}},
                      FormatCase{4, {0, 8, 1, 3, 5}}, FormatCase{7, {0, 8, 1, 2, 4, 3, 5}},
                      FormatCase{-1, {0, 8, 1, 2, 4, 3, 5}}));

TEST_F(CaptureTest, FileFormatWrittenThroughTheSdkAppliesToTheNextCapture) {
  startWithCamera();
  const int32_t jpegOnly = 3;
  ASSERT_TRUE(KRV_SDK_setProperty(eKRV_SDK_PropFileFormat, &jpegOnly, 4));
  ASSERT_TRUE(KRV_SDK_capture());
  ok("event 10");
  EXPECT_EQ(recorder.frameStates(), (std::vector<int>{0, 8, 1, 3, 5, 10}));
}

TEST_F(CaptureTest, ImageSizesFollowTheKnobs) {
  ::setenv("KRV_SIM_IMAGE_WIDTH", "333", 1);
  ::setenv("KRV_SIM_IMAGE_HEIGHT", "222", 1);
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(7));
  ExpectValidDng(recorder.lastFrame(eKRV_SDK_TransferEndDNG), 333, 222);
  DecodedJpeg jpeg = DecodeJpeg(recorder.lastFrame(eKRV_SDK_TransferEndJPG));
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.width, 333);
  EXPECT_EQ(jpeg.height, 222);

  // A DNG size in bytes gives the raw image its own (3:2) size.
  ok("dng-bytes 3000000");
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(14));
  const auto dng = recorder.lastFrame(eKRV_SDK_TransferEndDNG);
  EXPECT_GT(dng.size(), 2900000u);
  EXPECT_LT(dng.size(), 3100000u);
  const DngFacts f = ReadDng(dng);
  ASSERT_TRUE(f.ok) << f.error;
  EXPECT_NEAR(double(f.width) / f.height, 1.5, 0.01);
  jpeg = DecodeJpeg(recorder.lastFrame(eKRV_SDK_TransferEndJPG));
  EXPECT_EQ(jpeg.width, 333);
}

TEST_F(CaptureTest, OrientationAndNameFormsAreConfigurable) {
  ::setenv("KRV_SIM_ORIENTATION", "6", 1);
  ::setenv("KRV_SIM_OBJECT_NAME", "DSC##.jpg", 1);
  ::setenv("KRV_SIM_NAME_NUL", "1", 1);
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(7));
  auto frames = recorder.frames();
  EXPECT_EQ(AsInt32(frames[0].bytes), 6);
  EXPECT_EQ(frames[1].size, 0xFFFFFFFFu);
  EXPECT_EQ(frames[1].bytes, (std::vector<uint8_t>{'D', 'S', 'C', '0', '1', '.', 'j', 'p', 'g', 0}));
  EXPECT_EQ(ReadDng(frames[4].bytes).orientation, 6) << "the DNG carries the orientation too";

  // Leaving both out, as some cameras do.
  ok("orientation none");
  ok("name none");
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(12));
  frames = recorder.frames();
  EXPECT_EQ(recorder.frameStates(), (std::vector<int>{0, 8, 1, 2, 4, 3, 5, 1, 2, 4, 3, 5}));

  ok("name IMG 42.JPG");
  ok("name-form size");
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(18));
  EXPECT_EQ(AsText(recorder.lastFrame(eKRV_SDK_TransferObjectName)), "IMG 42.JPG");
}

}  // namespace
}  // namespace krv_test
