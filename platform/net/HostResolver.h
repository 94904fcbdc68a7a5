#pragma once
// Name lookups of one computer (a machine root), as Winsock's gethostbyname/getaddrinfo do them
// on Windows: first the computer's hosts file (<root>/Windows/System32/drivers/etc/hosts), then
// the system resolver. Only IPv4 answers count.
//
// And the computer's "all local addresses": a simulated computer whose own name resolves (via
// its hosts file) to a loopback address such as 127.0.0.2 binds and sends from that address, so
// that several computers on one host are told apart by their address. A computer without such an
// entry uses INADDR_ANY, as a real deployment does.
//
// Thread affinity: none; every call of the free functions reads the hosts file anew.
// HostsFileCache serves the lookups made on every event from memory instead.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/net/Ipv4Address.h"
#include "platform/net/Socket.h"

namespace uv::platform {

class Machine;
class DirectoryWatch;

// The first IPv4 address the hosts file gives name. Syntax as on Windows and Unix: one address
// and one or more names per line, separated by blanks or tabs; "#" starts a comment; names are
// compared case-insensitively; lines with IPv6 or malformed addresses are skipped. A missing or
// unreadable file, or a name not in it, gives nothing. Files larger than 1 MiB are read only up
// to that size.
std::optional<Ipv4Address> LookupHostsFile(const std::filesystem::path& hostsFile,
                                           std::string_view name);

// The same lookup over the text of a hosts file (for callers that already hold it, and for
// fuzzing the parser).
std::optional<Ipv4Address> LookupHostsText(std::string_view content, std::string_view name);

// gethostbyname on the computer: a dotted address resolves to itself; otherwise the hosts file,
// then the system resolver (AF_INET), first address. Failure: kWsaHostNotFound (also for an
// empty name or one longer than 255 characters).
Result<Ipv4Address> ResolveHost(Machine& machine, std::string_view name);

// The computer's own loopback address when its hosts file maps its computer name
// (Machine::ComputerName()) into 127.0.0.0/8, else INADDR_ANY.
Ipv4Address LocalBindAddress(Machine& machine);

// A UDP socket for sending from this computer: bound to LocalBindAddress (port chosen by the
// system) when that is a loopback address, unbound otherwise.
Result<UdpSocket> OpenOutgoingUdpSocket(Machine& machine);

// A UDP socket bound to port on the computer's local addresses, with SO_REUSEADDR.
Result<UdpSocket> BindLocalUdpSocket(Machine& machine, std::uint16_t port);

// A TCP listener on port on the computer's local addresses (SO_REUSEADDR).
Result<TcpListener> ListenOnLocal(Machine& machine, std::uint16_t port, int backlog = 0);

// An outgoing TCP connection from this computer (from its loopback address, when it has one).
Result<TcpSocket> ConnectFromLocal(Machine& machine, SocketAddress to,
                                   std::optional<std::chrono::milliseconds> timeout = {});

// The computer's hosts file held in memory, for lookups made on every event: it is read again
// only after something in its directory changed (written, replaced, moved, deleted, its rights
// changed), which the system signals to the cache the moment the change is made, so a change
// takes effect at the next lookup. Where that signal is not available (no directory yet, no
// watch left, the file a symbolic link) every lookup reads the file, as the free functions do.
// The same answers as LookupHostsFile, ResolveHost and LocalBindAddress.
//
// Thread affinity: none; lookups are serialised by a lock of the cache's own.
class HostsFileCache {
 public:
  explicit HostsFileCache(Machine& machine);
  ~HostsFileCache();
  HostsFileCache(const HostsFileCache&) = delete;
  HostsFileCache& operator=(const HostsFileCache&) = delete;

  std::optional<Ipv4Address> Lookup(std::string_view name);
  Result<Ipv4Address> Resolve(std::string_view name);
  // LocalBindAddress for a computer of this name.
  Ipv4Address LocalBindAddress(std::string_view computerName);

 private:
  // Reads the file again when it may have changed; call with mutex_ held.
  void Refresh();

  Machine& machine_;
  std::mutex mutex_;  // guards every member below
  std::unique_ptr<DirectoryWatch> watch_;
  bool current_ = false;  // text_ is the file's text, and the watch will say when it changes
  std::string text_;
};

}  // namespace uv::platform
