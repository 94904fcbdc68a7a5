#include "platform/pnp/DeviceManager.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

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
  const bool usb = request.kind != DeviceKind::kFixedDisk;
  const bool storage = request.kind != DeviceKind::kUsbOther;
  if (!IsNameText(request.vendorName) || !IsNameText(request.productName) ||
      !IsNameText(request.revision)) {
    outcome.error = Error(kErrorInvalidParameter,
                          "vendor, product and revision names must be printable text of at most 64 "
                          "characters without \\ # & /");
    return outcome;
  }
  if (request.serial && !IsSerialText(*request.serial)) {
    outcome.error = Error(kErrorInvalidParameter,
                          "a serial number has 1 to 126 characters: letters, digits, _ - .");
    return outcome;
  }
  char letter = request.letter;
  letter = ToUpperAscii(letter);
  if (letter != 0 && (letter < 'A' || letter > 'Z')) {
    outcome.error = Error(kErrorInvalidParameter, "a drive letter is one of A to Z");
    return outcome;
  }
  if (!storage && (letter != 0 || !request.contents.empty())) {
    outcome.error = Error(kErrorInvalidParameter, "a device that is not storage has no drive");
    return outcome;
  }
  std::error_code ec;
  if (!request.contents.empty() && !std::filesystem::is_directory(request.contents, ec)) {
    outcome.error =
        Error(kErrorPathNotFound, "not an existing directory: " + request.contents.string());
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

  char vidpid[32];
  std::snprintf(vidpid, sizeof vidpid, "VID_%04X&PID_%04X", request.vendorId, request.productId);
  const std::string serial = request.serial ? ToUpperAscii(*request.serial) : std::string();
  const std::string ven = InquiryField(request.vendorName, 8);
  const std::string prod = InquiryField(request.productName, 16);
  const std::string rev = InquiryField(request.revision, 4);
  const std::string displayName(
      Trim(std::string(Trim(request.vendorName)) + " " + std::string(Trim(request.productName))));

  PlugResult result;
  StorageClass storageClass = StorageClass::kNone;
  DeviceClassGuid storageSetupClass, storageInterface;
  std::string storageType, storageDesc, storageService;
  switch (request.kind) {
    case DeviceKind::kUsbStick:
    case DeviceKind::kUsbHardDisk:
    case DeviceKind::kFixedDisk:
      storageClass = StorageClass::kDisk;
      storageSetupClass = kClassDiskDrive;
      storageInterface = kGuidDiskInterface;
      storageType = "Disk";
      storageDesc = "Disk drive";
      storageService = "disk";
      break;
    case DeviceKind::kCdRom:
      storageClass = StorageClass::kCdRom;
      storageSetupClass = kClassCdRom;
      storageInterface = kGuidCdRomInterface;
      storageType = "CdRom";
      storageDesc = "CD-ROM Drive";
      storageService = "cdrom";
      break;
    case DeviceKind::kFloppy:
      storageClass = StorageClass::kFloppy;
      storageSetupClass = kClassFloppy;
      storageInterface = kGuidFloppyInterface;
      storageType = "SFloppy";
      storageDesc = "Floppy disk drive";
      storageService = "sfloppy";
      break;
    case DeviceKind::kUsbOther:
      break;
  }
  const std::string friendly =
      displayName + (request.kind == DeviceKind::kFixedDisk ? " ATA Device" : " USB Device");
  std::vector<std::uint8_t> mountData;
  std::string deferredKey;

  StateStore store(machine);
  const WinError committed = store.Update([&](DeviceState& s) -> WinError {
    // Names.
    std::string parentIdPrefix;
    if (usb) {
      std::string instance = serial;
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
      result.usbInstanceId = "USB\\" + std::string(vidpid) + "\\" + instance;
      if (s.FindDevice(result.usbInstanceId)) {
        outcome.error =
            Error(kErrorAlreadyExists, "the device is already plugged in: " + result.usbInstanceId);
        return outcome.error.code;
      }
      if (storage && serial.empty())
        parentIdPrefix =
            "6&" + Hex8(static_cast<std::uint32_t>(Fnv64(result.usbInstanceId))) + "&0";
    }
    if (storage) {
      const std::string hardware = storageType + "&Ven_" + ven + "&Prod_" + prod;
      if (usb) {
        result.storageInstanceId = "USBSTOR\\" + hardware + "&Rev_" + rev + "\\" +
                                   (serial.empty() ? parentIdPrefix : serial) + "&0";
      } else {
        const std::string seed = serial.empty() ? hardware : serial;
        result.storageInstanceId = "SCSI\\" + hardware + "\\4&" +
                                   Hex8(static_cast<std::uint32_t>(Fnv64(seed))) + "&0&000000";
      }
      if (s.FindDevice(result.storageInstanceId)) {
        outcome.error = Error(kErrorAlreadyExists,
                              "the device is already plugged in: " + result.storageInstanceId);
        return outcome.error.code;
      }
    }

    // The device registry, as the system writes it when it installs the device.
    if (usb) {
      auto key = CreateInstanceKey(reg, result.usbInstanceId);
      if (!key) {
        outcome.error = Error(key.error(), "cannot create the device's registry key");
        return key.error();
      }
      char hw[64];
      std::snprintf(hw, sizeof hw, "USB\\%s&REV_%s", vidpid, rev.c_str());
      if (storage) {
        key->Sz("DeviceDesc", "USB Mass Storage Device");
        key->Sz("Service", "USBSTOR");
        key->Sz("Mfg", "Compatible USB storage device");
      } else {
        if (!request.productName.empty())
          key->Sz("DeviceDesc", std::string(Trim(request.productName)));
        key->Sz("Service", "usbccgp");
        if (!request.vendorName.empty()) key->Sz("Mfg", std::string(Trim(request.vendorName)));
      }
      key->Sz("Class", "USB");
      key->Sz("ClassGUID", kClassUsb.text);
      key->Multi("HardwareID", {hw, "USB\\" + std::string(vidpid)});
      key->Sz("LocationInformation", "Port_#0001.Hub_#0001");
      if (!parentIdPrefix.empty()) key->Sz("ParentIdPrefix", parentIdPrefix);
      if (key->error != kErrorSuccess) {
        outcome.error = Error(key->error, "cannot write the device's registry values");
        return key->error;
      }
    }
    if (storage) {
      auto key = CreateInstanceKey(reg, result.storageInstanceId);
      if (!key) {
        outcome.error = Error(key.error(), "cannot create the disk's registry key");
        return key.error();
      }
      if (request.deferNames) {
        deferredKey = result.storageInstanceId;
        // A plug that replaces an older installation must not show the old names early.
        (void)key->key.DeleteValue("FriendlyName");
        (void)key->key.DeleteValue("DeviceDesc");
      } else {
        key->Sz("FriendlyName", friendly);
        key->Sz("DeviceDesc", storageDesc);
      }
      key->Sz("Class", storageClass == StorageClass::kDisk    ? "DiskDrive"
                       : storageClass == StorageClass::kCdRom ? "CDROM"
                                                              : "FloppyDisk");
      key->Sz("ClassGUID", storageSetupClass.text);
      key->Sz("Service", storageService);
      key->Sz("Mfg", storageClass == StorageClass::kCdRom ? "(Standard CD-ROM drives)"
                                                          : "(Standard disk drives)");
      key->Multi("HardwareID", {(usb ? "USBSTOR\\" : "SCSI\\") + storageType + ven + prod + rev,
                                (usb ? "USBSTOR\\" : "SCSI\\") + storageType + ven + prod});
      if (key->error != kErrorSuccess) {
        outcome.error = Error(key->error, "cannot write the disk's registry values");
        return key->error;
      }
    }

    // The live tree. A devinst is unique now and, as far as it can be, stable for an ID.
    auto giveDevInst = [&](DeviceRecord& d) {
      DevInst v = DevInstForInstanceId(d.instanceId);
      while (s.FindDevInst(v) || v < 2) v = v + 1;
      d.devInst = v;
    };
    if (usb) {
      DeviceRecord d;
      d.instanceId = result.usbInstanceId;
      giveDevInst(d);
      d.classGuid = kClassUsb;
      d.interfaces.push_back(
          {kGuidUsbDeviceInterface, InterfacePath(result.usbInstanceId, kGuidUsbDeviceInterface)});
      s.devices.push_back(std::move(d));
    }
    if (!storage) return kErrorSuccess;
    DeviceRecord unit;
    unit.instanceId = result.storageInstanceId;
    unit.parentId = result.usbInstanceId;
    unit.classGuid = storageSetupClass;
    unit.interfaces.push_back(
        {storageInterface, InterfacePath(result.storageInstanceId, storageInterface)});
    unit.storage = storageClass;
    unit.deviceType = storageClass == StorageClass::kCdRom ? kFileDeviceCdRom : kFileDeviceDisk;
    unit.busType = usb ? kBusTypeUsb : kBusTypeSata;
    unit.removableMedia =
        request.kind != DeviceKind::kUsbHardDisk && request.kind != DeviceKind::kFixedDisk;
    unit.vendorId = ven;
    unit.productId = prod;
    unit.productRevision = rev;
    unit.serialNumber = serial;
    for (std::uint32_t n = storageClass == StorageClass::kDisk ? 1 : 0;; ++n) {
      const bool taken = std::any_of(
          s.devices.begin(), s.devices.end(),
          [&](const DeviceRecord& d) { return d.storage == storageClass && d.deviceNumber == n; });
      if (!taken) {
        unit.deviceNumber = n;
        break;
      }
    }

    VolumeRecord volume;
    volume.name = "Volume{" + GuidFrom(ToUpperAscii(result.storageInstanceId)) + "}";
    volume.deviceId = result.storageInstanceId;
    switch (storageClass) {
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
    if (unit.removableMedia) {
      mountData =
          Utf16("_??_" + InterfacePath(result.storageInstanceId, storageInterface).substr(4));
    } else {
      // An MBR disk's volume: disk signature and partition offset (1 MiB).
      const std::uint32_t signature = static_cast<std::uint32_t>(Fnv64(result.storageInstanceId));
      mountData = {static_cast<std::uint8_t>(signature),
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
    volume.mountData = mountData;

    // The letter: asked for, else the one this volume had before if it is free, else the next
    // free one (floppies first try A: and B:).
    const std::uint32_t used = s.LetterMask();
    if (letter != 0) {
      if (used & (1u << (letter - 'A'))) {
        const VolumeRecord* other = s.FindLetter(letter);
        outcome.error =
            Error(kErrorAlreadyExists, std::string("drive letter ") + letter + ": is in use by " +
                                           (other ? other->name : std::string("?")));
        return outcome.error.code;
      }
    } else {
      auto mounted = RegKey::Open(reg, kMountedDevicesKey);
      if (mounted) {
        // 26 lookups by name rather than a walk over every volume the machine ever saw.
        for (char l = 'A'; l <= 'Z' && letter == 0; ++l) {
          if (used & (1u << (l - 'A'))) continue;
          auto value = mounted->QueryValue(DosDevicesName(l));
          if (value && IsSaneMountData(*value) && value->data == mountData) letter = l;
        }
      }
      if (letter == 0) {
        std::string order = storageClass == StorageClass::kFloppy ? "AB" : "";
        for (char c = 'D'; c <= 'Z'; ++c) order += c;
        for (char c : order)
          if (!(used & (1u << (c - 'A')))) {
            letter = c;
            break;
          }
      }
    }
    volume.letter = letter;  // 0 when all letters are taken: mounted without one

    // Backing directory.
    const std::filesystem::path backing = machine.VolumesDirectory() / volume.name;
    std::error_code fsError;
    if (!request.contents.empty()) {
      const bool isLink = std::filesystem::is_symlink(backing, fsError);
      if (!isLink && std::filesystem::exists(backing, fsError) &&
          !std::filesystem::is_empty(backing, fsError)) {
        outcome.error =
            Error(kErrorAlreadyExists, "the volume already keeps its own files in " +
                                           backing.string() + "; plug it without a directory");
        return outcome.error.code;
      }
      std::filesystem::remove(backing, fsError);
      std::filesystem::create_symlink(std::filesystem::absolute(request.contents, fsError), backing,
                                      fsError);
    } else if (!std::filesystem::exists(backing, fsError)) {
      std::filesystem::create_directories(backing, fsError);
    }
    if (fsError) {
      outcome.error = Error(kErrorAccessDenied, "cannot prepare the volume's directory " +
                                                    backing.string() + ": " + fsError.message());
      return outcome.error.code;
    }
    volume.backing = backing;

    giveDevInst(unit);
    result.volumeName = volume.name;
    result.letter = volume.letter;
    result.backing = backing;
    s.devices.push_back(std::move(unit));
    s.volumes.push_back(std::move(volume));
    return kErrorSuccess;
  });
  if (committed != kErrorSuccess) {
    if (outcome.error.code == kErrorSuccess)
      outcome.error = Error(committed, "cannot record the device in the machine root");
    return outcome;
  }

  DeviceBroadcaster broadcaster(machine);
  if (usb) {
    const std::string path = InterfacePath(result.usbInstanceId, kGuidUsbDeviceInterface);
    if (!deferredKey.empty())
      broadcaster.DeviceInterfaceSync(kDbtDeviceArrival, kGuidUsbDeviceInterface, path,
                                      request.broadcastTimeout);
    else
      broadcaster.DeviceInterface(kDbtDeviceArrival, kGuidUsbDeviceInterface, path);
  }
  if (!deferredKey.empty()) {
    auto key = RegKey::Open(reg, std::string(kEnumKey) + "\\" + deferredKey, RegAccess::kWrite);
    if (key) {
      (void)key->SetString("FriendlyName", friendly);
      (void)key->SetString("DeviceDesc", storageDesc);
    }
  }
  if (!storage) {
    outcome.value = std::move(result);
    return outcome;
  }
  broadcaster.DeviceInterface(kDbtDeviceArrival, storageInterface,
                              InterfacePath(result.storageInstanceId, storageInterface));
  if (result.letter) {
    // The mount manager's records: the letter, the volume, and the unique-id entry.
    auto mounted = RegKey::Create(reg, kMountedDevicesKey);
    if (mounted) {
      // A volume has one letter: an older letter of the same volume goes.
      for (char l = 'A'; l <= 'Z'; ++l) {
        if (l == result.letter) continue;
        auto value = mounted->QueryValue(DosDevicesName(l));
        if (value && value->data == mountData) (void)mounted->DeleteValue(DosDevicesName(l));
      }
      (void)mounted->SetValue(DosDevicesName(result.letter), RegType::kBinary, mountData);
      (void)mounted->SetValue("\\??\\" + result.volumeName, RegType::kBinary, mountData);
      (void)mounted->SetValue(
          "#{" + GuidFrom("mount#" + ToUpperAscii(result.storageInstanceId)) + "}",
          RegType::kBinary, mountData);
    }
    broadcaster.Volume(kDbtDeviceArrival, 1u << (result.letter - 'A'));
  }
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
