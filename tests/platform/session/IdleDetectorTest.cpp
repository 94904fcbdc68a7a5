// Idle detection on a temporary machine root, driven the way usbvantrel-sim drives it, with a
// scaled minute so that spells pass in milliseconds.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/session/IdleDetector.h"
#include "platform/session/IdleTimeScale.h"
#include "platform/session/SessionStore.h"
#include "tests/platform/net/TempMachineRoot.h"

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

class StateLog {
 public:
  IdleCallback Callback() {
    return [this](IdleState s) {
      std::lock_guard lock(mutex_);
      states_.push_back(s);
      changed_.notify_all();
    };
  }
  // The states once `count` have come (or what came within a few seconds).
  std::vector<IdleState> WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return states_.size() >= count; });
    return states_;
  }
  std::vector<IdleState> Now() {
    std::lock_guard lock(mutex_);
    return states_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<IdleState> states_;
};

constexpr auto kBegin = IdleState::kUserIdleBegin;
constexpr auto kEnd = IdleState::kUserIdleEnd;

TEST(IdleDetector, SpellsBeginAfterTheMinutesAndEndOnInput) {
  testing::TempMachineRoot root;
  SessionStore store(root.machine());
  ASSERT_TRUE(store.Login("alice").ok());
  StateLog log;
  IdleDetector detector(root.machine(), 5ms);
  ASSERT_EQ(detector.Begin(log.Callback(), 4), kErrorSuccess);  // 20 ms

  ASSERT_EQ(StopUserInput(root.machine(), "alice"), kErrorSuccess);
  EXPECT_EQ(log.WaitFor(1), std::vector<IdleState>{kBegin});
  ASSERT_EQ(ResumeUserInput(root.machine(), "alice"), kErrorSuccess);
  EXPECT_EQ(log.WaitFor(2), (std::vector<IdleState>{kBegin, kEnd}));
  // The next spell begins again after the full minutes.
  ASSERT_EQ(StopUserInput(root.machine(), "alice"), kErrorSuccess);
  EXPECT_EQ(log.WaitFor(3), (std::vector<IdleState>{kBegin, kEnd, kBegin}));
  // A logon is input.
  ASSERT_TRUE(store.Login("alice").ok());
  EXPECT_EQ(log.WaitFor(4), (std::vector<IdleState>{kBegin, kEnd, kBegin, kEnd}));
  detector.End();
}

TEST(IdleDetector, BeginAgainKeepsTheSpellUnderWayAndEndsPromptly) {
  testing::TempMachineRoot root;
  SessionStore store(root.machine());
  ASSERT_TRUE(store.Login("bob").ok());
  StateLog log;
  IdleDetector detector(root.machine(), 1ms);
  ASSERT_EQ(detector.Begin(log.Callback(), 0), kErrorSuccess);
  ASSERT_EQ(StopUserInput(root.machine(), "bob"), kErrorSuccess);
  EXPECT_EQ(log.WaitFor(1), std::vector<IdleState>{kBegin});
  ASSERT_EQ(detector.Begin(log.Callback(), 20), kErrorSuccess);  // as the agent's restart does
  ASSERT_EQ(ResumeUserInput(root.machine(), "bob"), kErrorSuccess);
  EXPECT_EQ(log.WaitFor(2), (std::vector<IdleState>{kBegin, kEnd}));
  // A detector waiting for an hour of real minutes ends at once.
  IdleDetector slow(root.machine(), kRealMinute);
  ASSERT_EQ(slow.Begin(log.Callback(), 60), kErrorSuccess);
  ASSERT_EQ(StopUserInput(root.machine(), "bob"), kErrorSuccess);
  slow.End();
  detector.End();
}

TEST(IdleDetector, InputVerbsNeedASession) {
  testing::TempMachineRoot root;
  EXPECT_EQ(StopUserInput(root.machine(), "nobody"), kErrorFileNotFound);
  EXPECT_EQ(ResumeUserInput(root.machine(), "nobody"), kErrorFileNotFound);
}

TEST(IdleTimeScale, ParsesOnlyWholeMillisecondsUpToAMinute) {
  EXPECT_EQ(ParseMinuteLength("20"), 20ms);
  EXPECT_EQ(ParseMinuteLength("60000"), 60000ms);
  for (const char* bad : {"", "0", "60001", "-5", "5ms", " 5", "99999999999"}) {
    EXPECT_EQ(ParseMinuteLength(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(MinutesToDuration(10, 20ms), 200ms);
  EXPECT_EQ(MinutesToDuration(0xFFFFFFFFull, kRealMinute), 0xFFFFFFFFll * 60000ms);
  EXPECT_EQ(MinutesToDuration(~0ull, kRealMinute), std::chrono::milliseconds::max());
}

}  // namespace
}  // namespace uv::platform
