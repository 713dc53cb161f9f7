// The delegate's reaction to the accumulator: each formed message schedules
// one dispatch of the queue, 0.1 s later, on the task's scheduler.
#include <gtest/gtest.h>

#include "platform/NotificationCenter.h"
#include "source/mac_source/TetherTask.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"
#include "tests/source/mac_source/recording_scheduler.h"

namespace {

zy::Notification Named(const char* name) {
  zy::Notification notification;
  notification.name = name;
  return notification;
}

TEST(DispatchTest, EachAvailableMessageSchedulesADispatchATenthOfASecondLater) {
  RecordingScheduler scheduler;
  TetherTask task(/*outputFileHandle=*/nullptr, scheduler);
  task.notificationFromAccumulator(Named("someOtherName"));
  EXPECT_TRUE(scheduler.delays.empty());

  task.notificationFromAccumulator(Named(kZyMessageIsAvailableNotification));
  task.notificationFromAccumulator(Named(kZyMessageIsAvailableNotification));
  ASSERT_EQ(scheduler.delays.size(), 2u);
  EXPECT_DOUBLE_EQ(scheduler.delays[0], 0.1);
  EXPECT_DOUBLE_EQ(scheduler.delays[1], 0.1);
  EXPECT_TRUE(scheduler.timers.empty());  // an output-only task has no Qt tick
}

}  // namespace
