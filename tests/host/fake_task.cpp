// A stand-in for tether-task in the host tests: reads frames from stdin and
// answers like the task with a camera attached, writing small image files
// into $TMPDIR. FAKE_TASK_MODE holds comma-separated switches:
//   nocamera          no "deviceAdded", no reply to "getCameraSettings"
//   dngonly           a capture delivers the DNG only
//   badsize           "file_size" one more than what was written
//   crash-on-capture  exit with status 7 on "doCapture"
//   garbage           after "deviceAdded", a frame with length -5
//   stubborn          ignore SIGTERM, "shutdown" and end of input
//   echo              answer every command with "received" under its id
//   chunky            write every frame one byte at a time
//   datademo          at start, a message with data and awkward strings
//   ticker            a "tick" every 20 ms while no command is waiting
//   thumbonly         a capture delivers its name and thumbnail only
//   refusejpeg        the JPEG is not saved: the task's log line says why
//   camerapress       one capture taken on the camera right after "deviceAdded"
//   holdfiles         a capture's DNG is written at once but it and the JPEG
//                     are reported only on "shutdown" (a picture still arriving)
//   hostilename       a real camera (12289) whose name, file name and a log line
//                     carry escape sequences and C1 controls
// It writes "fake task started" to stderr when it starts.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/client/FrameReader.h"
#include "host/client/HostMessage.h"
#include "source/ProtocolNames.h"

namespace proto = tether::proto;
using tether_host::EncodeFrame;
using tether_host::FrameReader;
using tether_host::HostMessage;

namespace {

std::string TempDir() {
  const char* t = std::getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

class FakeTask {
 public:
  explicit FakeTask(std::string mode) : mMode("," + std::move(mode) + ",") {}

  bool has(const char* flag) const {
    return mMode.find("," + std::string(flag) + ",") != std::string::npos;
  }

  void writeOut(const std::string& bytes) const {
    if (has("chunky")) {
      for (char c : bytes) {
        if (write(1, &c, 1) != 1) std::exit(1);
      }
      return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(1, bytes.data() + done, bytes.size() - done);
      if (n <= 0) std::exit(1);
      done += static_cast<size_t>(n);
    }
  }

  // Sends and deletes the table.
  void send(int32_t id, const char* name, ZyLuaTETable* table) const {
    writeOut(EncodeFrame(id, name, table));
    delete table;
  }

  // Writes `size` bytes of a pattern and reports the file like the task.
  void deliverFile(int captureId, const char* ext, size_t size) const {
    writeFile(captureId, ext, size);
    reportFile(captureId, ext, size);
  }
  void writeFile(int captureId, const char* ext, size_t size) const {
    const std::string path = TempDir() + "/TetherTMP" + std::to_string(captureId) + ext;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::exit(3);
    for (size_t i = 0; i < size; ++i) std::fputc(static_cast<int>((i * 7 + captureId) & 0xFF), f);
    std::fclose(f);
  }
  void reportFile(int captureId, const char* ext, size_t size) const {
    const std::string path = TempDir() + "/TetherTMP" + std::to_string(captureId) + ext;
    auto* t = new ZyLuaTETable();
    t->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
    t->Set(proto::kFilePath, new ZyLuaTEString(path));
    t->Set(proto::kFileSize, new ZyLuaTENumber(static_cast<double>(size + (has("badsize") ? 1 : 0))));
    send(0, proto::kFileDownloadComplete, t);
  }

  void capture(int captureId) const {
    char name[64];
    std::snprintf(name, sizeof name,
                  has("hostilename") ? "IMG\033]0;owned\007\302\233" "2J%04d.dng" : "IMG_%04d.dng",
                  captureId);
    auto* added = new ZyLuaTETable();
    added->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
    added->Set(proto::kHasSidecar, new ZyLuaTENumber(0));
    added->Set(proto::kFileName, new ZyLuaTEString(name));
    added->Set(proto::kImageOrientation, new ZyLuaTEString("AB"));
    send(0, proto::kObjectWasAdded, added);

    unsigned char thumb[64] = {0xFF, 0xD8, 0xFF, 0xE0};
    for (size_t i = 4; i < sizeof thumb; ++i) thumb[i] = static_cast<unsigned char>(i + captureId);
    auto* t = new ZyLuaTETable();
    t->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
    t->Set(proto::kThumbnailData, new ZyLuaTEData(thumb, sizeof thumb));
    send(0, proto::kThumbnailWasDownloaded, t);

    if (has("thumbonly")) return;
    if (has("holdfiles")) {
      writeFile(captureId, ".DNG", 1000 + captureId);
      mHeld = captureId;
      return;
    }
    deliverFile(captureId, ".DNG", 1000 + captureId);
    if (has("refusejpeg")) {
      std::fprintf(stderr, "\"%s/TetherTMP%d.JPG\"\nframeCallback: file not saved: No space left on device\n",
                   TempDir().c_str(), captureId);
    } else if (!has("dngonly")) {
      deliverFile(captureId, ".JPG", 500 + captureId);
    }
  }

  // "shutdown" with a capture held back: what it still has comes now.
  void deliverHeld() const {
    if (mHeld == 0) return;
    reportFile(mHeld, ".DNG", 1000 + mHeld);
    deliverFile(mHeld, ".JPG", 500 + mHeld);
  }

 private:
  std::string mMode;
  mutable int mHeld = 0;  // the capture whose files wait for "shutdown"
};

}  // namespace

int main() {
  const char* mode = std::getenv("FAKE_TASK_MODE");
  const FakeTask fake(mode != nullptr ? mode : "");
  if (fake.has("stubborn")) signal(SIGTERM, SIG_IGN);
  std::fprintf(stderr, "fake task started\n");
  if (fake.has("hostilename")) std::fprintf(stderr, "camera says \033]0;owned\007\302\233" "2J\n");

  if (fake.has("datademo")) {
    auto* t = new ZyLuaTETable();
    t->Set("blob", new ZyLuaTEData(const_cast<char*>("abc"), 3));
    t->Set("text", new ZyLuaTEString(std::string("tab\there \"q\" \xC3\xA9 \xFF")));
    t->Set("ratio", new ZyLuaTENumber(0.25));
    fake.send(0, "demo", t);
  }
  if (!fake.has("nocamera")) {
    auto* t = new ZyLuaTETable();
    // A real camera (12289) names itself: hostile text like any from a camera.
    const bool hostile = fake.has("hostilename");
    t->Set(proto::kDeviceId, new ZyLuaTENumber(hostile ? 12289 : 8201));
    t->Set(proto::kName, new ZyLuaTEString(hostile ? "Evil\033[2J\007Cam\302\233" "1m" : "Orvak K1"));
    fake.send(0, proto::kDeviceAdded, t);
  }
  int captureId = 0;
  if (fake.has("camerapress")) fake.capture(++captureId);
  if (fake.has("garbage")) fake.writeOut(std::string("\xFB\xFF\xFF\xFF\x01\x00\x00\x00", 8));

  FrameReader reader;
  char buf[4096];
  for (;;) {
    HostMessage m;
    const FrameReader::Result r = reader.next(&m);
    if (r == FrameReader::Result::kError) return 4;
    if (r == FrameReader::Result::kNeedMore) {
      struct pollfd input = {0, POLLIN, 0};
      if (fake.has("ticker") && poll(&input, 1, 20) == 0) {
        fake.send(0, "tick", nullptr);
        continue;
      }
      const ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) {
        if (fake.has("stubborn")) for (;;) pause();
        return 0;
      }
      reader.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (fake.has("echo")) {
      auto* t = new ZyLuaTETable();
      t->Set("name", new ZyLuaTEString(m.name));
      fake.send(m.id, "received", t);
    }
    if (m.name == proto::kShutdown) {
      if (fake.has("stubborn")) continue;
      fake.deliverHeld();
      if (fake.has("late")) fake.capture(++captureId);  // a picture still on its way
      return 0;
    }
    if (m.name == proto::kDoCapture) {
      if (fake.has("crash-on-capture")) return 7;
      if (!fake.has("nocamera")) fake.capture(++captureId);
    } else if (m.name == proto::kGetCameraSettings && !fake.has("nocamera")) {
      auto* t = new ZyLuaTETable();
      t->Set(proto::kIsoSpeed, new ZyLuaTENumber(400));
      t->Set(proto::kAperture, new ZyLuaTENumber(5.6));
      t->Set(proto::kShutter, new ZyLuaTEString("1/125"));
      t->Set(proto::kWhiteBalance, new ZyLuaTEString("Daylight"));
      fake.send(m.id, proto::kOk, t);
    }
  }
}
