// The terminal face of a tethered session: one line per saved picture and,
// on a terminal, a status line (camera, ISO, aperture, shutter, white
// balance, pictures saved) redrawn in place beneath them. When the output
// is not a terminal, plain lines only: camera changes, settings, pictures.
//
// Thread: an observer; called on the session's thread. finish() too.
#ifndef TETHER_HOST_STATUS_LINE_H_
#define TETHER_HOST_STATUS_LINE_H_

#include <cstdio>
#include <string>
#include <vector>

#include "host/client/TetherEvents.h"

namespace tether_host {

class StatusLine : public TetherObserver {
 public:
  // `out` is borrowed; `terminal` chooses the redrawn status line.
  StatusLine(FILE* out, bool terminal) : mOut(out), mTerminal(terminal) {}

  void cameraChanged(const std::string& modelName) override;
  void settingsChanged(const SettingsTexts& settings) override;
  void captureAnnounced(const CaptureAnnounced& capture) override;
  void fileSaved(const FileSaved& file) override;
  void saveFailed(const SaveFailed& failure) override;
  void captureIncomplete(int captureId, int number, const std::string& missing) override;
  // Prints the picture still pending and clears the status line.
  void finish();

 private:
  void printLine(const std::string& line);
  void flushPicture();
  void redraw();

  FILE* mOut;
  bool mTerminal;
  std::string mCamera;
  SettingsTexts mSettings;
  int mSaved = 0;                  // pictures with at least one file saved
  int mPictureNumber = 0;          // the picture whose files are being listed
  std::vector<std::string> mPictureFiles;
  std::vector<FileKind> mPictureKinds;
};

}  // namespace tether_host

#endif  // TETHER_HOST_STATUS_LINE_H_
