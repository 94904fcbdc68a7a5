#pragma once
// The service host framework: turns a program into a service of its machine root that can
// install, remove, start, stop, pause and continue itself from its command line, or run in the
// foreground for debugging.
//
// A program derives from CNTService, overrides Run (and the control operations it cares about),
// parses its command line into a CNTServiceCommandLineInfo and calls CarryOutCommand:
//
//   CNTServiceCommandLineInfo info;
//   service.ParseArguments(args, info);
//   return service.CarryOutCommand(info);
//
// Run as a service (the manager started the process), CarryOutCommand runs the dispatcher: it
// returns when the service has stopped. ServiceMain then runs on a thread of its own and
// HandleControl on the dispatcher's (the main) thread. In console mode Run is called directly on
// the calling thread and Ctrl-C, Ctrl-Break (SIGQUIT), closing the terminal (SIGHUP) and SIGTERM
// call OnStop on a thread of the framework's.
//
// Thread affinity: construct, parse and carry out on the main thread. ReportStatus, SetStatus
// and WriteEvent may be called from any thread (status reports share one lock, event writes
// another).

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/service/CNTServiceCommandLineInfo.h"
#include "client/service/CNTServiceTerminateException.h"
#include "platform/common/WinError.h"
#include "platform/eventlog/EventLog.h"
#include "platform/service/ConsoleControl.h"
#include "platform/service/ServiceControlManager.h"

namespace uv::platform {
class Machine;
class ServiceDispatcher;
}  // namespace uv::platform

namespace uv::client {

// The information events the framework writes (with the display name as their one string), and
// the identifier of the failure events.
inline constexpr std::uint32_t kEventServiceStarted = 0x40000001;
inline constexpr std::uint32_t kEventServiceInstalled = 0x40000002;
inline constexpr std::uint32_t kEventServiceStopped = 0x40000003;
inline constexpr std::uint32_t kEventServicePaused = 0x40000004;
inline constexpr std::uint32_t kEventServiceContinued = 0x40000005;
inline constexpr std::uint32_t kEventServiceShutdown = 0x40000009;
inline constexpr std::uint32_t kEventUserControl = 0x40000011;

// The failing steps of install, remove and the requests: each is a failure text number and,
// where the failure is also logged, an error event identifier (MapEventId).
enum class ServiceFailure : std::uint32_t {
  kOpenManager = 1,          // 0xC0000006
  kOpenService = 2,          // 0xC0000007 (remove), 0xC000000F (requests)
  kDeleteService = 3,        // 0xC0000008
  kStartService = 4,         // 0xC000000A
  kStopService = 5,          // 0xC000000B
  kContinueService = 6,      // 0xC000000C
  kPauseService = 7,         // 0xC000000D
  kWaitForState = 8,         // 0xC000000E
  kLockDatabase = 9,         // install only
  kCreateService = 10,       // install only
  kRegisterSource = 11,      // install only
  kSetDescription = 12,      // install only
  kQueryStatus = 13,         // 0xC000000F
  kStopBeforeRemove = 14,    // 0xC000000B
  kErrorTemplate = 15,       // "Error %d: %s", the insertion of every step's text
  kRemoveSource = 16,        // remove only
  kRequestOpenService = 17,  // 0xC000000F
  kDispatcher = 18,          // the dispatcher did not start
};

// The console-control events of console mode (CTRL_*_EVENT).
using ConsoleControlEvent = platform::ConsoleControlEvent;

// The requests SendServiceRequest carries out.
enum class ServiceRequest { kStart, kPause, kContinue, kStop };

class CNTService {
 public:
  // serviceName: at most 256 characters; displayName: also the event source; controlsAccepted:
  // the SERVICE_ACCEPT_* bits the derived class handles. The machine defaults to the process's
  // own (Machine::Current()) and must outlive the service object.
  CNTService(std::string serviceName, std::string displayName, std::uint32_t controlsAccepted,
             std::string description = {}, platform::Machine* machine = nullptr);
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  // --- the virtual operations, in slot order ---
  virtual ~CNTService();

  // The profile store: SYSTEM\CurrentControlSet\Services\<name>\Parameters\<section>. Writing
  // without a value deletes the value, writing without an entry deletes the section. False when
  // the registry refuses (the reason is in LastError()).
  virtual bool WriteProfileText(std::string_view section, std::optional<std::string_view> entry,
                                std::optional<std::string_view> value);
  virtual bool WriteProfileNumber(std::string_view section, std::optional<std::string_view> entry,
                                  std::optional<std::uint32_t> value);
  virtual bool WriteProfileTextList(std::string_view section, std::optional<std::string_view> entry,
                                    const std::optional<std::vector<std::string>>& value);
  virtual bool WriteProfileBytes(std::string_view section, std::optional<std::string_view> entry,
                                 std::optional<std::span<const std::uint8_t>> value);
  // Reads give the default (or nothing) when the section, the entry or the type is missing.
  virtual std::string GetProfileText(std::string_view section, std::string_view entry,
                                     std::string_view defaultValue = {});
  virtual std::uint32_t GetProfileNumber(std::string_view section, std::string_view entry,
                                         std::uint32_t defaultValue = 0);
  virtual std::optional<std::vector<std::string>> GetProfileTextList(std::string_view section,
                                                                     std::string_view entry);
  virtual std::optional<std::vector<std::uint8_t>> GetProfileBytes(std::string_view section,
                                                                   std::string_view entry);

  // Fills info from the command line (args[0] is the program).
  virtual void ParseArguments(const std::vector<std::string>& args,
                              CNTServiceCommandLineInfo& info);
  // Carries out the parsed action; the result is the process's exit code (0 on success, else a
  // Windows error code).
  virtual std::uint32_t CarryOutCommand(CNTServiceCommandLineInfo& info);

  // ReportStatus: -1 leaves the checkpoint, wait hint and accepted controls as they are.
  virtual bool ReportStatus(platform::ServiceState state, std::uint32_t checkPoint = 0xFFFFFFFF,
                            std::uint32_t waitHint = 0xFFFFFFFF,
                            std::uint32_t controlsAccepted = 0xFFFFFFFF);
  virtual bool ReportCurrentStatus();
  virtual bool RegisterControlHandler();
  // Dispatches one control to the operation for it, then reports the current status again.
  virtual std::uint32_t HandleControl(std::uint32_t control, std::uint32_t eventType,
                                      std::span<const std::uint8_t> eventData);

  // The service's work; returns when the service is to stop.
  virtual void Run(const std::vector<std::string>& args);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnInterrogate();
  virtual void OnShutdown();
  virtual void OnParamChange();
  virtual std::uint32_t OnHardwareProfileChange(std::uint32_t eventType,
                                                std::span<const std::uint8_t> eventData);
  virtual std::uint32_t OnPowerEvent(std::uint32_t eventType,
                                     std::span<const std::uint8_t> eventData);
  virtual void OnNetBindAdd();
  virtual void OnNetBindRemove();
  virtual void OnNetBindEnable();
  virtual void OnNetBindDisable();
  virtual std::uint32_t OnDeviceEvent(std::uint32_t eventType,
                                      std::span<const std::uint8_t> eventData);
  // Codes 128 to 255 (and any other code the table does not name).
  virtual void OnUserControl(std::uint32_t control);

  // StartServiceCtrlDispatcher; false when it could not start (LastError() says why).
  virtual bool RunDispatcher();
  // Sends a request to the installed service and waits (timeout in ms, kInfiniteTimeout = no
  // limit) until it reaches the target state, polling every pollInterval ms.
  virtual bool SendServiceRequest(ServiceRequest request, std::uint32_t timeout,
                                  std::uint32_t pollInterval, std::string& failureText);
  virtual bool Install(std::string& failureText);
  virtual bool Uninstall(std::string& failureText, std::uint32_t timeout = 5000);
  virtual std::uint32_t RunInConsole(const std::vector<std::string>& args);
  // Help: does nothing in this framework's programs.
  virtual void ShowHelp();
  // The installed services whose image path names this program (compared in upper case).
  virtual bool FindInstances(std::vector<std::string>& serviceNames);
  // Called by the dispatcher on a thread of its own.
  virtual void ServiceMain(const std::vector<std::string>& args);
  // The failure text of a step: its template filled with the error template, which carries the
  // code in decimal and the system's text for it.
  virtual std::string FormatFailureText(ServiceFailure step, platform::WinError error);
  // The template of a failure text number.
  virtual std::string MapMessageNumber(ServiceFailure step);
  // The error event identifier of a failing step of a request or the removal (0: not logged).
  virtual std::uint32_t MapEventId(ServiceFailure step, ServiceRequest request);
  virtual bool SetStatus(platform::ServiceState state, std::uint32_t checkPoint,
                         std::uint32_t waitHint, std::uint32_t controlsAccepted);
  // The dependencies as the database keeps them.
  virtual std::vector<std::string> BuildDependencyList();
  // Console mode: true when the event was handled (Ctrl-C, Ctrl-Break and close call OnStop).
  virtual bool OnConsoleControl(ConsoleControlEvent event);

  // --- helpers for derived classes and programs ---

  // Writes one event under the writer's lock with this service's source name. Nothing is written
  // when event-log integration is off.
  bool WriteEvent(platform::EventType type, std::uint32_t id,
                  const std::vector<std::string>& strings = {});
  // Shows a failure text as the program's message box would (see ServiceMessageBox.h), unless
  // silent.
  void ShowFailureText(std::string_view text, bool silent);

  const std::string& ServiceName() const { return serviceName_; }
  const std::string& DisplayName() const { return displayName_; }
  const std::string& Description() const { return description_; }
  const std::string& EventSourceName() const { return sourceName_; }
  platform::ServiceState CurrentState() const;
  std::uint32_t ControlsAccepted() const;
  platform::Machine& machine() const { return *machine_; }
  platform::WinError LastError() const { return lastError_; }
  // The image path Install used (or would use).
  const std::string& InstalledImagePath() const { return imagePath_; }
  // The program's own path; defaults to /proc/self/exe. Tests point it elsewhere.
  void SetProgramPath(std::string path) { programPath_ = std::move(path); }
  const std::string& ProgramPath() const { return programPath_; }

 protected:
  // Fields in the order the framework's design gives them.
  std::uint32_t serviceType_ = platform::kServiceWin32OwnProcess;
  std::uint32_t startType_ = platform::kServiceAutoStart;
  std::uint32_t errorControl_ = platform::kServiceErrorIgnore;
  std::string loadOrderGroup_;
  std::string userName_;
  std::string password_;  // wiped with zeros right after use
  std::string serviceCommandLine_;
  std::vector<std::string> dependencies_;
  platform::ServiceDispatcher* statusHandle_ = nullptr;  // guarded by statusLock_
  std::uint32_t controlsAccepted_;                       // guarded by statusLock_
  std::uint32_t checkPoint_ = 0;                         // guarded by statusLock_
  std::uint32_t waitHint_ = 0;                           // guarded by statusLock_
  platform::ServiceState currentState_ = platform::ServiceState::kStopped;  // statusLock_
  std::uint32_t win32ExitCode_ = 0;                                         // statusLock_
  std::uint32_t serviceSpecificExitCode_ = 0;                               // statusLock_
  std::string serviceName_;
  std::string displayName_;
  std::string description_;
  std::string machineName_;  // the event log's computer: empty = local
  std::string logName_ = "Application";
  std::string sourceName_;
  std::mutex eventLogLock_;  // serialises event writes
  bool eventLogIntegration_ = true;
  std::string messageFile_;  // empty: the program's path with its extension replaced by "DLL"
  bool allowCommandLine_ = false;
  bool allowNameChange_ = false;
  bool allowDescriptionChange_ = false;
  bool allowDisplayNameChange_ = false;
  std::string imagePath_;
  mutable std::recursive_mutex statusLock_;  // status reports and the handler's registration

 private:
  platform::Machine* machine_;
  platform::ServiceDispatcher* dispatcher_ = nullptr;  // while RunDispatcher runs; statusLock_
  std::string programPath_;
  platform::WinError lastError_ = platform::kErrorSuccess;
  std::vector<std::string> serviceArguments_;

  bool Fail(ServiceFailure step, platform::WinError error, std::string& failureText,
            std::uint32_t eventId);
};

}  // namespace uv::client
