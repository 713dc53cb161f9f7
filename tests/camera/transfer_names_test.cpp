// Object names, orientation names and temporary file names of the image
// transfer.
#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"
#include "camera/TransferNames.h"

using tether::CompleteObjectName;

namespace {

std::string Complete(const char* name, int format, int model) {
  return CompleteObjectName(QString::fromLatin1(name), format, model).toStdString();
}

TEST(ObjectNameTest, OtherModelsAppendTheExtensionOfTheFormat) {
  const int model = eKRV_SDK_ModelKMk3;
  EXPECT_EQ(Complete("IMG_0042", 3, model), "IMG_0042.jpg");
  EXPECT_EQ(Complete("IMG_0042", 4, model), "IMG_0042.jpg");
  for (int format : {1, 2, 0, 5, -1, 1000}) {
    EXPECT_EQ(Complete("IMG_0042", format, model), "IMG_0042.dng") << format;
  }
  EXPECT_EQ(Complete("", 1, model), ".dng");
  // A reported name that already has a different extension still gets one.
  EXPECT_EQ(Complete("IMG_0042.JPG", 1, model), "IMG_0042.JPG.dng");
}

// A second thumbnail without a new object name must not double the extension.
TEST(ObjectNameTest, AnExtensionAlreadyPresentIsNotAppendedAgain) {
  const int model = eKRV_SDK_ModelK1;
  EXPECT_EQ(Complete("IMG_0042.dng", 1, model), "IMG_0042.dng");
  EXPECT_EQ(Complete("IMG_0042.DNG", 0, model), "IMG_0042.DNG");
  EXPECT_EQ(Complete("IMG_0042.jpg", 3, model), "IMG_0042.jpg");
  EXPECT_EQ(Complete("IMG_0042.JpG", 4, model), "IMG_0042.JpG");
  EXPECT_EQ(Complete("IMG_0042dng", 1, model), "IMG_0042dng.dng");
}

TEST(ObjectNameTest, TheKxBodyOnlyTurnsJpgIntoDng) {
  const int model = eKRV_SDK_ModelKXMk1;
  EXPECT_EQ(Complete("IMG_0042.JPG", 1, model), "IMG_0042.dng");
  EXPECT_EQ(Complete("IMG_0042.jpg", 2, model), "IMG_0042.dng");
  EXPECT_EQ(Complete("a.Jpg.jPG", 0, model), "a.dng.dng");
  EXPECT_EQ(Complete("IMG_0042", 1, model), "IMG_0042");
  EXPECT_EQ(Complete("IMG_0042.JPG", 3, model), "IMG_0042.JPG");
  EXPECT_EQ(Complete("IMG_0042.JPG", 4, model), "IMG_0042.JPG");
}

TEST(ObjectNameTest, JpegsAreDroppedOnlyForTheDngOnlyFormats) {
  EXPECT_FALSE(tether::ShouldSaveJpeg(1));
  EXPECT_FALSE(tether::ShouldSaveJpeg(2));
  for (int format : {0, 3, 4, 5, -1}) EXPECT_TRUE(tether::ShouldSaveJpeg(format)) << format;
}

TEST(OrientationNameTest, KnownCodesAndTheUprightDefault) {
  EXPECT_STREQ(tether::OrientationName(3), "CD");
  EXPECT_STREQ(tether::OrientationName(6), "BC");
  EXPECT_STREQ(tether::OrientationName(8), "DA");
  for (int code : {0, 1, 2, 4, 5, 7, 9, -3, 0x7fffffff}) {
    EXPECT_STREQ(tether::OrientationName(code), "AB") << code;
  }
}

TEST(TemporaryPathTest, CaptureIdAndUpperCaseExtension) {
  EXPECT_EQ(tether::TemporaryImagePath("/tmp", 12, true).toStdString(), "/tmp/TetherTMP12.DNG");
  EXPECT_EQ(tether::TemporaryImagePath("/tmp", 12, false).toStdString(), "/tmp/TetherTMP12.JPG");
  EXPECT_EQ(tether::TemporaryImagePath("/x y", 0, true).toStdString(), "/x y/TetherTMP0.DNG");
  EXPECT_EQ(tether::TemporaryImagePath("/t", -3, false).toStdString(), "/t/TetherTMP-3.JPG");
}

}  // namespace

// A camera of any make: its file name as it is, and its raw file's own
// extension on the temporary file, never a path piece from the name.
TEST(CameraOwnNamesTest, NameKeptAndRawExtensionFromIt) {
  for (int32_t format : {0, 1, 3}) {
    EXPECT_EQ(tether::CompleteObjectName("DSC_0042.NEF", format, eKRV_SDK_ModelGeneric)
                  .toStdString(), "DSC_0042.NEF");
  }
  const struct {
    const char* name;
    const char* extension;
  } kCases[] = {
      {"DSC_0042.NEF", "NEF"}, {"IMG_1.cr3", "CR3"},     {"A.ARW", "ARW"},
      {"X.RAF", "RAF"},        {"P.dng", "DNG"},         {"IMG_2.JPG", "DNG"},
      {"IMG_3.jpeg", "DNG"},   {"NOEXT", "DNG"},         {"a.b/../../etc", "DNG"},
      {"x.TOOLONG", "DNG"},    {"x.N\xc3\xa9" "F", "DNG"}, {"x.", "DNG"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(tether::RawFileExtension(QString::fromUtf8(c.name)).toStdString(), c.extension)
        << c.name;
  }
  EXPECT_EQ(tether::TemporaryImagePath("/tmp", 5, QStringLiteral("NEF")).toStdString(),
            "/tmp/TetherTMP5.NEF");
}
