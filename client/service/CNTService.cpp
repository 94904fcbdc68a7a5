#include "client/service/CNTService.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "client/service/ServiceMessageBox.h"
#include "platform/machine/Machine.h"
#include "platform/process/ProcessLauncher.h"
#include "platform/registry/Registry.h"
#include "platform/service/ConsoleControl.h"
#include "platform/service/ServiceDispatcher.h"

namespace uv::client {

using platform::ServiceState;
using platform::WinError;

namespace {

constexpr std::uint32_t kKeep = 0xFFFFFFFF;
constexpr std::uint32_t kTypesSupported = 7;  // error, warning, information

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool IsPending(ServiceState state) {
  return state == ServiceState::kStartPending || state == ServiceState::kStopPending ||
         state == ServiceState::kContinuePending || state == ServiceState::kPausePending;
}

std::string OwnProgramPath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

// Replaces the one "%1" of a template with its insertion; texts are never used as formats.
std::string Insert(std::string_view templateText, std::string_view insertion) {
  std::string text(templateText);
  if (auto at = text.find("%1"); at != std::string::npos) text.replace(at, 2, insertion);
  return text;
}

// The error template "Error %d: %s" filled with the code in decimal and the system's text.
std::string ErrorText(std::string templateText, WinError error) {
  if (auto at = templateText.find("%d"); at != std::string::npos) {
    templateText.replace(at, 2, std::to_string(error));
  }
  if (auto at = templateText.find("%s"); at != std::string::npos) {
    templateText.replace(at, 2, platform::SystemMessageText(error));
  }
  return templateText;
}

struct FailureTemplate {
  ServiceFailure step;
  std::string_view text;
};

// Our own wording, one per failing step; %1 receives the error template.
constexpr FailureTemplate kFailureTemplates[] = {
    {ServiceFailure::kOpenManager, "The service control manager could not be opened. %1"},
    {ServiceFailure::kOpenService, "The service could not be opened for removal. %1"},
    {ServiceFailure::kDeleteService, "The service could not be deleted. %1"},
    {ServiceFailure::kStartService, "The service could not be started. %1"},
    {ServiceFailure::kStopService, "The service could not be stopped. %1"},
    {ServiceFailure::kContinueService, "The service could not be continued. %1"},
    {ServiceFailure::kPauseService, "The service could not be paused. %1"},
    // Also the text of a service that stopped on its way: the error says which it was.
    {ServiceFailure::kWaitForState, "The service did not reach the requested state. %1"},
    {ServiceFailure::kLockDatabase, "The services database could not be locked. %1"},
    {ServiceFailure::kCreateService, "The service could not be installed. %1"},
    {ServiceFailure::kRegisterSource, "The event log source could not be registered. %1"},
    {ServiceFailure::kSetDescription, "The service description could not be set. %1"},
    {ServiceFailure::kQueryStatus, "The status of the service could not be read. %1"},
    {ServiceFailure::kStopBeforeRemove, "The service could not be stopped for removal. %1"},
    {ServiceFailure::kErrorTemplate, "Error %d: %s"},
    {ServiceFailure::kRemoveSource, "The event log source could not be removed. %1"},
    {ServiceFailure::kRequestOpenService, "The service could not be opened. %1"},
    {ServiceFailure::kDispatcher, "The service control dispatcher could not be started. %1"},
};

ServiceState TargetState(ServiceRequest request) {
  switch (request) {
    case ServiceRequest::kStart:
    case ServiceRequest::kContinue:
      return ServiceState::kRunning;
    case ServiceRequest::kPause:
      return ServiceState::kPaused;
    case ServiceRequest::kStop:
      break;
  }
  return ServiceState::kStopped;
}

}  // namespace

CNTService::CNTService(std::string serviceName, std::string displayName,
                       std::uint32_t controlsAccepted, std::string description,
                       platform::Machine* machine)
    : controlsAccepted_(controlsAccepted),
      serviceName_(std::move(serviceName)),
      displayName_(std::move(displayName)),
      description_(std::move(description)),
      sourceName_(displayName_),
      machine_(machine != nullptr ? machine : &platform::Machine::Current()),
      programPath_(OwnProgramPath()) {}

CNTService::~CNTService() {
  volatile char* bytes = password_.data();
  for (std::size_t i = 0; i < password_.size(); ++i) bytes[i] = 0;
}

// --- profile store ---

namespace {

std::string ProfileKeyPath(std::string_view service, std::string_view section) {
  return std::string(platform::kServicesKey) + "\\" + std::string(service) + "\\Parameters\\" +
         std::string(section);
}

}  // namespace

namespace {

// Opens the section for writing (created on demand), or records why not.
template <class WriteValue>
bool WriteProfile(platform::Machine& machine, std::string_view service, std::string_view section,
                  std::optional<std::string_view> entry, bool haveValue, WinError* lastError,
                  WriteValue write) {
  auto registry = machine.OpenRegistry();
  if (!registry) {
    *lastError = registry.error();
    return false;
  }
  const std::string path = ProfileKeyPath(service, section);
  if (!entry) {
    auto parent = platform::RegKey::Open(**registry, ProfileKeyPath(service, ""),
                                         platform::RegAccess::kWrite);
    if (!parent) {
      *lastError = parent.error();
      return parent.error() == platform::kErrorFileNotFound;
    }
    WinError e = parent->DeleteTree(section);
    *lastError = e;
    return e == platform::kErrorSuccess || e == platform::kErrorFileNotFound;
  }
  auto key = platform::RegKey::Create(**registry, path);
  if (!key) {
    *lastError = key.error();
    return false;
  }
  WinError e = haveValue ? write(*key, *entry) : key->DeleteValue(*entry);
  if (!haveValue && e == platform::kErrorFileNotFound) e = platform::kErrorSuccess;
  *lastError = e;
  return e == platform::kErrorSuccess;
}

std::optional<platform::RegKey> ReadProfileKey(platform::Machine& machine, std::string_view service,
                                               std::string_view section) {
  auto registry = machine.OpenRegistry();
  if (!registry) return std::nullopt;
  auto key = platform::RegKey::Open(**registry, ProfileKeyPath(service, section));
  if (!key) return std::nullopt;
  return std::move(key.value());
}

}  // namespace

bool CNTService::WriteProfileText(std::string_view section, std::optional<std::string_view> entry,
                                  std::optional<std::string_view> value) {
  return WriteProfile(
      *machine_, serviceName_, section, entry, value.has_value(), &lastError_,
      [&](platform::RegKey& key, std::string_view name) { return key.SetString(name, *value); });
}

bool CNTService::WriteProfileNumber(std::string_view section, std::optional<std::string_view> entry,
                                    std::optional<std::uint32_t> value) {
  return WriteProfile(
      *machine_, serviceName_, section, entry, value.has_value(), &lastError_,
      [&](platform::RegKey& key, std::string_view name) { return key.SetDword(name, *value); });
}

bool CNTService::WriteProfileTextList(std::string_view section,
                                      std::optional<std::string_view> entry,
                                      const std::optional<std::vector<std::string>>& value) {
  return WriteProfile(*machine_, serviceName_, section, entry, value.has_value(), &lastError_,
                      [&](platform::RegKey& key, std::string_view name) {
                        return key.SetMultiString(name, *value);
                      });
}

bool CNTService::WriteProfileBytes(std::string_view section, std::optional<std::string_view> entry,
                                   std::optional<std::span<const std::uint8_t>> value) {
  return WriteProfile(*machine_, serviceName_, section, entry, value.has_value(), &lastError_,
                      [&](platform::RegKey& key, std::string_view name) {
                        return key.SetValue(name, platform::RegType::kBinary, *value);
                      });
}

std::string CNTService::GetProfileText(std::string_view section, std::string_view entry,
                                       std::string_view defaultValue) {
  auto key = ReadProfileKey(*machine_, serviceName_, section);
  if (!key) return std::string(defaultValue);
  return key->QueryString(entry).value_or(std::string(defaultValue));
}

std::uint32_t CNTService::GetProfileNumber(std::string_view section, std::string_view entry,
                                           std::uint32_t defaultValue) {
  auto key = ReadProfileKey(*machine_, serviceName_, section);
  if (!key) return defaultValue;
  return key->QueryDword(entry).value_or(defaultValue);
}

std::optional<std::vector<std::string>> CNTService::GetProfileTextList(std::string_view section,
                                                                       std::string_view entry) {
  auto key = ReadProfileKey(*machine_, serviceName_, section);
  if (!key) return std::nullopt;
  auto value = key->QueryValue(entry);
  if (!value || value->type != platform::RegType::kMultiSz) return std::nullopt;
  auto texts = key->QueryMultiString(entry);
  if (!texts) return std::nullopt;
  return std::move(texts.value());
}

std::optional<std::vector<std::uint8_t>> CNTService::GetProfileBytes(std::string_view section,
                                                                     std::string_view entry) {
  auto key = ReadProfileKey(*machine_, serviceName_, section);
  if (!key) return std::nullopt;
  auto value = key->QueryValue(entry);
  if (!value || value->type != platform::RegType::kBinary) return std::nullopt;
  return std::move(value->data);
}

// --- command line ---

void CNTService::ParseArguments(const std::vector<std::string>& args,
                                CNTServiceCommandLineInfo& info) {
  info.Parse(args);
  serviceArguments_ = args;
}

std::uint32_t CNTService::CarryOutCommand(CNTServiceCommandLineInfo& info) {
  // The overrides are parsed always but only applied where the program allows them.
  if (allowNameChange_ && !info.serviceName.empty()) serviceName_ = info.serviceName;
  if (allowDisplayNameChange_ && !info.serviceDisplayName.empty()) {
    displayName_ = info.serviceDisplayName;
    sourceName_ = displayName_;
  }
  if (allowDescriptionChange_ && !info.serviceDescription.empty()) {
    description_ = info.serviceDescription;
  }
  if (allowCommandLine_ && !info.serviceCommandLine.empty()) {
    serviceCommandLine_ = info.serviceCommandLine;
  }
  if (info.autoStart) startType_ = platform::kServiceAutoStart;

  std::string failureText;
  auto request = [&](ServiceRequest r) -> std::uint32_t {
    if (SendServiceRequest(r, info.timeout, 250, failureText)) return 0;
    ShowFailureText(failureText, info.silent);
    return lastError_;
  };

  using Action = CNTServiceCommandLineInfo::Action;
  switch (info.action) {
    case Action::kRunAsService:
      if (RunDispatcher()) return 0;
      return lastError_;
    case Action::kStartService:
      return request(ServiceRequest::kStart);
    case Action::kPauseService:
      return request(ServiceRequest::kPause);
    case Action::kContinueService:
      return request(ServiceRequest::kContinue);
    case Action::kStopService:
      return request(ServiceRequest::kStop);
    case Action::kInstallService: {
      imagePath_ =
          programPath_.find(' ') != std::string::npos ? "\"" + programPath_ + "\"" : programPath_;
      auto append = [&](const char* format, const std::string& text) {
        if (text.empty()) return;
        imagePath_ += Insert(format, text);
      };
      if (allowNameChange_) append(" \"/SN:%1\"", info.serviceName);
      if (allowDisplayNameChange_) append(" \"/SDN:%1\"", info.serviceDisplayName);
      if (allowDescriptionChange_) append(" \"/SD:%1\"", info.serviceDescription);
      if (allowCommandLine_ && !serviceCommandLine_.empty())
        imagePath_ += " " + serviceCommandLine_;
      userName_ = info.userName;
      password_ = info.password;
      info.WipeAccount();
      if (Install(failureText)) return 0;
      ShowFailureText(failureText, info.silent);
      return lastError_;
    }
    case Action::kUninstallService:
      if (Uninstall(failureText, info.timeout)) return 0;
      ShowFailureText(failureText, info.silent);
      return lastError_;
    case Action::kRunInConsole:
      return RunInConsole(serviceArguments_);
    case Action::kShowHelp:
      ShowHelp();
      return 0;
  }
  return 0;
}

// --- status ---

bool CNTService::ReportStatus(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint,
                              std::uint32_t controlsAccepted) {
  return SetStatus(state, checkPoint, waitHint, controlsAccepted);
}

bool CNTService::ReportCurrentStatus() {
  std::lock_guard lock(statusLock_);
  return SetStatus(currentState_, kKeep, kKeep, kKeep);
}

bool CNTService::SetStatus(ServiceState state, std::uint32_t checkPoint, std::uint32_t waitHint,
                           std::uint32_t controlsAccepted) {
  std::lock_guard lock(statusLock_);
  currentState_ = state;
  if (state == ServiceState::kStopped || state == ServiceState::kRunning ||
      state == ServiceState::kPaused) {
    checkPoint_ = 0;
    waitHint_ = 0;
    if (state != ServiceState::kStopped) {
      win32ExitCode_ = 0;
      serviceSpecificExitCode_ = 0;
    }
  } else {
    if (checkPoint != kKeep) checkPoint_ = checkPoint;
    if (waitHint != kKeep) waitHint_ = waitHint;
    win32ExitCode_ = 0;
    serviceSpecificExitCode_ = 0;
  }
  if (controlsAccepted != kKeep) controlsAccepted_ = controlsAccepted;
  if (statusHandle_ == nullptr) return true;
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = IsPending(state) ? 0 : controlsAccepted_;
  status.win32ExitCode = win32ExitCode_;
  status.serviceSpecificExitCode = serviceSpecificExitCode_;
  status.checkPoint = checkPoint_;
  status.waitHint = waitHint_;
  const WinError error = statusHandle_->SetStatus(status);
  if (error != platform::kErrorSuccess) lastError_ = error;
  return error == platform::kErrorSuccess;
}

ServiceState CNTService::CurrentState() const {
  std::lock_guard lock(statusLock_);
  return currentState_;
}

std::uint32_t CNTService::ControlsAccepted() const {
  std::lock_guard lock(statusLock_);
  return controlsAccepted_;
}

// --- controls ---

bool CNTService::RegisterControlHandler() {
  std::lock_guard lock(statusLock_);
  if (dispatcher_ == nullptr) {
    lastError_ = platform::kErrorInvalidHandle;
    return false;
  }
  dispatcher_->RegisterHandler(
      [this](std::uint32_t control, std::uint32_t eventType, std::span<const std::uint8_t> data) {
        return HandleControl(control, eventType, data);
      });
  statusHandle_ = dispatcher_;
  return true;
}

std::uint32_t CNTService::HandleControl(std::uint32_t control, std::uint32_t eventType,
                                        std::span<const std::uint8_t> eventData) {
  std::uint32_t result = 0;
  switch (control) {
    case platform::kServiceControlStop:
      OnStop();
      break;
    case platform::kServiceControlPause:
      OnPause();
      break;
    case platform::kServiceControlContinue:
      OnContinue();
      break;
    case platform::kServiceControlInterrogate:
      OnInterrogate();
      break;
    case platform::kServiceControlShutdown:
      OnShutdown();
      break;
    case platform::kServiceControlParamChange:
      OnParamChange();
      break;
    case platform::kServiceControlNetBindAdd:
      OnNetBindAdd();
      break;
    case platform::kServiceControlNetBindRemove:
      OnNetBindRemove();
      break;
    case platform::kServiceControlNetBindEnable:
      OnNetBindEnable();
      break;
    case platform::kServiceControlNetBindDisable:
      OnNetBindDisable();
      break;
    case platform::kServiceControlDeviceEvent:
      result = OnDeviceEvent(eventType, eventData);
      break;
    case platform::kServiceControlHardwareProfileChange:
      result = OnHardwareProfileChange(eventType, eventData);
      break;
    case platform::kServiceControlPowerEvent:
      result = OnPowerEvent(eventType, eventData);
      break;
    default:
      OnUserControl(control);
      break;
  }
  ReportCurrentStatus();
  return result;
}

void CNTService::Run(const std::vector<std::string>& /*args*/) {}

void CNTService::OnStop() {
  WriteEvent(platform::EventType::kInformation, kEventServiceStopped, {displayName_});
}

void CNTService::OnPause() {
  WriteEvent(platform::EventType::kInformation, kEventServicePaused, {displayName_});
}

void CNTService::OnContinue() {
  WriteEvent(platform::EventType::kInformation, kEventServiceContinued, {displayName_});
}

void CNTService::OnInterrogate() {
  ReportCurrentStatus();
}

void CNTService::OnShutdown() {
  WriteEvent(platform::EventType::kInformation, kEventServiceShutdown, {displayName_});
}

void CNTService::OnParamChange() {}

std::uint32_t CNTService::OnHardwareProfileChange(std::uint32_t /*eventType*/,
                                                  std::span<const std::uint8_t> /*eventData*/) {
  return 0;
}

std::uint32_t CNTService::OnPowerEvent(std::uint32_t /*eventType*/,
                                       std::span<const std::uint8_t> /*eventData*/) {
  return 0;
}

void CNTService::OnNetBindAdd() {}
void CNTService::OnNetBindRemove() {}
void CNTService::OnNetBindEnable() {}
void CNTService::OnNetBindDisable() {}

std::uint32_t CNTService::OnDeviceEvent(std::uint32_t /*eventType*/,
                                        std::span<const std::uint8_t> /*eventData*/) {
  return 0;
}

void CNTService::OnUserControl(std::uint32_t /*control*/) {}

// --- the manager's side ---

bool CNTService::RunDispatcher() {
  const WinError error = platform::ServiceDispatcher::Run(
      *machine_, serviceName_,
      [this](platform::ServiceDispatcher& dispatcher, const std::vector<std::string>& args) {
        {
          std::lock_guard lock(statusLock_);
          dispatcher_ = &dispatcher;
        }
        ServiceMain(args);
      });
  {
    std::lock_guard lock(statusLock_);
    dispatcher_ = nullptr;
    statusHandle_ = nullptr;
  }
  if (error == platform::kErrorSuccess) return true;
  lastError_ = error;
  return false;
}

void CNTService::ServiceMain(const std::vector<std::string>& args) {
  RegisterControlHandler();
  std::uint32_t win32ExitCode = 0;
  std::uint32_t specificExitCode = 0;
  try {
    Run(args);
  } catch (const CNTServiceTerminateException& e) {
    win32ExitCode = e.Win32ExitCode();
    specificExitCode = e.ServiceSpecificExitCode();
  } catch (const std::exception&) {
    // An escaping exception would end the process without a final status; report the failure
    // the way the manager would see it instead.
    win32ExitCode = platform::kErrorExceptionInService;
  }
  std::lock_guard lock(statusLock_);
  win32ExitCode_ = win32ExitCode;
  serviceSpecificExitCode_ = specificExitCode;
  SetStatus(ServiceState::kStopped, 0, 0, kKeep);
}

bool CNTService::Fail(ServiceFailure step, WinError error, std::string& failureText,
                      std::uint32_t eventId) {
  lastError_ = error;
  failureText = FormatFailureText(step, error);
  if (eventId != 0 && eventLogIntegration_) {
    WriteEvent(platform::EventType::kError, eventId,
               {ErrorText(MapMessageNumber(ServiceFailure::kErrorTemplate), error)});
  }
  return false;
}

bool CNTService::SendServiceRequest(ServiceRequest request, std::uint32_t timeout,
                                    std::uint32_t pollInterval, std::string& failureText) {
  auto manager = platform::ServiceControlManager::Open(*machine_, platform::ScmAccess::kConnect);
  if (!manager) {
    return Fail(ServiceFailure::kOpenManager, manager.error(), failureText, 0xC0000006);
  }
  std::uint32_t rights = platform::kServiceQueryStatus;
  switch (request) {
    case ServiceRequest::kStart:
      rights |= platform::kServiceStart;
      break;
    case ServiceRequest::kPause:
    case ServiceRequest::kContinue:
      rights |= platform::kServicePauseContinue;
      break;
    case ServiceRequest::kStop:
      rights |= platform::kServiceStop;
      break;
  }
  auto service = manager->OpenService(serviceName_, rights);
  if (!service) {
    return Fail(ServiceFailure::kRequestOpenService, service.error(), failureText,
                MapEventId(ServiceFailure::kRequestOpenService, request));
  }
  const ServiceState target = TargetState(request);
  auto status = service->QueryStatus();
  if (!status) {
    return Fail(ServiceFailure::kQueryStatus, status.error(), failureText,
                MapEventId(ServiceFailure::kQueryStatus, request));
  }
  if (status->currentState != target) {
    WinError error = platform::kErrorSuccess;
    ServiceFailure step = ServiceFailure::kStartService;
    switch (request) {
      case ServiceRequest::kStart:
        error = service->Start();
        break;
      case ServiceRequest::kPause:
        step = ServiceFailure::kPauseService;
        error = service->Control(platform::kServiceControlPause).error();
        break;
      case ServiceRequest::kContinue:
        step = ServiceFailure::kContinueService;
        error = service->Control(platform::kServiceControlContinue).error();
        break;
      case ServiceRequest::kStop:
        step = ServiceFailure::kStopService;
        error = service->Control(platform::kServiceControlStop).error();
        break;
    }
    if (error != platform::kErrorSuccess) {
      return Fail(step, error, failureText, MapEventId(step, request));
    }
  }
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    status = service->QueryStatus();
    if (!status) {
      return Fail(ServiceFailure::kQueryStatus, status.error(), failureText,
                  MapEventId(ServiceFailure::kQueryStatus, request));
    }
    if (status->currentState == target) return true;
    // A start that ends in stopped will never reach running: say why now rather than after the
    // whole wait.
    if (target == ServiceState::kRunning && status->currentState == ServiceState::kStopped) {
      WinError error =
          status->win32ExitCode != 0 ? status->win32ExitCode : platform::kErrorServiceNotActive;
      if (error == platform::kErrorServiceSpecificError && status->serviceSpecificExitCode != 0) {
        error = status->serviceSpecificExitCode;
      }
      return Fail(ServiceFailure::kWaitForState, error, failureText,
                  MapEventId(ServiceFailure::kWaitForState, request));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (timeout != CNTServiceCommandLineInfo::kInfiniteTimeout &&
        elapsed > std::chrono::milliseconds(timeout)) {
      return Fail(ServiceFailure::kWaitForState, platform::kErrorTimeout, failureText,
                  MapEventId(ServiceFailure::kWaitForState, request));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pollInterval));
  }
}

bool CNTService::Install(std::string& failureText) {
  auto manager = platform::ServiceControlManager::Open(*machine_, platform::ScmAccess::kAll);
  auto wipe = [this] {
    volatile char* bytes = password_.data();
    for (std::size_t i = 0; i < password_.size(); ++i) bytes[i] = 0;
    password_.clear();
    userName_.clear();
  };
  if (!manager) {
    wipe();
    return Fail(ServiceFailure::kOpenManager, manager.error(), failureText, 0);
  }
  auto lock = manager->LockDatabase();
  if (!lock) {
    wipe();
    return Fail(ServiceFailure::kLockDatabase, lock.error(), failureText, 0);
  }
  if (imagePath_.empty()) {
    imagePath_ =
        programPath_.find(' ') != std::string::npos ? "\"" + programPath_ + "\"" : programPath_;
  }
  platform::ServiceConfig config;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = startType_;
  config.errorControl = errorControl_;
  config.imagePath = imagePath_;
  config.loadOrderGroup = loadOrderGroup_;
  config.dependencies = BuildDependencyList();
  config.accountName = userName_;
  config.displayName = displayName_;
  // The password has no place in the emulated database; it is only wiped.
  auto service = manager->CreateService(serviceName_, config);
  wipe();
  if (!service) return Fail(ServiceFailure::kCreateService, service.error(), failureText, 0);
  if (eventLogIntegration_) {
    std::string messageFile = messageFile_;
    if (messageFile.empty()) {
      messageFile = std::filesystem::path(programPath_).replace_extension("DLL").string();
    }
    const WinError error = platform::RegisterEventSource(*machine_, logName_, sourceName_,
                                                         messageFile, kTypesSupported);
    if (error != platform::kErrorSuccess) {
      return Fail(ServiceFailure::kRegisterSource, error, failureText, 0);
    }
  }
  if (!description_.empty()) {
    const WinError error = service->ChangeDescription(description_);
    if (error != platform::kErrorSuccess) {
      return Fail(ServiceFailure::kSetDescription, error, failureText, 0);
    }
  }
  WriteEvent(platform::EventType::kInformation, kEventServiceInstalled, {displayName_});
  return true;
}

bool CNTService::Uninstall(std::string& failureText, std::uint32_t timeout) {
  auto manager = platform::ServiceControlManager::Open(*machine_, platform::ScmAccess::kConnect);
  if (!manager) {
    return Fail(ServiceFailure::kOpenManager, manager.error(), failureText, 0xC0000006);
  }
  auto service =
      manager->OpenService(serviceName_, platform::kServiceDelete | platform::kServiceStop |
                                             platform::kServiceQueryStatus);
  if (!service) {
    return Fail(ServiceFailure::kOpenService, service.error(), failureText, 0xC0000007);
  }
  auto status = service->QueryStatus();
  if (status && status->currentState != ServiceState::kStopped) {
    auto stopped = service->Control(platform::kServiceControlStop);
    if (!stopped && stopped.error() != platform::kErrorServiceNotActive) {
      return Fail(ServiceFailure::kStopBeforeRemove, stopped.error(), failureText, 0xC000000B);
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      status = service->QueryStatus();
      if (!status || status->currentState == ServiceState::kStopped) break;
      if (timeout != CNTServiceCommandLineInfo::kInfiniteTimeout &&
          std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeout)) {
        return Fail(ServiceFailure::kWaitForState, platform::kErrorTimeout, failureText,
                    0xC000000E);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  if (const WinError error = service->Delete(); error != platform::kErrorSuccess) {
    return Fail(ServiceFailure::kDeleteService, error, failureText, 0xC0000008);
  }
  if (eventLogIntegration_) {
    const WinError error = platform::RemoveEventSource(*machine_, logName_, sourceName_);
    if (error != platform::kErrorSuccess) {
      return Fail(ServiceFailure::kRemoveSource, error, failureText, 0);
    }
  }
  return true;
}

// --- console mode ---

std::uint32_t CNTService::RunInConsole(const std::vector<std::string>& args) {
  static constexpr std::string_view kConsoleSwitches[] = {"DEBUG", "APP", "APPLICATION", "CONSOLE"};
  std::vector<std::string> kept;
  for (const auto& arg : args) {
    const bool marked = !arg.empty() && (arg[0] == '-' || arg[0] == '/');
    const std::string word = marked ? Upper(std::string_view(arg).substr(1)) : std::string();
    if (marked && std::find(std::begin(kConsoleSwitches), std::end(kConsoleSwitches), word) !=
                      std::end(kConsoleSwitches)) {
      continue;
    }
    kept.push_back(arg);
  }
  auto handler = platform::ConsoleControlHandler::Install(
      [this](platform::ConsoleControlEvent event) { return OnConsoleControl(event); });
  // Without a handler (another one owns the signals) the program still runs; Ctrl-C then ends
  // it the ordinary way.
  std::unique_ptr<platform::ConsoleControlHandler> guard;
  if (handler) guard = std::move(handler.value());
  Run(kept);  // a CNTServiceTerminateException passes on with its codes; the guard unwinds
  return 0;
}

bool CNTService::OnConsoleControl(ConsoleControlEvent event) {
  switch (event) {
    case ConsoleControlEvent::kCtrlC:
    case ConsoleControlEvent::kCtrlBreak:
    case ConsoleControlEvent::kClose:
      OnStop();
      return true;
    default:
      return false;
  }
}

void CNTService::ShowHelp() {}

bool CNTService::FindInstances(std::vector<std::string>& serviceNames) {
  serviceNames.clear();
  auto manager = platform::ServiceControlManager::Open(*machine_, platform::ScmAccess::kConnect);
  if (!manager) {
    lastError_ = manager.error();
    return false;
  }
  auto services = manager->EnumServices();
  if (!services) {
    lastError_ = services.error();
    return false;
  }
  const std::string self = Upper(programPath_);
  for (const auto& entry : *services) {
    auto service = manager->OpenService(entry.name, platform::kServiceQueryConfig);
    if (!service) continue;
    auto config = service->QueryConfig();
    if (!config) continue;
    if (Upper(platform::ProgramOfCommandLine(config->imagePath)) == self) {
      serviceNames.push_back(entry.name);
    }
  }
  return true;
}

// --- texts ---

std::string CNTService::MapMessageNumber(ServiceFailure step) {
  for (const auto& entry : kFailureTemplates) {
    if (entry.step == step) return std::string(entry.text);
  }
  return "%1";
}

std::string CNTService::FormatFailureText(ServiceFailure step, WinError error) {
  return Insert(MapMessageNumber(step),
                ErrorText(MapMessageNumber(ServiceFailure::kErrorTemplate), error));
}

std::uint32_t CNTService::MapEventId(ServiceFailure step, ServiceRequest request) {
  switch (step) {
    case ServiceFailure::kOpenManager:
      return 0xC0000006;
    case ServiceFailure::kOpenService:
      return 0xC0000007;
    case ServiceFailure::kDeleteService:
      return 0xC0000008;
    case ServiceFailure::kStartService:
      return 0xC000000A;
    case ServiceFailure::kStopService:
    case ServiceFailure::kStopBeforeRemove:
      return 0xC000000B;
    case ServiceFailure::kContinueService:
      return 0xC000000C;
    case ServiceFailure::kPauseService:
      return 0xC000000D;
    case ServiceFailure::kWaitForState:
      return 0xC000000E;
    case ServiceFailure::kRequestOpenService:
    case ServiceFailure::kQueryStatus:
      return 0xC000000F;
    default:
      break;
  }
  (void)request;
  return 0;
}

std::vector<std::string> CNTService::BuildDependencyList() {
  return dependencies_;
}

// --- helpers ---

bool CNTService::WriteEvent(platform::EventType type, std::uint32_t id,
                            const std::vector<std::string>& strings) {
  if (!eventLogIntegration_) return false;
  std::lock_guard lock(eventLogLock_);
  return platform::ReportEvent(*machine_, type, id, sourceName_, strings) ==
         platform::kErrorSuccess;
}

void CNTService::ShowFailureText(std::string_view text, bool silent) {
  ServiceMessageBox(*machine_, sourceName_, "Error", text, silent);
}

}  // namespace uv::client
