#pragma once
// Device information sets and the configuration manager's tree queries over the emulated
// device tree.
//
// - A set of devices (no kDigcfDeviceInterface) is read from the device registry,
//   SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>, in registry enumeration
//   order; kDigcfPresent keeps only the devices present now, so without it devices that have
//   left are members too. kDigcfAllClasses takes every class, otherwise only members whose
//   ClassGUID value is the given class.
// - A set of interfaces (kDigcfDeviceInterface) holds the present devices that expose an
//   interface of the class, in order of arrival.
// - Properties come from the instance key's values (FriendlyName, DeviceDesc).
// Buffers keep the sizes callers pass: a text that does not fit with its terminator fails with
// kErrorInsufficientBuffer and nothing is cut.
//
// Thread affinity: none; a set is a snapshot taken when it was built.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"
#include "platform/pnp/DeviceTypes.h"

namespace uv::platform {

class Machine;

// SP_DEVICE_INTERFACE_DATA: one interface of an interface set.
struct DeviceInterfaceData {
  DeviceClassGuid interfaceClass;
  std::uint32_t index = 0;  // into the set
};

class DeviceInfoSet {
 public:
  // SetupDiGetClassDevsA. `classGuid` may be null (with kDigcfAllClasses); an empty
  // `enumerator` means every enumerator. kErrorInvalidParameter when neither a class nor
  // kDigcfAllClasses is given; kErrorInvalidData for an enumerator that is not a plain name.
  static Result<DeviceInfoSet> GetClassDevs(Machine& machine, const DeviceClassGuid* classGuid,
                                            std::string_view enumerator, std::uint32_t flags);

  std::size_t Size() const { return members_.size(); }

  // SetupDiEnumDeviceInfo: kErrorNoMoreItems past the end.
  Result<DeviceInfoData> EnumDeviceInfo(std::uint32_t index) const;
  // SetupDiEnumDeviceInterfaces (no device filter): kErrorNoMoreItems past the end.
  Result<DeviceInterfaceData> EnumDeviceInterfaces(const DeviceClassGuid& interfaceClass,
                                                   std::uint32_t index) const;
  // SetupDiGetDeviceInterfaceDetailA, first call: the size of the detail record (its 4-byte
  // size field, the device path and its terminator).
  Result<std::uint32_t> GetDeviceInterfaceDetailSize(const DeviceInterfaceData& data) const;
  // Second call, with a buffer of `bufferSize` bytes.
  Result<DeviceInterfaceDetail> GetDeviceInterfaceDetail(const DeviceInterfaceData& data,
                                                         std::uint32_t bufferSize) const;
  // SetupDiGetDeviceInstanceIdA into `bufferSize` characters.
  Result<std::string> GetDeviceInstanceId(const DeviceInfoData& data,
                                          std::uint32_t bufferSize) const;
  // SetupDiGetDeviceRegistryPropertyA for kSpdrpFriendlyName or kSpdrpDeviceDesc into
  // `bufferSize` bytes. kErrorInvalidData when the device has no such property.
  Result<std::string> GetDeviceRegistryProperty(const DeviceInfoData& data, std::uint32_t property,
                                                std::uint32_t bufferSize) const;

 private:
  struct Member {
    DeviceInfoData info;
    std::string interfacePath;  // interface sets only
  };
  explicit DeviceInfoSet(Machine& machine) : machine_(&machine) {}
  Machine* machine_;
  bool interfaces_ = false;
  DeviceClassGuid interfaceClass_;
  std::vector<Member> members_;
};

// The DEVINST a device would have (present devices keep the value they were given on arrival).
DevInst DevInstForInstanceId(std::string_view instanceId);

// CM_Get_Parent: kCrSuccess and the parent's DEVINST; the devices at the top of the tree have
// the root (kRootDevInst) as parent. kCrNoSuchDevNode when `child` is not present.
std::uint32_t CmGetParent(Machine& machine, DevInst* parent, DevInst child);
// CM_Get_Device_ID of a present device.
std::uint32_t CmGetDeviceId(Machine& machine, DevInst devInst, std::string* instanceId);
// CM_Locate_DevNode of a present device (normal flag).
std::uint32_t CmLocateDevNode(Machine& machine, DevInst* devInst, std::string_view instanceId);

inline constexpr DevInst kRootDevInst = 1;
inline constexpr std::string_view kRootInstanceId = "HTREE\\ROOT\\0";

}  // namespace uv::platform
