#pragma once
// Named mutexes of one computer (CreateMutex/OpenMutex), shared by every process that works on
// the same machine root. A mutex exists while at least one handle to it is open anywhere; when
// the last handle closes (or the last process holding one dies) it is gone. Ownership works
// across processes and is released when the owning handle closes or its process dies.
//
// On Linux each mutex is a few files under <root>/run/mutex/ and flock locks on them, so the
// kernel drops a dead process's handles and ownership for us. The files themselves stay behind;
// only the locks say whether a mutex exists.
//
// Ownership is per handle (a Windows mutex is per thread): Wait on a handle that already owns the
// mutex succeeds at once and must be matched by one more Release.
//
// Thread affinity: a NamedMutex is used by one thread at a time.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/sync/Event.h"

namespace uv::platform {

class Machine;

class NamedMutex {
 public:
  NamedMutex();
  ~NamedMutex();  // CloseHandle: releases ownership and this handle's share of existence
  NamedMutex(NamedMutex&& other) noexcept;
  NamedMutex& operator=(NamedMutex&& other) noexcept;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // CreateMutex: opens the mutex, creating it when no handle to it exists. AlreadyExisted()
  // then tells ERROR_ALREADY_EXISTS apart. initialOwner takes ownership only when this call
  // created the mutex (as on Windows). Names: 1 to 255 characters, case-sensitive, any bytes
  // but NUL (kErrorInvalidName otherwise).
  static Result<NamedMutex> Create(Machine& machine, std::string_view name, bool initialOwner);
  // OpenMutex: kErrorFileNotFound when no handle to the mutex is open anywhere.
  static Result<NamedMutex> OpenExisting(Machine& machine, std::string_view name);

  bool IsOpen() const { return locks_ != nullptr; }
  bool AlreadyExisted() const { return alreadyExisted_; }
  const std::string& Name() const { return name_; }

  // WaitForSingleObject: takes ownership, waiting at most timeout (none = forever; zero = try).
  // A finite non-zero timeout is waited in short steps: the lock offers no timed wait.
  Result<WaitResult> Wait(std::optional<std::chrono::milliseconds> timeout = {});
  // ReleaseMutex: kErrorNotOwner (288) when this handle does not own the mutex.
  [[nodiscard]] WinError Release();
  bool Owns() const { return ownCount_ > 0; }

  void Close();

 private:
  // The system's locks behind an open handle; each implementation defines its own.
  struct Locks;

  std::string name_;
  std::unique_ptr<Locks> locks_;  // null when closed
  std::uint32_t ownCount_ = 0;
  bool alreadyExisted_ = false;
};

inline constexpr WinError kErrorNotOwner = 288;

}  // namespace uv::platform
