// The watcher on drives of the emulated device tree: a watched drive is in use for an eject
// until the client's window, told of the query-remove through the drive's handle notification,
// stops watching it.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "client/agent/watcher/CDirectoryWatcher.h"
#include "client/agent/watcher/PnpDriveNotifications.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/SetupApi.h"
#include "platform/pnp/VolumeDriveResolver.h"
#include "tests/platform/pnp/PnpTestSupport.h"

namespace uv::agent {
namespace {

using uv::testing::PlugOrFail;
using uv::testing::ReceivedBroadcast;
using uv::testing::RecordingWindow;
using uv::testing::Stick;
using uv::testing::TempMachine;

class CountingReporter : public IEventReporter {
 public:
  void ReportToServer(const std::string& text, const std::string&, std::string*) override {
    std::lock_guard lock(mutex_);
    reports_.push_back(text);
    changed_.notify_all();
  }
  bool WaitFor(const std::string& text) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(reports_.begin(), reports_.end(), text) != reports_.end();
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> reports_;
};

platform::DevInst DevInstOf(platform::Machine& machine, const std::string& id) {
  platform::DevInst devInst = 0;
  EXPECT_EQ(platform::CmLocateDevNode(machine, &devInst, id), platform::kCrSuccess);
  return devInst;
}

class PnpWatcherTest : public ::testing::Test {
 protected:
  // What the client's window does with a handle query-remove: find the drive by the
  // registration and stop watching it, keeping the registration (the removal may still fail).
  std::intptr_t OnBroadcast(const ReceivedBroadcast& received) {
    if (received.event != platform::kDbtDeviceQueryRemove ||
        received.record.devicetype != platform::kDbtDevtypHandle || !release_) {
      return 1;
    }
    auto* watcher = watcher_.load();
    if (watcher == nullptr) return 1;
    auto* info = watcher->FindByNotificationHandle(received.record.handle.hdevnotify);
    if (info != nullptr) {
      queriedLetter_ = info->DriveLetter();
      watcher->StopMonitor(info->DriveLetter(), true);
    }
    return 1;
  }

  TempMachine machine_;
  std::atomic<bool> release_{true};
  std::atomic<CDirectoryWatcher*> watcher_{nullptr};
  std::atomic<unsigned> queriedLetter_{0};
  RecordingWindow window_{machine_.machine(), [this](const ReceivedBroadcast& received) {
                            return OnBroadcast(received);
                          }};
};

TEST_F(PnpWatcherTest, WatchedDriveIsHeldUntilTheWindowReleasesItOnQueryRemove) {
  auto stick = Stick("WATCH0001");
  stick.letter = 'E';
  const auto plugged = PlugOrFail(machine_.machine(), stick);
  ASSERT_EQ(plugged.letter, 'E');

  platform::VolumeDriveResolver drives(machine_.machine());
  PnpDriveNotifications notifications(window_.notifier());
  CountingReporter reporter;
  CDirectoryWatcher watcher(reporter, drives);
  watcher_ = &watcher;
  ASSERT_EQ(watcher.Watch('E', "127.0.0.9", &notifications), platform::kErrorSuccess);
  auto* info = watcher.FindByDriveLetter('E');
  ASSERT_NE(info, nullptr);
  EXPECT_NE(info->Notification(), 0u);

  std::ofstream(plugged.backing / "copied.txt") << "data";
  EXPECT_TRUE(reporter.WaitFor("Added E:\\copied.txt"));

  // A window that does not release the drive: the open directory vetoes the eject.
  release_ = false;
  const auto device = DevInstOf(machine_.machine(), plugged.usbInstanceId);
  const auto vetoed = platform::CmRequestDeviceEject(machine_.machine(), device);
  EXPECT_FALSE(vetoed.Succeeded());
  EXPECT_EQ(vetoed.vetoType, platform::kPnpVetoOutstandingOpen);
  EXPECT_TRUE(info->IsHandleOpen());

  // The window releases it: the query-remove names the drive's registration, StopMonitor closes
  // the directory, and the eject goes through.
  release_ = true;
  const auto ejected = platform::CmRequestDeviceEject(machine_.machine(), device);
  EXPECT_TRUE(ejected.Succeeded()) << ejected.vetoType << " " << ejected.vetoName;
  EXPECT_EQ(queriedLetter_.load(), unsigned{'E'});
  EXPECT_FALSE(info->IsHandleOpen());
  EXPECT_TRUE(info->IsRetired());
  // The drive has gone: its letter is stopped for good (the registration goes with it).
  EXPECT_TRUE(watcher.StopMonitor('E', false));
  EXPECT_EQ(watcher.FindByNotificationHandle(info->Notification()), nullptr);
  watcher.UnwatchAll();
  watcher_ = nullptr;
}

TEST_F(PnpWatcherTest, LetterWithoutAVolumeCannotBeWatched) {
  platform::VolumeDriveResolver drives(machine_.machine());
  PnpDriveNotifications notifications(window_.notifier());
  CountingReporter reporter;
  CDirectoryWatcher watcher(reporter, drives);
  EXPECT_EQ(watcher.Watch('K', "127.0.0.9", &notifications), platform::kErrorPathNotFound);
  EXPECT_EQ(watcher.FindByDriveLetter('K'), nullptr);
}

TEST_F(PnpWatcherTest, DirectoryOutsideTheDeviceTreeIsNotRegistered) {
  uv::testing::TempMachine other;
  auto handle = platform::DirectoryHandle::Open(other.root());
  ASSERT_TRUE(handle.ok());
  PnpDriveNotifications notifications(window_.notifier());
  EXPECT_EQ(notifications.RegisterHandle(**handle).error(), platform::kErrorInvalidHandle);
}

}  // namespace
}  // namespace uv::agent
