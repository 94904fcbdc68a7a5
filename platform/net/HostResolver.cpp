#include "platform/net/HostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/machine/Machine.h"

namespace uv::platform {

namespace {

// A hosts file is a few lines; the bound keeps a runaway or hostile file from costing memory.
constexpr std::size_t kMaxHostsFileBytes = 1 << 20;
constexpr std::size_t kMaxHostNameLength = 255;

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::optional<Ipv4Address> LookupHostsFile(const std::filesystem::path& hostsFile,
                                           std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::ifstream in(hostsFile, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content(kMaxHostsFileBytes, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  return LookupHostsText(content, name);
}

std::optional<Ipv4Address> LookupHostsText(std::string_view content, std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::size_t lineStart = 0;
  while (lineStart < content.size()) {
    std::size_t lineEnd = content.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = content.size();
    std::string_view line = content.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (const auto hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (pos < line.size()) {
      while (pos < line.size() && IsBlank(line[pos])) ++pos;
      const std::size_t begin = pos;
      while (pos < line.size() && !IsBlank(line[pos])) ++pos;
      if (pos > begin) tokens.push_back(line.substr(begin, pos - begin));
    }
    if (tokens.size() < 2) continue;
    const auto address = Ipv4Address::Parse(tokens[0]);
    if (!address) continue;  // IPv6 or garbage: not an IPv4 answer
    for (std::size_t i = 1; i < tokens.size(); ++i) {
      if (EqualsIgnoreCase(tokens[i], name)) return address;
    }
  }
  return std::nullopt;
}

Result<Ipv4Address> ResolveHost(Machine& machine, std::string_view name) {
  if (name.empty() || name.size() > kMaxHostNameLength ||
      name.find('\0') != std::string_view::npos) {
    return Result<Ipv4Address>::Failure(kWsaHostNotFound);
  }
  if (const auto dotted = Ipv4Address::Parse(name)) return *dotted;
  if (const auto fromHosts = LookupHostsFile(machine.HostsFile(), name)) return *fromHosts;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  const std::string host(name);
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
    return Result<Ipv4Address>::Failure(kWsaHostNotFound);
  }
  std::optional<Ipv4Address> first;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      const auto* sa = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      first = Ipv4Address(ntohl(sa->sin_addr.s_addr));
      break;
    }
  }
  ::freeaddrinfo(list);
  if (!first) return Result<Ipv4Address>::Failure(kWsaHostNotFound);
  return *first;
}

Ipv4Address LocalBindAddress(Machine& machine) {
  const std::string name = machine.ComputerName();
  if (name.empty()) return Ipv4Address::Any();
  const auto own = LookupHostsFile(machine.HostsFile(), name);
  if (own && own->IsLoopback()) return *own;
  return Ipv4Address::Any();
}

Result<UdpSocket> OpenOutgoingUdpSocket(Machine& machine) {
  auto socket = UdpSocket::Create();
  if (!socket) return socket;
  const Ipv4Address local = LocalBindAddress(machine);
  if (!local.IsAny()) {
    if (const WinError e = socket->Bind(SocketAddress{local, 0}); e != kErrorSuccess) {
      return Result<UdpSocket>::Failure(e);
    }
  }
  return socket;
}

Result<UdpSocket> BindLocalUdpSocket(Machine& machine, std::uint16_t port) {
  auto socket = UdpSocket::Create();
  if (!socket) return socket;
  if (const WinError e = socket->SetReuseAddress(true); e != kErrorSuccess) {
    return Result<UdpSocket>::Failure(e);
  }
  if (const WinError e = socket->Bind(SocketAddress{LocalBindAddress(machine), port});
      e != kErrorSuccess) {
    return Result<UdpSocket>::Failure(e);
  }
  return socket;
}

Result<TcpListener> ListenOnLocal(Machine& machine, std::uint16_t port, int backlog) {
  return TcpListener::Listen(SocketAddress{LocalBindAddress(machine), port}, backlog);
}

Result<TcpSocket> ConnectFromLocal(Machine& machine, SocketAddress to,
                                   std::optional<std::chrono::milliseconds> timeout) {
  return TcpSocket::Connect(to, timeout, LocalBindAddress(machine));
}

}  // namespace uv::platform
