#include "platform/service/ServiceDispatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/service/ServiceRuntime.h"

namespace uv::platform {

namespace rt = service_runtime;

namespace {

constexpr WinError kErrorServiceNotInExe = 1083;
// How long a connection may take to deliver its request before it is dropped, so a client
// that connects and sends nothing cannot hold the controls of everyone else.
constexpr std::uint32_t kRequestReadTimeoutMs = 1000;
// How long a new process waits for the previous process of the service to finish exiting.
constexpr auto kAliveWait = std::chrono::seconds(3);

// The descriptor named by the controller variable, when it is a start connection.
int ControllerDescriptor(std::string* nameFromManager) {
  const char* value = std::getenv(rt::kControllerVariable);
  if (value == nullptr) return -1;
  const std::string_view text(value);
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return -1;
  int fd = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + colon, fd);
  if (error != std::errc() || end != text.data() + colon || fd < 0) return -1;
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
    return -1;
  }
  if (nameFromManager != nullptr) *nameFromManager = std::string(text.substr(colon + 1));
  return fd;
}

bool ValidControl(std::uint32_t control) {
  return (control >= kServiceControlStop && control <= kServiceControlPowerEvent) ||
         (control >= kServiceControlUserFirst && control <= kServiceControlUserLast);
}

// The accept bit a control needs; 0 for the controls every running service takes.
std::uint32_t AcceptBit(std::uint32_t control) {
  switch (control) {
    case kServiceControlStop:
      return kServiceAcceptStop;
    case kServiceControlPause:
    case kServiceControlContinue:
      return kServiceAcceptPauseContinue;
    case kServiceControlShutdown:
      return kServiceAcceptShutdown;
    case kServiceControlParamChange:
      return kServiceAcceptParamChange;
    case kServiceControlNetBindAdd:
    case kServiceControlNetBindRemove:
    case kServiceControlNetBindEnable:
    case kServiceControlNetBindDisable:
      return kServiceAcceptNetBindChange;
    case kServiceControlHardwareProfileChange:
      return kServiceAcceptHardwareProfileChange;
    case kServiceControlPowerEvent:
      return kServiceAcceptPowerEvent;
    default:
      return 0;
  }
}

bool IsPending(ServiceState state) {
  return state == ServiceState::kStartPending || state == ServiceState::kStopPending ||
         state == ServiceState::kContinuePending || state == ServiceState::kPausePending;
}

}  // namespace

class ServiceDispatcher::Impl {
 public:
  Impl(Machine& machine, std::string name) : machine_(machine), name_(std::move(name)) {}

  Machine& machine_;
  const std::string name_;
  UniqueFd alive_;
  UniqueFd listener_;
  UniqueFd stopped_;  // eventfd: signalled when the service reports stopped

  WinError SetStatus(const ServiceStatus& status) {
    std::lock_guard lock(mutex_);
    status_ = status;
    status_.processId = static_cast<std::uint32_t>(::getpid());
    // A stopped service takes no controls, whatever its last accepted set was; queries must not
    // call it stoppable.
    if (status_.currentState == ServiceState::kStopped) status_.controlsAccepted = 0;
    const WinError error = rt::WriteStatus(machine_, name_, status_);
    if (status_.currentState == ServiceState::kStopped) {
      const std::uint64_t one = 1;
      (void)!::write(stopped_.get(), &one, sizeof one);
    }
    return error;
  }

  void RegisterHandler(ServiceControlHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  // Serves control requests until the service reports stopped.
  void Serve() {
    for (;;) {
      pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stopped_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents != 0) {
        UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection) HandleConnection(connection.get());
      }
    }
  }

 private:
  void Reply(int fd, WinError error) {
    rt::ControlReply reply;
    reply.error = error;
    {
      std::lock_guard lock(mutex_);
      reply.status = rt::ToWire(status_);
    }
    (void)::send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
  }

  void HandleConnection(int fd) {
    if (!rt::WaitReadable(fd, kRequestReadTimeoutMs)) return;
    std::vector<std::uint8_t> buffer(sizeof(rt::ControlRequest) + kMaxControlData + 1);
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return;
    rt::ControlRequest request;
    if (static_cast<std::size_t>(n) < sizeof request ||
        static_cast<std::size_t>(n) == buffer.size()) {
      Reply(fd, kErrorInvalidParameter);
      return;
    }
    std::memcpy(&request, buffer.data(), sizeof request);
    if (request.magic != rt::kMagic ||
        request.dataLength != static_cast<std::size_t>(n) - sizeof request) {
      Reply(fd, kErrorInvalidParameter);
      return;
    }
    if (!ValidControl(request.control)) {
      Reply(fd, kErrorInvalidServiceControl);
      return;
    }
    // Anyone may interrogate; every other control is the administrator's: the service's own
    // user or root.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (request.control != kServiceControlInterrogate &&
        (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
         (peer.uid != ::geteuid() && peer.uid != 0))) {
      Reply(fd, kErrorAccessDenied);
      return;
    }
    ServiceControlHandler handler;
    WinError refusal = kErrorSuccess;
    {
      std::lock_guard lock(mutex_);
      handler = handler_;
      const std::uint32_t bit = AcceptBit(request.control);
      if (status_.currentState == ServiceState::kStopped) {
        refusal = kErrorServiceNotActive;
      } else if (!handler) {
        refusal = kErrorServiceCannotAcceptCtrl;
      } else if (request.control != kServiceControlInterrogate && IsPending(status_.currentState)) {
        refusal = kErrorServiceCannotAcceptCtrl;
      } else if (bit != 0 && (status_.controlsAccepted & bit) == 0) {
        refusal = kErrorInvalidServiceControl;
      }
    }
    if (refusal != kErrorSuccess) {
      Reply(fd, refusal);
      return;
    }
    const WinError result =
        handler(request.control, request.eventType,
                std::span<const std::uint8_t>(buffer.data() + sizeof request, request.dataLength));
    Reply(fd, result);
  }

  std::mutex mutex_;
  ServiceStatus status_;           // guarded by mutex_
  ServiceControlHandler handler_;  // guarded by mutex_
};

ServiceDispatcher::ServiceDispatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ServiceDispatcher::~ServiceDispatcher() = default;

const std::string& ServiceDispatcher::ServiceName() const {
  return impl_->name_;
}

void ServiceDispatcher::RegisterHandler(ServiceControlHandler handler) {
  impl_->RegisterHandler(std::move(handler));
}

WinError ServiceDispatcher::SetStatus(const ServiceStatus& status) {
  return impl_->SetStatus(status);
}

bool ServiceDispatcher::StartedByManager() {
  return ControllerDescriptor(nullptr) >= 0;
}

WinError ServiceDispatcher::Run(Machine& machine, std::string_view serviceName,
                                const ServiceMainFunction& serviceMain) {
  if (serviceName.empty() || serviceName.size() > 255) return kErrorInvalidName;
  UniqueFd controller(ControllerDescriptor(nullptr));
  if (!controller) return kErrorFailedServiceControllerConnect;
  (void)::fcntl(controller.get(), F_SETFD, FD_CLOEXEC);

  auto impl = std::make_unique<Impl>(machine, std::string(serviceName));
  // The previous process of this service may still be on its way out after reporting stopped.
  const auto aliveFile = rt::RuntimeFile(machine, serviceName, ".alive");
  impl->alive_.Reset(::open(aliveFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!impl->alive_) return kErrorAccessDenied;
  const auto giveUp = std::chrono::steady_clock::now() + kAliveWait;
  while (::flock(impl->alive_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return kErrorAccessDenied;
    if (std::chrono::steady_clock::now() > giveUp) return kErrorServiceAlreadyRunning;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  impl->stopped_.Reset(::eventfd(0, EFD_CLOEXEC));
  impl->listener_.Reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!impl->stopped_ || !impl->listener_) return kErrorNotEnoughMemory;
  const auto controlFile = rt::RuntimeFile(machine, serviceName, ".ctl");
  ::unlink(controlFile.c_str());
  sockaddr_un address{};
  unsigned length = 0;
  UniqueFd directory;
  if (!rt::SocketAddress(controlFile, &address, &length, &directory) ||
      ::bind(impl->listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(impl->listener_.get(), 16) != 0) {
    return kErrorAccessDenied;
  }
  // Everyone may connect (and interrogate); the peer's identity decides about other controls.
  (void)::chmod(controlFile.c_str(), 0666);
  struct RemoveOnExit {
    std::filesystem::path file;
    ~RemoveOnExit() { ::unlink(file.c_str()); }
  } removeControlFile{controlFile};

  ServiceDispatcher dispatcher(std::move(impl));
  Impl& self = *dispatcher.impl_;
  ServiceStatus pending;
  pending.currentState = ServiceState::kStartPending;
  pending.waitHint = 2000;
  (void)self.SetStatus(pending);

  const std::string hello = std::string(rt::kHello) + '\0' + std::string(serviceName);
  if (::send(controller.get(), hello.data(), hello.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(hello.size())) {
    return kErrorFailedServiceControllerConnect;
  }
  std::vector<std::string> arguments{std::string(serviceName)};
  {
    std::vector<char> answer(64 * 1024);
    if (!rt::WaitReadable(controller.get(), rt::PipeTimeout(machine))) {
      return kErrorFailedServiceControllerConnect;
    }
    const ssize_t n = ::recv(controller.get(), answer.data(), answer.size(), 0);
    const std::string_view text(answer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string go = std::string(rt::kGo) + '\0';
    if (!text.starts_with(go)) {
      ServiceStatus stopped;
      stopped.win32ExitCode = kErrorServiceNotInExe;
      (void)self.SetStatus(stopped);
      return text.starts_with(rt::kRefuse) ? kErrorServiceNotInExe
                                           : kErrorFailedServiceControllerConnect;
    }
    std::string_view rest = text.substr(go.size());
    while (!rest.empty()) {
      const auto zero = rest.find('\0');
      arguments.emplace_back(rest.substr(0, zero));
      if (zero == std::string_view::npos) break;
      rest.remove_prefix(zero + 1);
    }
  }
  controller.Reset();

  std::thread serviceThread([&] {
    try {
      serviceMain(dispatcher, arguments);
    } catch (...) {
      // Nothing may leave the thread; the manager sees the service end with the failure.
      ServiceStatus stopped;
      stopped.win32ExitCode = kErrorExceptionInService;
      (void)self.SetStatus(stopped);
    }
  });
  self.Serve();
  serviceThread.join();

  // A service deleted while it ran goes now that it has stopped.
  if (auto registry = machine.OpenRegistry(); registry) {
    const std::string path = std::string(kServicesKey) + "\\" + std::string(serviceName);
    if (auto key = RegKey::Open(**registry, path);
        key && key->QueryDword("DeleteFlag").value_or(0)) {
      if (auto services = RegKey::Open(**registry, kServicesKey, RegAccess::kWrite); services) {
        (void)services->DeleteTree(serviceName);
      }
    }
  }
  return kErrorSuccess;
}

}  // namespace uv::platform
