#pragma once
// USB drive identification: which device a USB notification is about (its description, and the
// device and make texts the whitelist is matched against), and how a drive letter is ejected.
//
// All of it runs on the thread of the window that receives the device notifications, one call
// at a time; the only state kept between calls is csDeviceKey() and the caller's
// WhiteListDetails.
//
// Bounds, where registry data can be larger than the buffers these routines were written with:
// - key names longer than kNameBufferSize - 1 bytes are skipped (a cut name would open another
//   key or none);
// - FriendlyName, DeviceDesc and ParentIdPrefix values are read into kNameBufferSize bytes: a
//   longer FriendlyName or DeviceDesc is cut to kNameBufferSize - 1 characters, a longer
//   ParentIdPrefix is not used;
// - instance IDs of kInstanceIdBufferSize characters or more end the search for a device;
// - DeviceText and MakeText are cut to their record sizes; DeviceText keeps as much of the
//   serial-like text as fits.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceTypes.h"
#include "platform/pnp/SetupApi.h"

namespace uv::platform {
class Machine;
}

namespace uv::agent {

inline constexpr std::size_t kNameBufferSize = 512;
inline constexpr std::uint32_t kInstanceIdBufferSize = 260;
inline constexpr std::uint32_t kPropertyBufferSize = 260;
inline constexpr std::uint32_t kMaxInterfaceDetailSize = 1024;
inline constexpr std::uint32_t kDosDeviceBufferSize = 260;

// The texts a mounted drive is matched against. Zero-terminated, fixed-size, as the dialog
// keeps them; the accessors give the texts up to their terminator.
struct WhiteListDetails {
  char UserText[100] = {};
  char DeviceText[200] = {};
  char MakeText[100] = {};

  void Clear();
  std::string_view User() const;
  std::string_view Device() const;
  std::string_view Make() const;
};

// Copies `text` into a fixed buffer, cut to what fits before the terminator.
void CopyText(char* buffer, std::size_t size, std::string_view text);

// csDeviceKey: the registry path of a USBSTOR instance key whose names were not there yet when
// its USB device arrived. One per process, as the design has it; guarded by its own lock
// because the console and tests call from other threads too.
class DeviceKeyText {
 public:
  std::string Get() const;
  void Set(std::string text);
  void Clear();
  bool Empty() const;

 private:
  mutable std::mutex mutex_;  // guards text_
  std::string text_;
};
DeviceKeyText& csDeviceKey();

// Describes the device of a USB device-interface broadcast. `code` is kDbtDeviceArrival or
// kDbtDeviceRemoveComplete. True: `description` holds the text to report, and when the device
// was found under USBSTOR, `details`' DeviceText and MakeText are filled. False: nothing to
// report (a "ROOT" device, a storage device whose names are not there yet, or no device
// information available).
bool GetDeviceDescription(platform::Machine& machine,
                          const platform::DevBroadcastDeviceInterface& broadcast,
                          std::uint32_t code, std::string& description, WhiteListDetails& details);

// The client agent ejects blocked drives in one order, the console its own flash drive in
// another (the console reads the device first and only then touches the drive letter).
enum class EjectOrder { kClient, kConsole };

// Ejects the device of drive `driveIndex` (0 = A:). True when the eject request was accepted
// without a veto.
bool EjectDrive(platform::Machine& machine, int driveIndex, EjectOrder order = EjectOrder::kClient);

// The disk, CD-ROM or floppy device instance with storage device number `deviceNumber`,
// searched among the interfaces of the class that `driveType` and `dosDevice` imply; 0 when
// none. `lastError` receives the error of the step that ended the search (kErrorNoMoreItems at
// the end of the interfaces, kErrorSuccess for a drive type without a class).
platform::DevInst GetDrivesDevInstByDeviceNumber(platform::Machine& machine,
                                                 std::uint32_t deviceNumber,
                                                 std::uint32_t driveType,
                                                 std::string_view dosDevice,
                                                 platform::WinError* lastError = nullptr);

// The first member of `set` whose instance ID is exactly `instanceId`.
bool FindDeviceByInstanceId(const platform::DeviceInfoSet& set, std::string_view instanceId,
                            platform::DeviceInfoData& found);

// Deletes the first "#{...}" value of SYSTEM\MountedDevices whose data is `savedData`. Nothing
// is done for empty saved data; values that are not binary data are never taken for a match.
void RemoveMountedDeviceEntry(platform::Machine& machine,
                              const std::vector<std::uint8_t>& savedData);

// The storage descriptor of the volume under `volume` (opened as "\\?\X:"); true when the query
// succeeded. The caller tests descriptor.busType == kBusTypeUsb.
bool IsUsbBusDrive(const platform::DeviceHandle& volume,
                   platform::StorageDeviceDescriptor& descriptor);

}  // namespace uv::agent
