#pragma once
// Inside of a completion port, shared by the port and the handles associated with it (so that a
// handle may outlive its port). Private to platform/fs.
//
// The queue of packets and a table of sources live under one mutex. A source is a descriptor that
// is watched (one-shot) while it has an operation pending; a waiter that sees it readable calls
// its OnReadable(), which may queue packets. An eventfd in the same epoll set wakes waiters when a
// packet is queued from outside a wait, or when the port closes.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/common/Result.h"
#include "platform/fs/CompletionPort.h"

namespace uv::platform::detail {

class PortSource {
 public:
  virtual ~PortSource() = default;
  // Called by a waiter, outside the port's lock, after the source's descriptor became readable.
  // The source is disarmed again until it calls Arm().
  virtual void OnReadable() = 0;
};

class PortCore {
 public:
  static Result<std::shared_ptr<PortCore>> Create();
  PortCore(int epollFd, int eventFd) : epollFd_(epollFd), eventFd_(eventFd) {}
  ~PortCore();
  PortCore(const PortCore&) = delete;
  PortCore& operator=(const PortCore&) = delete;

  // Adds `fd` to the set, disarmed. Returns the source's id.
  Result<std::uint64_t> AddSource(int fd, std::weak_ptr<PortSource> source);
  // Watches `fd` for one readiness event.
  [[nodiscard]] WinError Arm(std::uint64_t id, int fd);
  // Forgets the source; call before closing `fd`.
  void RemoveSource(std::uint64_t id, int fd);

  [[nodiscard]] WinError Post(const Completion& completion);
  Result<Completion> Wait(std::optional<std::chrono::milliseconds> limit);
  void Close();
  std::size_t QueuedCount() const;

 private:
  void Wake();

  const int epollFd_;
  const int eventFd_;
  mutable std::mutex mutex_;  // guards everything below
  std::deque<Completion> queue_;
  bool closed_ = false;
  int waiters_ = 0;           // threads between "queue empty" and the end of their epoll wait
  std::uint64_t nextId_ = 1;  // 0 is the eventfd
  std::unordered_map<std::uint64_t, std::weak_ptr<PortSource>> sources_;
};

}  // namespace uv::platform::detail
