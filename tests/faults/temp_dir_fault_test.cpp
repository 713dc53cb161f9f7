// Faults of the temporary directory while the real task saves captures: a
// full disk, a read-only or missing directory, and a link or a directory
// planted at a file's final name. In every case a file is either reported
// and whole under its final name, or not reported and not there at all.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/client/HostMessage.h"
#include "tests/e2e/task_fixture.h"

namespace tether_faults {

using namespace tether_e2e;  // the shared task fixture and its helpers
using FaultTest = TaskTest;

namespace {

using tether_host::HostMessage;
using Names = std::vector<std::string>;

const char kTiffHeader[] = {'I', 'I', '*', '\0'};

// Fills the file system of `dir` completely with one file, then gives back
// `headroom` bytes. Returns the filler's path, or empty on failure.
std::string FillLeaving(const std::string& dir, off_t headroom) {
  const std::string path = dir + "/filler";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::string();
  const std::string chunk(64 * 1024, 'f');
  off_t written = 0;
  for (;;) {
    const ssize_t n = write(fd, chunk.data(), chunk.size());
    if (n <= 0) break;  // ENOSPC: the file system is full
    written += n;
  }
  const bool ok = errno == ENOSPC && written > headroom && ftruncate(fd, written - headroom) == 0;
  close(fd);
  return ok ? path : std::string();
}

class TempDirFaultTest : public FaultTest {
 protected:
  // Sends "doCapture" and reads the capture's object and thumbnail, checking
  // they carry `captureId`.
  void CaptureAndExpectThumbnail(int captureId) {
    ASSERT_GT(task().send("doCapture", nullptr), 0);
    HostMessage object = expect("objectWasAdded");
    EXPECT_EQ(object.number("capture_id"), captureId);
    HostMessage thumbnail = expect("thumbnailWasDownloaded");
    EXPECT_EQ(thumbnail.number("capture_id"), captureId);
    const ZyLuaTEData* data = thumbnail.data("thumbnail_data");
    ASSERT_NE(data, nullptr);
    EXPECT_GT(data->mLength, 100);
  }

  // Every event the SDK has queued is delivered (and so every frame of it
  // written), then a settings request is answered: everything read before
  // the answer is in seen(), which is returned and cleared.
  std::vector<HostMessage> MessagesUpToFence() {
    takeSeen();
    mustControl("flush");
    const int32_t id = task().send("getCameraSettings", nullptr);
    EXPECT_GT(id, 0);
    HostMessage ok = expect("ok");
    EXPECT_EQ(ok.id, id);
    return takeSeen();
  }

  // The reported file exists as a regular file under its final name,
  // holding exactly the reported number of bytes.
  std::string ExpectReportedFile(const HostMessage& report, int captureId, const char* extension) {
    EXPECT_EQ(report.name, "fileDownloadComplete");
    EXPECT_EQ(report.number("capture_id"), captureId);
    const std::string path = report.string("file_path").value_or("");
    EXPECT_EQ(path, imageDir() + "/TetherTMP" + std::to_string(captureId) + extension);
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path << " is not a regular file";
    const std::string bytes = FileBytes(path);
    EXPECT_EQ(static_cast<double>(bytes.size()), report.number("file_size").value_or(-1)) << path;
    return bytes;
  }

  // A whole capture with both files saved.
  void ExpectCaptureWithBothFiles(int captureId) {
    CaptureAndExpectThumbnail(captureId);
    const std::string dng =
        ExpectReportedFile(expect("fileDownloadComplete"), captureId, ".DNG");
    EXPECT_EQ(dng.substr(0, 4), std::string(kTiffHeader, 4));
    const std::string jpg =
        ExpectReportedFile(expect("fileDownloadComplete"), captureId, ".JPG");
    EXPECT_EQ(jpg.substr(0, 2), "\xFF\xD8");
  }

  // Neither file of the capture can be written: the host gets the object
  // and the thumbnail, no file report, and the task goes on answering.
  void ExpectCapturesWithoutFiles(const std::string& tempDir) {
    startTask({"TMPDIR=" + tempDir});
    expect("deviceAdded");
    for (int captureId = 1; captureId <= 2; ++captureId) {
      SCOPED_TRACE("capture " + std::to_string(captureId));
      CaptureAndExpectThumbnail(captureId);
      for (const HostMessage& m : MessagesUpToFence()) {
        EXPECT_NE(m.name, "fileDownloadComplete") << m.string("file_path").value_or("");
      }
      // One line per file that could not be saved.
      EXPECT_EQ(logCount("file not saved"), static_cast<size_t>(2 * captureId)) << taskLog();
    }
    ASSERT_GT(task().send("shutdown", nullptr), 0);
    ExpectCleanExit(task());
  }
};

TEST_F(TempDirFaultTest, DiskFullLosesOnlyTheFileThatDidNotFitAndRecovers) {
  std::string error;
  if (!mountTmpfs(imageDir(), "size=4m", false, &error)) GTEST_SKIP() << error;
  startTask({"KRV_SIM_DNG_BYTES=1048576"});
  expect("deviceAdded");
  // The disk fills up while the task runs (also after whatever a sanitizer
  // runtime keeps in TMPDIR). The JPEG (a few KiB) fits into what is left;
  // the 1 MiB DNG does not.
  const std::string filler = FillLeaving(imageDir(), 256 * 1024);
  ASSERT_FALSE(filler.empty()) << strerror(errno);

  CaptureAndExpectThumbnail(1);
  // The DNG ends before the JPEG: the first report must already be the JPEG.
  ExpectReportedFile(expect("fileDownloadComplete"), 1, ".JPG");
  for (const HostMessage& m : MessagesUpToFence()) EXPECT_NE(m.name, "fileDownloadComplete");
  EXPECT_EQ(logCount("file not saved"), 1u) << taskLog();
  // Nothing under the DNG's name, and no partial scratch file left behind.
  EXPECT_EQ(ListDir(imageDir()), (Names{"TetherTMP1.JPG", "filler"}));

  // Space comes back: the next capture is saved whole.
  ASSERT_EQ(unlink(filler.c_str()), 0);
  ExpectCaptureWithBothFiles(2);
  EXPECT_EQ(ListDir(imageDir()), (Names{"TetherTMP1.JPG", "TetherTMP2.DNG", "TetherTMP2.JPG"}));

  // The file system shrinks under a running task: a remount makes room again.
  const std::string refill = FillLeaving(imageDir(), 256 * 1024);
  ASSERT_FALSE(refill.empty());
  CaptureAndExpectThumbnail(3);
  ExpectReportedFile(expect("fileDownloadComplete"), 3, ".JPG");
  for (const HostMessage& m : MessagesUpToFence()) EXPECT_NE(m.name, "fileDownloadComplete");
  EXPECT_EQ(logCount("file not saved"), 2u);
  ASSERT_TRUE(remountTmpfs(imageDir(), "size=16m", &error)) << error;
  ExpectCaptureWithBothFiles(4);
  EXPECT_EQ(ListDir(imageDir()), (Names{"TetherTMP1.JPG", "TetherTMP2.DNG", "TetherTMP2.JPG",
                                        "TetherTMP3.JPG", "TetherTMP4.DNG", "TetherTMP4.JPG",
                                        "filler"}));

  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
}

TEST_F(TempDirFaultTest, ReadOnlyTempDirSendsThumbnailsButNoFiles) {
  // Mode bits do not stop root; a read-only mount does.
  const std::string readOnly = dir() + "/read-only";
  std::string error;
  if (!mountTmpfs(readOnly, "size=1m", true, &error)) GTEST_SKIP() << error;
  ExpectCapturesWithoutFiles(readOnly);
  EXPECT_TRUE(ListDir(readOnly).empty());
}

// Qt answers an empty temp path for a TMPDIR that does not exist; the files
// must then be refused, not saved as "/TetherTMP1.DNG" in the root directory.
TEST_F(TempDirFaultTest, MissingTempDirSendsThumbnailsButNoFiles) {
  const std::string missing = dir() + "/no-such-dir";
  ExpectCapturesWithoutFiles(missing);
  struct stat st;
  EXPECT_NE(stat(missing.c_str(), &st), 0) << "the task created its temp dir";
}

TEST_F(TempDirFaultTest, LinkAtTheFinalNameIsReplacedNeverFollowed) {
  // A victim outside the temp dir, and a dangling link that would create a
  // file where the link points.
  const std::string victim = dir() + "/victim";
  const std::string absent = dir() + "/created-through-link";
  {
    std::ofstream out(victim, std::ios::binary);
    out << "victim bytes";
  }
  ASSERT_EQ(symlink(victim.c_str(), (imageDir() + "/TetherTMP1.JPG").c_str()), 0);
  ASSERT_EQ(symlink(absent.c_str(), (imageDir() + "/TetherTMP1.DNG").c_str()), 0);
  startTask();
  expect("deviceAdded");

  ExpectCaptureWithBothFiles(1);
  EXPECT_EQ(FileBytes(victim), "victim bytes");
  struct stat st;
  EXPECT_NE(lstat(absent.c_str(), &st), 0) << "a file was created through the link";
  EXPECT_EQ(ListDir(imageDir()), (Names{"TetherTMP1.DNG", "TetherTMP1.JPG"}));
}

TEST_F(TempDirFaultTest, DirectoryAtTheFinalNameIsLeftAloneAndNotReported) {
  const std::string planted = imageDir() + "/TetherTMP1.DNG";
  ASSERT_EQ(mkdir(planted.c_str(), 0755), 0);
  {
    std::ofstream out(planted + "/keep", std::ios::binary);
    out << "kept";
  }
  startTask();
  expect("deviceAdded");

  CaptureAndExpectThumbnail(1);
  // The other file of the capture is still reported, and it is the first.
  ExpectReportedFile(expect("fileDownloadComplete"), 1, ".JPG");
  for (const HostMessage& m : MessagesUpToFence()) EXPECT_NE(m.name, "fileDownloadComplete");
  EXPECT_EQ(logCount("file not saved"), 1u) << taskLog();
  struct stat st;
  ASSERT_EQ(lstat(planted.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(ListDir(planted), (Names{"keep"}));
  EXPECT_EQ(FileBytes(planted + "/keep"), "kept");
  EXPECT_EQ(ListDir(imageDir()), (Names{"TetherTMP1.DNG", "TetherTMP1.JPG"}));

  // The next capture has names of its own and is saved whole.
  ExpectCaptureWithBothFiles(2);
}

}  // namespace
}  // namespace tether_faults
