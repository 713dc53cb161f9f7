#include "host/session/TaskLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host/client/TerminalText.h"
#include "host/saving/OutputFiles.h"

namespace tether_host {

namespace {

// The task's words for a file it wrote no bytes of; what follows is why.
constexpr char kNotSaved[] = "frameCallback: file not saved:";

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

std::unique_ptr<TaskLog> TaskLog::open(const std::string& path, bool makeFolder, bool verbose,
                                       std::string* error) {
  const size_t slash = path.find_last_of('/');
  if (makeFolder && slash != std::string::npos && slash > 0 &&
      !MakeDirectories(path.substr(0, slash), error)) {
    *error = "cannot open the task log " + path + ": " + *error;
    return nullptr;
  }
  FILE* file = fopen(path.c_str(), "ae");
  if (file == nullptr) {
    *error = "cannot open the task log " + path + ": " + strerror(errno);
    return nullptr;
  }
  setvbuf(file, nullptr, _IOLBF, 0);
  return std::unique_ptr<TaskLog>(new TaskLog(path, file, verbose));
}

std::unique_ptr<TaskLog> TaskLog::openFor(const TaskLaunch& launch, std::string* notice,
                                          std::string* error) {
  if (!launch.taskLogPath.empty()) return open(launch.taskLogPath, false, launch.verbose, error);
  std::string why;
  if (auto log = open(DefaultTaskLogPath(), true, launch.verbose, &why)) return log;
  // A HOME that is not ours (sudo, another user's shell) must not stop the
  // session: the log then goes to a file of our own that nobody else can read.
  const char* env = getenv("TMPDIR");
  std::string path = std::string(env != nullptr && *env != '\0' ? env : "/tmp") +
                     "/tether-host-task-XXXXXX.log";
  const int fd = mkostemps(path.data(), 4, O_CLOEXEC);  // mode 0600
  FILE* file = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) close(fd);
    *error = why + "; nor a temporary one: " + strerror(errno);
    return nullptr;
  }
  setvbuf(file, nullptr, _IOLBF, 0);
  *notice = why + "; the task's log goes to " + path;
  return std::unique_ptr<TaskLog>(new TaskLog(path, file, launch.verbose));
}

TaskLog::~TaskLog() { fclose(mFile); }

void TaskLog::line(const std::string& text) {
  std::fprintf(mFile, "%s\n", text.c_str());
  if (mVerbose) std::fprintf(stderr, "%s\n", SafeForTerminal(text).c_str());
  mTail.push_back(text);
  if (mTail.size() > kTailLines) mTail.pop_front();
  // The task names each temporary file before writing it.
  if (EndsWith(text, "\"") && text.find("/TetherTMP") != std::string::npos) {
    mLastKind = FileKindOfTaskFile(text.substr(0, text.size() - 1));
  }
  const size_t at = text.find(kNotSaved);
  if (at != std::string::npos && mOnRefusedSave) {
    std::string why = text.substr(at + strlen(kNotSaved));
    if (!why.empty() && why[0] == ' ') why.erase(0, 1);
    mOnRefusedSave(mLastKind, why);
  }
}

}  // namespace tether_host
