#include "platform/service/ServiceRuntime.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/registry/Registry.h"

namespace uv::platform::service_runtime {

namespace {

std::uint64_t NameHash(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (char c : name) {
    hash ^= static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// True while some process holds the service's alive lock.
bool ProcessAlive(Machine& machine, std::string_view serviceName) {
  const auto path = RuntimeFile(machine, serviceName, ".alive");
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;  // nobody holds it
  return errno == EWOULDBLOCK;
}

}  // namespace

WireStatus ToWire(const ServiceStatus& status) {
  WireStatus wire;
  wire.serviceType = status.serviceType;
  wire.currentState = static_cast<std::uint32_t>(status.currentState);
  wire.controlsAccepted = status.controlsAccepted;
  wire.win32ExitCode = status.win32ExitCode;
  wire.serviceSpecificExitCode = status.serviceSpecificExitCode;
  wire.checkPoint = status.checkPoint;
  wire.waitHint = status.waitHint;
  wire.processId = status.processId;
  return wire;
}

bool FromWire(const WireStatus& wire, ServiceStatus* status) {
  if (wire.magic != kMagic || wire.currentState < 1 || wire.currentState > 7) return false;
  status->serviceType = wire.serviceType;
  status->currentState = static_cast<ServiceState>(wire.currentState);
  status->controlsAccepted = wire.controlsAccepted;
  status->win32ExitCode = wire.win32ExitCode;
  status->serviceSpecificExitCode = wire.serviceSpecificExitCode;
  status->checkPoint = wire.checkPoint;
  status->waitHint = wire.waitHint;
  status->processId = wire.processId;
  return true;
}

std::filesystem::path RuntimeDirectory(Machine& machine) {
  const auto dir = machine.RunDirectory() / "services";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::filesystem::path RuntimeFile(Machine& machine, std::string_view serviceName,
                                  std::string_view suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx",
                static_cast<unsigned long long>(NameHash(serviceName)));
  return RuntimeDirectory(machine) / (std::string(name) + std::string(suffix));
}

bool SameServiceName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

ServiceStatus ReadStatus(Machine& machine, std::string_view serviceName) {
  ServiceStatus status;
  const auto path = RuntimeFile(machine, serviceName, ".status");
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return status;
  WireStatus wire;
  const ssize_t n = ::read(fd.get(), &wire, sizeof wire);
  ServiceStatus stored;
  if (n != static_cast<ssize_t>(sizeof wire) || !FromWire(wire, &stored)) return status;
  if (stored.currentState == ServiceState::kStopped) return stored;
  if (ProcessAlive(machine, serviceName)) return stored;
  // The process ended without reporting stopped.
  status.win32ExitCode = kErrorProcessAborted;
  return status;
}

WinError WriteStatus(Machine& machine, std::string_view serviceName, const ServiceStatus& status) {
  const auto path = RuntimeFile(machine, serviceName, ".status");
  auto temporary = path;
  temporary += "." + std::to_string(::getpid()) + ".tmp";
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return ErrnoToWinError(errno, kErrorPathNotFound);
  const WireStatus wire = ToWire(status);
  if (::write(fd.get(), &wire, sizeof wire) != static_cast<ssize_t>(sizeof wire) || !fd.Close()) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return ErrnoToWinError(error, kErrorDiskFull);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return ErrnoToWinError(error);
  }
  return kErrorSuccess;
}

std::uint32_t PipeTimeout(Machine& machine) {
  constexpr std::uint32_t kDefault = 30000;
  auto registry = machine.OpenRegistry();
  if (!registry) return kDefault;
  auto key = RegKey::Open(**registry, "SYSTEM\\CurrentControlSet\\Control");
  if (!key) return kDefault;
  auto value = key->QueryDword("ServicesPipeTimeout");
  // Below 10 ms no process could answer; above an hour is a typo, not a wish.
  if (!value || *value < 10 || *value > 3600000) return kDefault;
  return *value;
}

bool SocketAddress(const std::filesystem::path& path, void* address, unsigned* length,
                   UniqueFd* directory) {
  sockaddr_un* un = static_cast<sockaddr_un*>(address);
  std::memset(un, 0, sizeof *un);
  un->sun_family = AF_UNIX;
  std::string text = path.string();
  if (text.size() >= sizeof un->sun_path) {
    directory->Reset(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!*directory) return false;
    text = "/proc/self/fd/" + std::to_string(directory->get()) + "/" + path.filename().string();
    if (text.size() >= sizeof un->sun_path) return false;
  }
  std::memcpy(un->sun_path, text.data(), text.size());
  *length = static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  return true;
}

bool WaitReadable(int fd, std::uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace uv::platform::service_runtime
