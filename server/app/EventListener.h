#pragma once
// The listener of the event port. It owns the bound UDP socket and two threads: the receiver,
// which takes datagrams from the socket, answers the reachability probe "RUT;" and the
// configuration query "GCC;" itself and gathers every other datagram, as text, into batches; and
// the deliverer, which hands each batch to the handler, which handles the reports completely, in
// order of arrival, before the next batch is handed over (the window's handler is a blocking call
// into the UI thread).
//
// Reports that are already waiting in the socket when one arrives are handed over together, up
// to kMaxBatch at a time: one trip to the UI thread and back then serves a burst instead of every
// single datagram, which is what lets the console keep up with many clients. Nothing waits for a
// batch to fill: whatever has arrived goes over as soon as the socket is empty and the handler is
// free. While the handler works on one batch the receiver fills the next, so taking datagrams
// from the socket and handling them go on side by side, and probes are answered meanwhile.
//
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
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
  // Large enough that a flood costs the window one repaint and one relayout of the History per
  // thousand reports rather than per few dozen; small enough that the UI thread is back within
  // a few milliseconds.
  static constexpr std::size_t kMaxBatch = 1024;
  // The socket's receive buffer, asked for so that a burst of clients, or a moment in which the
  // UI thread gets no processor, is queued rather than dropped: about a second of reports at
  // 20,000 a second.
  static constexpr int kSocketBufferBytes = 16 << 20;

  EventListener(platform::UdpSocket socket, Handler handler, ConfigAnswer configAnswer);
  ~EventListener();  // stops and joins
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  void Start();
  // Ends the pending receive, releases the deliverer and joins both threads. A batch not yet
  // handed over is dropped. Safe to call twice.
  void Stop();
  bool Running() const { return receiver_.joinable(); }
  // The address the socket is bound to (its port when the system chose one).
  platform::SocketAddress LocalAddress() const { return localAddress_; }

  // Datagrams received since Start (requests included), and receive errors survived.
  std::uint64_t Received() const { return received_.load(); }
  std::uint64_t Errors() const { return errors_.load(); }

 private:
  struct Batch {
    std::vector<Report> reports;  // kMaxBatch of them; their strings are reused
    std::size_t size = 0;         // reports in use
  };

  void Receive() noexcept;
  void Deliver() noexcept;
  void HandleDatagram(std::string_view datagram, platform::SocketAddress from);
  // Receiver: waits until the deliverer is free, gives it the batch being filled and takes the
  // other one to fill. False when stopping.
  bool HandOver();

  platform::UdpSocket socket_;
  platform::SocketAddress localAddress_;
  Handler handler_;
  ConfigAnswer configAnswer_;
  std::atomic<bool> running_{false};  // written by Start/Stop, read by both threads
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> errors_{0};

  std::array<Batch, 2> batches_;
  Batch* filling_ = &batches_[0];  // receiver thread only

  std::mutex mutex_;
  std::condition_variable changed_;
  Batch* delivering_ = nullptr;  // guarded by mutex_: the batch the deliverer has, if any
  bool stopping_ = false;        // guarded by mutex_

  std::thread receiver_;   // owned; joined by Stop
  std::thread deliverer_;  // owned; joined by Stop
};

}  // namespace uv::server
