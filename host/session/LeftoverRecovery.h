// Pictures that a killed session (SIGKILL, power loss) left in its private
// temporary folder: found at the start of a later run, and moved into an
// output folder by `tether-host recover`, under the same naming and with
// the same placement as a live session's files (a capture's files share
// one stem; nothing is ever replaced). The camera's own file names died
// with the session, so a recovered capture is named as a capture without
// one: capture<id>.dng, capture<id>.jpg, capture<id>.thumb.jpg; a
// thumbnail whose capture is unknown becomes thumbnail-<n>.thumb.jpg.
//
// Thread: any one thread.
#ifndef TETHER_HOST_LEFTOVER_RECOVERY_H_
#define TETHER_HOST_LEFTOVER_RECOVERY_H_

#include <string>
#include <vector>

#include "host/client/PrivateTempDir.h"
#include "host/saving/CaptureSaver.h"

namespace tether_host {

// One line telling where abandoned folders are and what they hold, or ""
// when no abandoned folder holds anything.
std::string DescribeLeftovers(const std::vector<AbandonedTempDir>& found);

struct RecoveryResult {
  std::vector<FileSaved> saved;
  std::vector<SaveFailed> failures;
  std::vector<std::string> kept;  // paths that stay behind (entries, or a folder)
};

// Moves the pictures of every abandoned folder under `tempParent` (empty:
// $TMPDIR or /tmp) into `outDir` and removes the folders emptied.
RecoveryResult RecoverLeftovers(const std::string& tempParent, const std::string& outDir,
                                const FilenamePattern& pattern);

}  // namespace tether_host

#endif  // TETHER_HOST_LEFTOVER_RECOVERY_H_
