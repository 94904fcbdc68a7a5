#include "platform/fs/CompletionPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<CompletionPort> MakePort() {
  auto port = CompletionPort::Create();
  EXPECT_TRUE(port.ok());
  return std::move(port).value();
}

TEST(CompletionPortTest, PostedPacketsComeBackInOrderWithTheirFields) {
  auto port = MakePort();
  Overlapped first{};
  Overlapped second{};
  ASSERT_EQ(port->Post(4, 0x1234, &first), kErrorSuccess);
  ASSERT_EQ(port->Post(0, 0x5678, &second), kErrorSuccess);
  ASSERT_EQ(port->Post(7, 0, nullptr), kErrorSuccess);
  EXPECT_EQ(port->QueuedCount(), 3u);

  auto a = port->Wait();
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a->bytes, 4u);
  EXPECT_EQ(a->key, 0x1234u);
  EXPECT_EQ(a->overlapped, &first);
  EXPECT_EQ(a->error, kErrorSuccess);
  auto b = port->Wait(1s);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b->key, 0x5678u);
  EXPECT_EQ(b->overlapped, &second);
  auto c = port->Wait();
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c->key, 0u);  // an empty key is a packet like any other
  EXPECT_EQ(c->bytes, 7u);
  EXPECT_EQ(port->QueuedCount(), 0u);
}

TEST(CompletionPortTest, EmptyPortGivesTimeoutAfterItsLimit) {
  auto port = MakePort();
  auto none = port->Wait(10ms);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), kWaitTimeout);
  auto immediate = port->Wait(0ms);
  EXPECT_EQ(immediate.error(), kWaitTimeout);
  // A packet posted after a timeout is still delivered.
  ASSERT_EQ(port->Post(1, 9, nullptr), kErrorSuccess);
  auto later = port->Wait(0ms);
  ASSERT_TRUE(later.ok());
  EXPECT_EQ(later->key, 9u);
}

TEST(CompletionPortTest, CloseWakesEveryBlockedWaiterAndRefusesLaterPosts) {
  auto port = MakePort();
  std::atomic<int> abandoned{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      auto result = port->Wait();
      if (!result.ok() && result.error() == kErrorAbandonedWait0) ++abandoned;
    });
  }
  std::this_thread::sleep_for(20ms);  // let them block; the test holds without it too
  ASSERT_EQ(port->Post(1, 1, nullptr), kErrorSuccess);
  port->Close();
  for (auto& waiter : waiters) waiter.join();
  // One waiter may have taken the packet before the close; the others were abandoned.
  EXPECT_GE(abandoned.load(), 2);
  EXPECT_EQ(port->Post(1, 1, nullptr), kErrorInvalidHandle);
  EXPECT_EQ(port->Wait().error(), kErrorAbandonedWait0);
  EXPECT_EQ(port->QueuedCount(), 0u);
}

TEST(CompletionPortTest, ManyProducersAndTwoConsumersLoseNoPacket) {
  auto port = MakePort();
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  std::mutex mutex;
  std::multiset<CompletionKey> seen;
  std::vector<std::thread> consumers;
  for (int c = 0; c < 2; ++c) {
    consumers.emplace_back([&] {
      for (;;) {
        auto got = port->Wait();
        if (!got.ok() || got->key == 0) return;
        std::lock_guard lock(mutex);
        seen.insert(got->key);
      }
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        ASSERT_EQ(port->Post(0, static_cast<CompletionKey>(p * kPerProducer + i + 1), nullptr),
                  kErrorSuccess);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_EQ(port->Post(0, 0, nullptr), kErrorSuccess);
  ASSERT_EQ(port->Post(0, 0, nullptr), kErrorSuccess);
  for (auto& consumer : consumers) consumer.join();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kProducers * kPerProducer));
  for (CompletionKey key = 1; key <= kProducers * kPerProducer; ++key) {
    ASSERT_EQ(seen.count(key), 1u) << key;
  }
}

}  // namespace
}  // namespace uv::platform
