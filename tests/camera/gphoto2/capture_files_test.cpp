// Which announced files make one capture.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera/gphoto2/capture_files.h"

namespace krv_gphoto {
namespace {

using std::chrono::milliseconds;
using Clock = CaptureAssembler::Clock;

TEST(CaptureFilesTest, KindAndStem) {
  const struct {
    const char* name;
    FileKind kind;
    const char* stem;
  } kCases[] = {{"DSC_0001.NEF", FileKind::kRaw, "DSC_0001"}, {"IMG_1.cr3", FileKind::kRaw, "IMG_1"},
                {"A.ARW", FileKind::kRaw, "A"},               {"B.raf", FileKind::kRaw, "B"},
                {"C.DNG", FileKind::kRaw, "C"},               {"D.JPG", FileKind::kJpeg, "D"},
                {"E.jpeg", FileKind::kJpeg, "E"},             {"F.MOV", FileKind::kOther, "F"},
                {"G", FileKind::kOther, "G"},                 {"a.b.NEF", FileKind::kRaw, "a.b"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(KindOfFile(c.name), c.kind) << c.name;
    EXPECT_EQ(FileStem(c.name), c.stem) << c.name;
  }
}

// A compact script: each step adds a file (name), or "+N" lets N ms pass and
// expires, or "C" is CaptureComplete. Each closed capture is written
// "raw|jpeg" with "-" for a missing file.
std::vector<std::string> Assemble(const std::vector<std::string>& steps) {
  CaptureAssembler assembler(milliseconds(500));
  Clock::time_point now{};
  std::vector<std::string> out;
  auto record = [&out](const Capture& c) {
    out.push_back((c.raw ? c.raw->name : "-") + "|" + (c.jpeg ? c.jpeg->name : "-"));
  };
  for (const std::string& step : steps) {
    if (step[0] == '+') {
      now += milliseconds(std::stoi(step.substr(1)));
      if (auto c = assembler.expire(now)) record(*c);
    } else if (step == "C") {
      if (auto c = assembler.close()) record(*c);
    } else {
      for (const Capture& c : assembler.add({"/store/DCIM", step}, now)) record(c);
    }
  }
  return out;
}

TEST(CaptureFilesTest, Pairing) {
  const struct {
    std::vector<std::string> steps;
    std::vector<std::string> captures;
  } kCases[] = {
      // A pair in either order is one capture, at once.
      {{"D1.NEF", "D1.JPG"}, {"D1.NEF|D1.JPG"}},
      {{"D1.JPG", "D1.NEF"}, {"D1.NEF|D1.JPG"}},
      // A single file closes at CaptureComplete, or when its window passes.
      {{"D1.JPG", "C"}, {"-|D1.JPG"}},
      {{"D1.NEF", "+499"}, {}},
      {{"D1.NEF", "+500"}, {"D1.NEF|-"}},
      // CaptureComplete before the objects: the window closes them.
      {{"C", "D1.JPG", "+600"}, {"-|D1.JPG"}},
      // Another stem, or a second file of a kind, starts a new capture.
      {{"D1.JPG", "D2.JPG", "C"}, {"-|D1.JPG", "-|D2.JPG"}},
      {{"D1.NEF", "D2.NEF", "D2.JPG"}, {"D1.NEF|-", "D2.NEF|D2.JPG"}},
      // Files of other kinds are not captures.
      {{"M1.MOV", "C"}, {}},
  };
  for (const auto& c : kCases) {
    std::string trace;
    for (const std::string& s : c.steps) trace += s + " ";
    EXPECT_EQ(Assemble(c.steps), c.captures) << trace;
  }
}

}  // namespace
}  // namespace krv_gphoto
