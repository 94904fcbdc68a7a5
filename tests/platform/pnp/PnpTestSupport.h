#pragma once
// Shared by the device tree tests and the identification tests: a temporary machine, a message
// window on its own thread that records the WM_DEVICECHANGE messages it gets, and plug helpers.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/registry/Registry.h"
#include "platform/window/MessageWindow.h"
#include "tests/support/TempMachine.h"

namespace uv::testing {

class TempMachine : public test::TempMachine {
 public:
  TempMachine() : test::TempMachine("uv-pnp-test") {}

  platform::Registry& registry() {
    auto r = machine().OpenRegistry();
    EXPECT_TRUE(r.ok());
    return **r;
  }
};

// One received WM_DEVICECHANGE.
struct ReceivedBroadcast {
  std::uint32_t event = 0;
  platform::DeviceBroadcast record;
};

// A message window running on its own thread, with a DeviceNotifier. `answer` decides what a
// sent message (a query-remove) returns; it runs on the window's thread.
class RecordingWindow {
 public:
  using Answer = std::function<std::intptr_t(const ReceivedBroadcast&)>;

  explicit RecordingWindow(platform::Machine& machine, Answer answer = {})
      : answer_(std::move(answer)) {
    std::promise<platform::MessageWindow::Handle> ready;
    auto handle = ready.get_future();
    thread_ = std::thread([this, &ready] {
      platform::MessageWindow* self = nullptr;
      platform::MessageWindow window([this, &self](const platform::WindowMessage& m) {
        if (m.message == platform::kWmClose) {
          self->Quit(0);
          return std::intptr_t{0};
        }
        return OnMessage(m);
      });
      self = &window;
      ready.set_value(window.GetHandle());
      (void)window.Run();
    });
    handle_ = handle.get();
    auto notifier = platform::DeviceNotifier::Create(machine, handle_);
    EXPECT_TRUE(notifier.ok()) << notifier.error();
    if (notifier) notifier_ = std::move(notifier).value();
  }

  ~RecordingWindow() {
    notifier_.reset();
    (void)handle_.Post(platform::kWmClose);
    thread_.join();
  }

  platform::DeviceNotifier& notifier() { return *notifier_; }
  void ResetNotifier() { notifier_.reset(); }

  // Waits until `count` broadcasts arrived (or 5 s passed); returns what arrived.
  std::vector<ReceivedBroadcast> WaitFor(
      std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
    return received_;
  }
  std::vector<ReceivedBroadcast> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }

 private:
  std::intptr_t OnMessage(const platform::WindowMessage& m) {
    if (m.message != platform::kWmDeviceChange) return 0;
    ReceivedBroadcast r;
    r.event = static_cast<std::uint32_t>(m.wParam);
    auto record = platform::DecodeDeviceBroadcast(m.payload);
    if (record) r.record = *record;
    std::intptr_t result = 1;
    if (answer_) result = answer_(r);
    {
      std::lock_guard lock(mutex_);
      received_.push_back(r);
    }
    changed_.notify_all();
    return result;
  }
  Answer answer_;
  std::thread thread_;
  platform::MessageWindow::Handle handle_;
  std::unique_ptr<platform::DeviceNotifier> notifier_;
  std::mutex mutex_;                 // guards received_
  std::condition_variable changed_;  // notified when received_ grows
  std::vector<ReceivedBroadcast> received_;
};

inline platform::PlugRequest Stick(std::string serial, std::string vendor = "SanDisk",
                                   std::string product = "Cruzer Blade") {
  platform::PlugRequest r;
  r.vendorId = 0x0781;
  r.productId = 0x5567;
  r.serial = std::move(serial);
  r.vendorName = std::move(vendor);
  r.productName = std::move(product);
  return r;
}

inline platform::PlugResult PlugOrFail(platform::Machine& machine,
                                       const platform::PlugRequest& request) {
  auto outcome = platform::Plug(machine, request);
  EXPECT_TRUE(outcome.ok()) << outcome.error.message;
  return outcome.ok() ? *outcome.value : platform::PlugResult{};
}

}  // namespace uv::testing
