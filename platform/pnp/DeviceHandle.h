#pragma once
// Handles on the emulated storage: a volume opened as "\\.\E:" or "\\?\E:", a storage device
// opened by its interface path, or a directory or file on a drive. Every such handle is a
// HandleHold that other processes can see: an eject request is vetoed while one is open on the
// device (or on one of its volumes), and `usbvantrel-sim list` names its holder.
//
// A hold is a file under <root>/run/pnp/holds/ kept locked (flock) for as long as the handle is
// open; a hold whose process died is unlocked and is removed by the next scan.
//
// Thread affinity: none. Handles are move-only values owned by whoever opened them.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"
#include "platform/pnp/DeviceTypes.h"

namespace uv::platform {

class Machine;

// ERROR_DEVICE_NOT_CONNECTED: the device under an open handle has left.
inline constexpr WinError kErrorDeviceNotConnected = 1167;

class HandleHold {
 public:
  HandleHold();
  ~HandleHold();
  HandleHold(HandleHold&& other) noexcept;
  HandleHold& operator=(HandleHold&& other) noexcept;
  HandleHold(const HandleHold&) = delete;
  HandleHold& operator=(const HandleHold&) = delete;

  // Holds the drive of `path` ("E:\", "e:\dir\file.txt", "E:"): the volume and its device.
  // kErrorPathNotFound when no volume has that letter.
  static Result<HandleHold> ForPath(Machine& machine, std::string_view path);

  bool IsHeld() const { return lock_ != nullptr; }
  // Unique on the machine while held (the dbch_handle of handle broadcasts); 0 when not held.
  std::uint64_t Id() const { return id_; }
  const std::string& DeviceId() const { return deviceId_; }  // the storage unit's instance ID
  const std::string& VolumeName() const { return volume_; }  // empty for a device handle
  // CloseHandle: releases the hold now.
  void Close();

  // Takes a hold on a device (and volume, when given) of this machine.
  static Result<HandleHold> Take(Machine& machine, std::string deviceId, std::string volume,
                                 std::string_view openedAs);

 private:
  // The locked hold file; each implementation defines its own.
  struct Lock;

  std::unique_ptr<Lock> lock_;  // null when not held
  std::uint64_t id_ = 0;
  std::string deviceId_;
  std::string volume_;
};

// A live hold as a scan sees it.
struct HoldInfo {
  std::uint64_t id = 0;
  std::uint32_t pid = 0;
  std::string program;
  std::string deviceId;
  std::string volume;
  std::string openedAs;
};
// Every hold still held; removes those whose holder has gone.
std::vector<HoldInfo> ListHolds(const Machine& machine);

// CreateFile on a device name: "\\.\E:", "\\?\E:" (either case) or an interface path
// "\\?\USBSTOR#...#{53f56307-...}". kErrorFileNotFound when there is no such volume or device,
// kErrorPathNotFound for a name of another form.
class DeviceHandle {
 public:
  static Result<DeviceHandle> Open(Machine& machine, std::string_view name);

  DeviceHandle(DeviceHandle&&) noexcept = default;
  DeviceHandle& operator=(DeviceHandle&&) noexcept = default;

  // IOCTL_STORAGE_GET_DEVICE_NUMBER. For a volume: the device's type and number, partition 1
  // (0xFFFFFFFF for CD-ROM and floppy media); for a device: partition 0.
  // kErrorDeviceNotConnected when the device has left since the open.
  Result<StorageDeviceNumber> GetDeviceNumber() const;
  // IOCTL_STORAGE_QUERY_PROPERTY, standard device property, standard query.
  Result<StorageDeviceDescriptor> QueryStorageProperty() const;

  const HandleHold& Hold() const { return hold_; }
  void Close() { hold_.Close(); }

 private:
  DeviceHandle(Machine& machine, HandleHold hold) : machine_(&machine), hold_(std::move(hold)) {}
  Machine* machine_;
  HandleHold hold_;
};

// GetLogicalDrives: bit 0 = A.
std::uint32_t GetLogicalDrives(Machine& machine);
// GetDriveTypeA for a root "E:\" (or "E:"); kDriveNoRootDir when no volume has the letter or the
// text is not a drive root.
std::uint32_t GetDriveType(Machine& machine, std::string_view root);
// QueryDosDeviceA for "E:": the volume's device, "\Device\HarddiskVolume3"; kErrorFileNotFound
// when the letter is not in use, kErrorInvalidParameter for another form.
Result<std::string> QueryDosDevice(Machine& machine, std::string_view deviceName);
// The directory that holds the files of `path` on an emulated drive ("E:\dir\f" ->
// <backing>/dir/f). kErrorPathNotFound when the drive does not exist; ".." cannot leave the
// volume.
Result<std::filesystem::path> ResolveDrivePath(Machine& machine, std::string_view path);

}  // namespace uv::platform
