#pragma once
// The system side of the emulated device tree: devices arrive (Plug), leave without warning
// (Unplug) or on request (CmRequestDeviceEject), and drive letters are removed
// (DeleteVolumeMountPoint). Each change updates, in this order, the device registry
// (SYSTEM\CurrentControlSet\Enum, kept after the device leaves), the live state
// (DeviceState.h), SYSTEM\MountedDevices, and then broadcasts the change (DeviceNotifier.h).
//
// Devices as a real machine names them:
//   USB\VID_0781&PID_5567\SERIAL                          the USB device
//   USB\VID_0781&PID_5567\5&1A2B3C4D&0&1                  ... without a serial number; it then
//                                                           has ParentIdPrefix 6&xxxxxxxx&0
//   USBSTOR\Disk&Ven_SanDisk&Prod_Cruzer&Rev_1.00\SERIAL&0   its disk (or CdRom&, SFloppy&)
//   SCSI\Disk&Ven_WDC&Prod_WD5000\4&xxxxxxxx&0&000000         a fixed disk on another bus
// Disks take the numbers from 1 (0 is the system disk, not emulated), CD-ROMs and floppies from 0.
// A volume keeps its name, its backing directory <root>/Volumes/<name> and its MountedDevices
// data across plugs, so a device plugged again gets its files and, when free, its old letter.
//
// Writers need administrator rights on the machine (its registry); failures leave the machine as
// it was, except for Enum keys, which stay as after any plug.
//
// Thread affinity: none; changes from several processes are serialised by the state lock.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/pnp/DeviceTypes.h"

namespace uv::platform {

class Machine;

enum class DeviceKind {
  kUsbStick,     // removable drive on the USB bus
  kUsbHardDisk,  // fixed drive on the USB bus
  kFixedDisk,    // fixed drive on another bus (SATA)
  kCdRom,        // USB CD-ROM drive
  kFloppy,       // USB floppy drive
  kUsbOther,     // a USB device that is not storage
};

struct PlugRequest {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::optional<std::string> serial;  // none: the device has no unique serial number
  std::string vendorName;             // "SanDisk"
  std::string productName;            // "Cruzer Blade"
  std::string revision = "1.00";
  DeviceKind kind = DeviceKind::kUsbStick;
  char letter = 0;                 // 0: the volume's old letter if free, else the next free
  std::filesystem::path contents;  // an existing directory to show as the volume's files
  // The disk's FriendlyName and DeviceDesc are written only after the USB interface arrival
  // has been handled, as on a machine where the disk driver is slow to install.
  bool deferNames = false;
  // How long a synchronous broadcast (deferNames) waits for its recipients.
  std::chrono::milliseconds broadcastTimeout{2000};
};

struct PlugResult {
  std::string usbInstanceId;      // empty for kFixedDisk
  std::string storageInstanceId;  // empty for kUsbOther
  std::string volumeName;         // empty for kUsbOther
  char letter = 0;
  std::filesystem::path backing;
};

// What went wrong, in words for a person (`usbvantrel-sim` prints it).
struct PnpError {
  WinError code = kErrorSuccess;
  std::string message;
};

template <class T>
struct PnpOutcome {
  std::optional<T> value;
  PnpError error;
  bool ok() const { return value.has_value(); }
};

PnpOutcome<PlugResult> Plug(Machine& machine, const PlugRequest& request);

// Surprise removal of the device that `what` names: a drive letter ("E", "E:"), an instance ID,
// or the serial of a present USB device. The USB device (or the disk, for another bus) and
// everything below it leave; no query is made.
PnpOutcome<std::string> Unplug(Machine& machine, std::string_view what);

// The present USB device above drive `letter` (or the disk itself on another bus); nullopt when
// the letter is not in use.
std::optional<std::string> DeviceOfLetter(Machine& machine, char letter);

// CM_Request_Device_EjectW: query-remove to the handle registrations on the device's subtree,
// veto when one refuses (kPnpVetoWindowsApp) or a handle is still open on it
// (kPnpVetoOutstandingOpen), then query-remove-failed to them; otherwise the subtree leaves,
// its letters are released and the removals are broadcast. A device that cannot be ejected
// (the root, a disk on another bus) is refused with kCrRemoveVetoed.
EjectResult CmRequestDeviceEject(
    Machine& machine, DevInst devInst,
    std::chrono::milliseconds queryTimeout = std::chrono::milliseconds(5000));

// DeleteVolumeMountPointA for a drive root "E:\": the volume loses its letter, the
// "\DosDevices\E:" value goes from MountedDevices, and the volume removal is broadcast.
// kErrorFileNotFound when the letter is not in use; kErrorInvalidName for another form;
// kErrorAccessDenied without administrator rights.
[[nodiscard]] WinError DeleteVolumeMountPoint(Machine& machine, std::string_view mountPoint);

}  // namespace uv::platform
