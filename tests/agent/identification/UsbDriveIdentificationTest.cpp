// USB drive identification against the emulated device tree: descriptions and whitelist texts,
// the deferred name, the device information fallback, and ejection in both orders.

#include "client/agent/identification/UsbDriveIdentification.h"

#include <gtest/gtest.h>

#include <mutex>

#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceState.h"
#include "platform/pnp/SetupApi.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "tests/platform/pnp/PnpTestSupport.h"

namespace uv::agent {
namespace {

using namespace uv::platform;
using uv::testing::PlugOrFail;
using uv::testing::Stick;

constexpr std::string_view kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\";

DevBroadcastDeviceInterface UsbBroadcast(std::string_view instance) {
  std::string name = "\\\\?\\" + std::string(instance) + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  for (std::size_t i = 4; i < name.size(); ++i)
    if (name[i] == '\\') name[i] = '#';
  return {kGuidUsbDeviceInterface, name};
}

class Traces {
 public:
  Traces()
      : sink_([this](std::string_view text) {
          std::lock_guard lock(mutex_);
          all_ += std::string(text) + "|";
        }) {}
  std::string All() {
    std::lock_guard lock(mutex_);
    return all_;
  }

 private:
  std::mutex mutex_;
  std::string all_;
  ScopedTraceSink sink_;
};

class IdentificationTest : public ::testing::Test {
 protected:
  void SetUp() override { csDeviceKey().Clear(); }

  bool Describe(std::string_view instance, std::uint32_t code = kDbtDeviceArrival) {
    details_.Clear();
    return GetDeviceDescription(machine_, UsbBroadcast(instance), code, description_, details_);
  }
  RegKey Key(std::string_view path) {
    auto key = RegKey::Create(temp_.registry(), path);
    EXPECT_TRUE(key.ok());
    return std::move(key).value();
  }
  std::vector<std::string> MountedNames() {
    std::vector<std::string> names;
    auto key = RegKey::Open(temp_.registry(), "SYSTEM\\MountedDevices");
    if (!key) return names;
    for (std::uint32_t i = 0;; ++i) {
      auto v = key->EnumValue(i);
      if (!v) break;
      names.push_back(v->name);
    }
    return names;
  }
  static bool HasHashEntry(const std::vector<std::string>& names) {
    for (const auto& n : names)
      if (n.starts_with("#{")) return true;
    return false;
  }

  uv::testing::TempMachine temp_;
  Machine& machine_ = temp_.machine();
  std::string description_;
  WhiteListDetails details_;
};

TEST_F(IdentificationTest, AStickIsDescribedByItsDiskWithDeviceAndMakeTexts) {
  const auto r = PlugOrFail(machine_, Stick("4C530001"));
  Traces traces;
  // The system's interface path may have any case; the serial-like text is compared upper-case.
  ASSERT_TRUE(Describe("usb\\vid_0781&pid_5567\\4c530001"));
  EXPECT_EQ(description_, "SanDisk Cruzer Blade USB Device");
  EXPECT_EQ(details_.Make(), "SanDisk Cruzer Blade USB Device");
  EXPECT_EQ(details_.Device(), "SanDisk Cruzer Blade USB Device 4C530001");
  EXPECT_NE(
      traces.All().find("In GetDeviceDescription|FriendlyName =SanDisk Cruzer Blade USB Device|"),
      std::string::npos)
      << traces.All();
  EXPECT_TRUE(csDeviceKey().Empty());

  // Without FriendlyName the disk's DeviceDesc is the description.
  auto disk = Key(std::string("SYSTEM\\CurrentControlSet\\Enum\\") + r.storageInstanceId);
  ASSERT_EQ(disk.DeleteValue("FriendlyName"), kErrorSuccess);
  ASSERT_TRUE(Describe(r.usbInstanceId));
  EXPECT_EQ(description_, "Disk drive");
  EXPECT_EQ(details_.Device(), "Disk drive 4C530001");
  EXPECT_NE(traces.All().find("DeviceDesc =Disk drive"), std::string::npos);
}

TEST_F(IdentificationTest, ADeviceWithoutSerialIsMatchedThroughItsParentIdPrefix) {
  auto request = Stick("");
  request.serial.reset();
  const auto r = PlugOrFail(machine_, request);
  const std::string prefix = r.storageInstanceId.substr(r.storageInstanceId.rfind('\\') + 1, 12);
  Traces traces;
  ASSERT_TRUE(Describe(r.usbInstanceId));
  EXPECT_EQ(description_, "SanDisk Cruzer Blade USB Device");
  EXPECT_EQ(details_.Device(), "SanDisk Cruzer Blade USB Device " + prefix);
  EXPECT_NE(traces.All().find("ParentIdPrefix = " + prefix), std::string::npos) << traces.All();
}

TEST_F(IdentificationTest, ADiskWithoutNamesYetIsDeferredThroughCsDeviceKey) {
  const auto r = PlugOrFail(machine_, Stick("DEFER01"));
  const std::string path = "SYSTEM\\CurrentControlSet\\Enum\\" + r.storageInstanceId;
  auto disk = Key(path);
  ASSERT_EQ(disk.DeleteValue("FriendlyName"), kErrorSuccess);
  ASSERT_EQ(disk.DeleteValue("DeviceDesc"), kErrorSuccess);
  Traces traces;
  EXPECT_FALSE(Describe(r.usbInstanceId));
  EXPECT_EQ(csDeviceKey().Get(), path);
  EXPECT_NE(traces.All().find("csDeviceKey =" + path), std::string::npos);
  EXPECT_EQ(details_.Device(), "");

  // The next USB event starts afresh.
  ASSERT_EQ(disk.SetString("FriendlyName", "Late Name"), kErrorSuccess);
  EXPECT_TRUE(Describe(r.usbInstanceId));
  EXPECT_TRUE(csDeviceKey().Empty());
  EXPECT_EQ(description_, "Late Name");
}

TEST_F(IdentificationTest, RootDevicesAreNotDescribedAndLeaveTheDeferredKeyAlone) {
  csDeviceKey().Set("kept");
  EXPECT_FALSE(Describe("ROOT\\USB\\0000"));
  EXPECT_EQ(csDeviceKey().Get(), "kept");
  // Names too short to carry an instance ID are not reported either.
  details_.Clear();
  EXPECT_FALSE(GetDeviceDescription(machine_, {kGuidUsbDeviceInterface, "\\\\?"}, kDbtDeviceArrival,
                                    description_, details_));
}

TEST_F(IdentificationTest, OtherUsbDevicesAreDescribedByTheirDeviceInformation) {
  auto mouse = Stick("");
  mouse.serial.reset();
  mouse.kind = DeviceKind::kUsbOther;
  mouse.productName = "USB Optical Mouse";
  const auto m = PlugOrFail(machine_, mouse);
  ASSERT_TRUE(Describe(m.usbInstanceId));
  EXPECT_EQ(description_, "USB Optical Mouse");
  EXPECT_EQ(details_.Device(), "");  // left as the arrival's zero-fill made them
  EXPECT_EQ(details_.Make(), "");

  auto key = Key("SYSTEM\\CurrentControlSet\\Enum\\" + m.usbInstanceId);
  ASSERT_EQ(key.SetString("FriendlyName", "Logitech Mouse"), kErrorSuccess);
  ASSERT_TRUE(Describe(m.usbInstanceId));
  EXPECT_EQ(description_, "Logitech Mouse");

  auto nameless = Stick("HID0001");
  nameless.productId = 0x1234;
  nameless.kind = DeviceKind::kUsbOther;
  nameless.productName = "";
  const auto n = PlugOrFail(machine_, nameless);
  ASSERT_TRUE(Describe(n.usbInstanceId));
  EXPECT_EQ(description_, "Unknown USB Device");

  // A device the machine never saw: reported, with an empty description.
  ASSERT_TRUE(Describe("USB\\VID_FFFF&PID_FFFF\\NOSUCH"));
  EXPECT_EQ(description_, "");
}

TEST_F(IdentificationTest, ARemovedDeviceIsStillDescribedOnRemoval) {
  auto mouse = Stick("MOUSE1");
  mouse.kind = DeviceKind::kUsbOther;
  mouse.productName = "USB Optical Mouse";
  const auto m = PlugOrFail(machine_, mouse);
  ASSERT_TRUE(Unplug(machine_, "MOUSE1").ok());
  ASSERT_TRUE(Describe(m.usbInstanceId, kDbtDeviceRemoveComplete));
  EXPECT_EQ(description_, "USB Optical Mouse");
  // Looked up among present devices only, as for an arrival, it is not found.
  ASSERT_TRUE(Describe(m.usbInstanceId, kDbtDeviceArrival));
  EXPECT_EQ(description_, "");

  // A removed stick is described from its disk's key, which stays.
  const auto s = PlugOrFail(machine_, Stick("GONE01"));
  ASSERT_TRUE(Unplug(machine_, "GONE01").ok());
  ASSERT_TRUE(Describe(s.usbInstanceId, kDbtDeviceRemoveComplete));
  EXPECT_EQ(description_, "SanDisk Cruzer Blade USB Device");
}

TEST_F(IdentificationTest, TheFirstInstanceKeyContainingTheSerialWins) {
  auto first = Stick("XSER42", "First", "Stick");
  first.productId = 0x0001;
  PlugOrFail(machine_, first);
  auto second = Stick("SER42", "Second", "Stick");
  second.productId = 0x0002;
  const auto r = PlugOrFail(machine_, second);
  ASSERT_TRUE(Describe(r.usbInstanceId));
  EXPECT_EQ(description_, "First Stick USB Device");  // "XSER42&0" contains "SER42"
}

TEST_F(IdentificationTest, NamesLongerThanTheBuffersAreSkippedOrCut) {
  // Key names cannot outgrow the name buffer (the registry keeps them to 255 characters); values
  // can, and are cut to it.
  const std::string longName(700, 'N');
  auto disk = Key(std::string(kUsbStor) + "Disk&Ven_A&Prod_B&Rev_1\\LONG1&0");
  ASSERT_EQ(disk.SetString("FriendlyName", longName), kErrorSuccess);
  // A ParentIdPrefix too long to read is not used: the serial stays.
  auto usb = Key("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0001&PID_0002\\LONG1");
  ASSERT_EQ(usb.SetString("ParentIdPrefix", std::string(600, 'P')), kErrorSuccess);

  ASSERT_TRUE(Describe("USB\\VID_0001&PID_0002\\LONG1"));
  EXPECT_EQ(description_, std::string(511, 'N'));
  EXPECT_EQ(details_.Make(), std::string(99, 'N'));
  ASSERT_EQ(details_.Device().size(), 199u);
  EXPECT_EQ(details_.Device(), std::string(199, 'N'));
  EXPECT_EQ(details_.DeviceText[199], '\0');

  // A short description keeps as much of the serial-like text as fits.
  ASSERT_EQ(disk.SetString("FriendlyName", std::string(195, 'D')), kErrorSuccess);
  ASSERT_TRUE(Describe("USB\\VID_0001&PID_0002\\LONG1"));
  EXPECT_EQ(details_.Device(), std::string(195, 'D') + " LON");
}

TEST_F(IdentificationTest, FindDeviceByInstanceIdIsExactAndStopsAtAnUnreadableId) {
  auto mouse = Stick("FIND1");
  mouse.kind = DeviceKind::kUsbOther;
  mouse.productName = "Mouse";
  const auto m = PlugOrFail(machine_, mouse);
  auto set = DeviceInfoSet::GetClassDevs(machine_, nullptr, "USB", kDigcfAllClasses);
  ASSERT_TRUE(set.ok());
  DeviceInfoData found;
  EXPECT_TRUE(FindDeviceByInstanceId(*set, m.usbInstanceId, found));
  EXPECT_EQ(found.instanceId, m.usbInstanceId);
  EXPECT_FALSE(FindDeviceByInstanceId(*set, ToLowerAscii(m.usbInstanceId), found));

  // An instance ID that does not fit 260 characters ends the walk before the device.
  Key("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0000&PID_0000" + std::string(200, 'L') + "\\" +
      std::string(100, 'L'));
  auto later = Stick("FIND2");
  later.productId = 0x4444;
  later.kind = DeviceKind::kUsbOther;
  const auto l = PlugOrFail(machine_, later);
  set = DeviceInfoSet::GetClassDevs(machine_, nullptr, "USB", kDigcfAllClasses);
  ASSERT_TRUE(set.ok());
  EXPECT_TRUE(FindDeviceByInstanceId(*set, m.usbInstanceId, found));
  EXPECT_FALSE(FindDeviceByInstanceId(*set, l.usbInstanceId, found));
}

TEST_F(IdentificationTest, TheNumberSearchUsesTheInterfaceClassOfTheDrive) {
  PlugOrFail(machine_, Stick("NUM1"));  // disk 1
  auto cd = Stick("NUMCD", "Generic", "DVD");
  cd.productId = 0x2;
  cd.kind = DeviceKind::kCdRom;
  const auto c = PlugOrFail(machine_, cd);  // CD-ROM 0
  auto fd = Stick("NUMFD", "TEAC", "FD");
  fd.productId = 0x3;
  fd.kind = DeviceKind::kFloppy;
  const auto f = PlugOrFail(machine_, fd);  // floppy 0
  DevInst floppy = 0, cdrom = 0;
  ASSERT_EQ(CmLocateDevNode(machine_, &floppy, f.storageInstanceId), kCrSuccess);
  ASSERT_EQ(CmLocateDevNode(machine_, &cdrom, c.storageInstanceId), kCrSuccess);

  WinError error = 1;
  EXPECT_EQ(
      GetDrivesDevInstByDeviceNumber(machine_, 0, kDriveRemovable, "\\Device\\Floppy0", &error),
      floppy);
  EXPECT_EQ(GetDrivesDevInstByDeviceNumber(machine_, 0, kDriveCdRom, "\\Device\\CdRom0", &error),
            cdrom);
  // Number 0 among disks: nobody (disk 0 is the system's), the end of the interfaces.
  Traces traces;
  EXPECT_EQ(GetDrivesDevInstByDeviceNumber(machine_, 0, kDriveRemovable,
                                           "\\Device\\HarddiskVolume3", &error),
            0u);
  EXPECT_EQ(error, kErrorNoMoreItems);
  EXPECT_NE(traces.All().find("\n\tIn SetupDiEnumDeviceInterfaces ,Err ID = 259"),
            std::string::npos);
  EXPECT_EQ(GetDrivesDevInstByDeviceNumber(machine_, 1, kDriveRemote, "", &error), 0u);
  EXPECT_EQ(error, kErrorSuccess);
}

TEST_F(IdentificationTest, IsUsbBusDriveReadsTheBusOfFixedDrives) {
  auto hdd = Stick("HDD1", "Seagate", "Expansion");
  hdd.kind = DeviceKind::kUsbHardDisk;
  const auto h = PlugOrFail(machine_, hdd);
  auto sata = Stick("SATA1", "WDC", "WD5000");
  sata.kind = DeviceKind::kFixedDisk;
  const auto s = PlugOrFail(machine_, sata);
  StorageDeviceDescriptor descriptor;
  auto usbVolume = DeviceHandle::Open(machine_, std::string("\\\\?\\") + h.letter + ":");
  ASSERT_TRUE(usbVolume.ok());
  ASSERT_TRUE(IsUsbBusDrive(*usbVolume, descriptor));
  EXPECT_EQ(descriptor.busType, kBusTypeUsb);
  auto sataVolume = DeviceHandle::Open(machine_, std::string("\\\\?\\") + s.letter + ":");
  ASSERT_TRUE(sataVolume.ok());
  ASSERT_TRUE(IsUsbBusDrive(*sataVolume, descriptor));
  EXPECT_NE(descriptor.busType, kBusTypeUsb);
  ASSERT_TRUE(Unplug(machine_, "HDD1").ok());
  EXPECT_FALSE(IsUsbBusDrive(*usbVolume, descriptor));
}

TEST_F(IdentificationTest, EjectingAMissingLetterTouchesNothing) {
  PlugOrFail(machine_, Stick("MISS1"));
  const auto before = MountedNames();
  Traces traces;
  EXPECT_FALSE(EjectDrive(machine_, 'Q' - 'A'));
  EXPECT_FALSE(EjectDrive(machine_, 'Q' - 'A', EjectOrder::kConsole));
  EXPECT_FALSE(EjectDrive(machine_, -1));
  EXPECT_FALSE(EjectDrive(machine_, 26));
  EXPECT_EQ(MountedNames(), before);
  EXPECT_NE(traces.All().find("\n\tIn CreateFile ,Err ID = 2"), std::string::npos);
  EXPECT_EQ(GetDriveType(machine_, "D:\\"), kDriveRemovable);
}

TEST_F(IdentificationTest, EjectInBothOrdersRemovesDeviceLetterAndItsHashEntry) {
  for (EjectOrder order : {EjectOrder::kClient, EjectOrder::kConsole}) {
    SCOPED_TRACE(order == EjectOrder::kClient ? "client" : "console");
    const auto r = PlugOrFail(machine_, Stick(order == EjectOrder::kClient ? "OK1" : "OK2"));
    ASSERT_TRUE(HasHashEntry(MountedNames()));
    EXPECT_TRUE(EjectDrive(machine_, r.letter - 'A', order));
    EXPECT_EQ(GetDriveType(machine_, std::string(1, r.letter) + ":\\"), kDriveNoRootDir);
    auto state = StateStore(machine_).Read();
    EXPECT_EQ(state->FindDevice(r.usbInstanceId), nullptr);
    const auto names = MountedNames();
    EXPECT_FALSE(HasHashEntry(names));
    EXPECT_EQ(std::count(names.begin(), names.end(), "\\??\\" + r.volumeName), 1);
  }
}

TEST_F(IdentificationTest, AVetoedEjectHasDeletedTheLetterAndTheHashEntryAllTheSame) {
  for (EjectOrder order : {EjectOrder::kClient, EjectOrder::kConsole}) {
    SCOPED_TRACE(order == EjectOrder::kClient ? "client" : "console");
    const auto r = PlugOrFail(machine_, Stick(order == EjectOrder::kClient ? "VETO1" : "VETO2"));
    auto hold = HandleHold::ForPath(machine_, std::string(1, r.letter) + ":\\");
    ASSERT_TRUE(hold.ok());
    Traces traces;
    EXPECT_FALSE(EjectDrive(machine_, r.letter - 'A', order));
    EXPECT_NE(traces.All().find("\n\tIn CM_Request_Device_EjectW ,Err ID = "), std::string::npos);
    EXPECT_EQ(GetDriveType(machine_, std::string(1, r.letter) + ":\\"), kDriveNoRootDir);
    EXPECT_FALSE(HasHashEntry(MountedNames()));
    auto state = StateStore(machine_).Read();
    EXPECT_NE(state->FindDevice(r.usbInstanceId), nullptr);  // still plugged in
    hold->Close();
    ASSERT_TRUE(Unplug(machine_, r.usbInstanceId).ok());
  }
}

TEST_F(IdentificationTest, AFailureBeforeTheEjectKeepsTheLetterOnlyInTheConsoleOrder) {
  for (EjectOrder order : {EjectOrder::kClient, EjectOrder::kConsole}) {
    SCOPED_TRACE(order == EjectOrder::kClient ? "client" : "console");
    const auto r = PlugOrFail(machine_, Stick(order == EjectOrder::kClient ? "EARLY1" : "EARLY2"));
    // A drive type without an interface class: the device cannot be found by its number.
    ASSERT_EQ(StateStore(machine_).Update([&](DeviceState& s) {
      for (auto& v : s.volumes)
        if (v.letter == r.letter) v.driveType = kDriveRamDisk;
      return kErrorSuccess;
    }),
              kErrorSuccess);
    Traces traces;
    EXPECT_FALSE(EjectDrive(machine_, r.letter - 'A', order));
    EXPECT_NE(traces.All().find("\n\tIn CM_Get_Parent ,Err ID = "), std::string::npos);
    const bool letterKept =
        GetDriveType(machine_, std::string(1, r.letter) + ":\\") != kDriveNoRootDir;
    EXPECT_EQ(letterKept, order == EjectOrder::kConsole);
    EXPECT_TRUE(HasHashEntry(MountedNames()));  // the eject was never asked for
    ASSERT_TRUE(Unplug(machine_, r.usbInstanceId).ok());
    (void)DeleteVolumeMountPoint(machine_, std::string(1, r.letter) + ":\\");
  }
}

TEST_F(IdentificationTest, OnlyTheFirstExactBinaryHashEntryIsRemoved) {
  auto key = Key("SYSTEM\\MountedDevices");
  const std::vector<std::uint8_t> saved = {1, 2, 3, 4};
  const std::vector<std::uint8_t> prefix = {1, 2};
  ASSERT_EQ(key.SetValue("#{a}", RegType::kBinary, prefix), kErrorSuccess);  // cut short
  ASSERT_EQ(key.SetValue("#{b}", RegType::kSz, saved), kErrorSuccess);       // not binary
  ASSERT_EQ(key.SetValue("\\DosDevices\\E:", RegType::kBinary, saved), kErrorSuccess);
  ASSERT_EQ(key.SetValue("#{c}", RegType::kBinary, saved), kErrorSuccess);
  ASSERT_EQ(key.SetValue("#{d}", RegType::kBinary, saved), kErrorSuccess);
  RemoveMountedDeviceEntry(machine_, {});
  EXPECT_EQ(MountedNames().size(), 5u);
  RemoveMountedDeviceEntry(machine_, saved);
  EXPECT_EQ(MountedNames(), (std::vector<std::string>{"#{a}", "#{b}", "\\DosDevices\\E:", "#{d}"}));
}

}  // namespace
}  // namespace uv::agent
