#include "client/agent/identification/UsbDriveIdentification.h"

#include <cctype>
#include <cstring>

#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"

namespace uv::agent {

using namespace uv::platform;

namespace {

constexpr std::string_view kEnumPrefix = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr std::string_view kUsbStorKey = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr std::string_view kMountedDevicesKey = "SYSTEM\\MountedDevices";
constexpr std::size_t kValueNameBufferSize = 16383;

void TraceError(const char* what, std::uint32_t error) {
  TraceF("\n\t%s ,Err ID = %u", what, error);
}

// A string value as a buffer of kNameBufferSize bytes receives it: cut before the terminator.
std::optional<std::string> ReadName(const RegKey& key, std::string_view value) {
  auto text = key.QueryString(value);
  if (!text) return std::nullopt;
  if (text->size() > kNameBufferSize - 1) text->resize(kNameBufferSize - 1);
  return std::move(text).value();
}

// A key name that fits the name buffer; longer names are skipped by the walks.
bool FitsNameBuffer(const std::string& name) {
  return name.size() <= kNameBufferSize - 1;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string DriveName(const char* format, char letter) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, letter);
  return buffer;
}

}  // namespace

void CopyText(char* buffer, std::size_t size, std::string_view text) {
  if (size == 0) return;
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

void WhiteListDetails::Clear() {
  std::memset(UserText, 0, sizeof UserText);
  std::memset(DeviceText, 0, sizeof DeviceText);
  std::memset(MakeText, 0, sizeof MakeText);
}

std::string_view WhiteListDetails::User() const {
  return {UserText, strnlen(UserText, sizeof UserText)};
}
std::string_view WhiteListDetails::Device() const {
  return {DeviceText, strnlen(DeviceText, sizeof DeviceText)};
}
std::string_view WhiteListDetails::Make() const {
  return {MakeText, strnlen(MakeText, sizeof MakeText)};
}

std::string DeviceKeyText::Get() const {
  std::lock_guard lock(mutex_);
  return text_;
}
void DeviceKeyText::Set(std::string text) {
  std::lock_guard lock(mutex_);
  text_ = std::move(text);
}
void DeviceKeyText::Clear() {
  std::lock_guard lock(mutex_);
  text_.clear();
}
bool DeviceKeyText::Empty() const {
  std::lock_guard lock(mutex_);
  return text_.empty();
}

DeviceKeyText& csDeviceKey() {
  static DeviceKeyText text;
  return text;
}

bool GetDeviceDescription(Machine& machine, const DevBroadcastDeviceInterface& broadcast,
                          std::uint32_t code, std::string& description, WhiteListDetails& details) {
  description.clear();
  // "\\?\" goes; a name without it is not one the system sends.
  if (broadcast.name.size() < 4) return false;
  std::string id = broadcast.name.substr(4);
  const std::size_t lastHash = id.rfind('#');
  if (lastHash != std::string::npos) id.resize(lastHash);
  for (char& c : id)
    if (c == '#') c = '\\';
  id = UpperCase(std::move(id));

  const std::string enumerator = id.substr(0, id.find('\\'));
  if (enumerator == "ROOT") return false;

  csDeviceKey().Clear();
  std::string serial = id.substr(id.rfind('\\') + 1);

  auto registry = machine.OpenRegistry();
  if (registry) {
    Registry& reg = **registry;
    if (auto device = RegKey::Open(reg, std::string(kEnumPrefix) + id)) {
      // Read whole, not cut: a prefix that does not fit the buffer is not used at all, since
      // a cut one would match the wrong instance keys.
      auto prefix = device->QueryString("ParentIdPrefix");
      if (prefix && prefix->size() <= kNameBufferSize - 1) {
        serial = *prefix;
        Trace("ParentIdPrefix = " + serial);
      }
    }

    if (auto usbstor = RegKey::Open(reg, kUsbStorKey)) {
      for (std::uint32_t i = 0;; ++i) {
        auto typeName = usbstor->EnumKey(i);
        if (!typeName) break;
        if (!FitsNameBuffer(*typeName)) continue;
        const std::string typePath = std::string(kUsbStorKey) + "\\" + *typeName;
        auto typeKey = RegKey::Open(reg, typePath);
        if (!typeKey) continue;
        for (std::uint32_t j = 0;; ++j) {
          auto instanceName = typeKey->EnumKey(j);
          if (!instanceName) break;
          if (!FitsNameBuffer(*instanceName)) continue;
          if (instanceName->find(serial) == std::string::npos) continue;
          const std::string instancePath = typePath + "\\" + *instanceName;
          auto instanceKey = RegKey::Open(reg, instancePath);
          if (!instanceKey) continue;
          std::optional<std::string> name = ReadName(*instanceKey, "FriendlyName");
          const char* which = "FriendlyName =";
          if (!name) {
            name = ReadName(*instanceKey, "DeviceDesc");
            which = "DeviceDesc =";
          }
          if (!name) {
            csDeviceKey().Set(instancePath);
            Trace("In GetDeviceDescription");
            Trace("csDeviceKey =" + instancePath);
            return false;
          }
          description = *name;
          Trace("In GetDeviceDescription");
          Trace(which + description);
          CopyText(details.MakeText, sizeof details.MakeText, description);
          CopyText(details.DeviceText, sizeof details.DeviceText, description);
          const std::string device = std::string(details.Device()) + " " + serial;
          CopyText(details.DeviceText, sizeof details.DeviceText, device);
          return true;
        }
      }
    }
  }

  // Not a storage device (or its disk is not known yet): ask the device information of its
  // enumerator. A removed device is not present any more, so then every device is looked at.
  std::uint32_t flags = kDigcfAllClasses;
  if (code == kDbtDeviceArrival) flags |= kDigcfPresent;
  auto set = DeviceInfoSet::GetClassDevs(machine, nullptr, enumerator, flags);
  if (!set) {
    TraceError("In SetupDiGetClassDevs", set.error());
    return false;
  }
  DeviceInfoData data;
  if (FindDeviceByInstanceId(*set, id, data)) {
    auto name = set->GetDeviceRegistryProperty(data, kSpdrpFriendlyName, kPropertyBufferSize);
    if (!name) name = set->GetDeviceRegistryProperty(data, kSpdrpDeviceDesc, kPropertyBufferSize);
    description = name ? *name : std::string("Unknown USB Device");
  }
  return true;
}

bool FindDeviceByInstanceId(const DeviceInfoSet& set, std::string_view instanceId,
                            DeviceInfoData& found) {
  for (std::uint32_t index = 0;; ++index) {
    auto member = set.EnumDeviceInfo(index);
    if (!member) return false;
    auto id = set.GetDeviceInstanceId(*member, kInstanceIdBufferSize);
    if (!id) return false;
    if (*id == instanceId) {
      found = *member;
      return true;
    }
  }
}

DevInst GetDrivesDevInstByDeviceNumber(Machine& machine, std::uint32_t deviceNumber,
                                       std::uint32_t driveType, std::string_view dosDevice,
                                       WinError* lastError) {
  WinError ignored = kErrorSuccess;
  WinError& error = lastError ? *lastError : ignored;
  error = kErrorSuccess;
  const DeviceClassGuid* cls = nullptr;
  switch (driveType) {
    case kDriveRemovable:
      cls = dosDevice.find("\\Floppy") != std::string_view::npos ? &kGuidFloppyInterface
                                                                 : &kGuidDiskInterface;
      break;
    case kDriveFixed:
      cls = &kGuidDiskInterface;
      break;
    case kDriveCdRom:
      cls = &kGuidCdRomInterface;
      break;
    default:
      return 0;
  }
  auto set = DeviceInfoSet::GetClassDevs(machine, cls, {}, kDigcfPresent | kDigcfDeviceInterface);
  if (!set) {
    error = set.error();
    TraceError("In SetupDiGetClassDevs", error);
    return 0;
  }
  for (std::uint32_t index = 0;; ++index) {
    auto iface = set->EnumDeviceInterfaces(*cls, index);
    if (!iface) {
      error = iface.error();
      TraceError("In SetupDiEnumDeviceInterfaces", error);
      return 0;
    }
    auto size = set->GetDeviceInterfaceDetailSize(*iface);
    if (!size || *size == 0 || *size > kMaxInterfaceDetailSize) continue;
    auto detail = set->GetDeviceInterfaceDetail(*iface, *size);
    if (!detail) {
      error = detail.error();
      TraceError("In SetupDiGetDeviceInterfaceDetail", error);
      return 0;
    }
    auto handle = DeviceHandle::Open(machine, detail->devicePath);
    if (!handle) {
      error = handle.error();
      TraceError("In CreateFile", error);
      return 0;
    }
    auto number = handle->GetDeviceNumber();
    handle->Close();
    if (!number) {
      error = number.error();
      TraceF("\n\tIn DeviceIoControl  with IOCTL_STORAGE_GET_DEVICE_NUMBER,Err ID = %u", error);
      return 0;
    }
    if (number->deviceNumber == deviceNumber) return detail->device.devInst;
  }
}

void RemoveMountedDeviceEntry(Machine& machine, const std::vector<std::uint8_t>& savedData) {
  if (savedData.empty()) return;
  auto registry = machine.OpenRegistry();
  if (!registry) return;
  auto key = RegKey::Open(**registry, kMountedDevicesKey, RegAccess::kAll);
  if (!key) return;
  for (std::uint32_t index = 0;; ++index) {
    auto value = key->EnumValue(index);
    if (!value) {
      // Only the end of the values ends the walk; anything else (a key deleted meanwhile) too,
      // since a retry could not do better.
      return;
    }
    if (value->name.size() > kValueNameBufferSize - 1 || !value->name.starts_with("#{")) continue;
    // Only a binary value of the same length and bytes is the same volume: a damaged entry
    // (another type, empty, or cut short) is never trusted to be it.
    if (value->value.type != RegType::kBinary || value->value.data != savedData) continue;
    (void)key->DeleteValue(value->name);
    return;
  }
}

bool IsUsbBusDrive(const DeviceHandle& volume, StorageDeviceDescriptor& descriptor) {
  auto result = volume.QueryStorageProperty();
  if (!result) return false;
  descriptor = *result;
  return true;
}

namespace {

struct EjectContext {
  EjectContext(Machine& m, char l) : machine(m), letter(l) {}
  Machine& machine;
  char letter;
  std::uint32_t driveType = kDriveUnknown;
  std::string dosDevice;
  std::vector<std::uint8_t> saved;
  std::uint32_t deviceNumber = 0;
  DevInst devInst = 0;
  DevInst parent = 0;

  bool ReadDrive() {
    driveType = GetDriveType(machine, DriveName("%c:\\", letter));
    auto target = QueryDosDevice(machine, DriveName("%c:", letter));
    if (!target) {
      TraceError("In QueryDosDevice", target.error());
      return false;
    }
    dosDevice = target->substr(0, kDosDeviceBufferSize - 1);
    return true;
  }

  void SaveMountData(bool checkType) {
    auto registry = machine.OpenRegistry();
    if (!registry) return;
    auto key = RegKey::Open(**registry, kMountedDevicesKey, RegAccess::kWrite);
    if (!key) return;
    auto value = key->QueryValue(DriveName("\\DosDevices\\%c:", letter));
    if (value && (!checkType || value->type == RegType::kBinary)) saved = value->data;
  }

  void DeleteMountPoint() { (void)DeleteVolumeMountPoint(machine, DriveName("%c:\\", letter)); }

  bool ReadNumber(DeviceHandle& handle) {
    auto number = handle.GetDeviceNumber();
    handle.Close();
    if (!number) {
      TraceError("In DeviceIoControl with IOCTL_STORAGE_GET_DEVICE_NUMBER", number.error());
      return false;
    }
    if (number->deviceNumber == 0xFFFFFFFFu) {
      // A volume that spans disks has no single device number.
      TraceError("In Device Number assigning", kErrorInvalidData);
      return false;
    }
    deviceNumber = number->deviceNumber;
    return true;
  }

  bool FindDevice() {
    WinError error = kErrorSuccess;
    devInst = GetDrivesDevInstByDeviceNumber(machine, deviceNumber, driveType, dosDevice, &error);
    if (devInst == 0 && error != kErrorSuccess) {
      TraceError("In GetDrivesDevInstByDeviceNumber", error);
      return false;
    }
    const std::uint32_t cr = CmGetParent(machine, &parent, devInst);
    if (cr != kCrSuccess) {
      TraceError("In CM_Get_Parent", cr);
      return false;
    }
    return true;
  }

  bool Eject() {
    const EjectResult result = CmRequestDeviceEject(machine, parent);
    // Whatever the outcome, the volume's unique-id entry goes, as the mount point already did.
    RemoveMountedDeviceEntry(machine, saved);
    saved.clear();
    if (result.Succeeded()) return true;
    TraceError("In CM_Request_Device_EjectW",
               result.configRet != kCrSuccess ? result.configRet : result.vetoType);
    return false;
  }
};

}  // namespace

bool EjectDrive(Machine& machine, int driveIndex, EjectOrder order) {
  if (driveIndex < 0 || driveIndex > 25) return false;
  EjectContext ctx(machine, static_cast<char>('A' + driveIndex));
  auto handle = DeviceHandle::Open(machine, DriveName("\\\\.\\%c:", ctx.letter));
  if (!handle) {
    TraceError("In CreateFile", handle.error());
    return false;
  }
  if (order == EjectOrder::kClient) {
    if (!ctx.ReadDrive()) return false;
    ctx.SaveMountData(true);
    // The letter goes before anything else is known about the device.
    ctx.DeleteMountPoint();
    if (!ctx.ReadNumber(*handle)) return false;
    if (!ctx.FindDevice()) return false;
  } else {
    if (!ctx.ReadNumber(*handle)) return false;
    if (!ctx.ReadDrive()) return false;
    if (!ctx.FindDevice()) return false;
    // Only now that the device is known is the drive letter touched.
    ctx.SaveMountData(false);
    ctx.DeleteMountPoint();
  }
  return ctx.Eject();
}

}  // namespace uv::agent
