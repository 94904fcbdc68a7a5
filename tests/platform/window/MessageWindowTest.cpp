#include "platform/window/MessageWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPing = kWmUser + 1;
constexpr std::uint32_t kRecord = kWmUser + 2;
constexpr std::uint32_t kQuit = kWmUser + 3;
constexpr std::uint32_t kThrow = kWmUser + 4;

TEST(MessageWindowTest, SendFromAnotherThreadRunsOnTheOwnerAndReturnsTheResult) {
  const auto owner = std::this_thread::get_id();
  std::thread::id handledOn;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    handledOn = std::this_thread::get_id();
    return static_cast<std::intptr_t>(m.wParam) * 2 + m.lParam;
  });
  const auto handle = window.GetHandle();
  std::future<Result<std::intptr_t>> reply = std::async(std::launch::async, [&] {
    auto result = handle.Send(kPing, 20, 2);
    window.Quit(7);
    return result;
  });
  auto code = window.Run();
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(*code, 7);
  auto result = reply.get();
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, 42);
  EXPECT_EQ(handledOn, owner);
}

TEST(MessageWindowTest, SendOnTheOwnerThreadIsADirectCall) {
  int calls = 0;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    ++calls;
    return m.lParam + 1;
  });
  // No loop is running: the owner's own Send does not need one.
  auto result = window.Send(kPing, 0, 41);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, 42);
  EXPECT_EQ(calls, 1);
}

TEST(MessageWindowTest, PostedMessagesArriveInOrderWithTheirPayloads) {
  std::vector<std::uintptr_t> order;
  std::vector<std::uint8_t> lastRecord;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    if (m.message == kRecord) {
      order.push_back(m.wParam);
      lastRecord = m.payload;
    }
    return 0;
  });
  std::thread poster([handle = window.GetHandle(), &window] {
    for (std::uintptr_t i = 0; i < 100; ++i) {
      EXPECT_EQ(handle.Post(kRecord, i, 0, {static_cast<std::uint8_t>(i), 0xAB, 0xCD}),
                kErrorSuccess);
    }
    window.Quit(0);
  });
  ASSERT_TRUE(window.Run().ok());
  poster.join();
  ASSERT_EQ(order.size(), 100u);
  for (std::uintptr_t i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(lastRecord, (std::vector<std::uint8_t>{99, 0xAB, 0xCD}));
}

TEST(MessageWindowTest, TimersTickWithTheirIdUntilKilled) {
  int ticks = 0;
  int otherTimerTicks = 0;
  MessageWindow* self = nullptr;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    if (m.message != kWmTimer) return 0;
    if (m.wParam == 1000) {
      if (++ticks == 3) {
        EXPECT_EQ(self->KillTimer(1000), kErrorSuccess);
        self->Quit(3);
      }
    } else {
      ++otherTimerTicks;
    }
    return 0;
  });
  self = &window;
  ASSERT_EQ(window.SetTimer(1000, 5ms), kErrorSuccess);
  ASSERT_EQ(window.SetTimer(2000, 1h), kErrorSuccess);
  EXPECT_EQ(*window.Run(), 3);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(otherTimerTicks, 0);
  EXPECT_EQ(window.KillTimer(1000), kErrorInvalidParameter);  // already gone
  EXPECT_EQ(window.KillTimer(2000), kErrorSuccess);
  EXPECT_EQ(window.KillTimer(12345), kErrorInvalidParameter);
}

TEST(MessageWindowTest, SetTimerAgainRestartsTheTimerInsteadOfAddingOne) {
  int ticks = 0;
  MessageWindow* self = nullptr;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    if (m.message == kWmTimer && m.wParam == 5) {
      ++ticks;
      self->Quit(0);
    }
    return 0;
  });
  self = &window;
  ASSERT_EQ(window.SetTimer(5, 1h), kErrorSuccess);
  ASSERT_EQ(window.SetTimer(5, 1ms), kErrorSuccess);
  ASSERT_TRUE(window.Run().ok());
  EXPECT_EQ(ticks, 1);
}

TEST(MessageWindowTest, SendAndPostAfterTheLoopEndedFailPromptly) {
  MessageWindow window([](const WindowMessage&) -> std::intptr_t { return 1; });
  window.Quit(0);  // before Run: Run returns at once
  ASSERT_TRUE(window.Run().ok());
  auto sent = std::async(std::launch::async,
                         [handle = window.GetHandle()] { return handle.Send(kPing).error(); });
  ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sent.get(), kErrorInvalidHandle);
  EXPECT_EQ(window.Post(kPing), kErrorInvalidHandle);
  // The owner itself can still call its handler directly.
  EXPECT_EQ(*window.Send(kPing), 1);
}

TEST(MessageWindowTest, DestroyingTheWindowFailsWaitingSendersAndLaterHandles) {
  MessageWindow::Handle handle;
  std::future<WinError> waiting;
  {
    MessageWindow window([](const WindowMessage&) -> std::intptr_t { return 1; });
    handle = window.GetHandle();
    EXPECT_TRUE(handle.IsValid());
    EXPECT_NE(handle.Id(), 0u);
    // Never runs its loop: this sender waits until the window goes away.
    waiting = std::async(std::launch::async, [handle] { return handle.Send(kPing).error(); });
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), kErrorInvalidHandle);
  EXPECT_FALSE(handle.IsValid());
  EXPECT_EQ(handle.Post(kPing), kErrorInvalidHandle);
  EXPECT_EQ(MessageWindow::Handle().Send(kPing).error(), kErrorInvalidHandle);
}

TEST(MessageWindowTest, ASendThatTimesOutIsWithdrawn) {
  int handled = 0;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    if (m.message == kPing) ++handled;
    return 0;
  });
  auto timedOut = std::async(std::launch::async, [handle = window.GetHandle()] {
    return handle.SendTimeout(20ms, kPing).error();
  });
  EXPECT_EQ(timedOut.get(), kErrorTimeout);
  window.Quit(0);
  ASSERT_TRUE(window.Run().ok());
  EXPECT_EQ(handled, 0);  // the loop never saw the withdrawn message
}

TEST(MessageWindowTest, RunBelongsToTheOwnerThread) {
  MessageWindow window([](const WindowMessage&) -> std::intptr_t { return 0; });
  auto elsewhere = std::async(std::launch::async, [&] { return window.Run().error(); });
  EXPECT_EQ(elsewhere.get(), kErrorInvalidParameter);
  EXPECT_TRUE(window.IsOwnerThread());
}

TEST(MessageWindowTest, AThrowingHandlerDoesNotEndTheLoop) {
  MessageWindow* self = nullptr;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    if (m.message == kThrow) throw std::runtime_error("handler failure");
    if (m.message == kQuit) self->Quit(9);
    return 5;
  });
  self = &window;
  auto results = std::async(std::launch::async, [handle = window.GetHandle()] {
    auto first = handle.Send(kThrow);
    auto second = handle.Send(kPing);
    EXPECT_EQ(handle.Post(kQuit), kErrorSuccess);
    return std::make_pair(first.value_or(-1), second.value_or(-1));
  });
  EXPECT_EQ(*window.Run(), 9);
  const auto [first, second] = results.get();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 5);
}

TEST(MessageWindowTest, ManySendersEachGetTheirOwnResult) {
  std::atomic<int> handled{0};
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    ++handled;
    return static_cast<std::intptr_t>(m.wParam) * 3;
  });
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t, handle = window.GetHandle()] {
      for (std::uintptr_t i = 0; i < 500; ++i) {
        const std::uintptr_t value = static_cast<std::uintptr_t>(t) * 1000 + i;
        auto result = handle.Send(kPing, value);
        if (!result.ok() || *result != static_cast<std::intptr_t>(value * 3)) ++wrong;
      }
    });
  }
  std::thread stopper([&] {
    for (auto& s : senders) s.join();
    window.Quit(0);
  });
  ASSERT_TRUE(window.Run().ok());
  stopper.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(handled.load(), 2000);
}

TEST(MessageWindowTest, WindowIdsAreUniqueAndNeverZero) {
  std::set<WindowId> ids;
  for (int i = 0; i < 10; ++i) {
    MessageWindow window([](const WindowMessage&) -> std::intptr_t { return 0; });
    EXPECT_NE(window.Id(), 0u);
    EXPECT_EQ(window.GetHandle().Id(), window.Id());
    ids.insert(window.Id());
  }
  EXPECT_EQ(ids.size(), 10u);
}

}  // namespace
}  // namespace uv::platform
