#include "platform/net/Socket.h"

#include "platform/net/SocketEvent.h"
#include "platform/posix/SocketDescriptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

namespace uv::platform {

namespace {

sockaddr_in ToSockaddr(SocketAddress address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(address.port);
  sa.sin_addr.s_addr = htonl(address.address.HostOrder());
  return sa;
}

SocketAddress FromSockaddr(const sockaddr_in& sa) {
  return SocketAddress{Ipv4Address(ntohl(sa.sin_addr.s_addr)), ntohs(sa.sin_port)};
}

int PollTimeout(std::optional<std::chrono::milliseconds> timeout) {
  if (!timeout) return -1;
  if (timeout->count() <= 0) return 0;
  if (timeout->count() >= INT_MAX) return INT_MAX;
  return static_cast<int>(timeout->count());
}

// A blocking call that expired its SO_RCVTIMEO/SO_SNDTIMEO reports EAGAIN on Linux; Winsock
// reports a timeout there and keeps "would block" for non-blocking sockets.
bool IsNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

}  // namespace

WinError WsaErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return kWsaEwouldblock;
    case EINTR:
      return kWsaEintr;
    case EBADF:
      return kWsaEbadf;
    case EACCES:
    case EPERM:
      return kWsaEacces;
    case EFAULT:
      return kWsaEfault;
    case EINVAL:
      return kWsaEinval;
    case EMFILE:
    case ENFILE:
      return kWsaEmfile;
    case EINPROGRESS:
    case EALREADY:
      return kWsaEinprogress;
    case ENOTSOCK:
      return kWsaEnotsock;
    case EMSGSIZE:
      return kWsaEmsgsize;
    case EAFNOSUPPORT:
      return kWsaEafnosupport;
    case EADDRINUSE:
      return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
      return kWsaEaddrnotavail;
    case ENETDOWN:
      return kWsaEnetdown;
    case ENETUNREACH:
      return kWsaEnetunreach;
    case ECONNABORTED:
      return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE:
      return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM:
      return kWsaEnobufs;
    case EISCONN:
      return kWsaEisconn;
    case ENOTCONN:
      return kWsaEnotconn;
    case ESHUTDOWN:
      return kWsaEshutdown;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case EHOSTUNREACH:
      return kWsaEhostunreach;
    default:
      return static_cast<WinError>(10000 + error);
  }
}

// ---- Socket ----

Socket::Socket() = default;

Socket::Socket(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Socket::Socket(Socket&& other) noexcept = default;

Socket& Socket::operator=(Socket&& other) noexcept = default;

Socket::~Socket() = default;

bool Socket::IsOpen() const {
  return SocketDescriptor::Of(*this) >= 0;
}

bool Socket::IsShutDown() const {
  return impl_ && impl_->shutDown.load();
}

void Socket::Close() {
  if (impl_) impl_->fd.Reset();
}

void Socket::Shutdown() {
  if (!impl_) return;
  impl_->shutDown.store(true);
  // On Linux shutdown() wakes every thread blocked in recv/accept/poll on the socket, even on
  // an unconnected UDP socket (where it reports ENOTCONN but still marks it shut down).
  if (impl_->fd) (void)::shutdown(impl_->fd.get(), SHUT_RDWR);
}

WinError Socket::SetReceiveBufferSize(std::size_t bytes) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return kWsaEnotsock;
  const int size = bytes > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) return kErrorSuccess;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0) return kErrorSuccess;
  return WsaErrorFromErrno(errno);
}

WinError Socket::SetNonBlocking(bool nonBlocking) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return kWsaEnotsock;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return WsaErrorFromErrno(errno);
  const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) < 0) return WsaErrorFromErrno(errno);
  return kErrorSuccess;
}

namespace {
WinError SetTimeoutOption(int fd, int option, std::chrono::milliseconds timeout) {
  if (fd < 0) return kWsaEnotsock;
  if (timeout.count() < 0) return kWsaEinval;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) < 0) return WsaErrorFromErrno(errno);
  return kErrorSuccess;
}
}  // namespace

WinError Socket::SetReceiveTimeout(std::chrono::milliseconds timeout) {
  return SetTimeoutOption(SocketDescriptor::Of(*this), SO_RCVTIMEO, timeout);
}

WinError Socket::SetSendTimeout(std::chrono::milliseconds timeout) {
  return SetTimeoutOption(SocketDescriptor::Of(*this), SO_SNDTIMEO, timeout);
}

Result<SocketAddress> Socket::LocalAddress() const {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<SocketAddress>::Failure(kWsaEnotsock);
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) < 0) {
    return Result<SocketAddress>::Failure(WsaErrorFromErrno(errno));
  }
  return FromSockaddr(sa);
}

WinError Socket::LastError() const {
  const int error = errno;
  if (IsShutDown()) return kWsaEintr;
  const int fd = SocketDescriptor::Of(*this);
  if (error == EAGAIN && fd >= 0 && !IsNonBlocking(fd)) return kWsaEtimedout;
  return WsaErrorFromErrno(error);
}

// ---- UdpSocket ----

UdpSocket::UdpSocket(std::unique_ptr<Impl> impl) : Socket(std::move(impl)) {}

Result<UdpSocket> UdpSocket::Create() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Result<UdpSocket>::Failure(WsaErrorFromErrno(errno));
  return UdpSocket(SocketDescriptor::Adopt(fd));
}

WinError UdpSocket::Bind(SocketAddress address) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return kWsaEnotsock;
  const sockaddr_in sa = ToSockaddr(address);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    return WsaErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

WinError UdpSocket::SetReuseAddress(bool reuse) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return kWsaEnotsock;
  const int on = reuse ? 1 : 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
    return WsaErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

WinError UdpSocket::SetBroadcast(bool broadcast) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return kWsaEnotsock;
  const int on = broadcast ? 1 : 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
    return WsaErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

Result<std::size_t> UdpSocket::SendTo(std::span<const std::uint8_t> data, SocketAddress to) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<std::size_t>::Failure(kWsaEnotsock);
  if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEshutdown);
  const sockaddr_in sa = ToSockaddr(to);
  for (;;) {
    const ssize_t sent = ::sendto(fd, data.data(), data.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno == EINTR && !IsShutDown()) continue;
    return Result<std::size_t>::Failure(LastError());
  }
}

Result<std::size_t> UdpSocket::SendTo(std::string_view text, SocketAddress to) {
  return SendTo(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), to);
}

Result<std::size_t> UdpSocket::ReceiveFrom(std::span<std::uint8_t> buffer, SocketAddress* from) {
  return Receive(buffer, from, true);
}

Result<std::size_t> UdpSocket::TryReceiveFrom(std::span<char> buffer, SocketAddress* from) {
  return Receive(std::span(reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()), from,
                 false);
}

Result<std::size_t> UdpSocket::Receive(std::span<std::uint8_t> buffer, SocketAddress* from,
                                       bool wait) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<std::size_t>::Failure(kWsaEnotsock);
  if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEintr);
  for (;;) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    // MSG_TRUNC makes the kernel tell the datagram's real length, so an oversize datagram can
    // be reported as Winsock does (WSAEMSGSIZE with the buffer filled) instead of cut silently.
    const ssize_t received =
        ::recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT),
                   reinterpret_cast<sockaddr*>(&sa), &length);
    if (received < 0) {
      if (errno == EINTR && !IsShutDown()) continue;
      if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK) && !IsShutDown()) {
        return Result<std::size_t>::Failure(kWsaEwouldblock);
      }
      return Result<std::size_t>::Failure(LastError());
    }
    // A shut-down socket returns 0 at once, which would look like an empty datagram.
    if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEintr);
    if (from != nullptr) *from = FromSockaddr(sa);
    if (static_cast<std::size_t>(received) > buffer.size()) {
      return Result<std::size_t>::Failure(kWsaEmsgsize);
    }
    return static_cast<std::size_t>(received);
  }
}

Result<std::size_t> UdpSocket::ReceiveMany(std::span<Datagram> slots) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<std::size_t>::Failure(kWsaEnotsock);
  if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEintr);
  const std::size_t count = std::min(slots.size(), kMaxReceiveMany);
  if (count == 0) return std::size_t{0};
  mmsghdr headers[kMaxReceiveMany] = {};
  iovec pieces[kMaxReceiveMany];
  sockaddr_in sources[kMaxReceiveMany];
  for (std::size_t i = 0; i < count; ++i) {
    pieces[i] = iovec{slots[i].buffer.data(), slots[i].buffer.size()};
    headers[i].msg_hdr.msg_iov = &pieces[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_name = &sources[i];
    headers[i].msg_hdr.msg_namelen = sizeof sources[i];
  }
  for (;;) {
    // MSG_TRUNC: each msg_len is the datagram's real length, as for ReceiveFrom.
    const int received = ::recvmmsg(fd, headers, static_cast<unsigned>(count), MSG_TRUNC, nullptr);
    if (received < 0) {
      if (errno == EINTR && !IsShutDown()) continue;
      return Result<std::size_t>::Failure(LastError());
    }
    if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEintr);
    const auto filled = static_cast<std::size_t>(received);
    for (std::size_t i = 0; i < filled; ++i) {
      slots[i].length = headers[i].msg_len;
      slots[i].from = FromSockaddr(sources[i]);
    }
    return filled;
  }
}

Result<std::size_t> UdpSocket::ReceiveFrom(std::span<char> buffer, SocketAddress* from) {
  return ReceiveFrom(std::span(reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()),
                     from);
}

// ---- TcpSocket ----

TcpSocket::TcpSocket(std::unique_ptr<Impl> impl) : Socket(std::move(impl)) {}

Result<TcpSocket> TcpSocket::Connect(SocketAddress to,
                                     std::optional<std::chrono::milliseconds> timeout,
                                     std::optional<Ipv4Address> from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Result<TcpSocket>::Failure(WsaErrorFromErrno(errno));
  TcpSocket socket(SocketDescriptor::Adopt(fd));
  if (from && !from->IsAny()) {
    const sockaddr_in local = ToSockaddr(SocketAddress{*from, 0});
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
      return Result<TcpSocket>::Failure(WsaErrorFromErrno(errno));
    }
  }
  const sockaddr_in sa = ToSockaddr(to);
  // Longer limits are as good as none, and keep the deadline from overflowing.
  const bool limited = timeout.has_value() && *timeout <= std::chrono::milliseconds(INT_MAX);
  const std::chrono::milliseconds limit = limited ? *timeout : std::chrono::milliseconds(0);
  // Connect non-blocking and wait with poll: that gives the timeout, and a signal cannot leave
  // a half-started connect behind.
  if (const WinError e = socket.SetNonBlocking(true); e != kErrorSuccess) {
    return Result<TcpSocket>::Failure(e);
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      return Result<TcpSocket>::Failure(WsaErrorFromErrno(errno));
    }
    pollfd p{fd, POLLOUT, 0};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int wait = -1;
      if (limited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        wait = PollTimeout(std::max(left, std::chrono::milliseconds(0)));
      }
      const int ready = ::poll(&p, 1, wait);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return Result<TcpSocket>::Failure(WsaErrorFromErrno(errno));
      if (ready == 0) return Result<TcpSocket>::Failure(kWsaEtimedout);
      break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
    if (error != 0) return Result<TcpSocket>::Failure(WsaErrorFromErrno(error));
  }
  if (const WinError e = socket.SetNonBlocking(false); e != kErrorSuccess) {
    return Result<TcpSocket>::Failure(e);
  }
  return socket;
}

Result<std::size_t> TcpSocket::Send(std::span<const std::uint8_t> data) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<std::size_t>::Failure(kWsaEnotsock);
  if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEshutdown);
  for (;;) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno == EINTR && !IsShutDown()) continue;
    return Result<std::size_t>::Failure(LastError());
  }
}

Result<std::size_t> TcpSocket::Send(std::string_view text) {
  return Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

WinError TcpSocket::SendAll(std::span<const std::uint8_t> data) {
  const int fd = SocketDescriptor::Of(*this);
  while (!data.empty()) {
    auto sent = Send(data);
    if (!sent) {
      if (sent.error() != kWsaEwouldblock) return sent.error();
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return WsaErrorFromErrno(errno);
      continue;
    }
    data = data.subspan(*sent);
  }
  return kErrorSuccess;
}

Result<std::size_t> TcpSocket::Receive(std::span<std::uint8_t> buffer) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<std::size_t>::Failure(kWsaEnotsock);
  if (IsShutDown()) return Result<std::size_t>::Failure(kWsaEintr);
  for (;;) {
    const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno == EINTR && !IsShutDown()) continue;
      return Result<std::size_t>::Failure(LastError());
    }
    if (received == 0 && IsShutDown()) return Result<std::size_t>::Failure(kWsaEintr);
    return static_cast<std::size_t>(received);
  }
}

Result<std::size_t> TcpSocket::Receive(std::span<char> buffer) {
  return Receive(std::span(reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()));
}

Result<SocketAddress> TcpSocket::PeerAddress() const {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<SocketAddress>::Failure(kWsaEnotsock);
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &length) < 0) {
    return Result<SocketAddress>::Failure(WsaErrorFromErrno(errno));
  }
  return FromSockaddr(sa);
}

// ---- TcpListener ----

TcpListener::TcpListener(std::unique_ptr<Impl> impl) : Socket(std::move(impl)) {}

Result<TcpListener> TcpListener::Listen(SocketAddress address, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Result<TcpListener>::Failure(WsaErrorFromErrno(errno));
  TcpListener listener(SocketDescriptor::Adopt(fd));
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
    return Result<TcpListener>::Failure(WsaErrorFromErrno(errno));
  }
  const sockaddr_in sa = ToSockaddr(address);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    return Result<TcpListener>::Failure(WsaErrorFromErrno(errno));
  }
  if (::listen(fd, backlog <= 0 ? SOMAXCONN : backlog) < 0) {
    return Result<TcpListener>::Failure(WsaErrorFromErrno(errno));
  }
  return listener;
}

Result<TcpSocket> TcpListener::Accept(SocketAddress* peer) {
  const int fd = SocketDescriptor::Of(*this);
  if (fd < 0) return Result<TcpSocket>::Failure(kWsaEnotsock);
  if (IsShutDown()) return Result<TcpSocket>::Failure(kWsaEintr);
  for (;;) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    const int accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EINTR && !IsShutDown()) continue;
      // A connection reset before we took it: Winsock would simply not have returned it yet.
      if (errno == ECONNABORTED && !IsShutDown()) continue;
      return Result<TcpSocket>::Failure(LastError());
    }
    TcpSocket socket(SocketDescriptor::Adopt(accepted));
    if (IsShutDown()) return Result<TcpSocket>::Failure(kWsaEintr);
    if (peer != nullptr) *peer = FromSockaddr(sa);
    return socket;
  }
}

// ---- readiness ----

Result<std::size_t> WaitForSockets(std::span<SocketWait> sockets,
                                   std::optional<std::chrono::milliseconds> timeout,
                                   std::span<const SocketEvent* const> events) {
  if (sockets.empty()) return Result<std::size_t>::Failure(kWsaEinval);
  std::vector<pollfd> polls(sockets.size() + events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i] == nullptr) return Result<std::size_t>::Failure(kWsaEinval);
    polls[sockets.size() + i].fd = SocketDescriptor::Of(*events[i]);
    polls[sockets.size() + i].events = POLLIN;
  }
  std::size_t ready = 0;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    SocketWait& w = sockets[i];
    w.readable = w.writable = false;
    if (w.socket == nullptr || !w.socket->IsOpen()) return Result<std::size_t>::Failure(kWsaEinval);
    polls[i].fd = SocketDescriptor::Of(*w.socket);
    polls[i].events = static_cast<short>((w.wantRead ? POLLIN : 0) | (w.wantWrite ? POLLOUT : 0));
    if (w.socket->IsShutDown()) {
      w.readable = true;
      ++ready;
    }
  }
  if (ready > 0) return ready;

  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    std::optional<std::chrono::milliseconds> left;
    if (timeout) {
      left = *timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start);
      if (left->count() < 0) left = std::chrono::milliseconds(0);
    }
    const int n = ::poll(polls.data(), polls.size(), PollTimeout(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Result<std::size_t>::Failure(WsaErrorFromErrno(errno));
    }
    break;
  }
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    SocketWait& w = sockets[i];
    const short r = polls[i].revents;
    // Errors and hang-ups count as readable (and writable when asked), as select reports them:
    // the following call then returns the error or the end of the stream.
    const bool broken = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0 || w.socket->IsShutDown();
    w.readable = w.wantRead && ((r & POLLIN) != 0 || broken);
    w.writable = w.wantWrite && ((r & POLLOUT) != 0 || broken);
    if (w.readable || w.writable) ++ready;
  }
  for (std::size_t i = sockets.size(); i < polls.size(); ++i) {
    if ((polls[i].revents & POLLIN) != 0) ++ready;
  }
  return ready;
}

}  // namespace uv::platform
