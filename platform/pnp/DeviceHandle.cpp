#include "platform/pnp/DeviceHandle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <random>
#include <utility>

#include "platform/common/KeyValueText.h"
#include "platform/common/Text.h"
#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceState.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/FdIo.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

namespace {

std::string HoldDirectory(const Machine& machine) {
  return (machine.RunDirectory() / "pnp" / "holds").string();
}

std::string ProgramName() {
  std::string name;
  UniqueFd fd(::open("/proc/self/comm", O_RDONLY | O_CLOEXEC));
  if (fd && ReadAll(fd.get(), name) == 0)
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  return name.empty() ? std::string("unknown") : name;
}

std::string OneLine(std::string_view text) {
  std::string out(text.substr(0, 1024));
  for (char& c : out)
    if (c == '\n' || c == '\r') c = ' ';
  return out;
}

// "E:", "E:\", "e:\dir": the upper-case letter, or 0.
char DriveLetterOf(std::string_view path) {
  if (path.size() < 2 || path[1] != ':') return 0;
  const char c = ToUpperAscii(path[0]);
  return (c >= 'A' && c <= 'Z') ? c : 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// HandleHold

struct HandleHold::Lock {
  Lock(UniqueFd locked, std::string holdPath) : fd(std::move(locked)), path(std::move(holdPath)) {}
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  // Unlink before unlocking, so that a scan never mistakes a hold being closed for a stale one
  // left by a dead process (either way it ends up gone).
  ~Lock() { ::unlink(path.c_str()); }

  UniqueFd fd;  // holds the flock; closed after the unlink above
  std::string path;
};

HandleHold::HandleHold() = default;

HandleHold::~HandleHold() = default;

HandleHold::HandleHold(HandleHold&& other) noexcept
    : lock_(std::move(other.lock_)),
      id_(std::exchange(other.id_, 0)),
      deviceId_(std::move(other.deviceId_)),
      volume_(std::move(other.volume_)) {}

HandleHold& HandleHold::operator=(HandleHold&& other) noexcept {
  if (this != &other) {
    lock_ = std::move(other.lock_);
    id_ = std::exchange(other.id_, 0);
    deviceId_ = std::move(other.deviceId_);
    volume_ = std::move(other.volume_);
  }
  return *this;
}

void HandleHold::Close() {
  lock_.reset();
  id_ = 0;
}

Result<HandleHold> HandleHold::Take(Machine& machine, std::string deviceId, std::string volume,
                                    std::string_view openedAs) {
  const std::string dir = HoldDirectory(machine);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::random_device random;
  std::uint64_t id = 0;
  while (id == 0) id = (static_cast<std::uint64_t>(random()) << 32) ^ random();
  // The lock is taken on a temporary name, then the file is renamed into view: a scan never sees
  // a hold file that is not locked yet. (Not the atomic file writer: the hold keeps the locked
  // descriptor open after the rename.)
  std::string temp = dir + "/.tXXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return Result<HandleHold>::Failure(ErrnoToWinError(errno));
  if (::flock(fd.get(), LOCK_EX) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Result<HandleHold>::Failure(ErrnoToWinError(err));
  }
  const std::string text = "id=" + std::to_string(id) + "\npid=" + std::to_string(::getpid()) +
                           "\nprogram=" + ProgramName() + "\ndevice=" + OneLine(deviceId) +
                           "\nvolume=" + OneLine(volume) + "\nopened=" + OneLine(openedAs) + "\n";
  const std::string path = dir + "/h" + std::to_string(id) + ".hold";
  int err = WriteAll(fd.get(), text);
  if (err != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    if (err == 0) err = errno;
    ::unlink(temp.c_str());
    return Result<HandleHold>::Failure(ErrnoToWinError(err));
  }
  HandleHold hold;
  hold.lock_ = std::make_unique<Lock>(std::move(fd), path);
  hold.id_ = id;
  hold.deviceId_ = std::move(deviceId);
  hold.volume_ = std::move(volume);
  return hold;
}

Result<HandleHold> HandleHold::ForPath(Machine& machine, std::string_view path) {
  const char letter = DriveLetterOf(path);
  if (!letter) return Result<HandleHold>::Failure(kErrorPathNotFound);
  auto state = StateStore(machine).Read();
  if (!state) return Result<HandleHold>::Failure(state.error());
  const VolumeRecord* volume = state->FindLetter(letter);
  if (!volume) return Result<HandleHold>::Failure(kErrorPathNotFound);
  return Take(machine, volume->deviceId, volume->name, path);
}

std::vector<HoldInfo> ListHolds(const Machine& machine) {
  std::vector<HoldInfo> out;
  const std::string dir = HoldDirectory(machine);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    const std::string path = dir + "/" + std::string(name);
    if (name.starts_with(".t")) {
      // A temporary left by a process that died between creating and renaming it.
      UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      struct stat st {};
      if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &st) == 0 &&
          st.st_mtime + 60 < ::time(nullptr))
        ::unlink(path.c_str());
      continue;
    }
    if (!name.ends_with(".hold")) continue;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) continue;
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
      ::unlink(path.c_str());  // nobody holds it: its process has ended
      continue;
    }
    std::string text;
    if (ReadAll(fd.get(), text) != 0 || text.size() > 8192) continue;
    HoldInfo info;
    for (const auto& [key, value] : ParseKeyValueLines(text).entries) {
      if (key == "id") std::from_chars(value.data(), value.data() + value.size(), info.id);
      if (key == "pid") std::from_chars(value.data(), value.data() + value.size(), info.pid);
      if (key == "program") info.program = value;
      if (key == "device") info.deviceId = value;
      if (key == "volume") info.volume = value;
      if (key == "opened") info.openedAs = value;
    }
    out.push_back(std::move(info));
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(),
            [](const HoldInfo& a, const HoldInfo& b) { return a.id < b.id; });
  return out;
}

// ---------------------------------------------------------------------------------------------
// DeviceHandle

Result<DeviceHandle> DeviceHandle::Open(Machine& machine, std::string_view name) {
  using R = Result<DeviceHandle>;
  const bool volumeForm = name.size() == 6 && name[0] == '\\' && name[1] == '\\' &&
                          (name[2] == '.' || name[2] == '?') && name[3] == '\\' && name[5] == ':';
  auto state = StateStore(machine).Read();
  if (!state) return R::Failure(state.error());
  if (volumeForm) {
    const char letter = DriveLetterOf(name.substr(4));
    const VolumeRecord* volume = letter ? state->FindLetter(letter) : nullptr;
    if (!volume) return R::Failure(kErrorFileNotFound);
    auto hold = HandleHold::Take(machine, volume->deviceId, volume->name, name);
    if (!hold) return R::Failure(hold.error());
    return DeviceHandle(machine, std::move(hold).value());
  }
  if (!name.starts_with("\\\\?\\") || name.find('#') == std::string_view::npos)
    return R::Failure(kErrorPathNotFound);
  for (const auto& device : state->devices) {
    for (const auto& iface : device.interfaces) {
      if (!EqualsNoCase(iface.path, name)) continue;
      auto hold = HandleHold::Take(machine, device.instanceId, {}, name);
      if (!hold) return R::Failure(hold.error());
      return DeviceHandle(machine, std::move(hold).value());
    }
  }
  return R::Failure(kErrorFileNotFound);
}

Result<StorageDeviceNumber> DeviceHandle::GetDeviceNumber() const {
  using R = Result<StorageDeviceNumber>;
  if (!hold_.IsHeld()) return R::Failure(kErrorInvalidHandle);
  auto state = StateStore(*machine_).Read();
  if (!state) return R::Failure(state.error());
  const DeviceRecord* device = state->FindDevice(hold_.DeviceId());
  if (!device) return R::Failure(kErrorDeviceNotConnected);
  if (device->storage == StorageClass::kNone) return R::Failure(kErrorInvalidParameter);
  StorageDeviceNumber number{device->deviceType, device->deviceNumber, 0};
  if (!hold_.VolumeName().empty()) {
    if (!state->FindVolume(hold_.VolumeName())) return R::Failure(kErrorDeviceNotConnected);
    number.partitionNumber = device->storage == StorageClass::kDisk ? 1 : 0xFFFFFFFFu;
  }
  return number;
}

Result<StorageDeviceDescriptor> DeviceHandle::QueryStorageProperty() const {
  using R = Result<StorageDeviceDescriptor>;
  if (!hold_.IsHeld()) return R::Failure(kErrorInvalidHandle);
  auto state = StateStore(*machine_).Read();
  if (!state) return R::Failure(state.error());
  const DeviceRecord* device = state->FindDevice(hold_.DeviceId());
  if (!device) return R::Failure(kErrorDeviceNotConnected);
  if (device->storage == StorageClass::kNone) return R::Failure(kErrorInvalidParameter);
  StorageDeviceDescriptor d;
  d.version = 40;  // sizeof the fixed part, as the system fills it in
  d.deviceType = device->storage == StorageClass::kCdRom ? 5 : 0;
  d.removableMedia = device->removableMedia;
  d.busType = device->busType;
  d.vendorId = device->vendorId;
  d.productId = device->productId;
  d.productRevision = device->productRevision;
  d.serialNumber = device->serialNumber;
  d.size = static_cast<std::uint32_t>(40 + d.vendorId.size() + d.productId.size() +
                                      d.productRevision.size() + d.serialNumber.size() + 4);
  return d;
}

// ---------------------------------------------------------------------------------------------
// Drive queries

std::uint32_t GetLogicalDrives(Machine& machine) {
  auto state = StateStore(machine).Read();
  return state ? state->LetterMask() : 0;
}

std::uint32_t GetDriveType(Machine& machine, std::string_view root) {
  const char letter = DriveLetterOf(root);
  if (!letter || root.size() > 3 || (root.size() == 3 && root[2] != '\\')) return kDriveNoRootDir;
  auto state = StateStore(machine).Read();
  if (!state) return kDriveUnknown;
  const VolumeRecord* volume = state->FindLetter(letter);
  return volume ? volume->driveType : kDriveNoRootDir;
}

Result<std::string> QueryDosDevice(Machine& machine, std::string_view deviceName) {
  const char letter = DriveLetterOf(deviceName);
  if (!letter || deviceName.size() != 2)
    return Result<std::string>::Failure(kErrorInvalidParameter);
  auto state = StateStore(machine).Read();
  if (!state) return Result<std::string>::Failure(state.error());
  const VolumeRecord* volume = state->FindLetter(letter);
  if (!volume) return Result<std::string>::Failure(kErrorFileNotFound);
  return volume->ntDevice;
}

Result<std::filesystem::path> ResolveDrivePath(Machine& machine, std::string_view path) {
  using R = Result<std::filesystem::path>;
  const char letter = DriveLetterOf(path);
  if (!letter) return R::Failure(kErrorPathNotFound);
  auto state = StateStore(machine).Read();
  if (!state) return R::Failure(state.error());
  const VolumeRecord* volume = state->FindLetter(letter);
  if (!volume) return R::Failure(kErrorPathNotFound);
  std::filesystem::path out = volume->backing;
  std::string_view rest = path.substr(2);
  std::vector<std::string> parts;
  while (!rest.empty()) {
    const std::size_t sep = rest.find_first_of("\\/");
    std::string_view part = rest.substr(0, sep);
    rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();  // at the root, ".." stays at the root
      continue;
    }
    parts.emplace_back(part);
  }
  for (const auto& p : parts) out /= p;
  return out;
}

}  // namespace uv::platform
