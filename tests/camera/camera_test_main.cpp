// Test main for the camera tests: a QCoreApplication on the main thread, the
// main run loop draining Qt events every 0.05 s (as the tether service does),
// and the Qt debug lines captured for the tests to read.
#include <mutex>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "platform/RunLoop.h"
#include "tests/camera/camera_fakes.h"

namespace {
std::mutex gLogMutex;  // guards gLog
std::vector<std::string> gLog;

void CaptureQtMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gLog.push_back(text.toStdString());
}
}  // namespace

namespace fake {
std::vector<std::string> LogLines() {
  std::lock_guard<std::mutex> lock(gLogMutex);
  return gLog;
}
void ClearLog() {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gLog.clear();
}
}  // namespace fake

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  qInstallMessageHandler(CaptureQtMessage);
  QCoreApplication app(argc, argv);
  zy::RunLoop& loop = zy::RunLoop::main();  // records the main thread
  loop.scheduleRepeatingTimer(0.05, [] { QCoreApplication::processEvents(); });
  return RUN_ALL_TESTS();
}
