#pragma once
// Plain records and numbers of the device side of the platform layer: the broadcast records of
// WM_DEVICECHANGE, the answers of the two storage I/O controls, device information data, and the
// constants our callers compare against. The numbers keep their Windows values, because traces
// print them and the callers' decisions test them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace uv::platform {

// A class GUID, kept as its canonical text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper
// case. Comparisons ignore case, as GUID comparisons do.
struct DeviceClassGuid {
  std::string text;
  bool operator==(const DeviceClassGuid& other) const;
};
// The text parsed from "{...}" (braces required, hex digits of either case); nullopt otherwise.
std::optional<DeviceClassGuid> ParseClassGuid(std::string_view text);

// Interface classes.
inline const DeviceClassGuid kGuidUsbDeviceInterface{"{A5DCBF10-6530-11D2-901F-00C04FB951ED}"};
inline const DeviceClassGuid kGuidDiskInterface{"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"};
inline const DeviceClassGuid kGuidCdRomInterface{"{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}"};
inline const DeviceClassGuid kGuidFloppyInterface{"{53F56311-B6BF-11D0-94F2-00A0C91EFB8B}"};
inline const DeviceClassGuid kGuidVolumeInterface{"{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}"};

// The event codes of WM_DEVICECHANGE (wParam; the message number is kWmDeviceChange of
// platform/window/MessageWindow.h).
inline constexpr std::uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDbtDeviceQueryRemove = 0x8001;
inline constexpr std::uint32_t kDbtDeviceQueryRemoveFailed = 0x8002;
inline constexpr std::uint32_t kDbtDeviceRemovePending = 0x8003;
inline constexpr std::uint32_t kDbtDeviceRemoveComplete = 0x8004;
// The answer of a recipient that refuses a query-remove.
inline constexpr std::intptr_t kBroadcastQueryDeny = 0x424D5144;

// dbch_devicetype of a broadcast record.
inline constexpr std::uint32_t kDbtDevtypVolume = 0x0002;
inline constexpr std::uint32_t kDbtDevtypHandle = 0x0006;
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 0x0005;

// The value of a device-notification registration (HDEVNOTIFY); 0 is never a registration.
using DeviceNotifyHandle = std::uint64_t;

// DBT_DEVTYP_DEVICEINTERFACE: a device interface arrived or left. `name` is the interface path,
// "\\?\USB#VID_0781&PID_5567#SERIAL#{a5dcbf10-6530-11d2-901f-00c04fb951ed}".
struct DevBroadcastDeviceInterface {
  DeviceClassGuid classGuid;
  std::string name;
};

// DBT_DEVTYP_VOLUME: logical drives arrived or left; bit 0 of `unitmask` is A:, bit 25 is Z:.
struct DevBroadcastVolume {
  std::uint32_t unitmask = 0;
  std::uint16_t flags = 0;  // DBTF_MEDIA 1, DBTF_NET 2
};

// DBT_DEVTYP_HANDLE: an event about the device under a handle some recipient registered.
// `handle` is the value the registration was made for (HandleHold::Id()), `hdevnotify` the
// registration itself, so the recipient can find which of its watches is concerned.
struct DevBroadcastHandle {
  std::uint64_t handle = 0;
  DeviceNotifyHandle hdevnotify = 0;
};

// The record a WM_DEVICECHANGE message carries: `devicetype` (dbch_devicetype) says which of the
// three parts is meant; the others stay empty. It travels in the message's payload (see
// EncodeDeviceBroadcast / DecodeDeviceBroadcast in DeviceNotifier.h).
struct DeviceBroadcast {
  std::uint32_t devicetype = 0;
  DevBroadcastDeviceInterface deviceInterface;
  DevBroadcastVolume volume;
  DevBroadcastHandle handle;
};

// GetDriveTypeA answers.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdRom = 5;
inline constexpr std::uint32_t kDriveRamDisk = 6;

// Storage I/O control codes (traces print them; the handle offers one method per code).
inline constexpr std::uint32_t kIoctlStorageGetDeviceNumber = 0x2D1080;
inline constexpr std::uint32_t kIoctlStorageQueryProperty = 0x2D1400;

// FILE_DEVICE_* types in a storage device number.
inline constexpr std::uint32_t kFileDeviceCdRom = 0x02;
inline constexpr std::uint32_t kFileDeviceDisk = 0x07;

// STORAGE_DEVICE_NUMBER (12 bytes on the wire of the I/O control).
struct StorageDeviceNumber {
  std::uint32_t deviceType = 0;
  std::uint32_t deviceNumber = 0;
  std::uint32_t partitionNumber = 0;
};

// STORAGE_BUS_TYPE values.
inline constexpr std::uint32_t kBusTypeUnknown = 0;
inline constexpr std::uint32_t kBusTypeScsi = 1;
inline constexpr std::uint32_t kBusTypeAtapi = 2;
inline constexpr std::uint32_t kBusTypeAta = 3;
inline constexpr std::uint32_t kBusTypeUsb = 7;
inline constexpr std::uint32_t kBusTypeSata = 11;

// STORAGE_DEVICE_DESCRIPTOR for the standard device property: the fields callers read.
struct StorageDeviceDescriptor {
  std::uint32_t version = 0;
  std::uint32_t size = 0;
  std::uint8_t deviceType = 0;  // SCSI peripheral type: 0 disk, 5 CD-ROM
  bool removableMedia = false;
  std::uint32_t busType = kBusTypeUnknown;
  std::string vendorId;
  std::string productId;
  std::string productRevision;
  std::string serialNumber;
};

// A device instance handle (DEVINST). 0 is "none". The value of a present device is stable for
// as long as the device is present and the same in every process of one machine.
using DevInst = std::uint32_t;

// SP_DEVINFO_DATA: one member of a device information set.
struct DeviceInfoData {
  DeviceClassGuid classGuid;
  DevInst devInst = 0;
  std::string instanceId;  // kept here so that lookups need no second walk
};

// SP_DEVICE_INTERFACE_DETAIL_DATA with its device info data: one interface of an interface set.
struct DeviceInterfaceDetail {
  std::string devicePath;  // "\\?\USBSTOR#Disk&Ven_..#SERIAL&0#{53f56307-...}"
  DeviceInfoData device;
};

// SetupDiGetClassDevs flags.
inline constexpr std::uint32_t kDigcfDefault = 0x01;
inline constexpr std::uint32_t kDigcfPresent = 0x02;
inline constexpr std::uint32_t kDigcfAllClasses = 0x04;
inline constexpr std::uint32_t kDigcfProfile = 0x08;
inline constexpr std::uint32_t kDigcfDeviceInterface = 0x10;

// Device registry properties (SPDRP_*).
inline constexpr std::uint32_t kSpdrpDeviceDesc = 0x00;
inline constexpr std::uint32_t kSpdrpFriendlyName = 0x0C;

// Configuration manager results (CONFIGRET).
inline constexpr std::uint32_t kCrSuccess = 0x00;
inline constexpr std::uint32_t kCrInvalidDevNode = 0x05;
inline constexpr std::uint32_t kCrNoSuchDevNode = 0x0D;
inline constexpr std::uint32_t kCrRemoveVetoed = 0x17;
inline constexpr std::uint32_t kCrAccessDenied = 0x33;

// PNP_VETO_TYPE.
inline constexpr std::uint32_t kPnpVetoTypeUnknown = 0;
inline constexpr std::uint32_t kPnpVetoWindowsApp = 3;
inline constexpr std::uint32_t kPnpVetoOutstandingOpen = 5;

// The outcome of an eject request (CM_Request_Device_EjectW).
struct EjectResult {
  std::uint32_t configRet = kCrSuccess;
  std::uint32_t vetoType = kPnpVetoTypeUnknown;
  std::string vetoName;  // empty unless vetoed; at most 259 characters
  bool Succeeded() const { return configRet == kCrSuccess && vetoType == kPnpVetoTypeUnknown; }
};

}  // namespace uv::platform
