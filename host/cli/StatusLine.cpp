#include "host/cli/StatusLine.h"

#include <algorithm>

#include "host/client/TerminalText.h"

namespace tether_host {

void StatusLine::cameraChanged(const std::string& modelName) {
  mCamera = modelName;
  // No promise of waiting here: the camera is also closed when the session ends.
  printLine(modelName.empty() ? "camera disconnected" : "camera connected: " + modelName);
}

void StatusLine::settingsChanged(const SettingsTexts& s) {
  mSettings = s;
  if (mTerminal) return redraw();
  printLine("settings: ISO " + s.iso + ", f/" + s.aperture + ", " + s.shutter + ", " +
            s.whiteBalance);
}

void StatusLine::captureAnnounced(const CaptureAnnounced& capture) {
  if (capture.number != mPictureNumber) flushPicture();
  mPictureNumber = capture.number;
}

void StatusLine::fileSaved(const FileSaved& file) {
  if (file.number != mPictureNumber) {
    flushPicture();
    mPictureNumber = file.number;
  }
  if (mPictureFiles.empty()) ++mSaved;
  mPictureFiles.push_back(file.path);
  mPictureKinds.push_back(file.kind);
  const bool whole = std::count(mPictureKinds.begin(), mPictureKinds.end(), FileKind::kThumbnail) &&
                     std::count(mPictureKinds.begin(), mPictureKinds.end(), FileKind::kRaw) &&
                     std::count(mPictureKinds.begin(), mPictureKinds.end(), FileKind::kJpeg);
  if (whole) flushPicture();
  else if (mTerminal) redraw();
}

void StatusLine::saveFailed(const SaveFailed& failure) {
  printLine("NOT SAVED: picture " + std::to_string(failure.number) + " (" +
            fileKindName(failure.kind) + "): " + failure.message);
}

void StatusLine::captureIncomplete(int /*captureId*/, int number, const std::string& missing) {
  printLine("INCOMPLETE: picture " + std::to_string(number) + ": no " + missing + " arrived");
}

void StatusLine::finish() {
  flushPicture();
  if (mTerminal) std::fputs("\r\033[K", mOut);
  std::fflush(mOut);
}

void StatusLine::flushPicture() {
  if (mPictureFiles.empty()) return;
  std::string line = "picture " + std::to_string(mPictureNumber) + ":";
  for (const std::string& path : mPictureFiles) line += " " + path;
  mPictureFiles.clear();
  mPictureKinds.clear();
  printLine(line);
}

void StatusLine::printLine(const std::string& line) {
  if (mTerminal) std::fputs("\r\033[K", mOut);
  std::fprintf(mOut, "%s\n", SafeForTerminal(line).c_str());
  if (mTerminal) redraw();
  std::fflush(mOut);
}

void StatusLine::redraw() {
  const auto or_ = [](const std::string& s) { return s.empty() ? std::string("?") : SafeForTerminal(s); };
  std::fprintf(mOut, "\r\033[K[%s] ISO %s  f/%s  %s  WB %s  %d picture%s  (Enter: capture, Ctrl-C: end)",
               mCamera.empty() ? "no camera" : SafeForTerminal(mCamera).c_str(), or_(mSettings.iso).c_str(),
               or_(mSettings.aperture).c_str(), or_(mSettings.shutter).c_str(),
               or_(mSettings.whiteBalance).c_str(), mSaved, mSaved == 1 ? "" : "s");
  std::fflush(mOut);
}

}  // namespace tether_host
