#include "platform/service/ServiceControlManager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace uv::platform {

namespace {

constexpr const char* kLockFileName = "ServicesActive.lock";

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
  if (access == ScmAccess::kLock && !MayAdministerMachine(machineRoot)) {
    return Result<ServiceControlManager>::Failure(kErrorAccessDenied);
  }
  return ServiceControlManager(machineRoot, access);
}

Result<ScmDatabaseLock> ServiceControlManager::LockDatabase() const {
  if (access_ != ScmAccess::kLock) return Result<ScmDatabaseLock>::Failure(kErrorAccessDenied);
  std::error_code ec;
  const auto run = root_ / "run";
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

}  // namespace uv::platform
