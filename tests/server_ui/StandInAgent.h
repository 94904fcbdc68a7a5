#pragma once
// A stand-in for the client agent's command port in the console's tests: it reads each
// connection's one read and answers as the agent does, through the protocol's own handling
// (HandleCommandRead over an in-memory settings store), so its replies are the agent's byte for
// byte. Other behaviours stand for bad clients: silent, garbage, closing, oversized lists.

#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/Socket.h"
#include "protocol/CommandFrame.h"

namespace uv::server::test {

// kRawReply answers every query with `rawReply` as it is.
enum class PeerBehaviour { kAgent, kSilent, kGarbage, kClose, kHugeLists, kRawReply };

class StandInAgent : public protocol::ICommandHandler {
 public:
  explicit StandInAgent(PeerBehaviour behaviour = PeerBehaviour::kAgent) : behaviour_(behaviour) {
    auto listener = platform::TcpListener::Listen({platform::Ipv4Address::Any(), 0});
    if (!listener.ok()) throw std::runtime_error("stand-in cannot listen");
    listener_ = std::move(*listener);
    port_ = listener_.LocalAddress()->port;
    thread_ = std::thread([this] { Serve(); });
  }
  ~StandInAgent() override {
    stop_ = true;
    listener_.Shutdown();
    thread_.join();
  }
  std::uint16_t Port() const { return port_; }
  void SetBehaviour(PeerBehaviour behaviour) { behaviour_ = behaviour; }
  // Connections to these local addresses (host order) get no answer; set before the first.
  std::set<std::uint32_t> silentAddresses;

  // What arrived, one entry per connection.
  std::vector<std::string> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  // The settings, as the agent's registry would hold them.
  std::mutex mutex_;
  bool blocked = false;
  bool offline = false;
  std::optional<int> minutes;
  protocol::WhiteLists lists;
  std::string rawReply;

  void SetBlockUsb(bool block) override { blocked = block; }
  void SetIdleMinutes(int value) override { minutes = value; }
  void SetSendOfflineMsg(bool on) override { offline = on; }
  void SetWhiteLists(const protocol::WhiteLists& value) override { lists = value; }
  bool IsUsbBlocked() override { return blocked; }
  bool IsSendOfflineMsgOn() override { return offline; }
  std::optional<int> IdleMinutes() override { return minutes; }
  std::optional<protocol::WhiteLists> ReadWhiteLists() override { return lists; }

 private:
  void Serve() {
    while (!stop_) {
      auto connection = listener_.Accept();
      if (!connection.ok()) return;
      platform::TcpSocket socket = std::move(*connection);
      PeerBehaviour behaviour = behaviour_.load();
      if (auto local = socket.LocalAddress();
          local.ok() && silentAddresses.count(local->address.HostOrder()) > 0) {
        behaviour = PeerBehaviour::kSilent;
      }
      if (behaviour == PeerBehaviour::kClose) continue;
      std::array<char, protocol::kCommandReadBuffer> buffer{};
      platform::SocketWait wait{&socket, true, false};
      // Settings are not answered and the console closes at once; wait for its one read.
      auto ready = platform::WaitForSockets(std::span(&wait, 1), std::chrono::milliseconds(5000));
      if (!ready.ok() || *ready == 0) continue;
      auto got = socket.Receive(std::span(buffer));
      if (!got.ok()) continue;
      const std::string_view read(buffer.data(), *got);
      std::string reply;
      {
        std::lock_guard lock(mutex_);
        received_.emplace_back(read);
        reply = protocol::HandleCommandRead(read, *this).reply;
      }
      if (behaviour == PeerBehaviour::kSilent) {
        // Hold the connection until the console gives up.
        (void)platform::WaitForSockets(std::span(&wait, 1), std::chrono::milliseconds(10000));
        continue;
      }
      if (behaviour == PeerBehaviour::kGarbage) reply = "zz\x01garbage reply";
      if (behaviour == PeerBehaviour::kHugeLists) {
        // A GWH reply of 2,000 bytes, its length field claiming more than that.
        reply = "9999GWH;" + std::string(1992, 'x');
      }
      if (behaviour == PeerBehaviour::kRawReply) {
        std::lock_guard lock(mutex_);
        reply = rawReply;
      }
      if (!reply.empty()) (void)socket.Send(reply);
    }
  }

  std::atomic<PeerBehaviour> behaviour_;
  platform::TcpListener listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<std::string> received_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace uv::server::test
