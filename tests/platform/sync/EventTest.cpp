#include "platform/sync/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

TEST(EventTest, WaitTimesOutWhileNotSignalled) {
  ManualResetEvent manual;
  AutoResetEvent automatic;
  EXPECT_EQ(manual.Wait(10ms), WaitResult::kTimeout);
  EXPECT_EQ(automatic.Wait(0ms), WaitResult::kTimeout);
  EXPECT_EQ(ManualResetEvent(true).Wait(0ms), WaitResult::kSignalled);
  EXPECT_EQ(AutoResetEvent(true).Wait(0ms), WaitResult::kSignalled);
}

TEST(EventTest, ManualResetStaysSignalledAndReleasesEveryWaiter) {
  ManualResetEvent event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(10s) == WaitResult::kSignalled) ++released;
    });
  }
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0ms), WaitResult::kSignalled);
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0ms), WaitResult::kTimeout);
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
  AutoResetEvent event;
  std::mutex mutex;
  std::condition_variable changed;
  int released = 0;  // guarded by mutex
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(10s) != WaitResult::kSignalled) return;
      std::lock_guard lock(mutex);
      ++released;
      changed.notify_all();
    });
  }
  std::unique_lock lock(mutex);
  for (int round = 1; round <= 3; ++round) {
    event.Set();
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return released >= round; }));
    // No second waiter gets through on the same Set: the event reset itself.
    EXPECT_FALSE(changed.wait_for(lock, 30ms, [&] { return released > round; }));
    EXPECT_FALSE(event.IsSet());
  }
  lock.unlock();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released, 3);
}

TEST(EventTest, AutoResetKeepsASetWithNobodyWaitingForTheNextWait) {
  AutoResetEvent event;
  event.Set();
  event.Set();  // not counted: an event is signalled or not
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0ms), WaitResult::kSignalled);
  EXPECT_EQ(event.Wait(0ms), WaitResult::kTimeout);
}

TEST(EventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
  AutoResetEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(10ms);
    event.Set();
  });
  EXPECT_EQ(event.Wait(), WaitResult::kSignalled);
  setter.join();
}

}  // namespace
}  // namespace uv::platform
