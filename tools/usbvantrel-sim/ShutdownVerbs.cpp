#include "tools/usbvantrel-sim/ShutdownVerbs.h"

#include <ostream>

#include "platform/machine/Machine.h"
#include "platform/service/ServiceControlManager.h"

namespace uv::sim {

int ShutdownVerb(SimContext& context) {
  using namespace uv::platform;
  if (!context.args.empty()) {
    return UsageError(context, kShutdownVerb.name, kShutdownVerb.usage, "too many arguments");
  }
  auto manager = ServiceControlManager::Open(context.machine, ScmAccess::kConnect);
  if (!manager) {
    context.err << "usbvantrel-sim shutdown: the service manager cannot be opened (error "
                << manager.error() << ")\n";
    return kExitFailed;
  }
  auto services = manager->EnumServices();
  if (!services) {
    context.err << "usbvantrel-sim shutdown: the services cannot be listed (error "
                << services.error() << ")\n";
    return kExitFailed;
  }
  int result = kExitOk;
  for (const auto& entry : *services) {
    if (entry.status.currentState == ServiceState::kStopped ||
        (entry.status.controlsAccepted & kServiceAcceptShutdown) == 0) {
      continue;
    }
    auto service = manager->OpenService(entry.name, kServicePauseContinue | kServiceQueryStatus);
    auto status = service ? service->Control(kServiceControlShutdown)
                          : Result<ServiceStatus>::Failure(service.error());
    if (status) {
      context.out << entry.name << ": shutdown delivered\n";
    } else {
      context.err << "usbvantrel-sim shutdown: " << entry.name << ": error " << status.error()
                  << "\n";
      result = kExitFailed;
    }
  }
  return result;
}

}  // namespace uv::sim
