// Conformance of the emulated device tree: the device registry a plug leaves, device information
// sets, the storage I/O controls on the three kinds of names, drive letters and MountedDevices.

#include <gtest/gtest.h>

#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceState.h"
#include "platform/pnp/SetupApi.h"
#include "platform/pnp/VolumeDriveResolver.h"
#include "platform/registry/Registry.h"
#include "tests/platform/pnp/PnpTestSupport.h"

namespace uv::platform {
namespace {

using testing::PlugOrFail;
using testing::Stick;

constexpr std::string_view kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";

class DeviceTreeTest : public ::testing::Test {
 protected:
  std::string Value(std::string_view key, std::string_view name) {
    auto k = RegKey::Open(temp_.registry(), key);
    if (!k) return "<no key>";
    auto v = k->QueryString(name);
    return v ? *v : "<no value>";
  }
  testing::TempMachine temp_;
  Machine& machine_ = temp_.machine();
};

TEST_F(DeviceTreeTest, PlugWritesTheDeviceRegistryAsTheSystemDoes) {
  const auto r = PlugOrFail(machine_, Stick("ab12cd"));
  EXPECT_EQ(r.usbInstanceId, "USB\\VID_0781&PID_5567\\AB12CD");
  EXPECT_EQ(r.storageInstanceId, "USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00\\AB12CD&0");
  const std::string usb = std::string(kEnum) + r.usbInstanceId;
  const std::string disk = std::string(kEnum) + r.storageInstanceId;
  EXPECT_EQ(Value(usb, "DeviceDesc"), "USB Mass Storage Device");
  EXPECT_EQ(Value(usb, "ParentIdPrefix"), "<no value>");  // it has a serial number
  EXPECT_EQ(Value(disk, "FriendlyName"), "SanDisk Cruzer Blade USB Device");
  EXPECT_EQ(Value(disk, "DeviceDesc"), "Disk drive");
  EXPECT_EQ(Value(disk, "ClassGUID"), "{4D36E967-E325-11CE-BFC1-08002BE10318}");

  // Keys stay after the device leaves.
  ASSERT_TRUE(Unplug(machine_, "AB12CD").ok());
  EXPECT_EQ(Value(disk, "FriendlyName"), "SanDisk Cruzer Blade USB Device");
}

TEST_F(DeviceTreeTest, ADeviceWithoutSerialPassesItsPrefixToItsDisk) {
  auto request = Stick("");
  request.serial.reset();
  const auto r = PlugOrFail(machine_, request);
  const std::string prefix = Value(std::string(kEnum) + r.usbInstanceId, "ParentIdPrefix");
  ASSERT_NE(prefix, "<no value>");
  EXPECT_EQ(r.storageInstanceId.substr(r.storageInstanceId.rfind('\\') + 1), prefix + "&0");
  // A second one on another port gets another ID and another prefix.
  auto second = request;
  second.productId = 0x1111;
  const auto r2 = PlugOrFail(machine_, second);
  EXPECT_NE(r2.usbInstanceId.substr(r2.usbInstanceId.rfind('\\')),
            r.usbInstanceId.substr(r.usbInstanceId.rfind('\\')));
  EXPECT_NE(Value(std::string(kEnum) + r2.usbInstanceId, "ParentIdPrefix"), prefix);
}

TEST_F(DeviceTreeTest, BadPlugRequestsAreRefusedAndChangeNothing) {
  auto bad = Stick("has space");
  EXPECT_FALSE(Plug(machine_, bad).ok());
  bad = Stick(std::string(127, 'A'));
  EXPECT_FALSE(Plug(machine_, bad).ok());
  bad = Stick("S1", "Back\\slash");
  EXPECT_FALSE(Plug(machine_, bad).ok());
  bad = Stick("S1");
  bad.contents = temp_.root() / "does-not-exist";
  EXPECT_FALSE(Plug(machine_, bad).ok());
  bad = Stick("S1");
  bad.kind = DeviceKind::kUsbOther;
  bad.letter = 'K';
  EXPECT_FALSE(Plug(machine_, bad).ok());
  auto state = StateStore(machine_).Read();
  ASSERT_TRUE(state.ok());
  EXPECT_TRUE(state->devices.empty());

  PlugOrFail(machine_, Stick("S1"));
  auto again = Plug(machine_, Stick("s1"));  // same device, other case
  EXPECT_FALSE(again.ok());
  EXPECT_EQ(again.error.code, kErrorAlreadyExists);
}

TEST_F(DeviceTreeTest, DeviceInfoSetsSeeRemovedDevicesOnlyWithoutThePresentFlag) {
  auto mouse = Stick("");
  mouse.serial.reset();
  mouse.kind = DeviceKind::kUsbOther;
  mouse.productName = "USB Optical Mouse";
  const auto m = PlugOrFail(machine_, mouse);
  const auto s = PlugOrFail(machine_, Stick("AAA1"));

  auto present =
      DeviceInfoSet::GetClassDevs(machine_, nullptr, "USB", kDigcfAllClasses | kDigcfPresent);
  ASSERT_TRUE(present.ok());
  EXPECT_EQ(present->Size(), 2u);
  ASSERT_TRUE(Unplug(machine_, m.usbInstanceId).ok());
  present = DeviceInfoSet::GetClassDevs(machine_, nullptr, "USB", kDigcfAllClasses | kDigcfPresent);
  ASSERT_TRUE(present.ok());
  ASSERT_EQ(present->Size(), 1u);
  EXPECT_EQ(present->EnumDeviceInfo(0)->instanceId, s.usbInstanceId);
  EXPECT_EQ(present->EnumDeviceInfo(1).error(), kErrorNoMoreItems);

  auto all = DeviceInfoSet::GetClassDevs(machine_, nullptr, "usb", kDigcfAllClasses);
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all->Size(), 2u);
  // Instance IDs come back in upper case, as the configuration manager gives them.
  const auto first = *all->EnumDeviceInfo(0);
  EXPECT_EQ(first.instanceId, ToUpperAscii(m.usbInstanceId));
  EXPECT_EQ(*all->GetDeviceRegistryProperty(first, kSpdrpDeviceDesc, 260), "USB Optical Mouse");
  EXPECT_EQ(all->GetDeviceRegistryProperty(first, kSpdrpFriendlyName, 260).error(),
            kErrorInvalidData);
  EXPECT_EQ(all->GetDeviceRegistryProperty(first, kSpdrpDeviceDesc, 17).error(),
            kErrorInsufficientBuffer);
  EXPECT_EQ(
      all->GetDeviceInstanceId(first, static_cast<std::uint32_t>(first.instanceId.size())).error(),
      kErrorInsufficientBuffer);
  EXPECT_TRUE(
      all->GetDeviceInstanceId(first, static_cast<std::uint32_t>(first.instanceId.size() + 1))
          .ok());

  // Class filter without kDigcfAllClasses; an unknown enumerator is an empty set.
  const DeviceClassGuid disk{"{4D36E967-E325-11CE-BFC1-08002BE10318}"};
  auto disks = DeviceInfoSet::GetClassDevs(machine_, &disk, "", 0);
  ASSERT_TRUE(disks.ok());
  EXPECT_EQ(disks->Size(), 1u);
  auto none = DeviceInfoSet::GetClassDevs(machine_, nullptr, "PCMCIA", kDigcfAllClasses);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->Size(), 0u);
  EXPECT_FALSE(DeviceInfoSet::GetClassDevs(machine_, nullptr, "USB\\X", kDigcfAllClasses).ok());
  EXPECT_FALSE(DeviceInfoSet::GetClassDevs(machine_, nullptr, "USB", 0).ok());
}

TEST_F(DeviceTreeTest, InterfaceSetsPerStorageClassWithDetailsAndNumbers) {
  PlugOrFail(machine_, Stick("D1"));
  auto cd = Stick("C1", "Generic", "DVD");
  cd.productId = 0x2222;
  cd.kind = DeviceKind::kCdRom;
  PlugOrFail(machine_, cd);
  auto fd = Stick("F1", "TEAC", "FD-05PUB");
  fd.productId = 0x3333;
  fd.kind = DeviceKind::kFloppy;
  const auto f = PlugOrFail(machine_, fd);
  EXPECT_EQ(f.letter, 'A');  // floppies take A: first

  struct Case {
    const DeviceClassGuid* cls;
    std::string_view prefix;
    std::uint32_t deviceType;
    std::uint32_t number;
  };
  for (const Case& c :
       {Case{&kGuidDiskInterface, "\\\\?\\USBSTOR#Disk&", kFileDeviceDisk, 1},
        Case{&kGuidCdRomInterface, "\\\\?\\USBSTOR#CdRom&", kFileDeviceCdRom, 0},
        Case{&kGuidFloppyInterface, "\\\\?\\USBSTOR#SFloppy&", kFileDeviceDisk, 0}}) {
    SCOPED_TRACE(c.cls->text);
    auto set =
        DeviceInfoSet::GetClassDevs(machine_, c.cls, {}, kDigcfPresent | kDigcfDeviceInterface);
    ASSERT_TRUE(set.ok());
    auto iface = set->EnumDeviceInterfaces(*c.cls, 0);
    ASSERT_TRUE(iface.ok());
    EXPECT_EQ(set->EnumDeviceInterfaces(*c.cls, 1).error(), kErrorNoMoreItems);
    auto size = set->GetDeviceInterfaceDetailSize(*iface);
    ASSERT_TRUE(size.ok());
    EXPECT_EQ(set->GetDeviceInterfaceDetail(*iface, *size - 1).error(), kErrorInsufficientBuffer);
    auto detail = set->GetDeviceInterfaceDetail(*iface, *size);
    ASSERT_TRUE(detail.ok());
    EXPECT_EQ(*size, 4 + detail->devicePath.size() + 1);
    EXPECT_TRUE(detail->devicePath.starts_with(c.prefix)) << detail->devicePath;
    EXPECT_TRUE(detail->devicePath.ends_with(ToLowerAscii(c.cls->text)));
    auto handle = DeviceHandle::Open(machine_, detail->devicePath);
    ASSERT_TRUE(handle.ok());
    auto number = handle->GetDeviceNumber();
    ASSERT_TRUE(number.ok());
    EXPECT_EQ(number->deviceType, c.deviceType);
    EXPECT_EQ(number->deviceNumber, c.number);
    EXPECT_EQ(number->partitionNumber, 0u);
    DevInst parent = 0;
    EXPECT_EQ(CmGetParent(machine_, &parent, detail->device.devInst), kCrSuccess);
    std::string parentId;
    EXPECT_EQ(CmGetDeviceId(machine_, parent, &parentId), kCrSuccess);
    EXPECT_TRUE(parentId.starts_with("USB\\VID_0781")) << parentId;
    DevInst top = 0;
    EXPECT_EQ(CmGetParent(machine_, &top, parent), kCrSuccess);
    EXPECT_EQ(top, kRootDevInst);
  }
  DevInst none = 0;
  EXPECT_EQ(CmGetParent(machine_, &none, 12345), kCrNoSuchDevNode);
}

TEST_F(DeviceTreeTest, VolumeHandlesAnswerTheStorageControls) {
  const auto stick = PlugOrFail(machine_, Stick("V1"));
  auto hdd = Stick("H1", "Seagate", "Expansion");
  hdd.productId = 0x2300;
  hdd.kind = DeviceKind::kUsbHardDisk;
  const auto usbHdd = PlugOrFail(machine_, hdd);
  auto sata = Stick("W1", "WDC", "WD5000");
  sata.kind = DeviceKind::kFixedDisk;
  const auto fixed = PlugOrFail(machine_, sata);
  EXPECT_TRUE(fixed.usbInstanceId.empty());

  EXPECT_EQ(GetDriveType(machine_, std::string(1, stick.letter) + ":\\"), kDriveRemovable);
  EXPECT_EQ(GetDriveType(machine_, std::string(1, usbHdd.letter) + ":\\"), kDriveFixed);
  EXPECT_EQ(GetDriveType(machine_, "Q:\\"), kDriveNoRootDir);
  EXPECT_EQ(GetDriveType(machine_, "not a root"), kDriveNoRootDir);
  EXPECT_EQ(GetLogicalDrives(machine_), (1u << (stick.letter - 'A')) |
                                            (1u << (usbHdd.letter - 'A')) |
                                            (1u << (fixed.letter - 'A')));

  struct Case {
    char letter;
    std::uint32_t bus;
    bool removable;
  };
  for (const Case& c :
       {Case{stick.letter, kBusTypeUsb, true}, Case{usbHdd.letter, kBusTypeUsb, false},
        Case{fixed.letter, kBusTypeSata, false}}) {
    for (const char* form : {"\\\\.\\%c:", "\\\\?\\%c:"}) {
      char name[16];
      std::snprintf(name, sizeof name, form, c.letter | 0x20);  // lower case works too
      auto handle = DeviceHandle::Open(machine_, name);
      ASSERT_TRUE(handle.ok()) << name;
      auto descriptor = handle->QueryStorageProperty();
      ASSERT_TRUE(descriptor.ok());
      EXPECT_EQ(descriptor->busType, c.bus);
      EXPECT_EQ(descriptor->removableMedia, c.removable);
      auto number = handle->GetDeviceNumber();
      ASSERT_TRUE(number.ok());
      EXPECT_EQ(number->deviceType, kFileDeviceDisk);
      EXPECT_EQ(number->partitionNumber, 1u);
    }
  }
  auto target = QueryDosDevice(machine_, std::string(1, stick.letter) + ":");
  ASSERT_TRUE(target.ok());
  EXPECT_TRUE(target->starts_with("\\Device\\HarddiskVolume")) << *target;
  EXPECT_EQ(QueryDosDevice(machine_, "Q:").error(), kErrorFileNotFound);
  EXPECT_EQ(DeviceHandle::Open(machine_, "\\\\.\\Q:").error(), kErrorFileNotFound);
  EXPECT_EQ(DeviceHandle::Open(machine_, "C:\\x").error(), kErrorPathNotFound);

  // A handle whose device left answers that it is not connected any more.
  auto handle = DeviceHandle::Open(machine_, std::string("\\\\.\\") + stick.letter + ":");
  ASSERT_TRUE(handle.ok());
  ASSERT_TRUE(Unplug(machine_, std::string(1, stick.letter)).ok());
  EXPECT_EQ(handle->GetDeviceNumber().error(), kErrorDeviceNotConnected);
}

TEST_F(DeviceTreeTest, LettersAreStickyUnlessTakenAndMountedDevicesRecordsThem) {
  const auto first = PlugOrFail(machine_, Stick("L1"));
  EXPECT_EQ(first.letter, 'D');
  auto mounted = RegKey::Open(temp_.registry(), "SYSTEM\\MountedDevices");
  ASSERT_TRUE(mounted.ok());
  auto data = mounted->QueryValue("\\DosDevices\\D:");
  ASSERT_TRUE(data.ok());
  EXPECT_EQ(data->type, RegType::kBinary);
  EXPECT_EQ(mounted->QueryValue("\\??\\" + first.volumeName)->data, data->data);
  bool hashEntry = false;
  for (std::uint32_t i = 0;; ++i) {
    auto v = mounted->EnumValue(i);
    if (!v) break;
    if (v->name.starts_with("#{") && v->value.data == data->data) hashEntry = true;
  }
  EXPECT_TRUE(hashEntry);

  ASSERT_TRUE(Unplug(machine_, "L1").ok());
  auto other = Stick("L2");
  other.productId = 0x9999;
  const auto second = PlugOrFail(machine_, other);
  EXPECT_EQ(second.letter, 'D');  // D: was free again
  const auto back = PlugOrFail(machine_, Stick("L1"));
  EXPECT_EQ(back.letter, 'E');  // its old D: is taken
  EXPECT_EQ(back.volumeName, first.volumeName);
  EXPECT_EQ(back.backing, first.backing);
  // Its letter moved: the old \DosDevices\D: of this volume went, E: came.
  auto moved = RegKey::Open(temp_.registry(), "SYSTEM\\MountedDevices");
  EXPECT_EQ(moved->QueryValue("\\DosDevices\\E:")->data, data->data);
  EXPECT_NE(moved->QueryValue("\\DosDevices\\D:")->data, data->data);

  auto clash = Stick("L3");
  clash.productId = 0x7777;
  clash.letter = 'e';
  auto refused = Plug(machine_, clash);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.error.message.find("E:"), std::string::npos);
}

TEST_F(DeviceTreeTest, ACorruptMountedDevicesValueIsNotTrustedForALetter) {
  // The volume's data under a letter, but as text: not the mount manager's record.
  const auto r = PlugOrFail(machine_, Stick("K1"));
  ASSERT_TRUE(Unplug(machine_, "K1").ok());
  auto mounted = RegKey::Open(temp_.registry(), "SYSTEM\\MountedDevices", RegAccess::kAll);
  ASSERT_TRUE(mounted.ok());
  const auto data = mounted->QueryValue("\\DosDevices\\D:")->data;
  ASSERT_EQ(mounted->DeleteValue("\\DosDevices\\D:"), kErrorSuccess);
  ASSERT_EQ(mounted->SetValue("\\DosDevices\\K:", RegType::kSz, data), kErrorSuccess);
  ASSERT_EQ(mounted->SetValue("\\DosDevices\\KK:", RegType::kBinary, data), kErrorSuccess);
  const auto again = PlugOrFail(machine_, Stick("K1"));
  EXPECT_EQ(again.letter, 'D');
  EXPECT_EQ(again.volumeName, r.volumeName);
}

TEST_F(DeviceTreeTest, DeletingAMountPointReleasesTheLetterOnly) {
  const auto r = PlugOrFail(machine_, Stick("M1"));
  EXPECT_EQ(DeleteVolumeMountPoint(machine_, "D:"), kErrorInvalidName);
  EXPECT_EQ(DeleteVolumeMountPoint(machine_, "Q:\\"), kErrorFileNotFound);
  ASSERT_EQ(DeleteVolumeMountPoint(machine_, "d:\\"), kErrorSuccess);
  EXPECT_EQ(GetDriveType(machine_, "D:\\"), kDriveNoRootDir);
  auto mounted = RegKey::Open(temp_.registry(), "SYSTEM\\MountedDevices");
  EXPECT_EQ(mounted->QueryValue("\\DosDevices\\D:").error(), kErrorFileNotFound);
  EXPECT_TRUE(mounted->QueryValue("\\??\\" + r.volumeName).ok());
  auto state = StateStore(machine_).Read();
  ASSERT_TRUE(state.ok());
  EXPECT_NE(state->FindDevice(r.storageInstanceId), nullptr);  // the device is still there
  ASSERT_NE(state->FindVolume(r.volumeName), nullptr);
  EXPECT_EQ(state->FindVolume(r.volumeName)->letter, 0);
}

TEST_F(DeviceTreeTest, DrivePathsMapIntoTheBackingDirectoryAndStayInside) {
  const auto contents = temp_.root() / "stick-files";
  std::filesystem::create_directories(contents / "dir");
  auto request = Stick("P1");
  request.contents = contents;
  const auto r = PlugOrFail(machine_, request);
  EXPECT_TRUE(std::filesystem::exists(r.backing / "dir"));
  auto path = ResolveDrivePath(machine_, "d:\\dir\\..\\..\\..\\etc\\passwd");
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(*path, r.backing / "etc" / "passwd");
  EXPECT_EQ(ResolveDrivePath(machine_, "Q:\\").error(), kErrorPathNotFound);

  VolumeDriveResolver resolver(machine_);
  auto mapping = resolver.MapDrive('d');
  ASSERT_TRUE(mapping.ok());
  EXPECT_EQ(mapping->directory, r.backing);
  ASSERT_NE(mapping->hold, nullptr);
  EXPECT_EQ(ListHolds(machine_).size(), 1u);
  mapping->hold.reset();
  EXPECT_TRUE(ListHolds(machine_).empty());
}

}  // namespace
}  // namespace uv::platform
