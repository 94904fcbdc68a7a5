#include "platform/service/ServiceControlManager.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/UniqueFd.h"
#include "platform/process/ProcessLauncher.h"
#include "platform/registry/Registry.h"
#include "platform/service/ServiceRuntime.h"

extern char** environ;

namespace uv::platform {

namespace rt = service_runtime;

namespace {

constexpr const char* kLockFileName = "ServicesActive.lock";

bool NeedsAdministrator(ScmAccess access) {
  return access != ScmAccess::kConnect;
}

}  // namespace

bool MayAdministerMachine(const std::filesystem::path& machineRoot) {
  std::error_code ec;
  const auto database = machineRoot / "registry.db";
  if (std::filesystem::exists(database, ec)) return ::access(database.c_str(), W_OK) == 0;
  // No registry yet: whoever may create it there is its administrator. Walk up to the nearest
  // existing directory, since the root itself may not exist yet.
  auto dir = machineRoot;
  while (!dir.empty() && !std::filesystem::exists(dir, ec)) {
    auto parent = dir.parent_path();
    if (parent == dir) break;
    dir = parent;
  }
  return !dir.empty() && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

Result<ServiceControlManager> ServiceControlManager::Open(const std::filesystem::path& machineRoot,
                                                          ScmAccess access) {
  if (NeedsAdministrator(access) && !MayAdministerMachine(machineRoot)) {
    return Result<ServiceControlManager>::Failure(kErrorAccessDenied);
  }
  auto owned = std::make_unique<Machine>(machineRoot);
  Machine* machine = owned.get();
  return ServiceControlManager(std::move(owned), machine, access);
}

Result<ServiceControlManager> ServiceControlManager::Open(Machine& machine, ScmAccess access) {
  if (NeedsAdministrator(access) && !MayAdministerMachine(machine.Root())) {
    return Result<ServiceControlManager>::Failure(kErrorAccessDenied);
  }
  return ServiceControlManager(nullptr, &machine, access);
}

ServiceControlManager::ServiceControlManager(std::unique_ptr<Machine> owned, Machine* machine,
                                             ScmAccess access)
    : owned_(std::move(owned)), machine_(machine), access_(access) {}
ServiceControlManager::ServiceControlManager(ServiceControlManager&&) noexcept = default;
ServiceControlManager& ServiceControlManager::operator=(ServiceControlManager&&) noexcept = default;
ServiceControlManager::~ServiceControlManager() = default;

Result<ScmDatabaseLock> ServiceControlManager::LockDatabase() const {
  if (access_ != ScmAccess::kLock && access_ != ScmAccess::kAll) {
    return Result<ScmDatabaseLock>::Failure(kErrorAccessDenied);
  }
  std::error_code ec;
  const auto run = machine_->Root() / "run";
  std::filesystem::create_directories(run, ec);
  const auto file = run / kLockFileName;
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return Result<ScmDatabaseLock>::Failure(errno == EACCES || errno == EPERM ? kErrorAccessDenied
                                                                              : kErrorPathNotFound);
  }
  ScmDatabaseLock lock(fd);  // owns fd from here on
  // flock locks belong to the open file description, so a second lock object of this process
  // conflicts with the first just as another process does.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return Result<ScmDatabaseLock>::Failure(errno == EWOULDBLOCK ? kErrorServiceDatabaseLocked
                                                                 : kErrorAccessDenied);
  }
  return lock;
}

ScmDatabaseLock::ScmDatabaseLock(ScmDatabaseLock&& other) noexcept
    : descriptor_(other.descriptor_) {
  other.descriptor_ = -1;
}

ScmDatabaseLock& ScmDatabaseLock::operator=(ScmDatabaseLock&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
  }
  return *this;
}

ScmDatabaseLock::~ScmDatabaseLock() {
  // Closing the descriptor releases the flock.
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool IsAdministrator(const std::filesystem::path& machineRoot, WinError* lockError) {
  if (lockError != nullptr) *lockError = kErrorSuccess;
  auto manager = ServiceControlManager::Open(machineRoot, ScmAccess::kLock);
  if (!manager) return false;
  auto lock = manager->LockDatabase();
  if (lock) return true;  // released at once when `lock` goes out of scope
  if (lockError != nullptr) *lockError = lock.error();
  return lock.error() == kErrorServiceDatabaseLocked;
}

// --- the services database ---

namespace {

constexpr std::uint32_t kReadRights =
    kServiceQueryConfig | kServiceQueryStatus | kServiceInterrogate | 0x0008 | 0x20000;
constexpr WinError kErrorServiceNotInExe = 1083;

std::string ServiceKeyPath(std::string_view name) {
  return std::string(kServicesKey) + "\\" + std::string(name);
}

bool IsValidServiceName(std::string_view name) {
  return !name.empty() && name.size() <= 256 && name.find_first_of("/\\") == std::string::npos &&
         name.find('\0') == std::string::npos;
}

Result<Registry*> OpenDatabase(Machine& machine) {
  return machine.OpenRegistry();
}

bool DeleteFlagged(const RegKey& key) {
  return key.QueryDword("DeleteFlag").value_or(0) != 0;
}

bool IsServiceKey(const RegKey& key) {
  return key.QueryValue("ImagePath").ok() || key.QueryValue("Type").ok();
}

// Removes what is left of a deleted service once it has stopped: its key and its status.
void RemoveDeletedService(Machine& machine, Registry& registry, const std::string& name) {
  auto services = RegKey::Open(registry, kServicesKey, RegAccess::kWrite);
  if (services) (void)services->DeleteTree(name);
  std::error_code ec;
  std::filesystem::remove(rt::RuntimeFile(machine, name, ".status"), ec);
}

// The last component of a key's path: the name with the case it was created with.
std::string StoredName(const RegKey& key) {
  const std::string& path = key.Path();
  const auto slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Splits an image path as a command line: blanks separate arguments, double quotes group (and
// are removed), \" is a literal quote. No shell sees it, so "$" or ";" in it stay plain bytes.
std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  std::string current;
  bool inQuotes = false;
  bool have = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
      current += '"';
      have = true;
      ++i;
    } else if (c == '"') {
      inQuotes = !inQuotes;
      have = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (have) args.push_back(std::move(current));
      current.clear();
      have = false;
    } else {
      current += c;
      have = true;
    }
  }
  if (have) args.push_back(std::move(current));
  return args;
}

// Starts argv as a detached process (own session, stdio on /dev/null, default signals) with
// `controller` as descriptor 3, and gives its pid. It is started as a grandchild whose parent
// exits at once, so it never stays our zombie.
Result<std::int32_t> LaunchDetached(const std::vector<std::string>& argv,
                                    const std::vector<std::string>& environment, int controller) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Result<std::int32_t>::Failure(kErrorNotEnoughMemory);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  struct Message {
    char tag;  // 'P' pid, 'E' errno of a failed step
    std::int32_t value;
  };
  const pid_t middle = ::fork();
  if (middle < 0) return Result<std::int32_t>::Failure(kErrorNotEnoughMemory);
  if (middle == 0) {
    const pid_t program = ::fork();
    if (program < 0) {
      Message m{'E', errno};
      (void)!::write(writeEnd.get(), &m, sizeof m);
      ::_exit(127);
    }
    if (program == 0) {
      // Only system calls from here: the parent may have other threads.
      const int status = ::fcntl(writeEnd.get(), F_DUPFD_CLOEXEC, 10);
      const int control = ::fcntl(controller, F_DUPFD, 10);
      auto fail = [&](int error) {
        Message m{'E', error};
        (void)!::write(status, &m, sizeof m);
        ::_exit(127);
      };
      if (status < 0 || control < 0) fail(errno);
      (void)::setsid();
      const int null = ::open("/dev/null", O_RDWR);
      if (null < 0) fail(errno);
      for (int target = 0; target <= 2; ++target) {
        if (::dup2(null, target) < 0) fail(errno);
      }
      if (::dup2(control, rt::kControllerDescriptor) < 0) fail(errno);
      sigset_t none;
      sigemptyset(&none);
      (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) (void)::sigaction(sig, &dfl, nullptr);
      }
      ::execve(args[0], args.data(), envp.data());
      fail(errno);
    }
    Message m{'P', program};
    (void)!::write(writeEnd.get(), &m, sizeof m);
    ::_exit(0);
  }
  writeEnd.Reset();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  std::int32_t pid = 0;
  int failure = 0;
  for (;;) {
    Message m{};
    const ssize_t n = ::read(readEnd.get(), &m, sizeof m);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof m)) break;
    if (m.tag == 'P') pid = m.value;
    if (m.tag == 'E') failure = m.value;
  }
  if (failure != 0 || pid <= 0) {
    return Result<std::int32_t>::Failure(
        failure == ENOENT || failure == ENOTDIR   ? kErrorFileNotFound
        : failure == EACCES || failure == ENOEXEC ? kErrorAccessDenied
                                                  : kErrorNotEnoughMemory);
  }
  return pid;
}

// The environment of a started service: ours, with the machine root and the controller set.
std::vector<std::string> ServiceEnvironment(Machine& machine, std::string_view name) {
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("USBVANTREL_ROOT=") ||
        entry.starts_with(std::string(rt::kControllerVariable) + "=")) {
      continue;
    }
    environment.emplace_back(entry);
  }
  std::error_code ec;
  auto root = std::filesystem::absolute(machine.Root(), ec);
  if (ec) root = machine.Root();
  environment.push_back("USBVANTREL_ROOT=" + root.string());
  environment.push_back(std::string(rt::kControllerVariable) + "=" +
                        std::to_string(rt::kControllerDescriptor) + ":" + std::string(name));
  return environment;
}

bool DatabaseLocked(Machine& machine) {
  const auto file = machine.Root() / "run" / kLockFileName;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;
  return errno == EWOULDBLOCK;
}

}  // namespace

Result<ServiceHandle> ServiceControlManager::CreateService(std::string_view name,
                                                           const ServiceConfig& config,
                                                           std::uint32_t access) const {
  using R = Result<ServiceHandle>;
  if (access_ != ScmAccess::kCreateService && access_ != ScmAccess::kAll) {
    return R::Failure(kErrorAccessDenied);
  }
  if (!IsValidServiceName(name)) return R::Failure(kErrorInvalidName);
  if (config.imagePath.find_first_not_of(" \t") == std::string::npos ||
      config.imagePath.find('\0') != std::string::npos) {
    return R::Failure(kErrorInvalidParameter);
  }
  const std::string displayName =
      config.displayName.empty() ? std::string(name) : config.displayName;
  if (displayName.size() > 256) return R::Failure(kErrorInvalidName);
  auto registry = OpenDatabase(*machine_);
  if (!registry) return R::Failure(registry.error());
  if (auto existing = RegKey::Open(**registry, ServiceKeyPath(name)); existing) {
    if (!DeleteFlagged(*existing)) return R::Failure(kErrorServiceExists);
    if (rt::ReadStatus(*machine_, name).currentState != ServiceState::kStopped) {
      return R::Failure(kErrorServiceMarkedForDelete);
    }
    RemoveDeletedService(*machine_, **registry, StoredName(*existing));
  }
  auto others = EnumServices();
  if (others) {
    for (const auto& other : *others) {
      // Another manager created this very name since the check above: the name exists, it is
      // not a clash of display names.
      if (rt::SameServiceName(other.name, name)) return R::Failure(kErrorServiceExists);
      if (rt::SameServiceName(other.displayName, displayName) ||
          rt::SameServiceName(other.name, displayName) ||
          rt::SameServiceName(other.displayName, name)) {
        return R::Failure(kErrorDuplicateServiceName);
      }
    }
  }
  bool created = false;
  auto key = RegKey::Create(**registry, ServiceKeyPath(name), RegAccess::kAll, &created);
  if (!key) return R::Failure(key.error());
  // Two managers creating the same name at once: the registry makes one of them the creator.
  if (!created) return R::Failure(kErrorServiceExists);
  WinError e = key->SetDword("Type", config.serviceType);
  if (e == kErrorSuccess) e = key->SetDword("Start", config.startType);
  if (e == kErrorSuccess) e = key->SetDword("ErrorControl", config.errorControl);
  if (e == kErrorSuccess) e = key->SetString("ImagePath", config.imagePath, RegType::kExpandSz);
  if (e == kErrorSuccess) e = key->SetString("DisplayName", displayName);
  if (e == kErrorSuccess) {
    e = key->SetString("ObjectName",
                       config.accountName.empty() ? "LocalSystem" : config.accountName);
  }
  if (e == kErrorSuccess && !config.loadOrderGroup.empty()) {
    e = key->SetString("Group", config.loadOrderGroup);
  }
  if (e == kErrorSuccess && !config.dependencies.empty()) {
    e = key->SetMultiString("DependOnService", config.dependencies);
  }
  if (e != kErrorSuccess) {
    // A half-written service would start with nonsense; take it away again.
    auto services = RegKey::Open(**registry, kServicesKey, RegAccess::kWrite);
    if (services) (void)services->DeleteTree(name);
    return R::Failure(e);
  }
  // A status left behind by an earlier service of this name must not be read as this one's.
  std::error_code ec;
  std::filesystem::remove(rt::RuntimeFile(*machine_, name, ".status"), ec);
  return ServiceHandle(machine_, std::string(name), access);
}

Result<ServiceHandle> ServiceControlManager::OpenService(std::string_view name,
                                                         std::uint32_t access) const {
  using R = Result<ServiceHandle>;
  if (!IsValidServiceName(name)) return R::Failure(kErrorServiceDoesNotExist);
  if ((access & ~kReadRights) != 0 && !MayAdministerMachine(machine_->Root())) {
    return R::Failure(kErrorAccessDenied);
  }
  auto registry = OpenDatabase(*machine_);
  if (!registry) return R::Failure(registry.error());
  auto key = RegKey::Open(**registry, ServiceKeyPath(name));
  if (!key || !IsServiceKey(*key)) return R::Failure(kErrorServiceDoesNotExist);
  std::string stored = StoredName(*key);
  if (DeleteFlagged(*key) &&
      rt::ReadStatus(*machine_, stored).currentState == ServiceState::kStopped) {
    if (MayAdministerMachine(machine_->Root())) RemoveDeletedService(*machine_, **registry, stored);
    return R::Failure(kErrorServiceDoesNotExist);
  }
  return ServiceHandle(machine_, std::move(stored), access);
}

Result<std::vector<ServiceListEntry>> ServiceControlManager::EnumServices() const {
  using R = Result<std::vector<ServiceListEntry>>;
  auto registry = OpenDatabase(*machine_);
  if (!registry) return R::Failure(registry.error());
  std::vector<ServiceListEntry> list;
  auto services = RegKey::Open(**registry, kServicesKey);
  if (!services) {
    if (services.error() == kErrorFileNotFound) return list;
    return R::Failure(services.error());
  }
  auto names = services->EnumKeys();
  if (!names) return R::Failure(names.error());
  for (const auto& name : *names) {
    auto key = services->OpenSubKey(name);
    if (!key) continue;
    auto type = key->QueryDword("Type");
    if (!type || (*type & (kServiceWin32OwnProcess | kServiceWin32ShareProcess)) == 0) continue;
    ServiceListEntry entry;
    entry.name = name;
    entry.displayName = key->QueryString("DisplayName").value_or(name);
    entry.status = rt::ReadStatus(*machine_, name);
    if (DeleteFlagged(*key) && entry.status.currentState == ServiceState::kStopped) continue;
    list.push_back(std::move(entry));
  }
  return list;
}

// --- one service ---

Result<ServiceStatus> ServiceHandle::QueryStatus() const {
  if ((access_ & kServiceQueryStatus) == 0) {
    return Result<ServiceStatus>::Failure(kErrorAccessDenied);
  }
  return rt::ReadStatus(*machine_, name_);
}

Result<ServiceConfig> ServiceHandle::QueryConfig() const {
  using R = Result<ServiceConfig>;
  if ((access_ & kServiceQueryConfig) == 0) return R::Failure(kErrorAccessDenied);
  auto registry = OpenDatabase(*machine_);
  if (!registry) return R::Failure(registry.error());
  auto key = RegKey::Open(**registry, ServiceKeyPath(name_));
  if (!key) return R::Failure(kErrorServiceDoesNotExist);
  ServiceConfig config;
  // A value of the wrong type (edited by hand) is reported, not guessed at.
  for (auto [value, field] :
       {std::pair{"Type", &config.serviceType}, std::pair{"Start", &config.startType},
        std::pair{"ErrorControl", &config.errorControl}}) {
    auto number = key->QueryDword(value);
    if (number) {
      *field = *number;
    } else if (number.error() != kErrorFileNotFound) {
      return R::Failure(kErrorInvalidData);
    }
  }
  auto text = [&](const char* value, std::string* field) {
    auto read = key->QueryString(value);
    if (read) *field = std::move(read.value());
    return read.ok() || read.error() == kErrorFileNotFound;
  };
  if (!text("ImagePath", &config.imagePath) || !text("Group", &config.loadOrderGroup) ||
      !text("ObjectName", &config.accountName) || !text("DisplayName", &config.displayName)) {
    return R::Failure(kErrorInvalidData);
  }
  if (config.displayName.empty()) config.displayName = name_;
  if (auto deps = key->QueryMultiString("DependOnService"); deps) {
    config.dependencies = std::move(deps.value());
  }
  return config;
}

Result<std::string> ServiceHandle::QueryDescription() const {
  using R = Result<std::string>;
  if ((access_ & kServiceQueryConfig) == 0) return R::Failure(kErrorAccessDenied);
  auto registry = OpenDatabase(*machine_);
  if (!registry) return R::Failure(registry.error());
  auto key = RegKey::Open(**registry, ServiceKeyPath(name_));
  if (!key) return R::Failure(kErrorServiceDoesNotExist);
  auto text = key->QueryString("Description");
  if (!text) {
    if (text.error() == kErrorFileNotFound) return std::string();
    return R::Failure(text.error());
  }
  return std::move(text.value());
}

WinError ServiceHandle::ChangeDescription(std::string_view description) {
  if ((access_ & kServiceChangeConfig) == 0) return kErrorAccessDenied;
  auto registry = OpenDatabase(*machine_);
  if (!registry) return registry.error();
  auto key = RegKey::Open(**registry, ServiceKeyPath(name_), RegAccess::kWrite);
  if (!key) return key.error() == kErrorFileNotFound ? kErrorServiceDoesNotExist : key.error();
  if (description.empty()) {
    const WinError e = key->DeleteValue("Description");
    return e == kErrorFileNotFound ? kErrorSuccess : e;
  }
  return key->SetString("Description", description);
}

WinError ServiceHandle::Start(const std::vector<std::string>& arguments) {
  if ((access_ & kServiceStart) == 0) return kErrorAccessDenied;
  auto registry = OpenDatabase(*machine_);
  if (!registry) return registry.error();
  auto key = RegKey::Open(**registry, ServiceKeyPath(name_));
  if (!key) return kErrorServiceDoesNotExist;
  if (DeleteFlagged(*key)) return kErrorServiceMarkedForDelete;
  // Only "disabled" matters to a start on demand; a start type of another type is not read as
  // disabled.
  if (key->QueryDword("Start").value_or(kServiceDemandStart) == kServiceDisabled) {
    return kErrorServiceDisabled;
  }
  auto imagePath = key->QueryString("ImagePath");
  if (!imagePath)
    return imagePath.error() == kErrorFileNotFound ? kErrorFileNotFound : kErrorInvalidData;
  for (const auto& argument : arguments) {
    if (argument.find('\0') != std::string::npos) return kErrorInvalidParameter;
  }
  if (DatabaseLocked(*machine_)) return kErrorServiceDatabaseLocked;

  // One start of a service at a time, across processes; the second finds it running.
  const auto startFile = rt::RuntimeFile(*machine_, name_, ".start");
  UniqueFd startLock(::open(startFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!startLock) return ErrnoToWinError(errno, kErrorAccessDenied);
  while (::flock(startLock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return kErrorAccessDenied;
  }
  if (rt::ReadStatus(*machine_, name_).currentState != ServiceState::kStopped) {
    return kErrorServiceAlreadyRunning;
  }
  std::vector<std::string> argv = SplitCommandLine(*imagePath);
  if (argv.empty()) return kErrorFileNotFound;
  auto program = FindProgram(argv[0]);
  if (!program) return program.error();
  argv[0] = *program;

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    return kErrorNotEnoughMemory;
  }
  UniqueFd ours(pair[0]);
  UniqueFd theirs(pair[1]);
  auto pid = LaunchDetached(argv, ServiceEnvironment(*machine_, name_), theirs.get());
  if (!pid) return pid.error();
  theirs.Reset();  // now only the service holds the other end: its exit reads as end of file

  if (!rt::WaitReadable(ours.get(), rt::PipeTimeout(*machine_))) {
    // A process that never connects would otherwise hold the service's name for later starts.
    (void)::kill(*pid, SIGKILL);
    return kErrorServiceRequestTimeout;
  }
  char hello[512];
  const ssize_t n = ::recv(ours.get(), hello, sizeof hello, 0);
  if (n <= 0) return kErrorProcessAborted;
  const std::string_view message(hello, static_cast<std::size_t>(n));
  const std::string expected = std::string(rt::kHello) + '\0';
  if (!message.starts_with(expected) ||
      !rt::SameServiceName(message.substr(expected.size()), name_)) {
    std::string refuse = std::string(rt::kRefuse) + '\0' + std::to_string(kErrorServiceNotInExe);
    (void)::send(ours.get(), refuse.data(), refuse.size(), MSG_NOSIGNAL);
    return kErrorServiceNotInExe;
  }
  std::string go = std::string(rt::kGo) + '\0';
  for (const auto& argument : arguments) go += argument + '\0';
  if (::send(ours.get(), go.data(), go.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(go.size())) {
    return kErrorProcessAborted;
  }
  return kErrorSuccess;
}

Result<ServiceStatus> ServiceHandle::Control(std::uint32_t control, std::uint32_t eventType,
                                             std::span<const std::uint8_t> eventData) {
  using R = Result<ServiceStatus>;
  std::uint32_t right = kServicePauseContinue;
  if (control == kServiceControlStop) right = kServiceStop;
  if (control == kServiceControlInterrogate) right = kServiceInterrogate;
  if (control >= kServiceControlUserFirst && control <= kServiceControlUserLast) {
    right = kServiceUserDefinedControl;
  } else if (control < kServiceControlStop || control > kServiceControlPowerEvent) {
    return R::Failure(kErrorInvalidServiceControl);
  }
  if ((access_ & right) == 0) return R::Failure(kErrorAccessDenied);
  if (eventData.size() > kMaxControlData) return R::Failure(kErrorInvalidParameter);
  if (rt::ReadStatus(*machine_, name_).currentState == ServiceState::kStopped) {
    return R::Failure(kErrorServiceNotActive);
  }
  UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!socket) return R::Failure(kErrorNotEnoughMemory);
  sockaddr_un address{};
  unsigned length = 0;
  UniqueFd directory;
  if (!rt::SocketAddress(rt::RuntimeFile(*machine_, name_, ".ctl"), &address, &length,
                         &directory) ||
      ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    return R::Failure(kErrorServiceNotActive);
  }
  rt::ControlRequest request;
  request.control = control;
  request.eventType = eventType;
  request.dataLength = static_cast<std::uint32_t>(eventData.size());
  std::vector<std::uint8_t> message(sizeof request + eventData.size());
  std::memcpy(message.data(), &request, sizeof request);
  if (!eventData.empty()) {
    std::memcpy(message.data() + sizeof request, eventData.data(), eventData.size());
  }
  if (::send(socket.get(), message.data(), message.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(message.size())) {
    return R::Failure(kErrorServiceNotActive);
  }
  if (!rt::WaitReadable(socket.get(), rt::PipeTimeout(*machine_))) {
    return R::Failure(kErrorServiceRequestTimeout);
  }
  rt::ControlReply reply;
  const ssize_t n = ::recv(socket.get(), &reply, sizeof reply, 0);
  // Closed without an answer: the dispatcher ended (the service stopped) meanwhile.
  if (n <= 0) return R::Failure(kErrorServiceNotActive);
  ServiceStatus status;
  if (n != static_cast<ssize_t>(sizeof reply) || reply.magic != rt::kMagic ||
      !rt::FromWire(reply.status, &status)) {
    return R::Failure(kErrorInvalidData);
  }
  if (reply.error != kErrorSuccess) return R::Failure(reply.error);
  return status;
}

WinError ServiceHandle::Delete() {
  if ((access_ & kServiceDelete) == 0) return kErrorAccessDenied;
  auto registry = OpenDatabase(*machine_);
  if (!registry) return registry.error();
  auto key = RegKey::Open(**registry, ServiceKeyPath(name_), RegAccess::kWrite);
  if (!key) return key.error() == kErrorFileNotFound ? kErrorServiceDoesNotExist : key.error();
  if (DeleteFlagged(*key)) return kErrorServiceMarkedForDelete;
  if (rt::ReadStatus(*machine_, name_).currentState == ServiceState::kStopped) {
    RemoveDeletedService(*machine_, **registry, name_);
    return kErrorSuccess;
  }
  // The dispatcher takes the key away once the service has stopped.
  return key->SetDword("DeleteFlag", 1);
}

std::string_view ServiceStateName(ServiceState state) {
  switch (state) {
    case ServiceState::kStopped:
      return "STOPPED";
    case ServiceState::kStartPending:
      return "START_PENDING";
    case ServiceState::kStopPending:
      return "STOP_PENDING";
    case ServiceState::kRunning:
      return "RUNNING";
    case ServiceState::kContinuePending:
      return "CONTINUE_PENDING";
    case ServiceState::kPausePending:
      return "PAUSE_PENDING";
    case ServiceState::kPaused:
      return "PAUSED";
  }
  return "UNKNOWN";
}

}  // namespace uv::platform
