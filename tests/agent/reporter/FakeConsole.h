#pragma once
// A stand-in for the console's event port: a UDP socket on <address>:40007 served by a thread of
// its own. It records every datagram (text, sender, arrival time) and answers "RUT;" the way the
// test wants: "IMA;", another text, or not at all (the console is away).
//
// Thread affinity: construct and destroy on one thread; the other members may be called from
// any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/Ipv4Address.h"
#include "platform/net/Socket.h"

namespace uv::testing {

class FakeConsole {
 public:
  static constexpr std::uint16_t kPort = 40007;

  struct Datagram {
    std::string text;
    platform::SocketAddress from;
    std::chrono::steady_clock::time_point arrival;
  };

  explicit FakeConsole(platform::Ipv4Address address) : address_(address) {
    auto socket = platform::UdpSocket::Create();
    if (!socket) throw std::runtime_error("socket failed");
    socket_ = std::move(*socket);
    if (socket_.SetReuseAddress(true) != platform::kErrorSuccess ||
        socket_.Bind({address, kPort}) != platform::kErrorSuccess) {
      throw std::runtime_error("cannot bind " + address.ToString() + ":40007");
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~FakeConsole() {
    socket_.Shutdown();
    thread_.join();
  }

  FakeConsole(const FakeConsole&) = delete;
  FakeConsole& operator=(const FakeConsole&) = delete;

  std::string Address() const { return address_.ToString(); }

  // The answer to every probe from now on; none = the console is away.
  void SetAnswer(std::optional<std::string> answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
    answersLeft_ = -1;
  }
  // Answers the next `count` probes with "IMA;", then none.
  void AnswerNextProbes(int count) {
    std::lock_guard lock(mutex_);
    answer_ = "IMA;";
    answersLeft_ = count;
  }

  // Holds back the answer to the `n`th probe from now (1-based) until ReleaseHeldProbe(), so a
  // test can act while the reporter waits for it. Released anyway after 10 s.
  void HoldProbe(std::size_t n) {
    std::lock_guard lock(mutex_);
    holdAt_ = probesSeen_ + n;
    released_ = false;
  }
  void ReleaseHeldProbe() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    arrived_.notify_all();
  }

  // Waits until at least `count` datagrams have arrived.
  bool WaitForDatagrams(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
  }

  std::vector<Datagram> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // The texts of every datagram that is not a probe, in arrival order.
  std::vector<std::string> Reports() {
    std::vector<std::string> reports;
    for (const auto& datagram : Received()) {
      if (datagram.text != "RUT;") reports.push_back(datagram.text);
    }
    return reports;
  }
  std::size_t ProbeCount() {
    std::size_t probes = 0;
    for (const auto& datagram : Received()) probes += datagram.text == "RUT;";
    return probes;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }

  // Makes sure every datagram sent before this call has been taken in: sends a marker from the
  // test and waits for it (loopback delivers in order per path, and the marker follows the
  // sender's last datagram in time). The marker itself is removed.
  bool Settle() {
    auto sender = platform::UdpSocket::Create();
    if (!sender) return false;
    const std::string marker = "MARK;" + std::to_string(++markers_);
    if (!sender->SendTo(marker, {address_, kPort})) return false;
    std::unique_lock lock(mutex_);
    const bool seen = arrived_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const auto& datagram : received_) {
        if (datagram.text == marker) return true;
      }
      return false;
    });
    std::erase_if(received_, [&](const Datagram& d) { return d.text == marker; });
    return seen;
  }

 private:
  void Serve() noexcept {
    try {
      std::vector<char> buffer(65536);
      while (true) {
        platform::SocketAddress from;
        auto received = socket_.ReceiveFrom(std::span<char>(buffer), &from);
        if (!received) {
          if (socket_.IsShutDown()) return;
          continue;
        }
        std::string text(buffer.data(), *received);
        std::optional<std::string> answer;
        {
          std::unique_lock lock(mutex_);
          received_.push_back({text, from, std::chrono::steady_clock::now()});
          if (text == "RUT;" && ++probesSeen_ == holdAt_) {
            arrived_.notify_all();
            arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
          }
          if (text == "RUT;" && answer_ && answersLeft_ != 0) {
            answer = answer_;
            if (answersLeft_ > 0 && --answersLeft_ == 0) answer_.reset();
          }
        }
        arrived_.notify_all();
        if (answer) {
          if (!socket_.SendTo(*answer, from)) {
            // The reporter then sees no answer, which the test will notice.
          }
        }
      }
    } catch (...) {
      // Nothing may leave the thread; a test waiting for datagrams times out instead.
    }
  }

  const platform::Ipv4Address address_;
  platform::UdpSocket socket_;  // used by the serving thread; Shutdown() from the owner
  std::mutex mutex_;            // guards every member below it except thread_ and markers_
  std::condition_variable arrived_;
  std::optional<std::string> answer_ = std::string("IMA;");
  int answersLeft_ = -1;  // -1: answer every probe
  std::vector<Datagram> received_;
  std::size_t probesSeen_ = 0;
  std::size_t holdAt_ = 0;  // 0: hold nothing
  bool released_ = true;
  int markers_ = 0;  // only the owner thread
  std::thread thread_;
};

}  // namespace uv::testing
