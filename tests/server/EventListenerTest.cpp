// The listener on a real loopback socket: requests answered in place, reports handed over in
// order, and bad datagrams survived.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/Socket.h"
#include "server/app/EventListener.h"

using namespace uv::server;
using namespace uv::platform;
using namespace std::chrono_literals;

namespace {

struct Received {
  std::string text;
  SocketAddress from;
};

class ListenerTest : public ::testing::Test {
 protected:
  void Start(EventListener::ConfigAnswer answer = [] { return std::optional<char>('0'); }) {
    auto socket = UdpSocket::Create();
    ASSERT_TRUE(socket);
    ASSERT_EQ(socket->Bind(SocketAddress{Ipv4Address::Loopback(), 0}), kErrorSuccess);
    auto local = socket->LocalAddress();
    ASSERT_TRUE(local);
    address_ = *local;
    listener_ = std::make_unique<EventListener>(
        std::move(socket.value()),
        [this](std::span<const EventListener::Report> reports) {
          std::lock_guard lock(mutex_);
          for (const auto& report : reports) received_.push_back({report.text, report.from});
          ++batches_;
          changed_.notify_all();
        },
        std::move(answer));
    listener_->Start();
    auto client = UdpSocket::Create();
    ASSERT_TRUE(client);
    ASSERT_EQ(client->Bind(SocketAddress{Ipv4Address::Loopback(), 0}), kErrorSuccess);
    ASSERT_EQ(client->SetReceiveTimeout(2000ms), kErrorSuccess);
    client_ = std::move(client.value());
  }

  void Send(std::string_view bytes) { ASSERT_TRUE(client_.SendTo(bytes, address_)); }

  std::string Answer() {
    char buffer[16] = {};
    auto got = client_.ReceiveFrom(std::span<char>(buffer, sizeof buffer));
    return got ? std::string(buffer, *got) : std::string("<none>");
  }

  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return received_.size() >= count; });
  }

  std::vector<Received> Snapshot() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  SocketAddress address_;
  UdpSocket client_;
  std::unique_ptr<EventListener> listener_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
  int batches_ = 0;
};

}  // namespace

TEST_F(ListenerTest, ProbeAndConfigQueryAreAnsweredNotHandedOn) {
  Start();
  Send("RUT;");
  EXPECT_EQ(Answer(), "IMA;");
  Send("GCC;");
  EXPECT_EQ(Answer(), "0");
  Send("report");
  ASSERT_TRUE(WaitFor(1));
  const auto got = Snapshot();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "report");
  EXPECT_EQ(got[0].from, *client_.LocalAddress());
}

TEST_F(ListenerTest, ConfigQueryStaysSilentWhenTheSettingsCannotBeOpened) {
  Start([] { return std::optional<char>(); });
  Send("GCC;");
  Send("RUT;");
  // The first answer to arrive is the probe's: the query got none.
  EXPECT_EQ(Answer(), "IMA;");
}

TEST_F(ListenerTest, NearMissesOfTheRequestsAreReports) {
  Start();
  Send("RUT");
  Send("RUT;x");
  Send(std::string_view("RUT\0;", 5));
  Send("rut;");
  ASSERT_TRUE(WaitFor(4));
  const auto got = Snapshot();
  EXPECT_EQ(got[0].text, "RUT");
  EXPECT_EQ(got[1].text, "RUT;x");
  EXPECT_EQ(got[2].text, "RUT");  // the text ends at its zero byte
  EXPECT_EQ(got[3].text, "rut;");
}

TEST_F(ListenerTest, AProbeFollowedByAZeroByteIsStillAProbe) {
  Start();
  // The request is compared as a zero-terminated text over five bytes.
  Send(std::string_view("RUT;\0junk", 9));
  EXPECT_EQ(Answer(), "IMA;");
  Send("after");
  ASSERT_TRUE(WaitFor(1));
  const auto got = Snapshot();
  ASSERT_EQ(got.size(), 1u);  // the probe was not handed on as a report
  EXPECT_EQ(got[0].text, "after");
}

TEST_F(ListenerTest, OversizedAndEmptyDatagramsDoNotEndTheListener) {
  Start();
  Send(std::string(1024, 'a'));
  Send(std::string(1025, 'b'));
  Send(std::string(65000, 'c'));
  Send("");
  Send(std::string_view("\0\0\0", 3));
  Send("RUT;");
  EXPECT_EQ(Answer(), "IMA;");
  ASSERT_TRUE(WaitFor(3));
  const auto got = Snapshot();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].text, std::string(1023, 'a'));  // a 1024-byte datagram keeps 1023
  EXPECT_EQ(got[1].text, "");
  EXPECT_EQ(got[2].text, "");
  EXPECT_GE(listener_->Errors(), 2u);
}

TEST_F(ListenerTest, ReportsAreHandedOverInOrder) {
  Start();
  for (int i = 0; i < 200; ++i) Send("r" + std::to_string(i));
  ASSERT_TRUE(WaitFor(200));
  const auto got = Snapshot();
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(got[static_cast<std::size_t>(i)].text, "r" + std::to_string(i));
}

TEST_F(ListenerTest, ABurstIsHandedOverInBatchesThatKeepTheOrder) {
  // The handler is slow, so the datagrams behind the first pile up and travel together.
  std::mutex gate;
  std::unique_lock hold(gate);
  auto socket = UdpSocket::Create();
  ASSERT_TRUE(socket);
  ASSERT_EQ(socket->Bind(SocketAddress{Ipv4Address::Loopback(), 0}), kErrorSuccess);
  address_ = *socket->LocalAddress();
  std::vector<std::size_t> sizes;
  std::promise<void> entered;
  std::atomic<bool> first{true};
  listener_ = std::make_unique<EventListener>(
      std::move(socket.value()),
      [&](std::span<const EventListener::Report> reports) {
        if (first.exchange(false)) entered.set_value();
        std::lock_guard wait(gate);
        std::lock_guard lock(mutex_);
        sizes.push_back(reports.size());
        for (const auto& report : reports) received_.push_back({report.text, report.from});
        changed_.notify_all();
      },
      nullptr);
  listener_->Start();
  auto client = UdpSocket::Create();
  ASSERT_TRUE(client);
  client_ = std::move(client.value());
  Send("first");
  // A barrier: the listener is now blocked in the handler.
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
  // A datagram sent on loopback is in the listener's socket when the send returns.
  for (int i = 0; i < 100; ++i) Send("r" + std::to_string(i));
  hold.unlock();
  ASSERT_TRUE(WaitFor(101));
  const auto got = Snapshot();
  EXPECT_EQ(got[0].text, "first");
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(got[static_cast<std::size_t>(i) + 1].text, "r" + std::to_string(i));
  std::lock_guard lock(mutex_);
  EXPECT_LT(sizes.size(), 10u);
  for (std::size_t size : sizes) EXPECT_LE(size, EventListener::kMaxBatch);
}

TEST_F(ListenerTest, StopEndsAPendingReceiveAndIsRepeatable) {
  Start();
  Send("RUT;");
  EXPECT_EQ(Answer(), "IMA;");
  listener_->Stop();
  EXPECT_FALSE(listener_->Running());
  listener_->Stop();
  Send("RUT;");
  ASSERT_EQ(client_.SetReceiveTimeout(200ms), kErrorSuccess);
  EXPECT_EQ(Answer(), "<none>");
}
