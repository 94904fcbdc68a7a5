#include "tools/usbvantrel-sc/ScTool.h"

#include <charconv>
#include <cstdio>
#include <optional>
#include <ostream>

#include "platform/machine/Machine.h"
#include "platform/service/ServiceControlManager.h"

namespace uv::sc {

namespace {

using namespace uv::platform;

constexpr int kExitBadCommandLine = 1639;  // ERROR_INVALID_COMMAND_LINE

void Usage(std::ostream& out) {
  out << "DESCRIPTION:\n"
         "        usbvantrel-sc is a command line program used for communicating with the\n"
         "        service control manager of the machine root named by USBVANTREL_ROOT.\n"
         "USAGE:\n"
         "        usbvantrel-sc <command> [service name] <option1> <option2>...\n\n"
         "        Commands:\n"
         "          query-----------Queries the status for a service, or\n"
         "                          enumerates the status for every service.\n"
         "          start-----------Starts a service.\n"
         "          stop------------Sends a STOP request to a service.\n"
         "          control---------Sends a CONTROL to a service (pause, continue,\n"
         "                          interrogate, paramchange or a number 128-255).\n"
         "          qc--------------Queries the configuration information for a service.\n";
}

int Failed(std::ostream& out, const char* call, WinError error) {
  out << "[SC] " << call << " FAILED " << error << ":\n\n" << SystemMessageText(error) << "\n\n";
  return static_cast<int>(error);
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

std::string TypeText(std::uint32_t type) {
  char text[64];
  const char* word = (type & kServiceWin32OwnProcess)     ? "WIN32_OWN_PROCESS"
                     : (type & kServiceWin32ShareProcess) ? "WIN32_SHARE_PROCESS"
                                                          : "";
  std::snprintf(text, sizeof text, "%x  %s%s", type, word,
                (type & kServiceInteractiveProcess) ? " (interactive)" : "");
  return text;
}

// One service's status; the enumeration prints its own header (name and display name) first.
void PrintStatus(std::ostream& out, const std::string* name, const ServiceStatus& s, bool pid) {
  const auto state = static_cast<std::uint32_t>(s.currentState);
  if (name != nullptr) out << "\nSERVICE_NAME: " << *name << "\n";
  out << "        TYPE               : " << TypeText(s.serviceType) << "\n"
      << "        STATE              : " << state << "  " << ServiceStateName(s.currentState)
      << "\n"
      << "                                ("
      << ((s.controlsAccepted & kServiceAcceptStop) ? "STOPPABLE" : "NOT_STOPPABLE") << ", "
      << ((s.controlsAccepted & kServiceAcceptPauseContinue) ? "PAUSABLE" : "NOT_PAUSABLE") << ", "
      << ((s.controlsAccepted & kServiceAcceptShutdown) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN")
      << ")\n"
      << "        WIN32_EXIT_CODE    : " << s.win32ExitCode << "  (" << Hex(s.win32ExitCode)
      << ")\n"
      << "        SERVICE_EXIT_CODE  : " << s.serviceSpecificExitCode << "  ("
      << Hex(s.serviceSpecificExitCode) << ")\n"
      << "        CHECKPOINT         : " << Hex(s.checkPoint) << "\n"
      << "        WAIT_HINT          : " << Hex(s.waitHint) << "\n";
  if (pid) {
    out << "        PID                : " << s.processId << "\n"
        << "        FLAGS              :\n";
  }
}

const char* StartTypeWord(std::uint32_t type) {
  switch (type) {
    case kServiceBootStart:
      return "BOOT_START";
    case kServiceSystemStart:
      return "SYSTEM_START";
    case kServiceAutoStart:
      return "AUTO_START";
    case kServiceDemandStart:
      return "DEMAND_START";
    case kServiceDisabled:
      return "DISABLED";
    default:
      return "";
  }
}

const char* ErrorControlWord(std::uint32_t control) {
  switch (control) {
    case 0:
      return "IGNORE";
    case 1:
      return "NORMAL";
    case 2:
      return "SEVERE";
    case 3:
      return "CRITICAL";
    default:
      return "";
  }
}

std::optional<std::uint32_t> ControlCode(const std::string& word) {
  if (word == "pause") return kServiceControlPause;
  if (word == "continue") return kServiceControlContinue;
  if (word == "interrogate") return kServiceControlInterrogate;
  if (word == "paramchange") return kServiceControlParamChange;
  std::uint32_t code = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), code);
  if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  if (code < kServiceControlUserFirst || code > kServiceControlUserLast) return std::nullopt;
  return code;
}

}  // namespace

int RunSc(Machine& machine, const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "/?" ||
      args[0] == "help") {
    Usage(args.empty() ? err : out);
    return args.empty() ? kExitBadCommandLine : 0;
  }
  const std::string& verb = args[0];
  const bool known =
      verb == "query" || verb == "start" || verb == "stop" || verb == "control" || verb == "qc";
  const std::size_t wanted = verb == "control" ? 3 : 2;
  if (!known || (verb != "query" && args.size() != wanted) || args.size() > wanted) {
    if (!known) err << "usbvantrel-sc: unknown command \"" << verb << "\"\n";
    Usage(err);
    return kExitBadCommandLine;
  }
  const bool administers = verb == "start" || verb == "stop" || verb == "control";
  auto manager = ServiceControlManager::Open(machine, ScmAccess::kConnect);
  if (!manager) return Failed(out, "OpenSCManager", manager.error());

  if (verb == "query" && args.size() == 1) {
    auto list = manager->EnumServices();
    if (!list) return Failed(out, "EnumServicesStatus", list.error());
    for (const auto& entry : *list) {
      out << "\nSERVICE_NAME: " << entry.name << "\nDISPLAY_NAME: " << entry.displayName << "\n";
      PrintStatus(out, nullptr, entry.status, false);
    }
    return 0;
  }
  std::optional<std::uint32_t> code;
  if (verb == "control") {
    code = ControlCode(args[2]);
    if (!code) {
      err << "usbvantrel-sc: control must be pause, continue, interrogate, paramchange or a "
             "number from 128 to 255\n";
      return kExitBadCommandLine;
    }
  }
  std::uint32_t rights = kServiceQueryStatus | kServiceQueryConfig;
  if (administers) rights = kServiceAllAccess;
  if (code == kServiceControlInterrogate) rights = kServiceQueryStatus | kServiceInterrogate;
  auto service = manager->OpenService(args[1], rights);
  if (!service) return Failed(out, "OpenService", service.error());

  if (verb == "query") {
    auto status = service->QueryStatus();
    if (!status) return Failed(out, "QueryServiceStatus", status.error());
    PrintStatus(out, &service->Name(), *status, false);
    return 0;
  }
  if (verb == "qc") {
    auto config = service->QueryConfig();
    if (!config) return Failed(out, "QueryServiceConfig", config.error());
    out << "[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: " << service->Name() << "\n"
        << "        TYPE               : " << TypeText(config->serviceType) << "\n"
        << "        START_TYPE         : " << config->startType << "   "
        << StartTypeWord(config->startType) << "\n"
        << "        ERROR_CONTROL      : " << config->errorControl << "   "
        << ErrorControlWord(config->errorControl) << "\n"
        << "        BINARY_PATH_NAME   : " << config->imagePath << "\n"
        << "        LOAD_ORDER_GROUP   : " << config->loadOrderGroup << "\n"
        << "        TAG                : 0\n"
        << "        DISPLAY_NAME       : " << config->displayName << "\n"
        << "        DEPENDENCIES       : ";
    for (std::size_t i = 0; i < config->dependencies.size(); ++i) {
      out << (i == 0 ? "" : "\n                           : ") << config->dependencies[i];
    }
    out << "\n        SERVICE_START_NAME : "
        << (config->accountName.empty() ? "LocalSystem" : config->accountName) << "\n";
    return 0;
  }
  if (verb == "start") {
    if (WinError e = service->Start(); e != kErrorSuccess) return Failed(out, "StartService", e);
    auto status = service->QueryStatus();
    if (!status) return Failed(out, "QueryServiceStatus", status.error());
    PrintStatus(out, &service->Name(), *status, true);
    return 0;
  }
  auto status = service->Control(code.value_or(kServiceControlStop));
  if (!status) return Failed(out, "ControlService", status.error());
  PrintStatus(out, &service->Name(), *status, false);
  return 0;
}

}  // namespace uv::sc
