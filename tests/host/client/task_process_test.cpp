#include "host/client/TaskProcess.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

using tether_host_test::FakeTask;
using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;

// Generous guards: a healthy run answers in milliseconds.
constexpr int kGuardMs = 20000;

std::unique_ptr<TaskProcess> Start(const TaskProcess::Options& options) {
  std::string error;
  auto task = TaskProcess::start(options, &error);
  EXPECT_TRUE(task) << error;
  return task;
}

HostMessage Next(TaskProcess* task) {
  HostMessage m;
  EXPECT_EQ(task->read(&m, kGuardMs), TaskProcess::ReadStatus::kMessage) << task->error();
  return m;
}

bool Reaped(pid_t pid) {
  errno = 0;
  return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

class TaskProcessTest : public ::testing::Test {
 protected:
  // A SIGPIPE from a write to a dead task would end this test process.
  void SetUp() override { signal(SIGPIPE, SIG_DFL); }
  ScratchDir mDir;
};

TEST_F(TaskProcessTest, CommandsGetIncreasingIdsAndRepliesCarryThem) {
  auto task = Start(FakeTask("echo", mDir.path()));
  ASSERT_TRUE(task);
  EXPECT_EQ(Next(task.get()).name, "deviceAdded");
  for (int32_t expected = 1; expected <= 3; ++expected) {
    ASSERT_EQ(task->send("getCameraSettings", nullptr), expected);
    const HostMessage received = Next(task.get());
    EXPECT_EQ(received.name, "received");
    EXPECT_EQ(received.id, expected);
    EXPECT_EQ(received.string("name"), "getCameraSettings");
    const HostMessage ok = Next(task.get());
    EXPECT_EQ(ok.name, "ok");
    EXPECT_EQ(ok.id, expected);
    EXPECT_EQ(ok.number("isoSpeed"), 400);
  }
  ASSERT_EQ(task->send("shutdown", nullptr), 4);
  EXPECT_EQ(Next(task.get()).name, "received");
  HostMessage m;
  EXPECT_EQ(task->read(&m, kGuardMs), TaskProcess::ReadStatus::kEndOfOutput);
  ASSERT_TRUE(task->waitForExit(kGuardMs));
  EXPECT_TRUE(task->exitStatus().success()) << task->exitStatus().describe();
  EXPECT_TRUE(Reaped(task->pid()));
}

TEST_F(TaskProcessTest, PayloadTablesReachTheTask) {
  auto task = Start(FakeTask("echo", mDir.path()));
  ASSERT_TRUE(task);
  Next(task.get());
  ZyLuaTETable payload;
  payload.Set("x", new ZyLuaTENumber(1));
  ASSERT_EQ(task->send("listDevices", &payload), 1);
  EXPECT_EQ(Next(task.get()).string("name"), "listDevices");
  EXPECT_EQ(payload.mTable.size(), 1u);  // only read
}

TEST_F(TaskProcessTest, FramesWrittenByteByByteDecodeWhole) {
  auto task = Start(FakeTask("chunky,datademo", mDir.path()));
  ASSERT_TRUE(task);
  const HostMessage demo = Next(task.get());
  EXPECT_EQ(demo.name, "demo");
  ASSERT_NE(demo.data("blob"), nullptr);
  EXPECT_EQ(demo.data("blob")->mLength, 3);
  EXPECT_EQ(Next(task.get()).number("device_id"), 8201);
}

TEST_F(TaskProcessTest, EndOfInputEndsTheTask) {
  auto task = Start(FakeTask("", mDir.path()));
  ASSERT_TRUE(task);
  task->closeInput();
  HostMessage m;
  EXPECT_EQ(task->read(&m, kGuardMs), TaskProcess::ReadStatus::kMessage);  // deviceAdded
  EXPECT_EQ(task->read(&m, kGuardMs), TaskProcess::ReadStatus::kEndOfOutput);
  ASSERT_TRUE(task->waitForExit(kGuardMs));
  EXPECT_TRUE(task->exitStatus().success());
  EXPECT_EQ(task->send("shutdown", nullptr), -1);
  EXPECT_FALSE(task->error().empty());
}

TEST_F(TaskProcessTest, ACrashShowsAsEndOfOutputAndItsStatus) {
  auto task = Start(FakeTask("crash-on-capture", mDir.path()));
  ASSERT_TRUE(task);
  Next(task.get());
  ASSERT_EQ(task->send("doCapture", nullptr), 1);
  HostMessage m;
  EXPECT_EQ(task->read(&m, kGuardMs), TaskProcess::ReadStatus::kEndOfOutput);
  ASSERT_TRUE(task->waitForExit(kGuardMs));
  EXPECT_EQ(task->exitStatus().code, 7);
  EXPECT_EQ(task->exitStatus().describe(), "exited with status 7");
  // Writing to the dead task is an error, not a SIGPIPE for us.
  EXPECT_EQ(task->send("getCameraSettings", nullptr), -1);
  EXPECT_NE(task->error().find("cannot write"), std::string::npos) << task->error();
}

// An exit code, even one above 128, is an exit; only a signal is a kill
// (with or without a core dump); "success" is exit code 0 alone.
TEST(ExitStatusTest, ExitCodesAndSignalsAreToldApart) {
  struct Case {
    int waitStatus;
    bool exited, success;
    int code, signal;
    const char* described;
  };
  const Case cases[] = {
      {0, true, true, 0, 0, "exited with status 0"},
      {3 << 8, true, false, 3, 0, "exited with status 3"},
      {137 << 8, true, false, 137, 0, "exited with status 137"},
      {SIGKILL, false, false, 0, SIGKILL, "killed by signal 9 (Killed)"},
      {SIGSEGV | 0x80, false, false, 0, SIGSEGV, "killed by signal 11 (Segmentation fault)"},
  };
  for (const Case& c : cases) {
    const ExitStatus s = ExitStatus::fromWaitStatus(c.waitStatus);
    EXPECT_EQ(s.exited, c.exited) << c.described;
    EXPECT_EQ(s.success(), c.success) << c.described;
    EXPECT_EQ(s.code, c.code) << c.described;
    EXPECT_EQ(s.signal, c.signal) << c.described;
    EXPECT_EQ(s.describe(), c.described);
  }
}

// A terminal's Ctrl-C goes to tether-host's process group; the task, in a
// group of its own, hears of it only through tether-host's shutdown.
TEST_F(TaskProcessTest, TheTaskRunsInAProcessGroupOfItsOwn) {
  auto task = Start(FakeTask("", mDir.path()));
  ASSERT_TRUE(task);
  EXPECT_EQ(getpgid(task->pid()), task->pid());
  EXPECT_NE(getpgid(task->pid()), getpgrp());
}

TEST_F(TaskProcessTest, GarbageFromTheTaskIsABadFrame) {
  auto task = Start(FakeTask("garbage", mDir.path()));
  ASSERT_TRUE(task);
  EXPECT_EQ(Next(task.get()).name, "deviceAdded");
  HostMessage m;
  EXPECT_EQ(task->read(&m, kGuardMs), TaskProcess::ReadStatus::kBadFrame);
  EXPECT_NE(task->error().find("-5"), std::string::npos) << task->error();
}

TEST_F(TaskProcessTest, TimeoutAndWakeDescriptorEndAWait) {
  auto task = Start(FakeTask("nocamera", mDir.path()));
  ASSERT_TRUE(task);
  HostMessage m;
  EXPECT_EQ(task->read(&m, 20), TaskProcess::ReadStatus::kTimeout);
  int wake[2];
  ASSERT_EQ(pipe(wake), 0);
  ASSERT_EQ(write(wake[1], "x", 1), 1);
  EXPECT_EQ(task->read(&m, kGuardMs, wake[0]), TaskProcess::ReadStatus::kInterrupted);
  close(wake[0]);
  close(wake[1]);
}

TEST_F(TaskProcessTest, TerminateUsesSigtermThenSigkill) {
  auto polite = Start(FakeTask("nocamera", mDir.path()));
  ASSERT_TRUE(polite);
  EXPECT_EQ(polite->terminate().signal, SIGTERM);
  EXPECT_TRUE(Reaped(polite->pid()));

  TaskProcess::Options options = FakeTask("stubborn", mDir.path());
  options.graceMs = 100;
  auto stubborn = Start(options);
  ASSERT_TRUE(stubborn);
  Next(stubborn.get());  // running, with SIGTERM ignored by now
  EXPECT_EQ(stubborn->terminate().signal, SIGKILL);
  EXPECT_EQ(stubborn->exitStatus().describe().rfind("killed by signal 9", 0), 0u);
}

TEST_F(TaskProcessTest, DestructorReapsEvenAStubbornTask) {
  TaskProcess::Options options = FakeTask("stubborn", mDir.path());
  options.graceMs = 100;
  pid_t pid;
  {
    auto task = Start(options);
    ASSERT_TRUE(task);
    pid = task->pid();
    Next(task.get());
  }
  EXPECT_TRUE(Reaped(pid));
}

TEST_F(TaskProcessTest, StartFailuresNameThePath) {
  std::string error;
  TaskProcess::Options options;
  options.path = mDir.path() + "/no-such-task";
  EXPECT_EQ(TaskProcess::start(options, &error), nullptr);
  EXPECT_EQ(error, "task not found: " + options.path);

  options.path = mDir.path();  // a directory
  EXPECT_EQ(TaskProcess::start(options, &error), nullptr);
  EXPECT_NE(error.find(mDir.path()), std::string::npos) << error;
}

TEST_F(TaskProcessTest, TaskLogGoesToTheChosenFile) {
  TaskProcess::Options options = FakeTask("", mDir.path());
  options.stderrPath = mDir.path() + "/task.log";
  auto task = Start(options);
  ASSERT_TRUE(task);
  task->closeInput();
  ASSERT_TRUE(task->waitForExit(kGuardMs));
  EXPECT_EQ(ReadFile(options.stderrPath), "fake task started\n");
}

}  // namespace
}  // namespace tether_host
