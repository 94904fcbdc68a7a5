#pragma once
// Internal to the service module: the runtime files of a service under <root>/run/services/ and
// the messages that cross between the manager's callers and a service's dispatcher. Not part of
// the platform interface (it names descriptors).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/posix/UniqueFd.h"
#include "platform/service/ServiceControlManager.h"

namespace uv::platform::service_runtime {

// The environment variable that tells a started process where its manager waits:
// "<descriptor>:<service name>".
inline constexpr const char* kControllerVariable = "USBVANTREL_SERVICE_CONTROLLER";
// The descriptor the launched process finds its end of the start connection on.
inline constexpr int kControllerDescriptor = 3;

inline constexpr std::uint32_t kMagic = 0x43535655;  // "UVSC"

// The start handshake: the dispatcher sends kHello with its service name once its control
// socket listens; the manager answers kGo with the start arguments (each ending in a zero byte)
// or kRefuse with an error code.
inline constexpr std::string_view kHello = "HELLO";
inline constexpr std::string_view kGo = "GO";
inline constexpr std::string_view kRefuse = "NO";

struct WireStatus {
  std::uint32_t magic = kMagic;
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
  std::uint32_t processId = 0;
};

struct ControlRequest {
  std::uint32_t magic = kMagic;
  std::uint32_t control = 0;
  std::uint32_t eventType = 0;
  std::uint32_t dataLength = 0;  // followed by that many bytes of event data
};

struct ControlReply {
  std::uint32_t magic = kMagic;
  std::uint32_t error = 0;
  WireStatus status;
};

WireStatus ToWire(const ServiceStatus& status);
// False for bytes that are not a status (wrong magic, a state out of range).
bool FromWire(const WireStatus& wire, ServiceStatus* status);

// <root>/run/services, created on demand.
std::filesystem::path RuntimeDirectory(Machine& machine);
// <dir>/<16 hex digits of a hash of the upper-cased name><suffix>.
std::filesystem::path RuntimeFile(Machine& machine, std::string_view serviceName,
                                  std::string_view suffix);

bool SameServiceName(std::string_view a, std::string_view b);

// The status of a service as every process sees it (see ServiceControlManager.h).
ServiceStatus ReadStatus(Machine& machine, std::string_view serviceName);
// Replaces the status file atomically.
[[nodiscard]] WinError WriteStatus(Machine& machine, std::string_view serviceName,
                                   const ServiceStatus& status);

// "ServicesPipeTimeout" of SYSTEM\CurrentControlSet\Control in ms, 30000 when missing or absurd.
std::uint32_t PipeTimeout(Machine& machine);

// A Unix socket address for path, working also when the path is longer than sun_path allows
// (through the descriptor of its directory, which *directory then holds).
bool SocketAddress(const std::filesystem::path& path, void* address, unsigned* length,
                   UniqueFd* directory);

// Waits until fd is readable or the timeout passes; false on timeout or error.
bool WaitReadable(int fd, std::uint32_t timeoutMs);

}  // namespace uv::platform::service_runtime
