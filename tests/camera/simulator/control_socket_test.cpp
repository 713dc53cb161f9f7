// The control socket's commands, as tests and the demo drive the camera,
// and the krv-sim-ctl tool over it.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/camera/simulator/sim_fixture.h"

namespace krv_test {
namespace {

using ControlTest = SimTest;

std::map<std::string, int> ParseCounts(const std::string& reply) {
  std::map<std::string, int> counts;
  std::istringstream in(reply);
  std::string word;
  in >> word;  // "ok"
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) counts[word.substr(0, eq)] = std::stoi(word.substr(eq + 1));
  }
  return counts;
}

TEST_F(ControlTest, ConnectAndDisconnectReportAnyModel) {
  ::setenv("KRV_SIM_MODEL", "0", 1);
  ASSERT_TRUE(recorder.init());
  connectControl();
  EXPECT_EQ(control.command("connect 1"), "ok connected 1");  // not a model the task accepts
  ok("disconnect 8201");  // reported id differs from the camera's
  ok("connect 8257");
  ok("disconnect");
  ok("disconnect");  // a report even with no camera: 0
  const auto d = recorder.devices();
  ASSERT_EQ(d.size(), 5u);
  EXPECT_TRUE(d[0].connected);
  EXPECT_EQ(d[0].model, 1);
  EXPECT_FALSE(d[1].connected);
  EXPECT_EQ(d[1].model, 8201);
  EXPECT_TRUE(d[2].connected);
  EXPECT_EQ(d[2].model, 8257);
  EXPECT_FALSE(d[3].connected);
  EXPECT_EQ(d[3].model, 8257);
  EXPECT_FALSE(d[4].connected);
  EXPECT_EQ(d[4].model, 0);
  for (const auto& e : d) EXPECT_NE(e.thread, std::this_thread::get_id());
}

// The camera's own name (property 33): its model's, cut to fit a smaller
// buffer and always terminated; no camera, or a buffer of 0 or over the
// maximum, reads nothing.
TEST_F(ControlTest, CameraNameIsTheModelsCutToTheBuffer) {
  ::setenv("KRV_SIM_MODEL", "0", 1);
  ASSERT_TRUE(recorder.init());
  connectControl();
  char name[eKRV_SDK_CameraNameMaxBytes + 1];
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropCameraName, name, 64));  // no camera
  ok("connect 8241");
  ASSERT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropCameraName, name, eKRV_SDK_CameraNameMaxBytes));
  EXPECT_STREQ(name, "Orvak K (Mk 3)");
  std::memset(name, 'x', sizeof name);
  ASSERT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropCameraName, name, 6));
  EXPECT_STREQ(name, "Orvak");
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropCameraName, name, 0));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropCameraName, name, sizeof name));
}

TEST_F(ControlTest, SetFiresTypedChangesAndUpdatesReads) {
  startWithCamera();
  const size_t before = recorder.changes().size();
  ok("set 10 3200");
  ok("set 3 11");
  ok("set 5 0.004");
  ok("set 32 5500");
  ok("set 10 3200");  // the same value again is still reported
  const auto c = recorder.changes();
  ASSERT_EQ(c.size(), before + 5);
  EXPECT_EQ(c[before].code, 10);
  EXPECT_EQ(AsInt32(c[before].bytes), 3200);
  EXPECT_EQ(AsDouble(c[before + 1].bytes), 11.0);
  EXPECT_EQ(AsDouble(c[before + 2].bytes), 0.004);
  EXPECT_EQ(AsInt32(c[before + 3].bytes), 5500);
  EXPECT_EQ(c[before + 4].code, 10);

  int32_t iso = 0, wb = 0;
  double shutter = 0;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropWhiteBalance, &wb, 4));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropShutterTime, &shutter, 8));
  EXPECT_EQ(iso, 3200);
  EXPECT_EQ(wb, 5500);
  EXPECT_EQ(shutter, 0.004);

  EXPECT_EQ(control.command("set 7 1").rfind("error", 0), 0u);
  EXPECT_EQ(control.command("set 10 abc").rfind("error", 0), 0u);
  EXPECT_EQ(recorder.changes().size(), before + 5);
}

TEST_F(ControlTest, RawChangesCarryArbitraryBytesWithoutChangingState) {
  startWithCamera();
  const size_t before = recorder.changes().size();
  ok("set-raw 10 hex 0000");
  ok("set-raw 3 null 8");
  ok("set-raw 7 hex 01000000");
  ok("set-raw 32 hex 05 4");  // padded: size 4 from one given byte
  ok("set-raw 5");
  const auto c = recorder.changes();
  ASSERT_EQ(c.size(), before + 5);
  EXPECT_EQ(c[before].size, 2u);
  EXPECT_EQ(c[before].bytes, (std::vector<uint8_t>{0, 0}));
  EXPECT_TRUE(c[before + 1].nullData);
  EXPECT_EQ(c[before + 1].size, 8u);
  EXPECT_EQ(c[before + 2].code, 7);
  EXPECT_EQ(c[before + 3].bytes, (std::vector<uint8_t>{5, 0, 0, 0}));
  EXPECT_TRUE(c[before + 4].nullData);
  EXPECT_EQ(c[before + 4].size, 0u);
  int32_t iso = 0;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_EQ(iso, 400);
  EXPECT_EQ(control.command("set-raw 10 hex 0").rfind("error", 0), 0u) << "odd hex digits";
}

TEST_F(ControlTest, ReadsCanBeMadeToFail) {
  startWithCamera();
  int32_t iso;
  double aperture, shutter;
  ok("fail-read all");
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropAperture, &aperture, 8));
  ok("fail-read none");
  ok("fail-read 5");
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropAperture, &aperture, 8));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropShutterTime, &shutter, 8));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  ok("fail-read 10 32");
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  ok("fail-read none");
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropShutterTime, &shutter, 8));
}

TEST_F(ControlTest, InjectedEventsReachTheFrameCallbackAsGiven) {
  startWithCamera();
  ok("event 11 hex 01");
  ok("event -1");
  ok("event 4 null");
  ok("event 1 size 100");
  ok("event 8 cstr IMG_0042");
  ok("event 8 text IMG 0043.JPG");
  ok("event 0 hex 0600");
  ok("event 5 null 1234");
  const auto f = recorder.frames();
  ASSERT_EQ(f.size(), 8u);
  EXPECT_EQ(f[0].code, 11);
  EXPECT_EQ(f[0].bytes, (std::vector<uint8_t>{1}));
  EXPECT_EQ(f[1].code, -1);
  EXPECT_TRUE(f[1].nullData);
  EXPECT_TRUE(f[2].nullData);
  EXPECT_EQ(f[2].size, 0u);
  ASSERT_EQ(f[3].bytes.size(), 100u);
  EXPECT_EQ(f[3].bytes[99], 99);
  EXPECT_EQ(f[4].size, 0xFFFFFFFFu);
  EXPECT_EQ(std::string(f[4].bytes.begin(), f[4].bytes.end()), std::string("IMG_0042\0", 9));
  EXPECT_EQ(std::string(f[5].bytes.begin(), f[5].bytes.end()), "IMG 0043.JPG");
  EXPECT_EQ(f[6].size, 2u);
  EXPECT_TRUE(f[7].nullData);
  EXPECT_EQ(f[7].size, 1234u);
  EXPECT_EQ(control.command("event x").rfind("error", 0), 0u);
  EXPECT_EQ(control.command("event 1 bogus").rfind("error", 0), 0u);
}

TEST_F(ControlTest, CameraButtonCaptureAndBurst) {
  startWithCamera();
  EXPECT_EQ(control.command("capture"), "ok capture 1");
  EXPECT_EQ(recorder.frameStates(), (std::vector<int>{0, 8, 1, 2, 4, 3, 5}));
  EXPECT_EQ(control.command("capture"), "ok capture 2");
  EXPECT_EQ(recorder.frames().size(), 14u);

  const size_t before = recorder.changes().size();
  EXPECT_EQ(control.command("burst 5"), "ok burst 5");
  ok("burst 3 32");
  const auto c = recorder.changes();
  ASSERT_EQ(c.size(), before + 8);
  std::vector<int32_t> isos;
  for (size_t i = before; i < before + 5; ++i) {
    EXPECT_EQ(c[i].code, eKRV_SDK_PropIso);
    isos.push_back(AsInt32(c[i].bytes));
  }
  EXPECT_EQ(isos, (std::vector<int32_t>{100, 200, 400, 800, 1600}));
  EXPECT_EQ(c[before + 7].code, eKRV_SDK_PropWhiteBalance);
  int32_t wb = -1;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropWhiteBalance, &wb, 4));
  EXPECT_EQ(wb, AsInt32(c[before + 7].bytes));

  ok("disconnect");
  EXPECT_EQ(control.command("capture").rfind("error", 0), 0u) << "no camera, no shutter";
}

TEST_F(ControlTest, CountsTellHowOftenEachSdkFunctionWasCalled) {
  startWithCamera();
  ok("reset-counts");
  EXPECT_EQ(control.command("counts"),
            "ok init=0 setFrameCallback=0 setChangesCallback=0 getProperty=0 setProperty=0 "
            "capture=0 requestClose=0 exit=0");
  int32_t iso;
  KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4);
  KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 8);  // failed calls count too
  KRV_SDK_setProperty(eKRV_SDK_PropIso, &iso, 4);
  KRV_SDK_capture();
  KRV_SDK_capture();
  ok("connect 8201");  // the recorder re-registers its callbacks and reads once
  auto counts = ParseCounts(control.command("counts"));
  EXPECT_EQ(counts["getProperty"], 3);
  EXPECT_EQ(counts["setProperty"], 2);
  EXPECT_EQ(counts["capture"], 2);
  EXPECT_EQ(counts["setFrameCallback"], 1);
  EXPECT_EQ(counts["setChangesCallback"], 1);
  EXPECT_EQ(counts["init"], 0);
  EXPECT_EQ(counts["requestClose"], 0);
  EXPECT_EQ(counts["exit"], 0);
  KRV_SDK_requestClose();
  counts = ParseCounts(control.command("counts"));
  EXPECT_EQ(counts["requestClose"], 1);
}

TEST_F(ControlTest, StateAndErrorsKeepTheConnectionUsable) {
  startWithCamera();
  ok("format 2");
  ok("orientation 3");
  ok("size 320 240");
  const std::string state = ok("state");
  EXPECT_NE(state.find("model=8241"), std::string::npos) << state;
  EXPECT_NE(state.find("format=2"), std::string::npos) << state;
  EXPECT_NE(state.find("orientation=3"), std::string::npos) << state;
  EXPECT_NE(state.find("size=320x240"), std::string::npos) << state;
  EXPECT_EQ(control.command("no-such-command").rfind("error", 0), 0u);
  EXPECT_EQ(control.command("").rfind("error", 0), 0u);
  EXPECT_EQ(control.command("size 1 1").rfind("error", 0), 0u);
  EXPECT_EQ(control.command("sync maybe").rfind("error", 0), 0u);
  EXPECT_EQ(control.command("ping"), "ok pong");
  EXPECT_EQ(ok("help").rfind("ok commands:", 0), 0u);

  // flush answers only once earlier work is delivered.
  const int32_t iso = 250;
  ASSERT_TRUE(KRV_SDK_setProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_EQ(control.command("flush"), "ok flushed");
  ASSERT_FALSE(recorder.changes().empty());
  EXPECT_EQ(AsInt32(recorder.changes().back().bytes), 250);

  // A second client is served alongside the first.
  krv_sim::ControlClient other;
  std::string error;
  ASSERT_TRUE(other.connect(socketPath, &error)) << error;
  EXPECT_EQ(other.command("ping"), "ok pong");
  EXPECT_EQ(control.command("ping"), "ok pong");
}

// The first word of each `code` span in the first column of the README table
// whose header row is `header`.
std::set<std::string> ReadmeTableNames(const std::string& header) {
  std::ifstream readme(KRV_SIM_README);
  std::set<std::string> names;
  std::string line;
  while (std::getline(readme, line) && line != header) {
  }
  while (std::getline(readme, line) && line.rfind("|", 0) == 0) {
    const std::string cell = line.substr(1, line.find('|', 1) - 1);
    if (cell.find("---") != std::string::npos) continue;
    if (cell.find('`') == std::string::npos) {
      const std::string text = cell.substr(cell.find_first_not_of(' '));
      names.insert(text.substr(0, text.find(' ')));
    }
    for (size_t open = cell.find('`'); open != std::string::npos;) {
      const size_t close = cell.find('`', open + 1);
      const std::string code = cell.substr(open + 1, close - open - 1);
      names.insert(code.substr(0, code.find(' ')));
      open = cell.find('`', close + 1);
    }
  }
  return names;
}

// The README is the one place a person reads the command language, so it
// must list exactly the commands and payload kinds that help (made from the
// command table) lists.
TEST_F(ControlTest, ReadmeListsExactlyTheCommandsAndPayloadsOfHelp) {
  startWithCamera();
  const std::string help = ok("help");
  const size_t semicolon = help.find("; payload: ");
  ASSERT_NE(semicolon, std::string::npos) << help;
  std::set<std::string> commands;
  std::istringstream words(help.substr(0, semicolon));
  std::string word;
  words >> word >> word;  // "ok commands:"
  while (words >> word) {
    if (word.find_first_of("<[|(") == std::string::npos) commands.insert(word);
  }
  std::set<std::string> payloads;
  std::istringstream kinds(help.substr(semicolon + 11));
  while (std::getline(kinds, word, '|')) payloads.insert(word.substr(0, word.find(' ')));

  ASSERT_TRUE(commands.count("set-raw") && payloads.count("(nothing)")) << help;
  EXPECT_EQ(ReadmeTableNames("| command | effect and reply |"), commands);
  EXPECT_EQ(ReadmeTableNames("| payload | data, size |"), payloads);
}

// Runs krv-sim-ctl with `args`; returns its exit status and stdout.
int RunCtl(const std::string& args, std::string* out) {
  FILE* pipe = ::popen((std::string(KRV_SIM_CTL_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ControlTest, CommandLineToolSendsOneCommand) {
  startWithCamera();
  std::string out;
  EXPECT_EQ(RunCtl("--socket " + socketPath + " set 10 6400", &out), 0);
  EXPECT_EQ(out, "ok set 10 6400\n");
  int32_t iso = 0;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_EQ(iso, 6400);

  out.clear();
  EXPECT_EQ(RunCtl("--socket " + socketPath + " frobnicate", &out), 1);
  EXPECT_EQ(out.rfind("error", 0), 0u);
  out.clear();
  EXPECT_EQ(RunCtl("--socket /tmp/krv-sim-no-such.sock ping", &out), 2);
  // KRV_SIM_CONTROL of the environment is the default socket.
  out.clear();
  EXPECT_EQ(RunCtl("ping", &out), 0);
  EXPECT_EQ(out, "ok pong\n");
}

}  // namespace
}  // namespace krv_test
