#include "platform/pnp/DeviceManager.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/common/Text.h"
#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/pnp/DeviceState.h"
#include "platform/pnp/SetupApi.h"
#include "platform/registry/Registry.h"

namespace uv::platform {

namespace {

constexpr std::string_view kEnumKey = "SYSTEM\\CurrentControlSet\\Enum";
constexpr std::string_view kMountedDevicesKey = "SYSTEM\\MountedDevices";
// The hub every emulated USB device hangs on; devices without a serial number are named after
// it and their port, as the system names them.
constexpr std::string_view kHubPrefix = "5&2f1b5c2a&0&";

const DeviceClassGuid kClassUsb{"{36FC9E60-C465-11CF-8056-444553540000}"};
const DeviceClassGuid kClassDiskDrive{"{4D36E967-E325-11CE-BFC1-08002BE10318}"};
const DeviceClassGuid kClassCdRom{"{4D36E965-E325-11CE-BFC1-08002BE10318}"};
const DeviceClassGuid kClassFloppy{"{4D36E980-E325-11CE-BFC1-08002BE10318}"};

std::uint64_t Fnv64(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : text) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string Hex8(std::uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08x", value);
  return buffer;
}

// A GUID made from a text, so that the same device always gets the same volume name.
std::string GuidFrom(std::string_view seed) {
  const std::uint64_t a = Fnv64(seed);
  const std::uint64_t b = Fnv64(std::string(seed) + "#volume");
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%08x-%04x-%04x-%04x-%012llx",
                static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                static_cast<unsigned>((a & 0x0FFF) | 0x4000),
                static_cast<unsigned>(((b >> 48) & 0x3FFF) | 0x8000),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return buffer;
}

// The inquiry fields of a storage ID: spaces become '_', cut to the field's width.
std::string InquiryField(std::string_view text, std::size_t width) {
  std::string out(Trim(text).substr(0, width));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  for (char& c : out)
    if (c == ' ') c = '_';
  return out;
}

bool IsNameText(std::string_view text) {
  return text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return c >= 0x20 && c < 0x7F && c != '\\' && c != '#' && c != '&' && c != '/';
         });
}

bool IsSerialText(std::string_view text) {
  return !text.empty() && text.size() <= 126 && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  });
}

std::string InterfacePath(std::string_view instanceId, const DeviceClassGuid& cls) {
  std::string path = "\\\\?\\" + std::string(instanceId);
  for (std::size_t i = 4; i < path.size(); ++i)
    if (path[i] == '\\') path[i] = '#';
  return path + "#" + ToLowerAscii(cls.text);
}

std::vector<std::uint8_t> Utf16(std::string_view text) {
  std::vector<std::uint8_t> out;
  for (char c : text) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

std::string EnumEnumerator(std::string_view instanceId) {
  return std::string(instanceId.substr(0, instanceId.find('\\')));
}

// Writes the values of one Enum instance key; stops at the first failure.
struct KeyWriter {
  RegKey key;
  WinError error = kErrorSuccess;
  void Sz(std::string_view name, std::string_view text) {
    if (error == kErrorSuccess) error = key.SetString(name, text);
  }
  void Multi(std::string_view name, const std::vector<std::string>& texts) {
    if (error == kErrorSuccess) error = key.SetMultiString(name, texts);
  }
  void Dword(std::string_view name, std::uint32_t value) {
    if (error == kErrorSuccess) error = key.SetDword(name, value);
  }
};

Result<KeyWriter> CreateInstanceKey(Registry& registry, std::string_view instanceId) {
  auto key = RegKey::Create(registry, std::string(kEnumKey) + "\\" + std::string(instanceId));
  if (!key) return Result<KeyWriter>::Failure(key.error());
  return KeyWriter{std::move(key).value()};
}

// A MountedDevices value we may trust: binary, and the size of one of the forms we know (12
// bytes of signature and offset, or a UTF-16 device name).
bool IsSaneMountData(const RegValue& value) {
  if (value.type != RegType::kBinary) return false;
  if (value.data.size() == 12) return true;
  return value.data.size() >= 8 && value.data.size() <= 2048 && value.data.size() % 2 == 0;
}

std::string DosDevicesName(char letter) {
  return std::string("\\DosDevices\\") + letter + ":";
}

struct Removal {
  std::vector<std::string> ids;  // the subtree, parents first
  std::vector<std::pair<DeviceClassGuid, std::string>> interfaces;
  std::uint32_t unitmask = 0;
};

// Takes the subtree of `topId` out of `s`; fills `removal`.
void RemoveSubtree(DeviceState& s, std::string_view topId, Removal& removal) {
  for (const DeviceRecord* d : s.Subtree(topId)) {
    removal.ids.push_back(d->instanceId);
    for (const auto& i : d->interfaces) removal.interfaces.emplace_back(i.classGuid, i.path);
  }
  auto concerned = [&](std::string_view id) {
    return std::any_of(removal.ids.begin(), removal.ids.end(),
                       [&](const std::string& x) { return EqualsNoCase(x, id); });
  };
  for (const auto& v : s.volumes)
    if (concerned(v.deviceId) && v.letter) removal.unitmask |= 1u << (v.letter - 'A');
  std::erase_if(s.volumes, [&](const VolumeRecord& v) { return concerned(v.deviceId); });
  std::erase_if(s.devices, [&](const DeviceRecord& d) { return concerned(d.instanceId); });
}

// Broadcasts a removal as a machine does: volumes, handles, then the interfaces from the
// bottom of the tree up.
void BroadcastRemoval(const Machine& machine, const Removal& removal) {
  DeviceBroadcaster broadcaster(machine);
  broadcaster.Volume(kDbtDeviceRemoveComplete, removal.unitmask);
  broadcaster.HandleEvent(kDbtDeviceRemoveComplete, removal.ids);
  for (auto it = removal.interfaces.rbegin(); it != removal.interfaces.rend(); ++it)
    broadcaster.DeviceInterface(kDbtDeviceRemoveComplete, it->first, it->second);
}

std::string TopOf(const DeviceState& s, std::string_view id) {
  const DeviceRecord* d = s.FindDevice(id);
  // The parent chain of a damaged file could loop; a tree is never deeper than its size.
  for (std::size_t guard = 0; d && !d->parentId.empty() && guard <= s.devices.size(); ++guard) {
    const DeviceRecord* up = s.FindDevice(d->parentId);
    if (!up) break;
    d = up;
  }
  return d ? d->instanceId : std::string();
}

constexpr std::chrono::milliseconds kCloseGrace{1000};

// Wakes up when a hold file goes away (inotify on the holds directory), so that waiting for a
// handle to close costs no polling.
class HoldWatch {
 public:
  explicit HoldWatch(const Machine& machine) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (fd_ >= 0) {
      const std::string dir = (machine.RunDirectory() / "pnp" / "holds").string();
      if (::inotify_add_watch(fd_, dir.c_str(), IN_DELETE | IN_MOVED_FROM) < 0) {
        ::close(fd_);
        fd_ = -1;
      }
    }
  }
  ~HoldWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  HoldWatch(const HoldWatch&) = delete;
  HoldWatch& operator=(const HoldWatch&) = delete;

  // False once the deadline has passed (or nothing can be watched).
  bool WaitForChange(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) return false;
    char buffer[4096];
    while (::read(fd_, buffer, sizeof buffer) > 0) {
    }
    return true;
  }

 private:
  int fd_;
};

PnpError Error(WinError code, std::string message) {
  return PnpError{code, std::move(message)};
}

// ---- Plug, step by step ----

// The classes, service and texts of a storage unit, by the kind of device.
struct StorageProfile {
  StorageClass storageClass = StorageClass::kNone;
  DeviceClassGuid setupClass;
  DeviceClassGuid interfaceClass;
  std::string type;  // the first word of its hardware ID
  std::string description;
  std::string service;
};

StorageProfile StorageProfileOf(DeviceKind kind) {
  switch (kind) {
    case DeviceKind::kUsbStick:
    case DeviceKind::kUsbHardDisk:
    case DeviceKind::kFixedDisk:
      return {StorageClass::kDisk, kClassDiskDrive, kGuidDiskInterface, "Disk",
              "Disk drive",        "disk"};
    case DeviceKind::kCdRom:
      return {StorageClass::kCdRom, kClassCdRom, kGuidCdRomInterface, "CdRom",
              "CD-ROM Drive",       "cdrom"};
    case DeviceKind::kFloppy:
      return {StorageClass::kFloppy, kClassFloppy, kGuidFloppyInterface, "SFloppy",
              "Floppy disk drive",   "sfloppy"};
    case DeviceKind::kUsbOther:
      break;
  }
  return {};
}

// What a request makes of its device before anything is written: the parts of its IDs, its
// names and its classes.
struct PlugPlan {
  bool usb = false;
  bool storage = false;
  char letter = 0;     // upper case; 0 lets the plug choose
  std::string vidpid;  // "VID_0781&PID_5567"
  std::string serial;  // upper case; empty when the device has none
  std::string ven, prod, rev;
  std::string friendly;
  StorageProfile profile;
};

// Everything that can be said about a request without the machine's state.
std::optional<PnpError> CheckRequest(const PlugRequest& request) {
  if (!IsNameText(request.vendorName) || !IsNameText(request.productName) ||
      !IsNameText(request.revision)) {
    return Error(kErrorInvalidParameter,
                 "vendor, product and revision names must be printable text of at most 64 "
                 "characters without \\ # & /");
  }
  if (request.serial && !IsSerialText(*request.serial)) {
    return Error(kErrorInvalidParameter,
                 "a serial number has 1 to 126 characters: letters, digits, _ - .");
  }
  const char letter = ToUpperAscii(request.letter);
  if (letter != 0 && (letter < 'A' || letter > 'Z')) {
    return Error(kErrorInvalidParameter, "a drive letter is one of A to Z");
  }
  if (request.kind == DeviceKind::kUsbOther && (letter != 0 || !request.contents.empty())) {
    return Error(kErrorInvalidParameter, "a device that is not storage has no drive");
  }
  std::error_code ec;
  if (!request.contents.empty() && !std::filesystem::is_directory(request.contents, ec)) {
    return Error(kErrorPathNotFound, "not an existing directory: " + request.contents.string());
  }
  return std::nullopt;
}

PlugPlan PlanPlug(const PlugRequest& request) {
  PlugPlan plan;
  plan.usb = request.kind != DeviceKind::kFixedDisk;
  plan.storage = request.kind != DeviceKind::kUsbOther;
  plan.letter = ToUpperAscii(request.letter);
  char vidpid[32];
  std::snprintf(vidpid, sizeof vidpid, "VID_%04X&PID_%04X", request.vendorId, request.productId);
  plan.vidpid = vidpid;
  plan.serial = request.serial ? ToUpperAscii(*request.serial) : std::string();
  plan.ven = InquiryField(request.vendorName, 8);
  plan.prod = InquiryField(request.productName, 16);
  plan.rev = InquiryField(request.revision, 4);
  const std::string displayName(
      Trim(std::string(Trim(request.vendorName)) + " " + std::string(Trim(request.productName))));
  plan.friendly =
      displayName + (request.kind == DeviceKind::kFixedDisk ? " ATA Device" : " USB Device");
  plan.profile = StorageProfileOf(request.kind);
  return plan;
}

// The instance IDs of the USB device and its storage unit; fails when either is plugged in.
// *parentIdPrefix is the prefix the system makes up for a unit without a serial number.
std::optional<PnpError> NameDevices(const DeviceState& s, const PlugPlan& plan, PlugResult& result,
                                    std::string* parentIdPrefix) {
  if (plan.usb) {
    std::string instance = plan.serial;
    if (instance.empty()) {
      for (int port = 1;; ++port) {
        instance = std::string(kHubPrefix) + std::to_string(port);
        // A port holds one device at a time, whatever its ids.
        const bool taken =
            std::any_of(s.devices.begin(), s.devices.end(), [&](const DeviceRecord& d) {
              return EqualsNoCase(
                  std::string_view(d.instanceId).substr(d.instanceId.rfind('\\') + 1), instance);
            });
        if (!taken) break;
      }
    }
    result.usbInstanceId = "USB\\" + plan.vidpid + "\\" + instance;
    if (s.FindDevice(result.usbInstanceId)) {
      return Error(kErrorAlreadyExists,
                   "the device is already plugged in: " + result.usbInstanceId);
    }
    if (plan.storage && plan.serial.empty())
      *parentIdPrefix = "6&" + Hex8(static_cast<std::uint32_t>(Fnv64(result.usbInstanceId))) + "&0";
  }
  if (plan.storage) {
    const std::string hardware = plan.profile.type + "&Ven_" + plan.ven + "&Prod_" + plan.prod;
    if (plan.usb) {
      result.storageInstanceId = "USBSTOR\\" + hardware + "&Rev_" + plan.rev + "\\" +
                                 (plan.serial.empty() ? *parentIdPrefix : plan.serial) + "&0";
    } else {
      const std::string seed = plan.serial.empty() ? hardware : plan.serial;
      result.storageInstanceId = "SCSI\\" + hardware + "\\4&" +
                                 Hex8(static_cast<std::uint32_t>(Fnv64(seed))) + "&0&000000";
    }
    if (s.FindDevice(result.storageInstanceId)) {
      return Error(kErrorAlreadyExists,
                   "the device is already plugged in: " + result.storageInstanceId);
    }
  }
  return std::nullopt;
}

// The USB device's Enum key, as the system writes it when it installs the device.
std::optional<PnpError> WriteUsbKey(Registry& reg, const PlugRequest& request, const PlugPlan& plan,
                                    const PlugResult& result, const std::string& parentIdPrefix) {
  auto key = CreateInstanceKey(reg, result.usbInstanceId);
  if (!key) return Error(key.error(), "cannot create the device's registry key");
  char hw[64];
  std::snprintf(hw, sizeof hw, "USB\\%s&REV_%s", plan.vidpid.c_str(), plan.rev.c_str());
  if (plan.storage) {
    key->Sz("DeviceDesc", "USB Mass Storage Device");
    key->Sz("Service", "USBSTOR");
    key->Sz("Mfg", "Compatible USB storage device");
  } else {
    if (!request.productName.empty()) key->Sz("DeviceDesc", std::string(Trim(request.productName)));
    key->Sz("Service", "usbccgp");
    if (!request.vendorName.empty()) key->Sz("Mfg", std::string(Trim(request.vendorName)));
  }
  key->Sz("Class", "USB");
  key->Sz("ClassGUID", kClassUsb.text);
  key->Multi("HardwareID", {hw, "USB\\" + plan.vidpid});
  key->Sz("LocationInformation", "Port_#0001.Hub_#0001");
  if (!parentIdPrefix.empty()) key->Sz("ParentIdPrefix", parentIdPrefix);
  if (key->error != kErrorSuccess) {
    return Error(key->error, "cannot write the device's registry values");
  }
  return std::nullopt;
}

// The storage unit's Enum key. With deferNames its names come later (WriteDeferredNames).
std::optional<PnpError> WriteStorageKey(Registry& reg, const PlugRequest& request,
                                        const PlugPlan& plan, const PlugResult& result) {
  auto key = CreateInstanceKey(reg, result.storageInstanceId);
  if (!key) return Error(key.error(), "cannot create the disk's registry key");
  const StorageProfile& profile = plan.profile;
  if (request.deferNames) {
    // A plug that replaces an older installation must not show the old names early.
    (void)key->key.DeleteValue("FriendlyName");
    (void)key->key.DeleteValue("DeviceDesc");
  } else {
    key->Sz("FriendlyName", plan.friendly);
    key->Sz("DeviceDesc", profile.description);
  }
  key->Sz("Class", profile.storageClass == StorageClass::kDisk    ? "DiskDrive"
                   : profile.storageClass == StorageClass::kCdRom ? "CDROM"
                                                                  : "FloppyDisk");
  key->Sz("ClassGUID", profile.setupClass.text);
  key->Sz("Service", profile.service);
  key->Sz("Mfg", profile.storageClass == StorageClass::kCdRom ? "(Standard CD-ROM drives)"
                                                              : "(Standard disk drives)");
  const std::string bus = plan.usb ? "USBSTOR\\" : "SCSI\\";
  key->Multi("HardwareID", {bus + profile.type + plan.ven + plan.prod + plan.rev,
                            bus + profile.type + plan.ven + plan.prod});
  if (key->error != kErrorSuccess) {
    return Error(key->error, "cannot write the disk's registry values");
  }
  return std::nullopt;
}

// A devinst is unique now and, as far as it can be, stable for an ID.
void GiveDevInst(const DeviceState& s, DeviceRecord& d) {
  DevInst v = DevInstForInstanceId(d.instanceId);
  while (s.FindDevInst(v) || v < 2) v = v + 1;
  d.devInst = v;
}

void AddUsbDevice(DeviceState& s, const PlugResult& result) {
  DeviceRecord d;
  d.instanceId = result.usbInstanceId;
  GiveDevInst(s, d);
  d.classGuid = kClassUsb;
  d.interfaces.push_back(
      {kGuidUsbDeviceInterface, InterfacePath(result.usbInstanceId, kGuidUsbDeviceInterface)});
  s.devices.push_back(std::move(d));
}

// The storage unit's record, with the first device number its class has free. Its devinst is
// given when it joins the tree.
DeviceRecord StorageUnitFor(const DeviceState& s, const PlugRequest& request, const PlugPlan& plan,
                            const PlugResult& result) {
  const StorageProfile& profile = plan.profile;
  DeviceRecord unit;
  unit.instanceId = result.storageInstanceId;
  unit.parentId = result.usbInstanceId;
  unit.classGuid = profile.setupClass;
  unit.interfaces.push_back(
      {profile.interfaceClass, InterfacePath(result.storageInstanceId, profile.interfaceClass)});
  unit.storage = profile.storageClass;
  unit.deviceType =
      profile.storageClass == StorageClass::kCdRom ? kFileDeviceCdRom : kFileDeviceDisk;
  unit.busType = plan.usb ? kBusTypeUsb : kBusTypeSata;
  unit.removableMedia =
      request.kind != DeviceKind::kUsbHardDisk && request.kind != DeviceKind::kFixedDisk;
  unit.vendorId = plan.ven;
  unit.productId = plan.prod;
  unit.productRevision = plan.rev;
  unit.serialNumber = plan.serial;
  for (std::uint32_t n = profile.storageClass == StorageClass::kDisk ? 1 : 0;; ++n) {
    const bool taken = std::any_of(s.devices.begin(), s.devices.end(), [&](const DeviceRecord& d) {
      return d.storage == profile.storageClass && d.deviceNumber == n;
    });
    if (!taken) {
      unit.deviceNumber = n;
      break;
    }
  }
  return unit;
}

// What the mount manager keeps for a volume: the device's interface name for removable media,
// an MBR disk's signature and partition offset (1 MiB) otherwise.
std::vector<std::uint8_t> MountDataFor(const DeviceRecord& unit,
                                       const DeviceClassGuid& interfaceClass) {
  if (unit.removableMedia) {
    return Utf16("_??_" + InterfacePath(unit.instanceId, interfaceClass).substr(4));
  }
  const std::uint32_t signature = static_cast<std::uint32_t>(Fnv64(unit.instanceId));
  return {static_cast<std::uint8_t>(signature),
          static_cast<std::uint8_t>(signature >> 8),
          static_cast<std::uint8_t>(signature >> 16),
          static_cast<std::uint8_t>(signature >> 24),
          0,
          0,
          0x10,
          0,
          0,
          0,
          0,
          0};
}

// The unit's volume, without letter and backing folder. A hard disk's volume takes the next
// volume number of the machine.
VolumeRecord VolumeFor(DeviceState& s, const DeviceRecord& unit, const StorageProfile& profile) {
  VolumeRecord volume;
  volume.name = "Volume{" + GuidFrom(ToUpperAscii(unit.instanceId)) + "}";
  volume.deviceId = unit.instanceId;
  switch (profile.storageClass) {
    case StorageClass::kCdRom:
      volume.ntDevice = "\\Device\\CdRom" + std::to_string(unit.deviceNumber);
      volume.driveType = kDriveCdRom;
      break;
    case StorageClass::kFloppy:
      volume.ntDevice = "\\Device\\Floppy" + std::to_string(unit.deviceNumber);
      volume.driveType = kDriveRemovable;
      break;
    default:
      volume.ntDevice = "\\Device\\HarddiskVolume" + std::to_string(s.nextVolumeNumber++);
      volume.driveType = unit.removableMedia ? kDriveRemovable : kDriveFixed;
      break;
  }
  volume.mountData = MountDataFor(unit, profile.interfaceClass);
  return volume;
}

// The letter: asked for, else the one this volume had before if it is free, else the next free
// one (floppies first try A: and B:). 0 when all letters are taken: mounted without one.
std::optional<PnpError> ChooseLetter(const DeviceState& s, Registry& reg,
                                     const StorageProfile& profile, VolumeRecord& volume,
                                     char asked) {
  const std::uint32_t used = s.LetterMask();
  char letter = asked;
  if (letter != 0) {
    if (used & (1u << (letter - 'A'))) {
      const VolumeRecord* other = s.FindLetter(letter);
      return Error(kErrorAlreadyExists, std::string("drive letter ") + letter + ": is in use by " +
                                            (other ? other->name : std::string("?")));
    }
  } else {
    auto mounted = RegKey::Open(reg, kMountedDevicesKey);
    if (mounted) {
      // 26 lookups by name rather than a walk over every volume the machine ever saw.
      for (char l = 'A'; l <= 'Z' && letter == 0; ++l) {
        if (used & (1u << (l - 'A'))) continue;
        auto value = mounted->QueryValue(DosDevicesName(l));
        if (value && IsSaneMountData(*value) && value->data == volume.mountData) letter = l;
      }
    }
    if (letter == 0) {
      std::string order = profile.storageClass == StorageClass::kFloppy ? "AB" : "";
      for (char c = 'D'; c <= 'Z'; ++c) order += c;
      for (char c : order)
        if (!(used & (1u << (c - 'A')))) {
          letter = c;
          break;
        }
    }
  }
  volume.letter = letter;
  return std::nullopt;
}

// The folder that holds the volume's files: a link to `contents` when given, else a folder of
// the machine root that keeps what earlier plugs of the volume left.
std::optional<PnpError> PrepareBacking(const Machine& machine,
                                       const std::filesystem::path& contents,
                                       VolumeRecord& volume) {
  const std::filesystem::path backing = machine.VolumesDirectory() / volume.name;
  std::error_code fsError;
  if (!contents.empty()) {
    const bool isLink = std::filesystem::is_symlink(backing, fsError);
    if (!isLink && std::filesystem::exists(backing, fsError) &&
        !std::filesystem::is_empty(backing, fsError)) {
      return Error(kErrorAlreadyExists, "the volume already keeps its own files in " +
                                            backing.string() + "; plug it without a directory");
    }
    std::filesystem::remove(backing, fsError);
    std::filesystem::create_symlink(std::filesystem::absolute(contents, fsError), backing, fsError);
  } else if (!std::filesystem::exists(backing, fsError)) {
    std::filesystem::create_directories(backing, fsError);
  }
  if (fsError) {
    return Error(kErrorAccessDenied, "cannot prepare the volume's directory " + backing.string() +
                                         ": " + fsError.message());
  }
  volume.backing = backing;
  return std::nullopt;
}

// The whole change of the machine's records for one plug: names, registry keys, the live tree,
// the volume with its letter and folder. *mountData gets the volume's mount manager data.
std::optional<PnpError> RecordPlug(DeviceState& s, const Machine& machine, Registry& reg,
                                   const PlugRequest& request, const PlugPlan& plan,
                                   PlugResult& result, std::vector<std::uint8_t>* mountData) {
  std::string parentIdPrefix;
  if (auto e = NameDevices(s, plan, result, &parentIdPrefix)) return e;
  if (plan.usb) {
    if (auto e = WriteUsbKey(reg, request, plan, result, parentIdPrefix)) return e;
  }
  if (plan.storage) {
    if (auto e = WriteStorageKey(reg, request, plan, result)) return e;
  }
  if (plan.usb) AddUsbDevice(s, result);
  if (!plan.storage) return std::nullopt;

  DeviceRecord unit = StorageUnitFor(s, request, plan, result);
  VolumeRecord volume = VolumeFor(s, unit, plan.profile);
  *mountData = volume.mountData;
  if (auto e = ChooseLetter(s, reg, plan.profile, volume, plan.letter)) return e;
  if (auto e = PrepareBacking(machine, request.contents, volume)) return e;

  GiveDevInst(s, unit);
  result.volumeName = volume.name;
  result.letter = volume.letter;
  result.backing = volume.backing;
  s.devices.push_back(std::move(unit));
  s.volumes.push_back(std::move(volume));
  return std::nullopt;
}

// The mount manager's records of a volume with a letter: the letter, the volume, and the
// unique-id entry. A volume has one letter: an older letter of the same volume goes.
void RecordMountPoints(Registry& reg, const PlugResult& result,
                       const std::vector<std::uint8_t>& mountData) {
  auto mounted = RegKey::Create(reg, kMountedDevicesKey);
  if (!mounted) return;
  for (char l = 'A'; l <= 'Z'; ++l) {
    if (l == result.letter) continue;
    auto value = mounted->QueryValue(DosDevicesName(l));
    if (value && value->data == mountData) (void)mounted->DeleteValue(DosDevicesName(l));
  }
  (void)mounted->SetValue(DosDevicesName(result.letter), RegType::kBinary, mountData);
  (void)mounted->SetValue("\\??\\" + result.volumeName, RegType::kBinary, mountData);
  (void)mounted->SetValue("#{" + GuidFrom("mount#" + ToUpperAscii(result.storageInstanceId)) + "}",
                          RegType::kBinary, mountData);
}

// The storage unit's names of a deferNames plug, once its USB arrival has been handled.
void WriteDeferredNames(Registry& reg, const PlugPlan& plan, const PlugResult& result) {
  auto key =
      RegKey::Open(reg, std::string(kEnumKey) + "\\" + result.storageInstanceId, RegAccess::kWrite);
  if (key) {
    (void)key->SetString("FriendlyName", plan.friendly);
    (void)key->SetString("DeviceDesc", plan.profile.description);
  }
}

// The arrivals the recorded plug makes: the USB interface (waited for with deferNames), the
// storage interface, and the volume with its mount points.
void AnnounceArrival(const Machine& machine, Registry& reg, const PlugRequest& request,
                     const PlugPlan& plan, const PlugResult& result,
                     const std::vector<std::uint8_t>& mountData) {
  const bool deferred = plan.storage && request.deferNames;
  DeviceBroadcaster broadcaster(machine);
  if (plan.usb) {
    const std::string path = InterfacePath(result.usbInstanceId, kGuidUsbDeviceInterface);
    if (deferred)
      broadcaster.DeviceInterfaceSync(kDbtDeviceArrival, kGuidUsbDeviceInterface, path,
                                      request.broadcastTimeout);
    else
      broadcaster.DeviceInterface(kDbtDeviceArrival, kGuidUsbDeviceInterface, path);
  }
  if (deferred) WriteDeferredNames(reg, plan, result);
  if (!plan.storage) return;
  broadcaster.DeviceInterface(kDbtDeviceArrival, plan.profile.interfaceClass,
                              InterfacePath(result.storageInstanceId, plan.profile.interfaceClass));
  if (result.letter) {
    RecordMountPoints(reg, result, mountData);
    broadcaster.Volume(kDbtDeviceArrival, 1u << (result.letter - 'A'));
  }
}

}  // namespace

std::optional<std::string> DeviceOfLetter(Machine& machine, char letter) {
  auto state = StateStore(machine).Read();
  if (!state) return std::nullopt;
  const VolumeRecord* volume = state->FindLetter(letter);
  if (!volume) return std::nullopt;
  std::string top = TopOf(*state, volume->deviceId);
  if (top.empty()) return std::nullopt;
  return top;
}

PnpOutcome<PlugResult> Plug(Machine& machine, const PlugRequest& request) {
  PnpOutcome<PlugResult> outcome;
  if (auto e = CheckRequest(request)) {
    outcome.error = std::move(*e);
    return outcome;
  }
  auto registry = machine.OpenRegistry();
  if (!registry) {
    outcome.error =
        Error(registry.error(), "cannot open the machine's registry: " + machine.RegistryError());
    return outcome;
  }
  if (!(*registry)->IsAdministrator()) {
    outcome.error =
        Error(kErrorAccessDenied, "plugging a device needs write access to the machine's registry");
    return outcome;
  }
  Registry& reg = **registry;
  const PlugPlan plan = PlanPlug(request);

  PlugResult result;
  std::vector<std::uint8_t> mountData;
  const WinError committed = StateStore(machine).Update([&](DeviceState& s) -> WinError {
    auto e = RecordPlug(s, machine, reg, request, plan, result, &mountData);
    if (!e) return kErrorSuccess;
    outcome.error = std::move(*e);
    return outcome.error.code;
  });
  if (committed != kErrorSuccess) {
    if (outcome.error.code == kErrorSuccess)
      outcome.error = Error(committed, "cannot record the device in the machine root");
    return outcome;
  }
  AnnounceArrival(machine, reg, request, plan, result, mountData);
  outcome.value = std::move(result);
  return outcome;
}

PnpOutcome<std::string> Unplug(Machine& machine, std::string_view what) {
  PnpOutcome<std::string> outcome;
  Removal removal;
  std::string top;
  const WinError e = StateStore(machine).Update([&](DeviceState& s) -> WinError {
    std::string_view w = what;
    if (w.size() == 2 && w[1] == ':') w.remove_suffix(1);
    if (w.size() == 1) {
      const VolumeRecord* v = s.FindLetter(w[0]);
      if (v) top = TopOf(s, v->deviceId);
    }
    if (top.empty() && s.FindDevice(what)) top = TopOf(s, what);
    if (top.empty()) {
      for (const auto& d : s.devices) {
        const std::size_t last = d.instanceId.rfind('\\');
        if (d.parentId.empty() && last != std::string::npos &&
            EqualsNoCase(std::string_view(d.instanceId).substr(last + 1), what)) {
          top = d.instanceId;
          break;
        }
      }
    }
    if (top.empty()) {
      outcome.error = Error(kErrorFileNotFound, "no present device is named " + std::string(what));
      return kErrorFileNotFound;
    }
    RemoveSubtree(s, top, removal);
    return kErrorSuccess;
  });
  if (e != kErrorSuccess) {
    if (outcome.error.code == kErrorSuccess)
      outcome.error = Error(e, "cannot update the device state in the machine root");
    return outcome;
  }
  BroadcastRemoval(machine, removal);
  outcome.value = top;
  return outcome;
}

EjectResult CmRequestDeviceEject(Machine& machine, DevInst devInst,
                                 std::chrono::milliseconds queryTimeout) {
  EjectResult result;
  auto state = StateStore(machine).Read();
  if (!state) {
    result.configRet = kCrNoSuchDevNode;
    return result;
  }
  const DeviceRecord* device = state->FindDevInst(devInst);
  if (devInst == kRootDevInst ||
      (device && !EqualsNoCase(EnumEnumerator(device->instanceId), "USB") &&
       !EqualsNoCase(EnumEnumerator(device->instanceId), "USBSTOR"))) {
    // Only what sits on a removable bus can be ejected.
    result.configRet = kCrRemoveVetoed;
    result.vetoType = 8;  // PNP_VetoIllegalDeviceRequest
    result.vetoName = device ? device->instanceId : std::string(kRootInstanceId);
    return result;
  }
  if (!device) {
    result.configRet = kCrNoSuchDevNode;
    return result;
  }
  const std::string topId = device->instanceId;
  std::vector<std::string> ids;
  for (const DeviceRecord* d : state->Subtree(topId)) ids.push_back(d->instanceId);

  DeviceBroadcaster broadcaster(machine);
  auto query = broadcaster.QueryRemove(ids, queryTimeout);
  auto vetoed = [&](std::uint32_t type, std::string name) {
    broadcaster.HandleEvent(kDbtDeviceQueryRemoveFailed, ids);
    result.configRet = kCrRemoveVetoed;
    result.vetoType = type;
    result.vetoName = name.substr(0, 259);
    return result;
  };
  if (query.denied) return vetoed(kPnpVetoWindowsApp, query.deniedBy);
  auto openHold = [&]() -> std::optional<HoldInfo> {
    for (auto& hold : ListHolds(machine)) {
      const bool concerned = std::any_of(ids.begin(), ids.end(), [&](const std::string& id) {
        return EqualsNoCase(id, hold.deviceId);
      });
      if (concerned) return hold;
    }
    return std::nullopt;
  };
  auto held = openHold();
  if (held && query.asked > 0) {
    // A recipient that agreed may close its handle on another thread just after answering (the
    // watcher's worker does): give the closes a moment before calling the handle outstanding.
    HoldWatch watch(machine);
    const auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
    while (held && watch.WaitForChange(deadline)) held = openHold();
  }
  if (held)
    return vetoed(kPnpVetoOutstandingOpen,
                  held->volume.empty() ? held->deviceId : "STORAGE\\Volume\\" + held->volume);

  Removal removal;
  bool gone = false;
  const WinError e = StateStore(machine).Update([&](DeviceState& s) -> WinError {
    if (!s.FindDevice(topId)) {
      gone = true;
      return kErrorFileNotFound;
    }
    RemoveSubtree(s, topId, removal);
    return kErrorSuccess;
  });
  if (e != kErrorSuccess) {
    result.configRet = gone ? kCrNoSuchDevNode : kCrAccessDenied;
    return result;
  }
  BroadcastRemoval(machine, removal);
  return result;
}

WinError DeleteVolumeMountPoint(Machine& machine, std::string_view mountPoint) {
  if (mountPoint.size() != 3 || mountPoint[1] != ':' || mountPoint[2] != '\\')
    return kErrorInvalidName;
  char letter = mountPoint[0];
  letter = ToUpperAscii(letter);
  if (letter < 'A' || letter > 'Z') return kErrorInvalidName;
  auto registry = machine.OpenRegistry();
  if (!registry) return registry.error();
  if (!(*registry)->IsAdministrator()) return kErrorAccessDenied;
  const WinError e = StateStore(machine).Update([&](DeviceState& s) -> WinError {
    for (auto& v : s.volumes)
      if (v.letter == letter) {
        v.letter = 0;
        return kErrorSuccess;
      }
    return kErrorFileNotFound;
  });
  if (e != kErrorSuccess) return e;
  auto mounted = RegKey::Open(**registry, kMountedDevicesKey, RegAccess::kWrite);
  if (mounted) (void)mounted->DeleteValue(DosDevicesName(letter));
  DeviceBroadcaster(machine).Volume(kDbtDeviceRemoveComplete, 1u << (letter - 'A'));
  return kErrorSuccess;
}

}  // namespace uv::platform
