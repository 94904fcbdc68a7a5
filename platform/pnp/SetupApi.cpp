#include "platform/pnp/SetupApi.h"

#include <algorithm>

#include "platform/common/Text.h"
#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceState.h"
#include "platform/registry/Registry.h"

namespace uv::platform {

namespace {

constexpr std::string_view kEnumKey = "SYSTEM\\CurrentControlSet\\Enum";

bool IsPlainKeyName(std::string_view name) {
  return !name.empty() && name.find('\\') == std::string_view::npos;
}

// Walks the instance keys below one enumerator key, in registry enumeration order.
void CollectEnumerator(const RegKey& enumKey, const std::string& enumeratorName,
                       const DeviceState& state, const DeviceClassGuid* classGuid,
                       std::uint32_t flags, std::vector<DeviceInfoData>& out) {
  for (std::uint32_t i = 0;; ++i) {
    auto deviceName = enumKey.EnumKey(i);
    if (!deviceName) break;
    auto deviceKey = enumKey.OpenSubKey(*deviceName);
    if (!deviceKey) continue;
    for (std::uint32_t j = 0;; ++j) {
      auto instanceName = deviceKey->EnumKey(j);
      if (!instanceName) break;
      const std::string id = enumeratorName + "\\" + *deviceName + "\\" + *instanceName;
      const DeviceRecord* present = state.FindDevice(id);
      if ((flags & kDigcfPresent) && !present) continue;
      DeviceInfoData info;
      // The configuration manager hands out instance IDs in upper case, whatever the case of
      // the registry's key names.
      info.instanceId = ToUpperAscii(present ? present->instanceId : id);
      info.devInst = present ? present->devInst : DevInstForInstanceId(id);
      if (present) info.classGuid = present->classGuid;
      if (info.classGuid.text.empty()) {
        auto instanceKey = deviceKey->OpenSubKey(*instanceName);
        if (instanceKey) {
          auto text = instanceKey->QueryString("ClassGUID");
          if (text) {
            auto guid = ParseClassGuid(*text);
            if (guid) info.classGuid = *guid;
          }
        }
      }
      if (!(flags & kDigcfAllClasses) && classGuid && !(info.classGuid == *classGuid)) continue;
      out.push_back(std::move(info));
    }
  }
}

}  // namespace

DevInst DevInstForInstanceId(std::string_view instanceId) {
  std::uint32_t hash = 2166136261u;
  for (char c : instanceId) {
    hash ^= static_cast<std::uint8_t>(ToUpperAscii(c));
    hash *= 16777619u;
  }
  // 0 is "none" and 1 the root of the tree.
  return hash % 0x7FFFFFF0u + 2;
}

Result<DeviceInfoSet> DeviceInfoSet::GetClassDevs(Machine& machine,
                                                  const DeviceClassGuid* classGuid,
                                                  std::string_view enumerator,
                                                  std::uint32_t flags) {
  using R = Result<DeviceInfoSet>;
  if (!classGuid && !(flags & kDigcfAllClasses)) return R::Failure(kErrorInvalidParameter);
  auto state = StateStore(machine).Read();
  if (!state) return R::Failure(state.error());
  DeviceInfoSet set(machine);

  if (flags & kDigcfDeviceInterface) {
    if (!classGuid) return R::Failure(kErrorInvalidParameter);
    set.interfaces_ = true;
    set.interfaceClass_ = *classGuid;
    for (const auto& device : state->devices) {
      if (!enumerator.empty()) {
        const std::size_t sep = device.instanceId.find('\\');
        if (!EqualsNoCase(std::string_view(device.instanceId).substr(0, sep), enumerator)) continue;
      }
      for (const auto& iface : device.interfaces) {
        if (!(iface.classGuid == *classGuid)) continue;
        set.members_.push_back(
            {{device.classGuid, device.devInst, ToUpperAscii(device.instanceId)}, iface.path});
      }
    }
    return set;
  }

  if (!enumerator.empty() && !IsPlainKeyName(enumerator)) return R::Failure(kErrorInvalidData);
  auto registry = machine.OpenRegistry();
  if (!registry) return R::Failure(registry.error());
  auto root = RegKey::Open(**registry, kEnumKey);
  std::vector<DeviceInfoData> members;
  if (root) {
    std::vector<std::string> enumerators;
    if (!enumerator.empty()) {
      enumerators.emplace_back(enumerator);
    } else {
      for (std::uint32_t i = 0;; ++i) {
        auto name = root->EnumKey(i);
        if (!name) break;
        enumerators.push_back(*name);
      }
    }
    for (const auto& name : enumerators) {
      auto enumKey = root->OpenSubKey(name);
      if (!enumKey) continue;
      // The stored spelling of the enumerator, as instance IDs carry it.
      const std::string& path = enumKey->Path();
      const std::string stored = path.substr(path.rfind('\\') + 1);
      CollectEnumerator(*enumKey, stored, *state, classGuid, flags, members);
    }
  } else if (root.error() != kErrorFileNotFound) {
    return R::Failure(root.error());
  }
  // An enumerator nobody ever used gives a valid, empty set, as on Windows for "USB" on a
  // machine that never saw a USB device.
  for (auto& m : members) set.members_.push_back({std::move(m), {}});
  return set;
}

Result<DeviceInfoData> DeviceInfoSet::EnumDeviceInfo(std::uint32_t index) const {
  if (index >= members_.size()) return Result<DeviceInfoData>::Failure(kErrorNoMoreItems);
  return members_[index].info;
}

Result<DeviceInterfaceData> DeviceInfoSet::EnumDeviceInterfaces(
    const DeviceClassGuid& interfaceClass, std::uint32_t index) const {
  using R = Result<DeviceInterfaceData>;
  if (!interfaces_ || !(interfaceClass == interfaceClass_) || index >= members_.size())
    return R::Failure(kErrorNoMoreItems);
  return DeviceInterfaceData{interfaceClass, index};
}

Result<std::uint32_t> DeviceInfoSet::GetDeviceInterfaceDetailSize(
    const DeviceInterfaceData& data) const {
  if (!interfaces_ || data.index >= members_.size())
    return Result<std::uint32_t>::Failure(kErrorInvalidParameter);
  return static_cast<std::uint32_t>(4 + members_[data.index].interfacePath.size() + 1);
}

Result<DeviceInterfaceDetail> DeviceInfoSet::GetDeviceInterfaceDetail(
    const DeviceInterfaceData& data, std::uint32_t bufferSize) const {
  using R = Result<DeviceInterfaceDetail>;
  auto size = GetDeviceInterfaceDetailSize(data);
  if (!size) return R::Failure(size.error());
  if (bufferSize < *size) return R::Failure(kErrorInsufficientBuffer);
  return DeviceInterfaceDetail{members_[data.index].interfacePath, members_[data.index].info};
}

Result<std::string> DeviceInfoSet::GetDeviceInstanceId(const DeviceInfoData& data,
                                                       std::uint32_t bufferSize) const {
  if (data.instanceId.empty()) return Result<std::string>::Failure(kErrorInvalidParameter);
  if (data.instanceId.size() + 1 > bufferSize)
    return Result<std::string>::Failure(kErrorInsufficientBuffer);
  return data.instanceId;
}

Result<std::string> DeviceInfoSet::GetDeviceRegistryProperty(const DeviceInfoData& data,
                                                             std::uint32_t property,
                                                             std::uint32_t bufferSize) const {
  using R = Result<std::string>;
  std::string_view valueName;
  if (property == kSpdrpFriendlyName)
    valueName = "FriendlyName";
  else if (property == kSpdrpDeviceDesc)
    valueName = "DeviceDesc";
  else
    return R::Failure(kErrorInvalidParameter);
  auto registry = machine_->OpenRegistry();
  if (!registry) return R::Failure(registry.error());
  auto key = RegKey::Open(**registry, std::string(kEnumKey) + "\\" + data.instanceId);
  if (!key) return R::Failure(kErrorInvalidData);
  auto text = key->QueryString(valueName);
  if (!text) return R::Failure(kErrorInvalidData);
  if (text->size() + 1 > bufferSize) return R::Failure(kErrorInsufficientBuffer);
  return *text;
}

std::uint32_t CmGetParent(Machine& machine, DevInst* parent, DevInst child) {
  if (!parent) return kCrInvalidDevNode;
  *parent = 0;
  auto state = StateStore(machine).Read();
  if (!state) return kCrNoSuchDevNode;
  const DeviceRecord* device = state->FindDevInst(child);
  if (!device) return kCrNoSuchDevNode;
  if (device->parentId.empty()) {
    *parent = kRootDevInst;
    return kCrSuccess;
  }
  const DeviceRecord* up = state->FindDevice(device->parentId);
  if (!up) return kCrNoSuchDevNode;
  *parent = up->devInst;
  return kCrSuccess;
}

std::uint32_t CmGetDeviceId(Machine& machine, DevInst devInst, std::string* instanceId) {
  if (!instanceId) return kCrInvalidDevNode;
  if (devInst == kRootDevInst) {
    *instanceId = kRootInstanceId;
    return kCrSuccess;
  }
  auto state = StateStore(machine).Read();
  const DeviceRecord* device = state ? state->FindDevInst(devInst) : nullptr;
  if (!device) return kCrNoSuchDevNode;
  *instanceId = ToUpperAscii(device->instanceId);
  return kCrSuccess;
}

std::uint32_t CmLocateDevNode(Machine& machine, DevInst* devInst, std::string_view instanceId) {
  if (!devInst) return kCrInvalidDevNode;
  *devInst = 0;
  if (EqualsNoCase(instanceId, kRootInstanceId)) {
    *devInst = kRootDevInst;
    return kCrSuccess;
  }
  auto state = StateStore(machine).Read();
  const DeviceRecord* device = state ? state->FindDevice(instanceId) : nullptr;
  if (!device) return kCrNoSuchDevNode;
  *devInst = device->devInst;
  return kCrSuccess;
}

}  // namespace uv::platform
