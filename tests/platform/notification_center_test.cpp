#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zy {
namespace {

int gSenderA, gSenderB;  // identities only
const void* const kA = &gSenderA;
const void* const kB = &gSenderB;

TEST(NotificationCenterTest, MatchesByNameAndSender) {
  NotificationCenter center;
  std::vector<std::string> calls;
  auto record = [&](const char* who) {
    return [&calls, who](const Notification& n) { calls.push_back(std::string(who) + ":" + n.name); };
  };
  int o1, o2, o3, o4;
  center.addObserver(&o1, record("nameFromA"), std::string("ping"), kA);
  center.addObserver(&o2, record("allFromA"), std::string(), kA);
  center.addObserver(&o3, record("nameFromAny"), std::string("ping"), nullptr);
  center.addObserver(&o4, record("everything"), std::nullopt, nullptr);

  center.postNotification("ping", kA);
  EXPECT_EQ(calls, (std::vector<std::string>{"nameFromA:ping", "allFromA:ping", "nameFromAny:ping",
                                             "everything:ping"}));
  calls.clear();
  center.postNotification("pong", kA);
  EXPECT_EQ(calls, (std::vector<std::string>{"allFromA:pong", "everything:pong"}));
  calls.clear();
  center.postNotification("ping", kB);
  EXPECT_EQ(calls, (std::vector<std::string>{"nameFromAny:ping", "everything:ping"}));
  calls.clear();
  center.postNotification("ping", nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"nameFromAny:ping", "everything:ping"}));
}

TEST(NotificationCenterTest, DeliversSenderAndDataSynchronously) {
  NotificationCenter center;
  int observer;
  const Notification* seen = nullptr;
  std::thread::id thread;
  DataRef bytes;
  center.addObserver(
      &observer,
      [&](const Notification& n) {
        seen = &n;
        thread = std::this_thread::get_id();
        EXPECT_EQ(n.object, kA);
        bytes = n.data;
      },
      std::string("read"), kA);
  auto data = std::make_shared<Data>("abc", 3);
  center.postNotification("read", kA, data);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(thread, std::this_thread::get_id());
  EXPECT_EQ(bytes, data);
}

TEST(NotificationCenterTest, RemoveObserverDropsEveryRegistrationOfIt) {
  NotificationCenter center;
  int gone, stays;
  int goneCalls = 0, staysCalls = 0;
  center.addObserver(&gone, [&](const Notification&) { ++goneCalls; }, std::string("x"), nullptr);
  center.addObserver(&stays, [&](const Notification&) { ++staysCalls; }, std::nullopt, nullptr);
  center.addObserver(&gone, [&](const Notification&) { ++goneCalls; }, std::nullopt, kA);
  center.postNotification("x", kA);
  EXPECT_EQ(goneCalls, 2);
  center.removeObserver(&gone);
  center.removeObserver(&gone);  // harmless twice
  center.postNotification("x", kA);
  EXPECT_EQ(goneCalls, 2);
  EXPECT_EQ(staysCalls, 2);
}

TEST(NotificationCenterTest, CallbacksMayChangeObserversDuringAPost) {
  NotificationCenter center;
  std::vector<std::string> calls;
  int self, later, added;
  center.addObserver(
      &self,
      [&](const Notification&) {
        calls.push_back("self");
        center.removeObserver(&self);
        center.removeObserver(&later);
        center.addObserver(&added, [&](const Notification&) { calls.push_back("added"); },
                           std::nullopt, nullptr);
      },
      std::nullopt, nullptr);
  center.addObserver(&later, [&](const Notification&) { calls.push_back("later"); }, std::nullopt,
                     nullptr);
  center.postNotification("n", nullptr);
  // The removed observer is not called after its removal, the added one not
  // by the post that was running when it was added.
  EXPECT_EQ(calls, std::vector<std::string>{"self"});
  center.postNotification("n", nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "added"}));
}

// Many observers of one post, more than a post keeps beside it without
// allocating: every one is called once, in order, and one removed during the
// post (here the seventh, by the second) is skipped.
TEST(NotificationCenterTest, ManyObserversAreCalledInOrder) {
  NotificationCenter center;
  std::vector<int> calls;
  int observers[9];
  for (int i = 0; i < 9; ++i) {
    center.addObserver(
        &observers[i],
        [&, i](const Notification&) {
          calls.push_back(i);
          if (i == 1) center.removeObserver(&observers[6]);
        },
        std::string("n"), nullptr);
  }
  center.postNotification("n", nullptr);
  EXPECT_EQ(calls, (std::vector<int>{0, 1, 2, 3, 4, 5, 7, 8}));
  calls.clear();
  center.postNotification("other", nullptr);
  EXPECT_TRUE(calls.empty());
}

TEST(NotificationCenterTest, CallbacksMayPostAgain) {
  NotificationCenter center;
  std::vector<std::string> calls;
  int observer;
  center.addObserver(
      &observer,
      [&](const Notification& n) {
        calls.push_back(n.name);
        if (n.name == "outer") center.postNotification("inner", nullptr);
      },
      std::nullopt, nullptr);
  center.postNotification("outer", nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
}

TEST(NotificationCenterTest, ThrowingCallbackLeavesTheCenterUsable) {
  NotificationCenter center;
  int thrower, other;
  int otherCalls = 0;
  center.addObserver(&thrower, [](const Notification&) { throw std::runtime_error("boom"); },
                     std::nullopt, nullptr);
  center.addObserver(&other, [&](const Notification&) { ++otherCalls; }, std::nullopt, nullptr);
  EXPECT_THROW(center.postNotification("n", nullptr), std::runtime_error);
  // The call counts as ended: removal from another thread does not wait for it.
  std::async(std::launch::async, [&] { center.removeObserver(&thrower); }).get();
  center.postNotification("n", nullptr);
  EXPECT_EQ(otherCalls, 1);
}

TEST(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
  NotificationCenter center;
  int observer;
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  center.addObserver(
      &observer,
      [&](const Notification&) {
        if (calls++ == 0) {
          entered.set_value();
          released.wait();
        }
      },
      std::nullopt, nullptr);
  std::thread poster([&] { center.postNotification("n", nullptr); });
  entered.get_future().wait();
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    center.removeObserver(&observer);
    removed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed) << "removeObserver returned while its callback was still running";
  release.set_value();
  remover.join();
  poster.join();
  EXPECT_TRUE(removed);
  center.postNotification("n", nullptr);
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, NoCallAfterRemovalUnderConcurrentPosts) {
  NotificationCenter center;
  constexpr int kPosters = 4;
  for (int round = 0; round < 50; ++round) {
    int observer;
    std::atomic<bool> removedReturned{false};
    std::atomic<int> lateCalls{0}, calls{0};
    center.addObserver(
        &observer,
        [&](const Notification&) {
          ++calls;
          if (removedReturned) ++lateCalls;
        },
        std::nullopt, nullptr);
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < kPosters; ++t) {
      posters.emplace_back([&] {
        while (!stop) center.postNotification("n", nullptr);
      });
    }
    while (calls < 10) std::this_thread::yield();
    center.removeObserver(&observer);
    removedReturned = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (auto& poster : posters) poster.join();
    ASSERT_EQ(lateCalls, 0) << "round " << round;
  }
}

TEST(NotificationCenterTest, DefaultCenterIsOneObject) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace zy
