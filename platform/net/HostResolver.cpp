#include "platform/net/HostResolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/machine/Machine.h"
#include "platform/posix/DirectoryWatch.h"
#include "platform/posix/UniqueFd.h"

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

// The file's first kMaxHostsFileBytes into text, reusing its room; empty when it cannot be read.
void ReadHostsText(const std::filesystem::path& hostsFile, std::string& text) {
  text.clear();
  UniqueFd fd(::open(hostsFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return;
  constexpr std::size_t kChunk = 4096;
  while (text.size() < kMaxHostsFileBytes) {
    const std::size_t had = text.size();
    text.resize(std::min(had + kChunk, kMaxHostsFileBytes));
    const ssize_t n = ::read(fd.get(), text.data() + had, text.size() - had);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) {
        text.resize(had);
        continue;
      }
      // A read error leaves what was read, as a stream stops at its failure.
      text.resize(had);
      return;
    }
    text.resize(had + static_cast<std::size_t>(n));
  }
}

// The next blank-separated word of line from pos on; empty at the end.
std::string_view NextWord(std::string_view line, std::size_t& pos) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const std::size_t begin = pos;
  while (pos < line.size() && !IsBlank(line[pos])) ++pos;
  return line.substr(begin, pos - begin);
}

// gethostbyname's order: a dotted address, then fromHosts(), then the system resolver.
template <class FromHosts>
Result<Ipv4Address> ResolveWith(std::string_view name, FromHosts fromHosts) {
  if (name.empty() || name.size() > kMaxHostNameLength ||
      name.find('\0') != std::string_view::npos) {
    return Result<Ipv4Address>::Failure(kWsaHostNotFound);
  }
  if (const auto dotted = Ipv4Address::Parse(name)) return *dotted;
  if (const auto found = fromHosts()) return *found;

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

Ipv4Address OwnLoopbackOrAny(std::optional<Ipv4Address> own) {
  return own && own->IsLoopback() ? *own : Ipv4Address::Any();
}

}  // namespace

std::optional<Ipv4Address> LookupHostsFile(const std::filesystem::path& hostsFile,
                                           std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::string content;
  ReadHostsText(hostsFile, content);
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
    std::size_t pos = 0;
    const auto address = Ipv4Address::Parse(NextWord(line, pos));
    if (!address) continue;  // no words, IPv6 or garbage: not an IPv4 answer
    for (std::string_view word = NextWord(line, pos); !word.empty(); word = NextWord(line, pos)) {
      if (EqualsIgnoreCase(word, name)) return address;
    }
  }
  return std::nullopt;
}

Result<Ipv4Address> ResolveHost(Machine& machine, std::string_view name) {
  return ResolveWith(name, [&] { return LookupHostsFile(machine.HostsFile(), name); });
}

Ipv4Address LocalBindAddress(Machine& machine) {
  const std::string name = machine.ComputerName();
  if (name.empty()) return Ipv4Address::Any();
  return OwnLoopbackOrAny(LookupHostsFile(machine.HostsFile(), name));
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

HostsFileCache::HostsFileCache(Machine& machine) : machine_(machine) {}
HostsFileCache::~HostsFileCache() = default;

void HostsFileCache::Refresh() {
  if (current_ && !watch_->Changed()) return;
  const std::filesystem::path file = machine_.HostsFile();  // makes its directory when missing
  if (!watch_ || watch_->Broken()) watch_ = DirectoryWatch::Start(file.parent_path());
  // The watch is in place before the file is read: a change during the read is signalled too.
  ReadHostsText(file, text_);
  // A symbolic link could point anywhere, where the watch does not see changes.
  struct stat info {};
  const bool link = ::lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  current_ = watch_ != nullptr && !link;
}

std::optional<Ipv4Address> HostsFileCache::Lookup(std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::lock_guard lock(mutex_);
  Refresh();
  return LookupHostsText(text_, name);
}

Result<Ipv4Address> HostsFileCache::Resolve(std::string_view name) {
  return ResolveWith(name, [&] { return Lookup(name); });
}

Ipv4Address HostsFileCache::LocalBindAddress(std::string_view computerName) {
  return OwnLoopbackOrAny(Lookup(computerName));
}

}  // namespace uv::platform
