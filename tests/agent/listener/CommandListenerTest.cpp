// The command listener over loopback with a recording handler: replies byte for byte, the walk
// of several frames in one read, bad input, the connection bound, the stop and the gate.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/agent/listener/CAllowedConsoles.h"
#include "client/agent/listener/CCommandListener.h"
#include "platform/machine/Machine.h"
#include "platform/net/Socket.h"
#include "platform/posix/SocketDescriptor.h"
#include "platform/registry/Registry.h"
#include "protocol/CommandFrame.h"
#include "tests/platform/net/TempMachineRoot.h"

namespace uv::agent {
namespace {

using namespace std::chrono_literals;
using platform::Ipv4Address;
using platform::SocketAddress;
using platform::TcpSocket;

class RecordingHandler : public protocol::ICommandHandler {
 public:
  void SetBlockUsb(bool block) override { Log(block ? "SET 1" : "SET 0"); }
  void SetIdleMinutes(int minutes) override { Log("SIT " + std::to_string(minutes)); }
  void SetSendOfflineMsg(bool on) override { Log(on ? "SOM 1" : "SOM 0"); }
  void SetWhiteLists(const protocol::WhiteLists& l) override {
    Log("SWH " + l.users + "|" + l.devices + "|" + l.makes);
  }
  bool IsUsbBlocked() override { return blocked; }
  bool IsSendOfflineMsgOn() override { return false; }
  std::optional<int> IdleMinutes() override { return std::nullopt; }
  std::optional<protocol::WhiteLists> ReadWhiteLists() override {
    return protocol::WhiteLists{"", "Kingston 123", ""};
  }

  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool blocked = false;

 private:
  void Log(std::string text) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(text));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class ListenerTest : public ::testing::Test {
 protected:
  void StartListener(CommandListenerOptions options = {}, IConsoleGate* gate = nullptr) {
    listener_.emplace(root_.machine(), handler_, gate, options);
    ASSERT_EQ(listener_->Start(), platform::kErrorSuccess);
    address_ = listener_->LocalAddress();
    if (address_.address.IsAny()) address_.address = Ipv4Address::Loopback();
  }

  TcpSocket Connect(std::optional<Ipv4Address> from = {}) {
    auto socket = TcpSocket::Connect(address_, 2s, from);
    EXPECT_TRUE(socket.ok());
    EXPECT_EQ(socket->SetReceiveTimeout(5s), platform::kErrorSuccess);
    return std::move(*socket);
  }

  // Sends bytes in one send and reads what comes back until the agent goes quiet or closes.
  std::string Exchange(TcpSocket& socket, std::string_view bytes, bool expectReply = true) {
    EXPECT_TRUE(socket.Send(bytes).ok());
    if (!expectReply) return {};
    char buffer[4096];
    auto n = socket.Receive(std::span<char>(buffer));
    return n.ok() ? std::string(buffer, *n) : std::string();  // closed or reset: no reply
  }

  std::string Query(std::string_view bytes) {
    TcpSocket socket = Connect();
    return Exchange(socket, bytes);
  }

  // Runs until the handler has seen `count` calls (the agent does not answer settings).
  std::vector<std::string> WaitForCalls(std::size_t count) {
    for (int i = 0; i < 500 && handler_.Calls().size() < count; ++i)
      std::this_thread::sleep_for(5ms);
    return handler_.Calls();
  }

  platform::testing::TempMachineRoot root_;
  RecordingHandler handler_;
  std::optional<CCommandListener> listener_;
  SocketAddress address_;
};

TEST_F(ListenerTest, RepliesByteForByte) {
  StartListener();
  const std::string get("0004GET;\0\0", 10);
  EXPECT_EQ(Query(get), std::string("   5GET;\x02", 9));
  handler_.blocked = true;
  EXPECT_EQ(Query(get), std::string("   5GET;\x01", 9));
  EXPECT_EQ(Query(std::string("0004GIT;\0\0", 10)), "   7GIT;10;");
  EXPECT_EQ(Query(std::string("0004GWH;\0\0", 10)), "  22GWH;-;Kingston 123;-;");
}

TEST_F(ListenerTest, SeveralFramesOfOneReadAndTheNextReadOnTheSameConnection) {
  StartListener();
  TcpSocket socket = Connect();
  Exchange(socket, "0006SET;1;   6SOM;2;   7SIT;30;", false);
  EXPECT_EQ(WaitForCalls(3), (std::vector<std::string>{"SET 1", "SOM 0", "SIT 30"}));
  // The same connection keeps being served.
  EXPECT_EQ(Exchange(socket, std::string("0004GET;\0\0", 10)), std::string("   5GET;\x02", 9));
  Exchange(socket, "  18SWH;-;Kingston;-;", false);
  EXPECT_EQ(WaitForCalls(4).back(), "SWH |Kingston|");
}

TEST_F(ListenerTest, BadInputIsDroppedAndTheNextGetIsAnswered) {
  StartListener();
  {
    TcpSocket socket = Connect();
    // Frames of every kind of wrong: short, unknown word, bad lengths, colon instead of ";".
    const std::vector<std::string> bad = {"GET",         "0004XYZ;",   "9999SET;1;",
                                          "0001SET;1;",  "0006SET;1:", std::string(2048, 'A'),
                                          "0006S\0T;1;", "-004GET;"};
    for (int i = 0; i < 10000; ++i) {
      const std::string& frame = bad[static_cast<std::size_t>(i) % bad.size()];
      ASSERT_TRUE(socket.Send(frame).ok());
    }
  }
  // A silent connection and a half-closed one do not stop the service.
  TcpSocket silent = Connect();
  TcpSocket half = Connect();
  ASSERT_TRUE(half.Send(std::string("0004GET;\0\0", 10)).ok());
  ::shutdown(uv::platform::SocketDescriptor::Of(half), SHUT_WR);
  char buffer[64];
  auto reply = half.Receive(std::span<char>(buffer));
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(std::string(buffer, *reply), std::string("   5GET;\x02", 9));
  EXPECT_EQ(Query(std::string("0004GET;\0\0", 10)), std::string("   5GET;\x02", 9));
  EXPECT_TRUE(handler_.Calls().empty()) << handler_.Calls().front();
}

TEST_F(ListenerTest, ConnectionsBeyondTheBoundAreClosedAtOnce) {
  CommandListenerOptions options;
  options.maxConnections = 3;
  StartListener(options);
  std::vector<TcpSocket> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(Connect());
    EXPECT_EQ(Exchange(held.back(), std::string("0004GET;\0\0", 10)),
              std::string("   5GET;\x02", 9));
  }
  TcpSocket extra = Connect();
  EXPECT_EQ(Exchange(extra, std::string("0004GET;\0\0", 10)), "");  // closed: end of stream
  EXPECT_EQ(listener_->GetCounters().refusedBusy, 1u);
  EXPECT_LE(listener_->ConnectionCount(), 3u);
  held.clear();  // the console closes: those threads end and make room
  for (int i = 0; i < 500 && listener_->ConnectionCount() > 0; ++i)
    std::this_thread::sleep_for(2ms);
  EXPECT_EQ(listener_->ConnectionCount(), 0u);
  EXPECT_EQ(Query(std::string("0004GET;\0\0", 10)), std::string("   5GET;\x02", 9));
}

TEST_F(ListenerTest, SilentConnectionsAreClosedAfterTheLimit) {
  CommandListenerOptions options;
  options.silenceLimit = 50ms;
  StartListener(options);
  TcpSocket silent = Connect();
  char buffer[16];
  auto n = silent.Receive(std::span<char>(buffer));
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(*n, 0u);
  EXPECT_EQ(listener_->GetCounters().silent, 1u);
}

TEST_F(ListenerTest, StopEndsAnIdlePortAndOpenConnections) {
  StartListener();
  std::vector<TcpSocket> open;
  for (int i = 0; i < 5; ++i) open.push_back(Connect());
  for (int i = 0; i < 500 && listener_->ConnectionCount() < 5; ++i)
    std::this_thread::sleep_for(2ms);
  EXPECT_EQ(listener_->ConnectionCount(), 5u);
  listener_->Stop();  // must return although every connection is silent and nobody connects
  EXPECT_FALSE(listener_->IsRunning());
  EXPECT_EQ(listener_->ConnectionCount(), 0u);
  char buffer[16];
  auto n = open.front().Receive(std::span<char>(buffer));
  EXPECT_TRUE(!n.ok() || *n == 0u);
}

TEST_F(ListenerTest, AllowedConsolesAdmitsListedAddressesOnly) {
  std::optional<std::string> value = "127.0.0.10, CONSOLE";
  root_.WriteHosts("127.0.0.20\tCONSOLE\n");
  CAllowedConsoles gate(root_.machine(), [&] { return value; });
  StartListener({}, &gate);
  address_.address = Ipv4Address::Loopback();
  const std::string get("0004GET;\0\0", 10);
  const std::string answer("   5GET;\x02", 9);
  for (const auto& [from, admitted] :
       std::vector<std::pair<Ipv4Address, bool>>{{Ipv4Address(127, 0, 0, 10), true},
                                                 {Ipv4Address(127, 0, 0, 20), true},
                                                 {Ipv4Address(127, 0, 0, 30), false}}) {
    TcpSocket socket = Connect(from);
    EXPECT_EQ(Exchange(socket, get), admitted ? answer : "") << from.ToString();
  }
  EXPECT_EQ(listener_->GetCounters().refusedGate, 1u);
  value = std::nullopt;  // absent: everybody is served
  TcpSocket socket = Connect(Ipv4Address(127, 0, 0, 30));
  EXPECT_EQ(Exchange(socket, get), answer);
  value = "";  // present but listing nobody: nobody is served
  TcpSocket refused = Connect(Ipv4Address(127, 0, 0, 10));
  EXPECT_EQ(Exchange(refused, get), "");
  listener_.reset();  // its thread uses the gate, which ends with this scope
}

TEST(AllowedConsolesValue, ReadsTextsAndListsAndSplitsOnEverySeparator) {
  EXPECT_EQ(CAllowedConsoles::SplitEntries(" a,b;;c\td "),
            (std::vector<std::string_view>{"a", "b", "c", "d"}));
  platform::testing::TempMachineRoot root;
  auto registry = root.machine().OpenRegistry();
  ASSERT_TRUE(registry.ok());
  auto key = platform::RegKey::Create(**registry, "Software\\Test");
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(CAllowedConsoles::ReadValue(*key), std::nullopt);
  ASSERT_EQ(key->SetMultiString("AllowedConsoles", {"10.0.0.1", "CONSOLE"}),
            platform::kErrorSuccess);
  EXPECT_EQ(CAllowedConsoles::ReadValue(*key), "10.0.0.1,CONSOLE");
  ASSERT_EQ(key->SetDword("AllowedConsoles", 1), platform::kErrorSuccess);
  EXPECT_EQ(CAllowedConsoles::ReadValue(*key), "");  // unreadable: restricts to nobody
}

}  // namespace
}  // namespace uv::agent
