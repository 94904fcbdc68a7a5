#pragma once
// The live half of the emulated device tree: which devices are present, their parents,
// interfaces, storage numbers, and the volumes with their drive letters. (The other half, the
// device registry under SYSTEM\CurrentControlSet\Enum, lives in the machine's registry and stays
// when a device leaves.)
//
// One file per machine, <root>/run/pnp/devices.state, written only by replacing it whole
// (write a temporary, then rename) under an exclusive lock on <root>/run/pnp/devices.lock; so a
// reader needs no lock and always sees one consistent generation, and a writer that dies half
// way leaves the previous generation in place.
//
// The file is text: one record per line, fields separated by tabs, each field "name=value" with
// '%', tab, newline and '=' percent-encoded in values. Lines that do not parse are skipped and
// counted, so a damaged file loses only the damaged records.
//
// Thread affinity: none. DeviceState values are plain data; StateStore may be used from any
// thread (its cache is guarded by its own lock).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"
#include "platform/common/Text.h"  // instance IDs compare as EqualsNoCase does
#include "platform/pnp/DeviceTypes.h"

namespace uv::platform {

class Machine;

// What kind of storage unit a device is, if any.
enum class StorageClass : std::uint32_t { kNone = 0, kDisk = 1, kCdRom = 2, kFloppy = 3 };

struct DeviceInterfaceRecord {
  DeviceClassGuid classGuid;
  std::string path;  // "\\?\..." with the class GUID in lower case, as Windows writes it
};

struct DeviceRecord {
  std::string instanceId;  // "USB\VID_0781&PID_5567\SERIAL", as stored in the registry
  std::string parentId;    // empty: a child of the root of the tree
  DevInst devInst = 0;
  DeviceClassGuid classGuid;  // the setup class (USB, DiskDrive, CDROM, ...)
  std::vector<DeviceInterfaceRecord> interfaces;
  // Storage units only.
  StorageClass storage = StorageClass::kNone;
  std::uint32_t deviceType = 0;    // FILE_DEVICE_DISK or FILE_DEVICE_CD_ROM
  std::uint32_t deviceNumber = 0;  // N of \Device\HarddiskN, \Device\CdRomN, \Device\FloppyN
  std::uint32_t busType = kBusTypeUnknown;
  bool removableMedia = false;
  std::string vendorId, productId, productRevision, serialNumber;
};

struct VolumeRecord {
  std::string name;      // "Volume{xxxxxxxx-...}"
  std::string deviceId;  // the storage unit's instance ID
  char letter = 0;       // 'A'..'Z', or 0 after its mount point was deleted
  std::string ntDevice;  // "\Device\HarddiskVolume3", "\Device\CdRom0", "\Device\Floppy0"
  std::uint32_t driveType = kDriveUnknown;
  std::filesystem::path backing;        // the directory holding the volume's files
  std::vector<std::uint8_t> mountData;  // its SYSTEM\MountedDevices data
};

struct DeviceState {
  std::uint64_t generation = 0;
  std::uint32_t nextVolumeNumber = 3;  // \Device\HarddiskVolumeN; 1 and 2 are the system disk's
  std::vector<DeviceRecord> devices;   // in order of arrival: the enumeration order
  std::vector<VolumeRecord> volumes;
  std::uint32_t skippedLines = 0;  // damaged lines ignored when it was read

  const DeviceRecord* FindDevice(std::string_view instanceId) const;  // case-insensitive
  const DeviceRecord* FindDevInst(DevInst devInst) const;
  const VolumeRecord* FindLetter(char letter) const;            // either case
  const VolumeRecord* FindVolume(std::string_view name) const;  // case-insensitive
  // The device and every present descendant, parents before children.
  std::vector<const DeviceRecord*> Subtree(std::string_view instanceId) const;
  // Letters in use, bit 0 = A (GetLogicalDrives).
  std::uint32_t LetterMask() const;
};

std::string SerializeDeviceState(const DeviceState& state);
// Never fails: damaged lines are skipped (and counted in skippedLines).
DeviceState ParseDeviceState(std::string_view text);

// The file, its lock and a cache of the last generation read.
class StateStore {
 public:
  explicit StateStore(const Machine& machine);
  explicit StateStore(std::filesystem::path runDirectory);

  // The current generation (an empty state when there is no file yet). Re-reads the file only
  // when it was replaced since the last call.
  Result<DeviceState> Read() const;

  // Runs `change` on the current state under the exclusive lock and, when it returns
  // kErrorSuccess, writes the result as the next generation. The state passed in is a copy: a
  // change that fails half way leaves the file as it was.
  WinError Update(const std::function<WinError(DeviceState&)>& change);

  const std::filesystem::path& Directory() const { return dir_; }

 private:
  std::filesystem::path dir_;
  mutable std::mutex cacheMutex_;  // guards the four cache fields
  mutable std::uint64_t cacheInode_ = 0;
  mutable std::int64_t cacheMtimeNs_ = -1;
  mutable std::uint64_t cacheSize_ = 0;
  mutable DeviceState cache_;
};

}  // namespace uv::platform
