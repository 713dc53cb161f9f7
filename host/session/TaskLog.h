// Where the task's log (its stderr) goes: appended to a file, the last lines
// kept for a failure report, copied to our stderr as it comes when verbose.
// The task's lines that tell of a file it did not save are recognised and
// passed on, so such a failure is reported as what it is.
//
// Thread: lines come on the thread that reads the task.
#ifndef TETHER_HOST_TASK_LOG_H_
#define TETHER_HOST_TASK_LOG_H_

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/client/TaskLaunch.h"
#include "host/client/TetherEvents.h"

namespace tether_host {

class TaskLog {
 public:
  static constexpr size_t kTailLines = 20;

  // Opens `path` for appending (creating its folder when `makeFolder`);
  // null with *error naming the file and the system's error.
  static std::unique_ptr<TaskLog> open(const std::string& path, bool makeFolder, bool verbose,
                                       std::string* error);
  // The log a launch asks for. An explicit --task-log that cannot be opened
  // is an error (null, *error says why); the default one falls back to a
  // new private file under $TMPDIR, and *notice then says so in one line.
  static std::unique_ptr<TaskLog> openFor(const TaskLaunch& launch, std::string* notice,
                                          std::string* error);
  ~TaskLog();

  // One line of the task's log, without its newline.
  void line(const std::string& text);
  // Called when the task says it did not save a DNG or JPEG, with its reason.
  void onRefusedSave(std::function<void(FileKind, const std::string&)> callback) {
    mOnRefusedSave = std::move(callback);
  }

  const std::string& path() const { return mPath; }
  std::vector<std::string> tail() const { return {mTail.begin(), mTail.end()}; }

 private:
  TaskLog(std::string path, FILE* file, bool verbose)
      : mPath(std::move(path)), mFile(file), mVerbose(verbose) {}

  std::string mPath;
  FILE* mFile;
  bool mVerbose;
  std::deque<std::string> mTail;
  FileKind mLastKind = FileKind::kRaw;  // of the last temporary file the task named
  std::function<void(FileKind, const std::string&)> mOnRefusedSave;
};

}  // namespace tether_host

#endif  // TETHER_HOST_TASK_LOG_H_
