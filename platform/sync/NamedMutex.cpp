#include "platform/sync/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

// Three files per mutex, all under <root>/run/mutex/:
//   <n>.guard  exclusive flock held only while a handle is being opened, so that "does anybody
//              hold it?" and "now I hold it" happen as one step for every opener;
//   <n>.exist  every open handle holds a shared flock on it: the mutex exists exactly while
//              someone does (a try for an exclusive lock fails);
//   <n>.owner  the owning handle holds an exclusive flock on it.
// flock locks belong to the open file description, so two handles in one process conflict just
// as two processes do, and a dying process loses all of them at once.

namespace {

constexpr std::size_t kMaxNameLength = 255;

// Names may hold any byte but NUL (Windows allows "\" too, for its namespaces); file names may
// not, so everything outside a safe set is written as %XX.
std::string EncodeName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (safe) {
      encoded.push_back(ch);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 0xF]);
    }
  }
  return encoded;
}

WinError ErrorFromErrno(int error) {
  return ErrnoToWinError(error, kErrorInvalidHandle);
}

using Fd = UniqueFd;

int OpenFile(const std::filesystem::path& path, bool create) {
  // Group and others may open the files too: every process of the computer shares its mutexes.
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && create) (void)::fchmod(fd, 0666);  // umask would otherwise lock others out
  return fd;
}

int FlockRetry(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result < 0 && errno == EINTR);
  return result;
}

struct Paths {
  std::filesystem::path guard, exist, owner;
};

Result<Paths> PathsFor(Machine& machine, std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name.find('\0') != std::string_view::npos) {
    return Result<Paths>::Failure(kErrorInvalidName);
  }
  const std::filesystem::path dir = machine.RunDirectory() / "mutex";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!ec) {
    // The first process to make the folder may be any user's; all must be able to add files,
    // and (as in /tmp) none may remove another's.
    std::filesystem::permissions(
        dir, std::filesystem::perms::all | std::filesystem::perms::sticky_bit, ec);
  }
  std::string base = EncodeName(name);
  // A name may be 255 characters and escaping can triple it, but a file name has 255 bytes:
  // long names keep a readable start and add a hash of the whole name.
  constexpr std::size_t kMaxBase = 160;
  if (base.size() > kMaxBase) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (const char c : name) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    base.resize(kMaxBase - 17);
    base += suffix;
  }
  return Paths{dir / (base + ".guard"), dir / (base + ".exist"), dir / (base + ".owner")};
}

}  // namespace

struct NamedMutex::Locks {
  UniqueFd owner;      // exclusive lock held while owned; closed first, dropping ownership
  UniqueFd existence;  // shared lock held for as long as the handle is open
};

NamedMutex::NamedMutex() = default;

NamedMutex::~NamedMutex() {
  Close();
}

NamedMutex::NamedMutex(NamedMutex&& other) noexcept
    : name_(std::move(other.name_)),
      locks_(std::move(other.locks_)),
      ownCount_(std::exchange(other.ownCount_, 0)),
      alreadyExisted_(other.alreadyExisted_) {}

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    Close();
    name_ = std::move(other.name_);
    locks_ = std::move(other.locks_);
    ownCount_ = std::exchange(other.ownCount_, 0);
    alreadyExisted_ = other.alreadyExisted_;
  }
  return *this;
}

void NamedMutex::Close() {
  locks_.reset();
  ownCount_ = 0;
}

namespace {

// Opens one handle under the guard lock. create: make the mutex when nobody holds it.
// On success *existed tells whether someone already held it.
WinError OpenHandle(const Paths& paths, bool create, bool* existed, Fd* existFd, Fd* ownerFd) {
  Fd guard(OpenFile(paths.guard, true));
  if (guard.get() < 0) return ErrorFromErrno(errno);
  if (FlockRetry(guard.get(), LOCK_EX) < 0) return ErrorFromErrno(errno);

  Fd exist(OpenFile(paths.exist, create));
  if (exist.get() < 0) {
    // No file: nobody ever made this mutex on this computer.
    return errno == ENOENT && !create ? kErrorFileNotFound : ErrorFromErrno(errno);
  }
  // An exclusive try succeeds only when no other handle holds its shared lock.
  const bool nobodyHolds = FlockRetry(exist.get(), LOCK_EX | LOCK_NB) == 0;
  if (!nobodyHolds && errno != EWOULDBLOCK) return ErrorFromErrno(errno);
  if (nobodyHolds && !create) return kErrorFileNotFound;
  // Converting exclusive to shared is not atomic, which is why the guard is held here.
  if (FlockRetry(exist.get(), LOCK_SH) < 0) return ErrorFromErrno(errno);

  Fd owner(OpenFile(paths.owner, true));
  if (owner.get() < 0) return ErrorFromErrno(errno);

  *existed = !nobodyHolds;
  existFd->Reset(exist.Release());
  ownerFd->Reset(owner.Release());
  return kErrorSuccess;  // the guard is released when its descriptor closes
}

}  // namespace

Result<NamedMutex> NamedMutex::Create(Machine& machine, std::string_view name, bool initialOwner) {
  auto paths = PathsFor(machine, name);
  if (!paths) return Result<NamedMutex>::Failure(paths.error());
  bool existed = false;
  Fd exist, owner;
  if (const WinError e = OpenHandle(*paths, true, &existed, &exist, &owner); e != kErrorSuccess) {
    return Result<NamedMutex>::Failure(e);
  }
  NamedMutex mutex;
  mutex.name_ = std::string(name);
  mutex.locks_ = std::make_unique<Locks>(Locks{std::move(owner), std::move(exist)});
  mutex.alreadyExisted_ = existed;
  if (initialOwner && !existed) {
    // We created it and nobody else holds a handle, so the owner lock is free unless a handle
    // of a previous life of the mutex is still closing; wait for that.
    auto taken = mutex.Wait();
    if (!taken) return Result<NamedMutex>::Failure(taken.error());
  }
  return mutex;
}

Result<NamedMutex> NamedMutex::OpenExisting(Machine& machine, std::string_view name) {
  auto paths = PathsFor(machine, name);
  if (!paths) return Result<NamedMutex>::Failure(paths.error());
  bool existed = false;
  Fd exist, owner;
  if (const WinError e = OpenHandle(*paths, false, &existed, &exist, &owner); e != kErrorSuccess) {
    return Result<NamedMutex>::Failure(e);
  }
  NamedMutex mutex;
  mutex.name_ = std::string(name);
  mutex.locks_ = std::make_unique<Locks>(Locks{std::move(owner), std::move(exist)});
  mutex.alreadyExisted_ = true;
  return mutex;
}

Result<WaitResult> NamedMutex::Wait(std::optional<std::chrono::milliseconds> timeout) {
  if (!locks_) return Result<WaitResult>::Failure(kErrorInvalidHandle);
  const int ownerFd = locks_->owner.get();
  if (ownCount_ > 0) {
    ++ownCount_;
    return WaitResult::kSignalled;
  }
  if (timeout && *timeout > std::chrono::milliseconds(0x7FFFFFFF)) timeout.reset();
  if (!timeout) {
    if (FlockRetry(ownerFd, LOCK_EX) < 0) return Result<WaitResult>::Failure(ErrorFromErrno(errno));
    ownCount_ = 1;
    return WaitResult::kSignalled;
  }
  // flock has no timed form: try, then sleep a short and growing step. The step stays small so
  // that a release is noticed quickly; the waits this serves are short start-up checks.
  const auto deadline = std::chrono::steady_clock::now() + *timeout;
  auto step = std::chrono::milliseconds(1);
  for (;;) {
    if (FlockRetry(ownerFd, LOCK_EX | LOCK_NB) == 0) {
      ownCount_ = 1;
      return WaitResult::kSignalled;
    }
    if (errno != EWOULDBLOCK) return Result<WaitResult>::Failure(ErrorFromErrno(errno));
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return WaitResult::kTimeout;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(step, deadline - now));
    step = std::min(step * 2, std::chrono::milliseconds(20));
  }
}

WinError NamedMutex::Release() {
  if (!locks_) return kErrorInvalidHandle;
  if (ownCount_ == 0) return kErrorNotOwner;
  if (--ownCount_ == 0) {
    if (FlockRetry(locks_->owner.get(), LOCK_UN) < 0) return ErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

}  // namespace uv::platform
