#pragma once
// The part of the service control manager that the administrator check of the console and the
// journal viewer needs: opening the manager with the lock right and locking its database.
//
// On this platform the manager belongs to a machine root:
// - opening with kLock succeeds for the root's administrator (whoever may write its
//   registry.db, or create it when it does not exist yet) and fails with kErrorAccessDenied for
//   anyone else;
// - the database lock is an flock on <root>/run/ServicesActive.lock; while another holder (any
//   process, or another lock object in this one) has it, LockDatabase fails with
//   kErrorServiceDatabaseLocked (1055).
//
// Thread affinity: none; each object is used by one thread at a time.

#include <filesystem>
#include <memory>

#include "platform/common/Result.h"

namespace uv::platform {

enum class ScmAccess { kConnect, kLock };

class ScmDatabaseLock;

// An open manager handle (SC_HANDLE). Closing happens on destruction. Move-only.
class ServiceControlManager {
 public:
  // OpenSCManager on the local computer of the given machine root.
  static Result<ServiceControlManager> Open(const std::filesystem::path& machineRoot,
                                            ScmAccess access);

  ServiceControlManager(ServiceControlManager&&) noexcept = default;
  ServiceControlManager& operator=(ServiceControlManager&&) noexcept = default;
  ServiceControlManager(const ServiceControlManager&) = delete;
  ServiceControlManager& operator=(const ServiceControlManager&) = delete;
  ~ServiceControlManager() = default;

  // LockServiceDatabase. Needs a handle opened with kLock (else kErrorAccessDenied). The lock is
  // released when the returned object is destroyed (UnlockServiceDatabase).
  Result<ScmDatabaseLock> LockDatabase() const;

 private:
  ServiceControlManager(std::filesystem::path root, ScmAccess access)
      : root_(std::move(root)), access_(access) {}
  std::filesystem::path root_;
  ScmAccess access_;
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

}  // namespace uv::platform
