#pragma once
// An I/O completion port: a queue of completion packets that one or more threads wait on.
// Packets come from Post() and from the overlapped operations of handles associated with the
// port (directory change reads, DirectoryHandle.h). Waiting blocks in the kernel (epoll + eventfd
// on Linux); nothing polls.
//
// Thread affinity: none. Post, Wait and Close may be called from any thread at once. A handle
// associated with the port may outlive it: its later completions are dropped.

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/common/Result.h"

namespace uv::platform {

// WAIT_TIMEOUT: Wait() gave up after its time limit without a packet.
inline constexpr WinError kWaitTimeout = 258;
// ERROR_ABANDONED_WAIT_0: the port was closed while (or before) waiting.
inline constexpr WinError kErrorAbandonedWait0 = 735;

// The caller's per-operation block (OVERLAPPED). The caller zeroes it, owns it, and keeps it alive
// until the operation's completion has been dequeued; the port only hands its address back.
struct Overlapped {
  WinError status = kErrorSuccess;  // result of the operation, written before it is queued
  std::uint32_t bytes = 0;          // bytes transferred
};

// The value a handle is associated with; an empty (0) key is what ends a worker by convention.
using CompletionKey = std::uintptr_t;

// One dequeued packet. `error` is kErrorSuccess for a posted packet and for a successful
// operation; a failed operation (e.g. a read aborted by closing its handle) carries its error
// together with its key and Overlapped, as GetQueuedCompletionStatus does when it returns FALSE.
struct Completion {
  std::uint32_t bytes = 0;
  CompletionKey key = 0;
  Overlapped* overlapped = nullptr;
  WinError error = kErrorSuccess;
};

namespace detail {
class PortCore;
}

class CompletionPort {
 public:
  // Creates the port (CreateIoCompletionPort with no handle). Fails with the error of the
  // underlying descriptors (e.g. too many open files).
  static Result<std::unique_ptr<CompletionPort>> Create();
  ~CompletionPort();  // Close()
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // PostQueuedCompletionStatus. Fails with kErrorInvalidHandle once the port is closed.
  [[nodiscard]] WinError Post(std::uint32_t bytes, CompletionKey key, Overlapped* overlapped);

  // GetQueuedCompletionStatus: the next packet in FIFO order. Without a limit it waits until a
  // packet arrives or the port is closed. Fails (no packet) with kWaitTimeout after the limit or
  // kErrorAbandonedWait0 once the port is closed; packets still queued at Close() are discarded.
  Result<Completion> Wait();
  Result<Completion> Wait(std::chrono::milliseconds limit);

  // Wakes every waiter with kErrorAbandonedWait0 and discards queued packets. Idempotent.
  void Close();

  // Packets waiting to be dequeued (for tests and diagnostics).
  std::size_t QueuedCount() const;

  // For the handles that associate with the port.
  const std::shared_ptr<detail::PortCore>& core() const { return core_; }

 private:
  struct PrivateTag {};

 public:
  CompletionPort(std::shared_ptr<detail::PortCore> core, PrivateTag);

 private:
  std::shared_ptr<detail::PortCore> core_;
};

}  // namespace uv::platform
