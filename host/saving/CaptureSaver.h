// The saving rules every command shares: what the task says about a capture
// ("objectWasAdded", "thumbnailWasDownloaded", "fileDownloadComplete") and
// how its files get into the output folder. The thumbnail's bytes are first
// written into the session's temporary directory, so thumbnail, DNG and JPEG
// all take the same path: moved (or copied across file systems) under a name
// that replaces nothing, then fsync'ed with their folder before they count
// as saved. Only files inside the session's own temporary directory are
// ever moved. Every outcome is told to the sink at once.
//
// All files of a capture share one stem (IMG_0001.thumb.jpg, IMG_0001.dng,
// IMG_0001.jpg; or all -1, ...), also when other sessions write to the same
// folder at the same time:
//  - the capture's first file takes the first name free for every kind of
//    file, and that fixes the stem;
//  - right after taking it, the stem is checked: a file of another kind
//    found there belongs to a writer that picked the same stem at the same
//    moment, so ours moves on (an exclusive rename) to the next stem free
//    for every kind, checked again. Of two writers following this rule, the
//    one whose file came second always sees the other's, so they never
//    stay on one stem, and this happens before the first file is reported;
//  - later files take exactly the capture's stem. If that name is taken
//    nonetheless (a program that ignores the rule), the files placed so far
//    move to a stem free for every kind, are reported again at their new
//    paths, and the move is listed among the record's problems.
//
// Thread: one thread drives a saver. The sink is borrowed.
#ifndef TETHER_HOST_CAPTURE_SAVER_H_
#define TETHER_HOST_CAPTURE_SAVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/saving/FilenamePattern.h"
#include "host/saving/OutputFiles.h"
#include "host/client/HostMessage.h"
#include "host/client/TetherEvents.h"

namespace tether_host {

struct SavedFile {
  int captureId = 0;
  int number = 0;
  FileKind kind = FileKind::kThumbnail;
  std::string path;           // where it is now
  int64_t size = -1;          // on disk
  int64_t reportedSize = -1;  // "file_size" of the report; -1 for thumbnails
  bool sizeMatches() const { return reportedSize < 0 || size == reportedSize; }
};

struct IncompleteCapture {
  int captureId = 0;
  int number = 0;
  std::string missing;  // "thumbnail", "image file", "thumbnail and image file"
};

// Everything a session saved, failed to save, or never received.
struct SaveRecord {
  std::vector<SavedFile> files;
  std::vector<SaveFailed> failures;
  std::vector<IncompleteCapture> incomplete;
  std::vector<std::string> problems;  // sizes that differ from the camera's report
  int pictures = 0;                   // captures announced
};

class CaptureSaver {
 public:
  struct Options {
    std::string outDir = ".";
    FilenamePattern pattern;
    std::string tempDir;  // the session's private temporary directory
  };
  // What has arrived of one capture.
  struct Progress {
    int number = 0;
    bool thumbnail = false;
    bool dng = false;  // the raw file, whatever its format
    bool jpeg = false;
    bool failed = false;  // some file of it could not be saved
    std::chrono::steady_clock::time_point lastNews;
    int files() const { return (dng ? 1 : 0) + (jpeg ? 1 : 0); }
    // Nothing more will come: all three files, or the thumbnail and one
    // file with no news for `quietMs` (a camera set to one format).
    bool done(int quietMs) const {
      return (thumbnail && dng && jpeg) ||
             (thumbnail && files() > 0 &&
              std::chrono::steady_clock::now() - lastNews >= std::chrono::milliseconds(quietMs));
    }
  };

  CaptureSaver(Options options, TetherObserver* sink);

  // Handles the three capture messages; false for any other message.
  bool handle(const HostMessage& message);
  // The task's log says it did not save a file of the newest capture.
  void taskRefusedSave(FileKind kind, const std::string& why);
  // Lists every capture still missing its thumbnail or all image files as
  // incomplete in the record (afresh at each call), telling the sink of
  // each capture once.
  void finish();

  // Every capture seen so far is done(quietMs).
  bool allDone(int quietMs) const;
  // Null for a capture id never seen.
  const Progress* progress(int captureId) const;
  const SaveRecord& record() const { return mRecord; }

  // Called each time a file has just taken a name in the output folder
  // (relative to it): where a test plays another writer racing this saver.
  void setClaimHook(std::function<void(const std::string& name)> hook) {
    mOut.setClaimHook(std::move(hook));
  }

 private:
  struct Capture {
    int captureId = 0;
    Progress progress;
    NameFields fields;
    bool suffixChosen = false;  // the stem is fixed once the first file is placed
    // The raw file's extension: from the camera's file name until the raw
    // file itself arrives, so the stem is chosen free for it too.
    std::string rawExtension = "dng";
    int suffix = 0;
    struct Placed {
      FileKind kind;
      std::string name;  // relative to the output folder
      size_t record;     // index in mRecord.files
    };
    std::vector<Placed> placed;
    bool listedIncomplete = false;  // told to the sink
  };
  Capture& captureFor(int captureId);
  void announce(const HostMessage& message, int captureId);
  void saveThumbnail(const HostMessage& message, int captureId);
  void saveFile(const HostMessage& message, int captureId);
  bool tempDirHolds(const std::string& path) const;
  std::vector<std::string> namesAt(const Capture& capture, int n) const;
  std::string nameOf(const Capture& capture, FileKind kind, int n) const;
  bool foreignAtStem(const Capture& capture);
  bool restake(Capture& capture, std::string* error);
  void report(const Capture& capture, const SavedFile& file);
  void place(Capture& capture, FileKind kind, const std::string& source, int64_t reported);
  void fail(Capture& capture, FileKind kind, const std::string& message);

  Options mOptions;
  TetherObserver* mSink;
  OutputFolder mOut;
  std::map<int, Capture> mCaptures;
  int mNewest = 0;  // capture id of the newest announced capture
  int mTempSerial = 0;
  std::chrono::steady_clock::time_point mReportedAt;  // of the message being handled
  SaveRecord mRecord;
};

}  // namespace tether_host

#endif  // TETHER_HOST_CAPTURE_SAVER_H_
