// The transfer callback: log lines, capture ids, object and orientation names,
// which files are saved under which names, and what a failed save sends.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <QDir>
#include <gtest/gtest.h>

#include "camera/ImageFileWriter.h"
#include "camera/KRV_SDK.h"
#include "tests/camera/controller_fixture.h"
#include "tests/camera/scratch_dir.h"

namespace {

using Lines = std::vector<std::string>;

class TransferTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    ASSERT_EQ(QDir::tempPath().toStdString(), mTmp.path());
  }
  void TearDown() override {
    tether::SetFileWriterSyscallsForTesting({});
    ControllerTest::TearDown();
  }

  void name(const std::string& n) { sdk().frame(eKRV_SDK_TransferObjectName, n.data(), n.size()); }
  void orientation(int32_t code) { sdk().frame(eKRV_SDK_TransferOrientation, &code, 4); }
  void thumbnail(const std::string& bytes = "thumb") {
    sdk().frame(eKRV_SDK_TransferThumbnail, bytes.data(), bytes.size());
  }
  void dngEnd(const std::string& bytes) {
    sdk().frame(eKRV_SDK_TransferEndDNG, bytes.data(), bytes.size());
  }
  void jpgEnd(const std::string& bytes) {
    sdk().frame(eKRV_SDK_TransferEndJPG, bytes.data(), bytes.size());
  }
  std::string fileName() { return host().named("objectWasAdded").back().string("file_name"); }

  ScratchDir mTmp{/*asTmpDir=*/true};
};

TEST_F(TransferTest, EveryStateWritesItsLogLine) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  for (int state = 0; state <= 10; ++state) sdk().frame(state, nullptr, 0);
  sdk().frame(11, nullptr, 0);
  sdk().frame(-1, "x", 1);
  EXPECT_EQ(fake::LogLines(),
            (Lines{"eKRV_SDK_TransferOrientation", "eKRV_SDK_TransferThumbnail",
                   "eKRV_SDK_TransferStartDNG", "eKRV_SDK_TransferStartJPG",
                   "eKRV_SDK_TransferEndDNG", "eKRV_SDK_TransferEndJPG",
                   "frameCallback: transfer error", "frameCallback: transfer aborted",
                   "eKRV_SDK_TransferObjectName", "frameCallback: transfer live frame",
                   "frameCallback: transfer zoom level", "frameCallback: unknown state: 11",
                   "frameCallback: unknown state: -1"}));
  // Null data drops every event: nothing sent, no file, no capture id used.
  EXPECT_EQ(host().count(), 0u);
  EXPECT_TRUE(mTmp.entries().empty());
  for (int state : {0, 1, 4, 5, 8}) sdk().frame(state, "abcd", 0);
  EXPECT_EQ(host().count(), 0u);
  thumbnail();
  EXPECT_EQ(host().named("objectWasAdded").at(0).number("capture_id"), 1);
}

TEST_F(TransferTest, ACaptureReportsObjectThumbnailAndBothFilesUnderOneId) {
  sdk().setInt(eKRV_SDK_PropFileFormat, 0);
  connectQuietly(eKRV_SDK_ModelKMk3);
  name("IMG_0042");
  orientation(6);
  const std::string thumb("\x00\xff\x10thumb", 8);
  thumbnail(thumb);
  jpgEnd("jpeg bytes");
  dngEnd("dng bytes");

  auto messages = host().messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].name, "objectWasAdded");
  EXPECT_EQ(messages[0].number("capture_id"), 1);
  EXPECT_EQ(messages[0].number("has_sidecar"), 0);
  EXPECT_EQ(messages[0].string("file_name"), "IMG_0042.dng");
  EXPECT_EQ(messages[0].string("image_orientation"), "BC");
  EXPECT_EQ(messages[0].keys().size(), 4u);

  EXPECT_EQ(messages[1].name, "thumbnailWasDownloaded");
  EXPECT_EQ(messages[1].number("capture_id"), 1);
  auto* data = messages[1].table->elementForKey("thumbnail_data");
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(data->mType, ZyLuaTE::kData);
  auto* bytes = static_cast<ZyLuaTEData*>(data);
  EXPECT_EQ(std::string(static_cast<char*>(bytes->mBytes), bytes->mLength), thumb);

  const std::string jpg = mTmp.file("TetherTMP1.JPG"), dng = mTmp.file("TetherTMP1.DNG");
  EXPECT_EQ(messages[2].name, "fileDownloadComplete");
  EXPECT_EQ(messages[2].number("capture_id"), 1);
  EXPECT_EQ(messages[2].string("file_path"), jpg);
  EXPECT_EQ(messages[2].number("file_size"), 10);
  EXPECT_EQ(messages[3].string("file_path"), dng);
  EXPECT_EQ(messages[3].number("file_size"), 9);
  for (const auto& m : messages) EXPECT_EQ(m.id, 0);
  EXPECT_EQ(ScratchDir::readFile(jpg), "jpeg bytes");
  EXPECT_EQ(ScratchDir::readFile(dng), "dng bytes");
  EXPECT_EQ(mTmp.entries(), (Lines{"TetherTMP1.DNG", "TetherTMP1.JPG"}));

  EXPECT_EQ(fake::LogLines(),
            (Lines{"eKRV_SDK_TransferObjectName", "eKRV_SDK_TransferOrientation",
                   "eKRV_SDK_TransferThumbnail", "----------- \"IMG_0042.dng\"",
                   "eKRV_SDK_TransferEndJPG", "\"" + jpg + "\"", "eKRV_SDK_TransferEndDNG",
                   "\"" + dng + "\""}));
}

// Any other camera keeps the camera's file name and its raw file's format:
// a NEF is saved and reported as .NEF, never .DNG.
TEST_F(TransferTest, AGenericCameraKeepsItsNamesAndRawExtension) {
  const struct {
    int32_t format;
    const char* name;
    const char* rawFile;  // null: no raw in this capture
  } kCases[] = {{0, "DSC_0042.NEF", "TetherTMP1.NEF"},
                {0, "IMG_0001.CR3", "TetherTMP2.CR3"},
                {3, "DSC_0043.JPG", nullptr},
                {0, "x/../../y.N F", "TetherTMP4.DNG"}};
  connectQuietly(eKRV_SDK_ModelGeneric);
  for (const auto& c : kCases) {
    host().reset();
    sdk().setInt(eKRV_SDK_PropFileFormat, c.format);
    name(c.name);
    thumbnail();
    if (c.rawFile != nullptr) dngEnd("raw bytes");
    jpgEnd("jpeg bytes");
    EXPECT_EQ(fileName(), c.name);
    auto done = host().named("fileDownloadComplete");
    ASSERT_EQ(done.size(), c.rawFile != nullptr ? 2u : 1u) << c.name;
    if (c.rawFile != nullptr) {
      EXPECT_EQ(done[0].string("file_path"), mTmp.file(c.rawFile));
      EXPECT_EQ(ScratchDir::readFile(mTmp.file(c.rawFile)), "raw bytes");
    }
    EXPECT_EQ(done.back().string("file_path").substr(done.back().string("file_path").size() - 4),
              ".JPG");
  }
}

TEST_F(TransferTest, FilesBeforeAnyThumbnailUseCaptureIdZero) {
  connectQuietly(eKRV_SDK_ModelKMk3);  // format unreadable: both ends are saved
  dngEnd("d");
  jpgEnd("j");
  auto done = host().named("fileDownloadComplete");
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].number("capture_id"), 0);
  EXPECT_EQ(done[0].string("file_path"), mTmp.file("TetherTMP0.DNG"));
  EXPECT_EQ(done[1].string("file_path"), mTmp.file("TetherTMP0.JPG"));
}

TEST_F(TransferTest, DngOnlyFormatsDropTheJpegButSaveTheDng) {
  for (int format : {1, 2}) {
    sdk().setInt(eKRV_SDK_PropFileFormat, format);
    connectQuietly(eKRV_SDK_ModelKMk3);
    jpgEnd("jpeg");
    EXPECT_EQ(host().count(), 0u) << format;
    EXPECT_TRUE(mTmp.entries().empty()) << format;
    EXPECT_EQ(fake::LogLines(), Lines{"eKRV_SDK_TransferEndJPG"});
    dngEnd("dng");
    EXPECT_EQ(host().named("fileDownloadComplete").size(), 1u) << format;
    EXPECT_EQ(mTmp.entries(), Lines{"TetherTMP0.DNG"});
    unlink(mTmp.file("TetherTMP0.DNG").c_str());
  }
}

TEST_F(TransferTest, ObjectNamesByModelAndFormat) {
  // Another model, JPEG format: ".jpg" appended and kept afterwards.
  sdk().setInt(eKRV_SDK_PropFileFormat, 3);
  connectQuietly(eKRV_SDK_ModelKMk3);
  name("IMG_0042");
  thumbnail();
  EXPECT_EQ(fileName(), "IMG_0042.jpg");
  thumbnail();
  EXPECT_EQ(fileName(), "IMG_0042.jpg");

  // A second thumbnail without a new name does not double the extension.
  sdk().setInt(eKRV_SDK_PropFileFormat, 1);
  name("IMG_0043");
  thumbnail();
  thumbnail();
  EXPECT_EQ(fileName(), "IMG_0043.dng");
  EXPECT_EQ(host().named("objectWasAdded").back().number("capture_id"), 4);

  // The KX body: capture id prefix, ".jpg" replaced, log line without prefix.
  connectQuietly(eKRV_SDK_ModelKXMk1);
  for (int i = 0; i < 2; ++i) thumbnail();  // capture ids 5 and 6
  name("IMG_0042.JPG");
  thumbnail();
  EXPECT_EQ(fileName(), "7_IMG_0042.dng");
  EXPECT_EQ(fake::LogLines().back(), "----------- \"IMG_0042.dng\"");

  sdk().setInt(eKRV_SDK_PropFileFormat, 3);
  name("IMG_0044.JPG");
  thumbnail();
  EXPECT_EQ(fileName(), "8_IMG_0044.JPG");
}

TEST_F(TransferTest, UnreadableFormatLeavesTheNameButStillReports) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  name("IMG_0050");
  thumbnail();
  EXPECT_EQ(fileName(), "IMG_0050");
  EXPECT_EQ(host().named("thumbnailWasDownloaded").size(), 1u);
}

TEST_F(TransferTest, ObjectNameBytesAreLatin1AndMayRunToANul) {
  sdk().setInt(eKRV_SDK_PropFileFormat, 3);
  connectQuietly(eKRV_SDK_ModelKMk3);
  const char terminated[] = "CAF\xc9_1\0ignored";
  sdk().frame(eKRV_SDK_TransferObjectName, terminated, 0xFFFFFFFFu);
  thumbnail();
  EXPECT_EQ(fileName(), "CAF\xc3\x89_1.jpg");  // UTF-8 of the Latin-1 name
  // With an explicit size, a NUL is just a byte of the name.
  sdk().frame(eKRV_SDK_TransferObjectName, "AB\0C", 4);
  thumbnail();
  EXPECT_EQ(fileName(), std::string("AB\0C.jpg", 8));
}

TEST_F(TransferTest, OrientationNamesAndMalformedOrientations) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  auto sent = [&] { return host().named("objectWasAdded").back().string("image_orientation"); };
  thumbnail();
  EXPECT_EQ(sent(), "AB");  // never reported
  const std::pair<int32_t, const char*> codes[] = {
      {3, "CD"}, {6, "BC"}, {8, "DA"}, {1, "AB"}, {-8, "AB"}};
  for (const auto& [code, text] : codes) {
    orientation(code);
    thumbnail();
    EXPECT_EQ(sent(), text) << code;
  }
  orientation(8);
  const int16_t shortCode = 3;
  sdk().frame(eKRV_SDK_TransferOrientation, &shortCode, 2);
  const int64_t longCode = 3;
  sdk().frame(eKRV_SDK_TransferOrientation, &longCode, 8);
  thumbnail();
  EXPECT_EQ(sent(), "DA");
}

TEST_F(TransferTest, AnOlderFileOfTheSameNameIsReplaced) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  ScratchDir::writeFile(mTmp.file("TetherTMP0.DNG"), std::string(5000, 'x'));
  dngEnd("short");
  EXPECT_EQ(ScratchDir::readFile(mTmp.file("TetherTMP0.DNG")), "short");
  EXPECT_EQ(host().named("fileDownloadComplete").size(), 1u);
}

TEST_F(TransferTest, ALinkPlantedAtTheTargetIsLeftAlone) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  ScratchDir elsewhere;
  const std::string victim = elsewhere.file("victim");
  ScratchDir::writeFile(victim, "untouched");
  ASSERT_EQ(symlink(victim.c_str(), mTmp.file("TetherTMP0.JPG").c_str()), 0);
  jpgEnd("jpeg");
  EXPECT_EQ(ScratchDir::readFile(victim), "untouched");
  struct stat st;
  ASSERT_EQ(lstat(mTmp.file("TetherTMP0.JPG").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ScratchDir::readFile(mTmp.file("TetherTMP0.JPG")), "jpeg");
  EXPECT_EQ(host().named("fileDownloadComplete").size(), 1u);
}

TEST_F(TransferTest, AFailedSaveSendsNothingAndLeavesNoPartialFile) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  const std::string target = mTmp.file("TetherTMP0.DNG");

  // A directory planted at the target.
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  dngEnd("dng");
  EXPECT_EQ(host().count(), 0u);
  EXPECT_EQ(mTmp.entries(), Lines{"TetherTMP0.DNG"});
  auto log = fake::LogLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "\"" + target + "\"");
  EXPECT_EQ(log[2].rfind("frameCallback: file not saved: rename", 0), 0u) << log[2];
  rmdir(target.c_str());

  // Writes that fail half way.
  tether::FileWriterSyscalls calls;
  calls.write = [](int, const void*, size_t) -> ssize_t {
    errno = ENOSPC;
    return -1;
  };
  tether::SetFileWriterSyscallsForTesting(calls);
  dngEnd("dng");
  jpgEnd("jpg");
  EXPECT_EQ(host().count(), 0u);
  EXPECT_TRUE(mTmp.entries().empty());
}

TEST_F(TransferTest, AnUnwritableTemporaryDirectorySendsNothing) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  // Root writes into read-only directories, so also point the temporary
  // directory at a plain file, which nobody can create entries in.
  chmod(mTmp.path().c_str(), 0500);
  const bool readOnlyHolds = access(mTmp.path().c_str(), W_OK) != 0;
  if (readOnlyHolds) {
    dngEnd("dng");
    EXPECT_EQ(host().count(), 0u);
    EXPECT_TRUE(mTmp.entries().empty());
  }
  chmod(mTmp.path().c_str(), 0700);

  ScratchDir::writeFile(mTmp.file("plain"), "");
  setenv("TMPDIR", mTmp.file("plain").c_str(), 1);
  fake::ClearLog();
  dngEnd("dng");
  jpgEnd("jpg");
  EXPECT_EQ(host().count(), 0u);
  EXPECT_EQ(mTmp.entries(), Lines{"plain"});
  auto log = fake::LogLines();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1], "\"" + mTmp.file("plain") + "/TetherTMP0.DNG\"");
}

}  // namespace
