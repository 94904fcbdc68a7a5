#pragma once
// The listener of the event port. It owns the bound UDP socket and one thread that receives
// datagrams, answers the reachability probe "RUT;" and the configuration query "GCC;" itself,
// and hands every other datagram, as text, to its handler, which runs the whole handling of the
// event before the next datagram is received (the window's handler is a blocking call into the
// UI thread).
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
#include <string_view>
#include <thread>

#include "platform/net/Socket.h"

namespace uv::server {

class EventListener {
 public:
  // The handler gets the text (up to the first zero byte, at most kMaxText characters) and the
  // datagram's source; the text stays valid only during the call.
  using Handler = std::function<void(std::string_view text, platform::SocketAddress from)>;
  // The one-byte answer to "GCC;", or nothing to stay silent.
  using ConfigAnswer = std::function<std::optional<char>()>;

  static constexpr std::size_t kReceiveBuffer = 1024;
  static constexpr std::size_t kMaxText = kReceiveBuffer - 1;

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

  platform::UdpSocket socket_;
  platform::SocketAddress localAddress_;
  Handler handler_;
  ConfigAnswer configAnswer_;
  std::atomic<bool> running_{false};  // written by Start/Stop, read by the listener thread
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> errors_{0};
  std::thread thread_;  // owned; joined by Stop
};

}  // namespace uv::server
