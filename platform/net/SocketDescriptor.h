#pragma once
// The descriptor under a socket, for the POSIX implementation files of the platform (readiness
// waits) and their tests. Programs never include this: a Windows implementation has no such thing.

#include "platform/net/Socket.h"

namespace uv::platform {

struct SocketDescriptor {
  static int Of(const Socket& socket) { return socket.fd_; }
};

}  // namespace uv::platform
