#pragma once
// The whitelist dialog's receiver of notices on the notice port (UDP 5555 on this computer's own
// addresses, as the event port is bound). One thread receives; each datagram's text (at most
// 1023 bytes, up to its first zero byte) replaces the one not yet taken, and the owner is told
// once per batch, so a flood costs one hand-off, not one per datagram.
//
// Thread affinity: Start, Stop and destruction on the owner's thread; TakeNotice on the owner's
// thread; the callback runs on the listener thread and must only post to the owner.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/common/WinError.h"
#include "platform/net/Socket.h"

namespace uv::platform {
class Machine;
}

namespace uv::server {

inline constexpr std::size_t kNoticeBuffer = 1024;

class NoticeListener {
 public:
  NoticeListener() = default;
  ~NoticeListener();
  NoticeListener(const NoticeListener&) = delete;
  NoticeListener& operator=(const NoticeListener&) = delete;

  // Binds the port and starts the thread; the Winsock error of the bind otherwise.
  platform::WinError Start(platform::Machine& machine, std::uint16_t port,
                           std::function<void()> onNotice);
  // Sets the stop flag, closes the socket (which releases the receive) and joins. Idempotent.
  void Stop();
  bool Running() const { return thread_.joinable(); }

  // The text of the latest notice not yet taken ("" when none).
  std::string TakeNotice();

 private:
  void Run();

  platform::UdpSocket socket_;
  std::function<void()> onNotice_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string notice_;    // guarded by mutex_
  bool pending_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace uv::server
