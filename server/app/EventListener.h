#pragma once
// The listener of the event port. It owns the bound UDP socket and one thread that receives
// datagrams, answers the reachability probe "RUT;" and the configuration query "GCC;" itself,
// and hands every other datagram, as text, to its handler, which handles the reports completely,
// in order of arrival, before the listener hands over more (the window's handler is a blocking
// call into the UI thread).
//
// Reports that are already waiting in the socket when one arrives are handed over together, up
// to kMaxBatch at a time: one trip to the UI thread and back then serves a burst instead of every
// single datagram, which is what lets the console keep up with many clients. Nothing waits for a
// batch to fill: whatever has arrived goes over as soon as the socket is empty.
//
// Unlike a bare receive loop, only Stop() ends the thread: an oversized datagram or a transient
// receive error is traced and the loop goes on, so one bad packet cannot silence the console.
//
// Thread affinity: construct, Start and Stop on one thread (the UI thread); the handler and the
// configuration answer run on the listener thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/net/Socket.h"

namespace uv::server {

class EventListener {
 public:
  // One report: its text (up to the first zero byte, at most kMaxText characters) and the
  // datagram's source.
  struct Report {
    std::string text;
    platform::SocketAddress from;
  };
  // The handler gets the reports in order of arrival; they stay valid only during the call.
  using Handler = std::function<void(std::span<const Report> reports)>;
  // The one-byte answer to "GCC;", or nothing to stay silent.
  using ConfigAnswer = std::function<std::optional<char>()>;

  static constexpr std::size_t kReceiveBuffer = 1024;
  static constexpr std::size_t kMaxText = kReceiveBuffer - 1;
  static constexpr std::size_t kMaxBatch = 64;
  // The socket's receive buffer, asked for so that a burst of clients, or a moment in which the
  // UI thread gets no processor, is queued rather than dropped: about a second of reports at
  // 20,000 a second.
  static constexpr int kSocketBufferBytes = 16 << 20;

  EventListener(platform::UdpSocket socket, Handler handler, ConfigAnswer configAnswer);
  ~EventListener();  // stops and joins
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  void Start();
  // Ends the pending receive and joins the thread. Safe to call twice.
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // The address the socket is bound to (its port when the system chose one).
  platform::SocketAddress LocalAddress() const { return localAddress_; }

  // Datagrams received since Start (requests included), and receive errors survived.
  std::uint64_t Received() const { return received_.load(); }
  std::uint64_t Errors() const { return errors_.load(); }

 private:
  void Run() noexcept;
  void HandleDatagram(const char* buffer, std::size_t length, platform::SocketAddress from);
  void Flush();

  platform::UdpSocket socket_;
  platform::SocketAddress localAddress_;
  Handler handler_;
  ConfigAnswer configAnswer_;
  std::atomic<bool> running_{false};  // written by Start/Stop, read by the listener thread
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> errors_{0};
  std::vector<Report> batch_;  // listener thread only
  std::size_t batchSize_ = 0;  // reports in batch_ (its strings are reused)
  std::thread thread_;         // owned; joined by Stop
};

}  // namespace uv::server
