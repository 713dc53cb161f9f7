// recover: the pictures a killed session left in its temporary folder.
#include <cstdio>

#include "host/cli/CommandSupport.h"
#include "host/cli/Commands.h"
#include "host/client/TerminalText.h"
#include "host/session/LeftoverRecovery.h"

namespace tether_host {

int runRecover(const std::string& outDir, const std::string& filenamePattern) {
  if (DescribeLeftovers(PrivateTempDir::findAbandoned("")).empty()) {
    Say("nothing to recover: no folder left by a session that did not end");
    return kExitOk;
  }
  if (!PrepareOutputFolder(outDir)) return kExitUsage;
  FilenamePattern pattern;
  std::string error;
  FilenamePattern::parse(filenamePattern, &pattern, &error);
  const RecoveryResult result = RecoverLeftovers("", outDir, pattern);
  for (const FileSaved& file : result.saved) {
    std::printf("recovered %s\n", SafeForTerminal(file.path).c_str());
  }
  for (const SaveFailed& failure : result.failures) {
    std::printf("NOT SAVED: %s\n", SafeForTerminal(failure.message).c_str());
  }
  std::fflush(stdout);
  for (const std::string& path : result.kept) Say("left where it was: " + path);
  Say(std::to_string(result.saved.size()) + " file" + (result.saved.size() == 1 ? "" : "s") +
      " recovered into " + outDir);
  return result.failures.empty() ? kExitOk : kExitCaptureFailed;
}

}  // namespace tether_host
