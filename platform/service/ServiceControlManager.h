#pragma once
// The service control manager of one machine root (OpenSCManager, CreateService, OpenService,
// StartService, ControlService, QueryServiceStatus, DeleteService, EnumServicesStatus, the
// database lock).
//
// There is no manager process: every process that opens the manager works on the same files.
// - The services database is the registry of the machine root, one key per service under
//   SYSTEM\CurrentControlSet\Services\<name> with the values Windows keeps there ("ImagePath",
//   "Type", "Start", "ErrorControl", "DisplayName", "Description", "ObjectName",
//   "DependOnService", "Group"); a service deleted while it runs carries "DeleteFlag" = 1 until it
//   stops, and its key goes when it has stopped.
// - Each service's runtime lives under <root>/run/services/ in files named after a hash of the
//   upper-cased service name (names are case-insensitive and may be long):
//   <hash>.status  the last status the service reported, replaced atomically on every report;
//   <hash>.alive   held (flock) by the service process for its life, so a process that died is
//                  seen as stopped by every query, whatever its last report said;
//   <hash>.ctl     the dispatcher's control socket (SOCK_SEQPACKET);
//   <hash>.start   serialises the starts of one service across processes.
// - Starting a service launches its image path as a detached process of this machine root (own
//   session, stdio on /dev/null, USBVANTREL_ROOT set to the root) that inherits one end of a
//   socket pair; its dispatcher (ServiceDispatcher.h) answers on it once its control socket is
//   listening. The start waits for that answer at most "ServicesPipeTimeout" milliseconds
//   (SYSTEM\CurrentControlSet\Control, default 30000) and fails with 1053 after it, or with 1067
//   when the process ends without answering.
//
// Rights: any process may connect, query, enumerate and interrogate; creating, deleting,
// changing, starting, stopping and the other controls need the administrator of the machine root
// (whoever may write its registry database) and fail with kErrorAccessDenied otherwise.
//
// Thread affinity: none; each object is used by one thread at a time. Objects of several threads
// and processes may work on the same service at once.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"

namespace uv::platform {

class Machine;

// The errors of the service control manager, with their Windows values.
inline constexpr WinError kErrorProcessAborted = 1067;
inline constexpr WinError kErrorInvalidServiceControl = 1052;
inline constexpr WinError kErrorServiceRequestTimeout = 1053;
inline constexpr WinError kErrorServiceAlreadyRunning = 1056;
inline constexpr WinError kErrorServiceDisabled = 1058;
inline constexpr WinError kErrorServiceDoesNotExist = 1060;
inline constexpr WinError kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr WinError kErrorServiceNotActive = 1062;
inline constexpr WinError kErrorFailedServiceControllerConnect = 1063;
inline constexpr WinError kErrorExceptionInService = 1064;
inline constexpr WinError kErrorServiceSpecificError = 1066;
inline constexpr WinError kErrorServiceMarkedForDelete = 1072;
inline constexpr WinError kErrorServiceExists = 1073;
inline constexpr WinError kErrorDuplicateServiceName = 1078;

// Service types, start types and error controls of the database.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceWin32ShareProcess = 0x20;
inline constexpr std::uint32_t kServiceInteractiveProcess = 0x100;
inline constexpr std::uint32_t kServiceBootStart = 0;
inline constexpr std::uint32_t kServiceSystemStart = 1;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceDemandStart = 3;
inline constexpr std::uint32_t kServiceDisabled = 4;
inline constexpr std::uint32_t kServiceErrorIgnore = 0;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

enum class ServiceState : std::uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
  kContinuePending = 5,
  kPausePending = 6,
  kPaused = 7,
};

// "STOPPED", "START_PENDING", ... as sc.exe prints them.
std::string_view ServiceStateName(ServiceState state);

// Control codes (SERVICE_CONTROL_*); 128 to 255 are the service's own.
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceControlShutdown = 5;
inline constexpr std::uint32_t kServiceControlParamChange = 6;
inline constexpr std::uint32_t kServiceControlNetBindAdd = 7;
inline constexpr std::uint32_t kServiceControlNetBindRemove = 8;
inline constexpr std::uint32_t kServiceControlNetBindEnable = 9;
inline constexpr std::uint32_t kServiceControlNetBindDisable = 10;
inline constexpr std::uint32_t kServiceControlDeviceEvent = 11;
inline constexpr std::uint32_t kServiceControlHardwareProfileChange = 12;
inline constexpr std::uint32_t kServiceControlPowerEvent = 13;
inline constexpr std::uint32_t kServiceControlUserFirst = 128;
inline constexpr std::uint32_t kServiceControlUserLast = 255;

// Accepted controls (SERVICE_ACCEPT_*).
inline constexpr std::uint32_t kServiceAcceptStop = 0x01;
inline constexpr std::uint32_t kServiceAcceptPauseContinue = 0x02;
inline constexpr std::uint32_t kServiceAcceptShutdown = 0x04;
inline constexpr std::uint32_t kServiceAcceptParamChange = 0x08;
inline constexpr std::uint32_t kServiceAcceptNetBindChange = 0x10;
inline constexpr std::uint32_t kServiceAcceptHardwareProfileChange = 0x20;
inline constexpr std::uint32_t kServiceAcceptPowerEvent = 0x40;

// The most bytes of event data a control carries across processes.
inline constexpr std::size_t kMaxControlData = 4096;

// SERVICE_STATUS plus the process id (SERVICE_STATUS_PROCESS).
struct ServiceStatus {
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  ServiceState currentState = ServiceState::kStopped;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
  std::uint32_t processId = 0;
};

// QUERY_SERVICE_CONFIG, and what CreateService takes.
struct ServiceConfig {
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t startType = kServiceDemandStart;
  std::uint32_t errorControl = kServiceErrorNormal;
  std::string imagePath;  // a command line: the program (in double quotes when it has blanks)
  std::string loadOrderGroup;
  std::vector<std::string> dependencies;
  std::string accountName;  // "ObjectName"; empty means LocalSystem
  std::string displayName;
};

struct ServiceListEntry {
  std::string name;
  std::string displayName;
  ServiceStatus status;
};

// Rights on the manager. kLock and kCreateService (and kAll, which holds both) are the
// administrator's.
enum class ScmAccess { kConnect, kLock, kCreateService, kAll };

// Rights on one service (SERVICE_*), combined with |.
inline constexpr std::uint32_t kServiceQueryConfig = 0x0001;
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;
inline constexpr std::uint32_t kServiceQueryStatus = 0x0004;
inline constexpr std::uint32_t kServiceStart = 0x0010;
inline constexpr std::uint32_t kServiceStop = 0x0020;
inline constexpr std::uint32_t kServicePauseContinue = 0x0040;
inline constexpr std::uint32_t kServiceInterrogate = 0x0080;
inline constexpr std::uint32_t kServiceUserDefinedControl = 0x0100;
inline constexpr std::uint32_t kServiceDelete = 0x10000;
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

class ScmDatabaseLock;
class ServiceHandle;

// An open manager handle (SC_HANDLE). Closing happens on destruction. Move-only.
class ServiceControlManager {
 public:
  // OpenSCManager on the local computer of the given machine root. kErrorAccessDenied when the
  // rights asked for are the administrator's and this process is not.
  static Result<ServiceControlManager> Open(const std::filesystem::path& machineRoot,
                                            ScmAccess access);
  // The same on a machine this process already has open; `machine` must outlive the handle and
  // every service handle opened through it.
  static Result<ServiceControlManager> Open(Machine& machine, ScmAccess access);

  ServiceControlManager(ServiceControlManager&&) noexcept;
  ServiceControlManager& operator=(ServiceControlManager&&) noexcept;
  ServiceControlManager(const ServiceControlManager&) = delete;
  ServiceControlManager& operator=(const ServiceControlManager&) = delete;
  ~ServiceControlManager();

  // LockServiceDatabase. Needs kLock or kAll (else kErrorAccessDenied). The lock is released
  // when the returned object is destroyed (UnlockServiceDatabase). While it is held, starts fail
  // with kErrorServiceDatabaseLocked.
  Result<ScmDatabaseLock> LockDatabase() const;

  // CreateService. Names: 1 to 256 characters, none of "/" or "\" (kErrorInvalidName); an
  // existing name gives kErrorServiceExists, one marked for delete kErrorServiceMarkedForDelete,
  // a display name another service uses kErrorDuplicateServiceName; an empty image path
  // kErrorInvalidParameter. Needs kCreateService or kAll. The display name defaults to the name.
  Result<ServiceHandle> CreateService(std::string_view name, const ServiceConfig& config,
                                      std::uint32_t access = kServiceAllAccess) const;
  // OpenService: kErrorServiceDoesNotExist (1060) when no such service is installed.
  Result<ServiceHandle> OpenService(std::string_view name,
                                    std::uint32_t access = kServiceAllAccess) const;
  // EnumServicesStatus over every Win32 service, in the order they were created.
  Result<std::vector<ServiceListEntry>> EnumServices() const;

  Machine& machine() const { return *machine_; }

 private:
  ServiceControlManager(std::unique_ptr<Machine> owned, Machine* machine, ScmAccess access);
  std::unique_ptr<Machine> owned_;  // when opened by path
  Machine* machine_ = nullptr;
  ScmAccess access_ = ScmAccess::kConnect;
};

// An open service (SC_HANDLE of OpenService/CreateService). Move-only; the service itself is not
// affected by closing it.
class ServiceHandle {
 public:
  ServiceHandle(ServiceHandle&&) noexcept = default;
  ServiceHandle& operator=(ServiceHandle&&) noexcept = default;
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  ~ServiceHandle() = default;

  // The name as stored in the database.
  const std::string& Name() const { return name_; }

  // QueryServiceStatusEx. A service whose process has ended is stopped, with win32ExitCode
  // kErrorProcessAborted when it never reported stopped itself.
  Result<ServiceStatus> QueryStatus() const;
  // QueryServiceConfig. A value of the wrong type gives kErrorInvalidData; a deleted service
  // kErrorServiceDoesNotExist.
  Result<ServiceConfig> QueryConfig() const;
  // QueryServiceConfig2 / ChangeServiceConfig2 (SERVICE_CONFIG_DESCRIPTION). An empty text
  // removes the description.
  Result<std::string> QueryDescription() const;
  [[nodiscard]] WinError ChangeDescription(std::string_view description);

  // StartService. kErrorServiceAlreadyRunning when it is not stopped, kErrorServiceDisabled for
  // start type 4, kErrorServiceMarkedForDelete, kErrorServiceDatabaseLocked while the database
  // is locked, kErrorFileNotFound / kErrorAccessDenied when the image path names no program that
  // can be run, kErrorServiceRequestTimeout or kErrorProcessAborted (see above). On success the
  // service is at least start pending. The arguments reach ServiceMain after the service name.
  [[nodiscard]] WinError Start(const std::vector<std::string>& arguments = {});

  // ControlService: sends the control and gives the status after the handler ran.
  // kErrorServiceNotActive when the service is not running, kErrorInvalidServiceControl for a
  // code it does not accept (or that does not exist), kErrorServiceCannotAcceptCtrl while it is
  // in a pending state, kErrorServiceRequestTimeout when its handler does not return within the
  // pipe timeout. Interrogate and the codes 128 to 255 are always accepted by a running service.
  Result<ServiceStatus> Control(std::uint32_t control, std::uint32_t eventType = 0,
                                std::span<const std::uint8_t> eventData = {});

  // DeleteService: a stopped service goes at once; a running one is marked and goes when it
  // stops. A second delete gives kErrorServiceMarkedForDelete.
  [[nodiscard]] WinError Delete();

 private:
  friend class ServiceControlManager;
  ServiceHandle(Machine* machine, std::string name, std::uint32_t access)
      : machine_(machine), name_(std::move(name)), access_(access) {}
  Machine* machine_;
  std::string name_;
  std::uint32_t access_;
};

class ScmDatabaseLock {
 public:
  ScmDatabaseLock(ScmDatabaseLock&&) noexcept;
  ScmDatabaseLock& operator=(ScmDatabaseLock&&) noexcept;
  ScmDatabaseLock(const ScmDatabaseLock&) = delete;
  ScmDatabaseLock& operator=(const ScmDatabaseLock&) = delete;
  ~ScmDatabaseLock();

 private:
  friend class ServiceControlManager;
  explicit ScmDatabaseLock(int descriptor) : descriptor_(descriptor) {}
  int descriptor_ = -1;
};

// True when this process may administer the machine root (see above).
bool MayAdministerMachine(const std::filesystem::path& machineRoot);

// The check that the console and the journal viewer make at start: open with kLock, lock and
// release at once. Success or kErrorServiceDatabaseLocked mean administrator; kErrorAccessDenied,
// any other error, or a failed open mean not. *lockError receives the lock's error (0 when the
// lock succeeded or the open failed), for the trace " Error ID = %d".
bool IsAdministrator(const std::filesystem::path& machineRoot, WinError* lockError = nullptr);

// The services key of the database, "SYSTEM\CurrentControlSet\Services".
inline constexpr std::string_view kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// The system's text for an error code (FormatMessage with FORMAT_MESSAGE_FROM_SYSTEM), without a
// final line break; codes it does not know give "Unknown error <code>.".
std::string SystemMessageText(WinError error);

}  // namespace uv::platform
