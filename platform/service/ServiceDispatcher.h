#pragma once
// The service side of the service control manager (StartServiceCtrlDispatcher,
// RegisterServiceCtrlHandlerEx, SetServiceStatus) for a program that the manager started.
//
// Run() is the dispatcher: called on the program's main thread, it connects back to the manager
// that started the process (ServiceControlManager.h), runs ServiceMain on a thread of its own,
// and serves the control socket on the calling thread, so every handler call happens on the
// dispatcher's thread, one at a time. It returns when the service has reported stopped (and
// ServiceMain has returned), after which the control socket is gone and, when the service was
// deleted while running, its database key too.
//
// A request that is not a well-formed control (garbage, a short or oversized message, an unknown
// tag) is answered with kErrorInvalidParameter or dropped; it never reaches the handler and never
// ends the dispatcher.
//
// Thread affinity: Run on the main thread; RegisterHandler and SetStatus from any thread
// (ServiceMain's, the handler's), serialised inside.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"
#include "platform/service/ServiceControlManager.h"

namespace uv::platform {

class Machine;

// HandlerEx: (control, event type, event data) -> the result the manager passes on.
using ServiceControlHandler = std::function<WinError(std::uint32_t control, std::uint32_t eventType,
                                                     std::span<const std::uint8_t> eventData)>;

class ServiceDispatcher;
// ServiceMain: the service name first, then the arguments of the start.
using ServiceMainFunction =
    std::function<void(ServiceDispatcher& dispatcher, const std::vector<std::string>& arguments)>;

class ServiceDispatcher {
 public:
  // StartServiceCtrlDispatcher for one service of `machine`. kErrorFailedServiceControllerConnect
  // (1063) when this process was not started by the manager (run from a command line, say);
  // kErrorInvalidName for a name of more than 255 characters; kErrorServiceAlreadyRunning when
  // another process already runs the service. Success once the service has stopped.
  [[nodiscard]] static WinError Run(Machine& machine, std::string_view serviceName,
                                    const ServiceMainFunction& serviceMain);

  // True when this process was started by the manager of some machine root (its dispatcher has a
  // manager to connect to).
  static bool StartedByManager();

  // RegisterServiceCtrlHandlerEx: the handler that the dispatcher's thread calls from now on.
  void RegisterHandler(ServiceControlHandler handler);
  // SetServiceStatus: visible to every process's queries once it returns.
  [[nodiscard]] WinError SetStatus(const ServiceStatus& status);

  const std::string& ServiceName() const;

  ServiceDispatcher(const ServiceDispatcher&) = delete;
  ServiceDispatcher& operator=(const ServiceDispatcher&) = delete;
  ~ServiceDispatcher();

  class Impl;

 private:
  explicit ServiceDispatcher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace uv::platform
