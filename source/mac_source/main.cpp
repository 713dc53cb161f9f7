// Process entry of the tether task: the Qt message handler, the Qt
// application object beside the platform run loop, and the one delegate.
// The task takes no options and reads no configuration.
#include <QCoreApplication>
#include <QString>

#include <csignal>

#include "platform/Application.h"
#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "source/mac_source/TetherTask.h"

namespace {

// Every Qt message, whatever its type, becomes one bare log line.
void msgHandler(QtMsgType, const QMessageLogContext&, const QString& message) {
  zy::LogText(message.toUtf8().toStdString());
}

}  // namespace

int main(int argc, char** argv) {
  // The host's pipes move to private descriptors before anything else runs:
  // a camera library that closes descriptor 0 in an error path, or prints to
  // stdout, then meets /dev/null and stderr instead of the protocol.
  zy::FileHandle::fileHandleWithStandardInput();
  zy::FileHandle::fileHandleWithStandardOutput();

  // A host that has gone away shows up as end of input, not as a signal.
  std::signal(SIGPIPE, SIG_IGN);

  // Termination requests take the same path as "shutdown": the camera is
  // closed and the SDK shut down before the process ends. Installed before
  // anything can start a thread (Qt, the camera SDK), so that every thread
  // inherits the blocked mask and only the main loop takes these signals.
  zy::RunLoop& loop = zy::RunLoop::main();
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    loop.onSignal(signal, [] { zy::Application::shared().terminate(gTetherTask); });
  }

  qInstallMessageHandler(msgHandler);
  QCoreApplication application(argc, argv, QCoreApplication::ApplicationFlags);

  return zy::ApplicationMain(argc, argv, [] { return new TetherTask(); });
}
