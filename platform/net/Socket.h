#pragma once
// Sockets with the behaviour the programs expect of Winsock: every failure is a Winsock error
// code (kWsaEwouldblock when a non-blocking call has nothing to do, kWsaEmsgsize for a datagram
// larger than the receive buffer, ...). Sockets are RAII handles, move-only, close-on-exec.
//
// Thread affinity: a socket is used by one thread at a time, except Shutdown(), which any thread
// may call to wake a thread blocked in Receive/ReceiveFrom/Accept/WaitForSockets on it (the
// blocked call then fails with kWsaEintr, as a blocking Winsock call does when its socket is
// closed under it). Close, moves and destruction stay with the owning thread, which must not
// race them with another thread's Shutdown (join or stop the other thread first).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/net/Ipv4Address.h"

namespace uv::platform {

// Winsock codes beyond those in WinError.h that a socket call can report.
inline constexpr WinError kWsaEacces = 10013;
inline constexpr WinError kWsaEfault = 10014;
inline constexpr WinError kWsaEmfile = 10024;
inline constexpr WinError kWsaEinprogress = 10036;
inline constexpr WinError kWsaEnotsock = 10038;
inline constexpr WinError kWsaEafnosupport = 10047;
inline constexpr WinError kWsaEnetdown = 10050;
inline constexpr WinError kWsaEconnaborted = 10053;
inline constexpr WinError kWsaEnobufs = 10055;
inline constexpr WinError kWsaEisconn = 10056;
inline constexpr WinError kWsaEshutdown = 10058;
inline constexpr WinError kWsaEhostunreach = 10065;

// The Winsock code for a POSIX errno value (EAGAIN -> kWsaEwouldblock, ...). Unknown values
// map to 10000 + errno, the way Winsock numbers its BSD codes.
WinError WsaErrorFromErrno(int error);

// Shared base: owns the system's socket. Not used on its own.
class Socket {
 public:
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket();

  bool IsOpen() const;
  // closesocket. Safe to call twice.
  void Close();
  // Wakes other threads blocked on this socket (see above) and stops further receives and
  // sends. Thread-safe; the socket stays open until Close or destruction.
  void Shutdown();
  bool IsShutDown() const;

  // ioctlsocket(FIONBIO).
  [[nodiscard]] WinError SetNonBlocking(bool nonBlocking);
  // SO_RCVTIMEO / SO_SNDTIMEO; zero means none. An expired wait fails with kWsaEtimedout.
  [[nodiscard]] WinError SetReceiveTimeout(std::chrono::milliseconds timeout);
  [[nodiscard]] WinError SetSendTimeout(std::chrono::milliseconds timeout);
  // The address the socket is bound to (getsockname); port 0 before binding.
  Result<SocketAddress> LocalAddress() const;

  // SO_RCVBUF: room for this many bytes of datagrams waiting to be received. Best effort above
  // the system's cap: a privileged process gets the size asked for, others the capped size.
  [[nodiscard]] WinError SetReceiveBufferSize(std::size_t bytes);

 protected:
  // What the system knows the socket by; each implementation defines its own.
  struct Impl;
  friend struct SocketDescriptor;  // the implementation's own access to it

  explicit Socket(std::unique_ptr<Impl> impl);
  Socket();
  // Maps the failure of the last call to its Winsock code, kWsaEintr once shut down.
  WinError LastError() const;

  std::unique_ptr<Impl> impl_;  // null once moved from
};

class UdpSocket : public Socket {
 public:
  UdpSocket() = default;
  static Result<UdpSocket> Create();

  // bind. Port 0 lets the system choose.
  [[nodiscard]] WinError Bind(SocketAddress address);
  // SO_REUSEADDR, for sockets bound to fixed ports.
  [[nodiscard]] WinError SetReuseAddress(bool reuse);
  // SO_BROADCAST.
  [[nodiscard]] WinError SetBroadcast(bool broadcast);

  // sendto: the number of bytes sent (the whole datagram or a failure).
  Result<std::size_t> SendTo(std::span<const std::uint8_t> data, SocketAddress to);
  Result<std::size_t> SendTo(std::string_view text, SocketAddress to);

  // recvfrom into buffer: the datagram length. A datagram larger than the buffer fails with
  // kWsaEmsgsize, but, as Winsock does, the bytes that fit are in the buffer and *from is set.
  // An empty datagram gives 0. No datagram waiting on a non-blocking socket: kWsaEwouldblock.
  Result<std::size_t> ReceiveFrom(std::span<std::uint8_t> buffer, SocketAddress* from = nullptr);
  Result<std::size_t> ReceiveFrom(std::span<char> buffer, SocketAddress* from = nullptr);
  // The same without waiting, whatever the socket's mode and receive timeout: kWsaEwouldblock
  // when no datagram is waiting.
  Result<std::size_t> TryReceiveFrom(std::span<char> buffer, SocketAddress* from = nullptr);

  // One slot of ReceiveMany: the caller's buffer, and what arrived in it.
  struct Datagram {
    std::span<char> buffer;
    std::size_t length = 0;  // the datagram's own length: more than the buffer's when it was cut
    SocketAddress from;
  };
  static constexpr std::size_t kMaxReceiveMany = 64;
  // Receives the datagrams that are waiting, up to as many as there are slots (at most
  // kMaxReceiveMany), in one call: the number of slots filled, in order of arrival. It waits
  // only as ReceiveFrom would for the first. Errors as for ReceiveFrom, except that a datagram
  // larger than its buffer is no error here: its slot says so by its length.
  Result<std::size_t> ReceiveMany(std::span<Datagram> slots);

 private:
  explicit UdpSocket(std::unique_ptr<Impl> impl);
  Result<std::size_t> Receive(std::span<std::uint8_t> buffer, SocketAddress* from, bool wait);
};

class TcpSocket : public Socket {
 public:
  TcpSocket() = default;

  // Creates a socket and connects it. With a timeout the connect gives up with kWsaEtimedout;
  // without one it waits for the system's own connect timeout. from, when given, is bound
  // first (outgoing connections of a computer with its own loopback address).
  static Result<TcpSocket> Connect(SocketAddress to,
                                   std::optional<std::chrono::milliseconds> timeout = {},
                                   std::optional<Ipv4Address> from = {});

  // send: the number of bytes accepted (may be fewer than given on a non-blocking socket).
  // Never raises SIGPIPE: a closed peer gives kWsaEconnreset.
  Result<std::size_t> Send(std::span<const std::uint8_t> data);
  Result<std::size_t> Send(std::string_view text);
  // Sends everything, waiting for room when the socket is non-blocking; fails on the first error.
  [[nodiscard]] WinError SendAll(std::span<const std::uint8_t> data);
  // recv: the bytes read, 0 when the peer closed the connection.
  Result<std::size_t> Receive(std::span<std::uint8_t> buffer);
  Result<std::size_t> Receive(std::span<char> buffer);

  Result<SocketAddress> PeerAddress() const;

 private:
  explicit TcpSocket(std::unique_ptr<Impl> impl);
  friend class TcpListener;
};

class TcpListener : public Socket {
 public:
  TcpListener() = default;
  // socket, SO_REUSEADDR, bind, listen. backlog 0 means the largest the system allows.
  static Result<TcpListener> Listen(SocketAddress address, int backlog = 0);
  // accept: the new connection (blocking, close-on-exec); *peer gets its address. Shutdown()
  // from another thread ends a blocked Accept with kWsaEintr.
  Result<TcpSocket> Accept(SocketAddress* peer = nullptr);

 private:
  explicit TcpListener(std::unique_ptr<Impl> impl);
};

// One socket of a readiness wait (select): what to wait for, and what was found.
struct SocketWait {
  const Socket* socket = nullptr;
  bool wantRead = true;
  bool wantWrite = false;
  bool readable = false;  // out: data, a connection to accept, end of stream, or an error
  bool writable = false;  // out
};

class SocketEvent;

// Waits until at least one socket is ready as asked, one of `events` is set, or the timeout
// passes (none = forever). Returns how many sockets are ready plus how many events are set; 0
// after a timeout. A socket that was shut down counts as readable, so waiters wake up. Fails with
// kWsaEinval for an empty socket list or a closed socket.
Result<std::size_t> WaitForSockets(std::span<SocketWait> sockets,
                                   std::optional<std::chrono::milliseconds> timeout = {},
                                   std::span<const SocketEvent* const> events = {});

}  // namespace uv::platform
