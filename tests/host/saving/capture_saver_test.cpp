#include "host/saving/CaptureSaver.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "source/ProtocolNames.h"
#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

namespace proto = tether::proto;
using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

// Remembers where the saver last said each file of each capture is.
struct Sink : TetherObserver {
  void fileSaved(const FileSaved& f) override {
    saved[{f.captureId, f.kind}] = f.path;
    ++reports;
  }
  void saveFailed(const SaveFailed& f) override { failures.push_back(f.message); }
  std::map<std::pair<int, FileKind>, std::string> saved;
  int reports = 0;
  std::vector<std::string> failures;
};

// Feeds a saver the messages of captures as the task sends them.
class CaptureSaverTest : public ::testing::Test {
 protected:
  CaptureSaver& saver(const std::string& pattern = "%f.%C") {
    CaptureSaver::Options options;
    options.outDir = mOut;
    options.tempDir = mTmp;
    std::string error;
    EXPECT_TRUE(FilenamePattern::parse(pattern, &options.pattern, &error)) << error;
    mSaver.reset(new CaptureSaver(options, &mSink));
    mSaver->setClaimHook([this](const std::string& name) {
      if (mOnClaim) mOnClaim(name);
    });
    return *mSaver;
  }

  void send(const char* name, int id, const char* key, ZyLuaTE* value) {
    HostMessage m;
    m.name = name;
    auto* t = new ZyLuaTETable();
    t->Set(proto::kCaptureId, new ZyLuaTENumber(id));
    if (key != nullptr) t->Set(key, value);
    m.payload.reset(t);
    EXPECT_TRUE(mSaver->handle(m));
  }
  void announce(int id, const std::string& cameraName) {
    send(proto::kObjectWasAdded, id, proto::kFileName, new ZyLuaTEString(cameraName));
  }
  void thumbnail(int id) {
    char bytes[] = "thumbnail";
    send(proto::kThumbnailWasDownloaded, id, proto::kThumbnailData, new ZyLuaTEData(bytes, 9));
  }
  void file(int id, const char* ext) {
    const std::string path = mTmp + "/TetherTMP" + std::to_string(id) + ext;
    WriteFile(path, ext);
    send(proto::kFileDownloadComplete, id, proto::kFilePath, new ZyLuaTEString(path));
  }
  void capture(int id, const std::string& cameraName) {
    announce(id, cameraName);
    thumbnail(id);
    file(id, ".DNG");
    file(id, ".JPG");
  }
  std::string saved(int id, FileKind kind) { return mSink.saved[{id, kind}]; }

  ScratchDir mDir;
  std::string mTmp = mDir.sub("tmp");
  std::string mOut = mDir.sub("out");
  Sink mSink;
  std::function<void(const std::string&)> mOnClaim;
  std::unique_ptr<CaptureSaver> mSaver;
};

// Another writer on the same folder takes a name of our capture's stem at
// the worst moments: right as our first file lands there (a session that
// chose the same stem at the same time), or between our files. Whatever
// the order, the capture's three files end up under one stem and the other
// writer's file is untouched.
TEST_F(CaptureSaverTest, AllFilesOfACaptureShareOneStemWhateverAnotherWriterTakes) {
  const struct {
    const char* whenClaimed;  // our name whose claim lets the other writer in
    const char* planted;      // what the other writer then takes
    int reports;              // files told saved, counting those told again after a move
  } cases[] = {
      {"IMG_0001.thumb.jpg", "IMG_0001.dng", 3},  // moved before it is reported
      {"IMG_0001.thumb.jpg", "IMG_0001.jpg", 3},
      {"IMG_0001.dng", "IMG_0001.jpg", 5},
      {"IMG_0001-1.thumb.jpg", "IMG_0001-1.jpg", 3},  // and again at the next stem
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(mOut);
    mDir.sub("out");
    WriteFile(mOut + "/IMG_0001-1.thumb.jpg.keep", "");  // unrelated names do not matter
    saver();
    mSink = Sink();
    mOnClaim = [&](const std::string& name) {
      if (name == c.whenClaimed) WriteFile(mOut + "/" + c.planted, "theirs");
      // The last case: our first file is first pushed off stem 0.
      if (name == "IMG_0001.thumb.jpg" && std::string(c.whenClaimed) == "IMG_0001-1.thumb.jpg") {
        WriteFile(mOut + "/IMG_0001.dng", "theirs");
      }
    };
    capture(1, "IMG_0001.DNG");
    mOnClaim = nullptr;
    const std::string stem = saved(1, FileKind::kThumbnail).substr(0, saved(1, FileKind::kThumbnail).size() - 10);
    EXPECT_NE(stem, mOut + "/IMG_0001") << c.planted;
    EXPECT_EQ(saved(1, FileKind::kRaw), stem + ".dng") << c.planted;
    EXPECT_EQ(saved(1, FileKind::kJpeg), stem + ".jpg") << c.planted;
    EXPECT_EQ(ReadFile(saved(1, FileKind::kJpeg)), ".JPG");
    EXPECT_EQ(ReadFile(saved(1, FileKind::kThumbnail)), "thumbnail");
    EXPECT_EQ(ReadFile(mOut + "/" + c.planted), "theirs");
    EXPECT_TRUE(mSink.failures.empty()) << mSink.failures[0];
    // Files already reported that had to move are told again and listed.
    EXPECT_EQ(mSink.reports, c.reports) << c.planted;
    EXPECT_EQ(mSaver->record().problems.size(), static_cast<size_t>(c.reports - 3));
    for (const auto& f : mSaver->record().files) EXPECT_EQ(f.path.rfind(stem, 0), 0u) << f.path;
  }
}

// A camera's name far over what the file system takes in one name, in
// multi-byte UTF-8 and with control characters: every file is saved, under
// one stem, each part of the path within NAME_MAX and cut on a character.
TEST_F(CaptureSaverTest, OverlongAndHostileCameraNamesStillSaveEveryFile) {
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xc3\xa9";  // é: 300 bytes
  const struct {
    std::string pattern;
    std::string cameraName;
  } cases[] = {
      {"%f.%C", std::string(300, 'A') + ".DNG"},
      {"%f.%C", "x" + accents + ".dng"},  // odd length: a cut in the middle of a é
      {"%Y/%n-%f-%f.%C", accents + "\x1b]0;title\x07\xc2\x9b.JPG"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(mOut);
    mDir.sub("out");
    saver(c.pattern);
    for (int id = 1; id <= 2; ++id) capture(id, c.cameraName);  // the second gets "-1"
    ASSERT_TRUE(mSink.failures.empty()) << mSink.failures[0];
    ASSERT_EQ(mSaver->record().files.size(), 6u);
    EXPECT_NE(saved(1, FileKind::kRaw), saved(2, FileKind::kRaw));
    for (const auto& f : mSaver->record().files) {
      const std::string name = f.path.substr(f.path.find_last_of('/') + 1);
      EXPECT_LE(name.size(), static_cast<size_t>(NAME_MAX));
      EXPECT_GT(name.size(), 200u) << name;
      for (unsigned char b : name) EXPECT_TRUE(b >= 0x20 && b != 0x7F) << name;
      EXPECT_EQ(name.find("\xc2\x9b"), std::string::npos);
      // The cut never leaves half of a character.
      EXPECT_TRUE(name.find("\xc3.") == std::string::npos && name.find("\xc3-") == std::string::npos) << name;
      const std::string ext = std::string(".") + fileKindExtension(f.kind);
      const std::string thumb = saved(f.captureId, FileKind::kThumbnail);
      EXPECT_EQ(f.path.substr(0, f.path.size() - ext.size()), thumb.substr(0, thumb.size() - 10));
    }
  }
}

// A real camera's raw file keeps its format: the task names it by the
// camera's extension, and it is saved under it as the capture's raw file,
// never as a JPEG or a ".dng", and the capture is whole. A name already
// taken in the raw file's own extension moves the whole capture on.
TEST_F(CaptureSaverTest, RawFilesKeepTheirFormat) {
  const struct {
    const char* cameraName;
    const char* taskExt;
    const char* taken;  // already in the output folder, or ""
    const char* saved;  // the raw file's name; the others share its stem
  } cases[] = {
      {"DSC_0042.NEF", ".NEF", "", "DSC_0042.nef"},
      {"IMG_0001.CR3", ".CR3", "", "IMG_0001.cr3"},
      {"_DSC0001.ARW", ".ARW", "", "_DSC0001.arw"},
      {"DSCF0001.RAF", ".RAF", "", "DSCF0001.raf"},
      {"P0000001.DNG", ".DNG", "", "P0000001.dng"},
      {"DSC_0043.NEF", ".NEF", "DSC_0043.nef", "DSC_0043-1.nef"},
      {"DSC_0044.NEF", ".NEF", "DSC_0044.dng", "DSC_0044.nef"},  // another format's name is no clash
  };
  int id = 0;
  for (const auto& c : cases) {
    ++id;
    std::filesystem::remove_all(mOut);
    mDir.sub("out");
    if (*c.taken) WriteFile(mOut + "/" + c.taken, "theirs");
    saver();
    announce(id, c.cameraName);
    thumbnail(id);
    file(id, c.taskExt);
    file(id, ".JPG");
    const std::string raw = saved(id, FileKind::kRaw);
    EXPECT_EQ(raw, mOut + "/" + c.saved) << c.cameraName;
    const std::string stem = raw.substr(0, raw.find_last_of('.'));
    EXPECT_EQ(saved(id, FileKind::kJpeg), stem + ".jpg") << c.cameraName;
    EXPECT_EQ(saved(id, FileKind::kThumbnail), stem + ".thumb.jpg") << c.cameraName;
    EXPECT_EQ(ReadFile(raw), c.taskExt) << c.cameraName;
    ASSERT_NE(mSaver->progress(id), nullptr);
    EXPECT_TRUE(mSaver->progress(id)->done(1000000)) << c.cameraName;
    mSaver->finish();
    EXPECT_TRUE(mSaver->record().incomplete.empty()) << c.cameraName;
    if (*c.taken) {
      EXPECT_EQ(ReadFile(mOut + "/" + c.taken), "theirs");
    }
  }
  EXPECT_TRUE(mSink.failures.empty());
}

// Which reported file is the raw one, and the extension it keeps.
TEST(FileKindTable, KindsAndRawExtensionsByName) {
  const struct {
    const char* name;
    FileKind kind;
    const char* rawExtension;
  } cases[] = {
      {"/t/TetherTMP1.DNG", FileKind::kRaw, "dng"},  {"/t/TetherTMP1.NEF", FileKind::kRaw, "nef"},
      {"/t/TetherTMP1.CR3", FileKind::kRaw, "cr3"},  {"/t/TetherTMP1.arw", FileKind::kRaw, "arw"},
      {"/t/TetherTMP1.JPG", FileKind::kJpeg, "dng"}, {"/t/TetherTMP1.jpeg", FileKind::kJpeg, "dng"},
      {"/t.x/NOEXT", FileKind::kRaw, "dng"},         {"x.TOOLONG", FileKind::kRaw, "dng"},
      {"x.N\xc3\xa9" "F", FileKind::kRaw, "dng"},     {"x.", FileKind::kRaw, "dng"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileKindOfTaskFile(c.name), c.kind) << c.name;
    EXPECT_EQ(RawExtensionOf(c.name), c.rawExtension) << c.name;
  }
}

}  // namespace
}  // namespace tether_host
