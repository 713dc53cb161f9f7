// What the status line counts and prints: one line per picture once its
// files are all in (or the next picture begins), pictures counted, not files.
#include "host/cli/StatusLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tether_host {
namespace {

std::string Drawn(bool terminal) {
  FILE* out = tmpfile();
  StatusLine line(out, terminal);
  const auto saved = [&](int number, FileKind kind, const char* path) {
    FileSaved f;
    f.number = number;
    f.kind = kind;
    f.path = path;
    line.fileSaved(f);
  };
  line.cameraChanged("Orvak K1");
  line.captureAnnounced({1, 1, "IMG_0001.DNG", "AB", {}});
  saved(1, FileKind::kThumbnail, "a.thumb.jpg");
  saved(1, FileKind::kRaw, "a.dng");
  saved(1, FileKind::kJpeg, "a.jpg");
  line.captureAnnounced({2, 2, "IMG_0002.DNG", "AB", {}});
  saved(2, FileKind::kThumbnail, "b.thumb.jpg");
  saved(2, FileKind::kJpeg, "b.jpg");
  line.saveFailed({2, 2, FileKind::kRaw, "disk full"});
  line.captureIncomplete(3, 3, "image file");
  line.settingsChanged({"400", "5.6", "1/125", "Daylight"});
  line.finish();
  std::string text(static_cast<size_t>(ftell(out)), '\0');
  rewind(out);
  text.resize(fread(text.data(), 1, text.size(), out));
  fclose(out);
  return text;
}

TEST(StatusLineTest, OneLinePerPictureAndPicturesCounted) {
  EXPECT_EQ(Drawn(false),
            "camera connected: Orvak K1\n"
            "picture 1: a.thumb.jpg a.dng a.jpg\n"
            "NOT SAVED: picture 2 (dng): disk full\n"
            "INCOMPLETE: picture 3: no image file arrived\n"
            "settings: ISO 400, f/5.6, 1/125, Daylight\n"
            "picture 2: b.thumb.jpg b.jpg\n");
  const std::string drawn = Drawn(true);
  EXPECT_NE(drawn.rfind("[Orvak K1] ISO 400  f/5.6  1/125  WB Daylight  2 pictures"), std::string::npos)
      << drawn;
  EXPECT_NE(drawn.find("WB ?  1 picture  ("), std::string::npos) << drawn;
}

}  // namespace
}  // namespace tether_host
