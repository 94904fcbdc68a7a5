#pragma once
// The descriptors under the network module's sockets and events, for its POSIX implementation
// files (readiness waits) and their tests. Programs never include this: a Windows implementation
// has no such thing.

#include <atomic>

#include "platform/net/Socket.h"
#include "platform/net/SocketEvent.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

struct Socket::Impl {
  explicit Impl(int descriptor) : fd(descriptor) {}
  UniqueFd fd;
  std::atomic<bool> shutDown{false};
};

struct SocketEvent::Impl {
  explicit Impl(int descriptor) : fd(descriptor) {}
  UniqueFd fd;  // an eventfd
};

struct SocketDescriptor {
  // -1 for a socket that is closed or was moved from.
  static int Of(const Socket& socket) { return socket.impl_ ? socket.impl_->fd.get() : -1; }
  static int Of(const SocketEvent& event) { return event.impl_->fd.get(); }
  // Wraps a new descriptor for the socket constructors.
  static std::unique_ptr<Socket::Impl> Adopt(int fd) { return std::make_unique<Socket::Impl>(fd); }
};

}  // namespace uv::platform
