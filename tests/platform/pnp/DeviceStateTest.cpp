// The live device state file: what survives a round trip, what a damaged file loses, and that a
// failed change leaves the previous generation in place.

#include "platform/pnp/DeviceState.h"

#include "platform/pnp/DeviceNotifier.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/platform/pnp/PnpTestSupport.h"

namespace uv::platform {
namespace {

DeviceState Sample() {
  DeviceState s;
  s.generation = 41;
  s.nextVolumeNumber = 9;
  DeviceRecord usb;
  usb.instanceId = "USB\\VID_0781&PID_5567\\SER=1%\t2";  // canaries for the escaping
  usb.devInst = 77;
  usb.classGuid = DeviceClassGuid{"{36FC9E60-C465-11CF-8056-444553540000}"};
  usb.interfaces.push_back({kGuidUsbDeviceInterface, "\\\\?\\USB#a|b=c#{a5dcbf10}"});
  DeviceRecord disk;
  disk.instanceId = "USBSTOR\\Disk&Ven_A&Prod_B&Rev_1\\X&0";
  disk.parentId = usb.instanceId;
  disk.devInst = 78;
  disk.storage = StorageClass::kFloppy;
  disk.deviceType = kFileDeviceDisk;
  disk.deviceNumber = 3;
  disk.busType = kBusTypeUsb;
  disk.removableMedia = true;
  disk.vendorId = "Ven\nNewline";
  s.devices = {usb, disk};
  VolumeRecord v;
  v.name = "Volume{1}";
  v.deviceId = disk.instanceId;
  v.letter = 'E';
  v.ntDevice = "\\Device\\Floppy3";
  v.driveType = kDriveRemovable;
  v.backing = "/tmp/with space/and\ttab";
  v.mountData = {0x00, 0xFF, 0x10};
  s.volumes = {v};
  return s;
}

TEST(DeviceStateText, RoundTripKeepsEveryFieldAndCanary) {
  const DeviceState in = Sample();
  const DeviceState out = ParseDeviceState(SerializeDeviceState(in));
  EXPECT_EQ(out.skippedLines, 0u);
  EXPECT_EQ(out.generation, 41u);
  EXPECT_EQ(out.nextVolumeNumber, 9u);
  ASSERT_EQ(out.devices.size(), 2u);
  EXPECT_EQ(out.devices[0].instanceId, in.devices[0].instanceId);
  EXPECT_EQ(out.devices[0].interfaces.at(0).path, in.devices[0].interfaces[0].path);
  EXPECT_EQ(out.devices[0].interfaces.at(0).classGuid, kGuidUsbDeviceInterface);
  EXPECT_EQ(out.devices[1].parentId, in.devices[0].instanceId);
  EXPECT_EQ(out.devices[1].storage, StorageClass::kFloppy);
  EXPECT_EQ(out.devices[1].deviceNumber, 3u);
  EXPECT_TRUE(out.devices[1].removableMedia);
  EXPECT_EQ(out.devices[1].vendorId, "Ven\nNewline");
  ASSERT_EQ(out.volumes.size(), 1u);
  EXPECT_EQ(out.volumes[0].letter, 'E');
  EXPECT_EQ(out.volumes[0].backing, in.volumes[0].backing);
  EXPECT_EQ(out.volumes[0].mountData, in.volumes[0].mountData);
}

TEST(DeviceStateText, DamagedLinesAreSkippedAndTheRestKept) {
  std::string text = SerializeDeviceState(Sample());
  text += "device\tid=\tdevinst=5\n";   // empty id
  text += "device\tid=X\tdevinst=0\n";  // devinst 0 is "none"
  text +=
      "device\tid=USB\\VID_0781&PID_5567\\SER=1%25%09"
      "2\tdevinst=90\n";                                    // duplicate id
  text += "volume\tname=Volume{2}\tdevice=x\tletter=E\n";   // letter already taken
  text += "volume\tname=Volume{3}\tdevice=x\tletter=EE\n";  // not a letter
  text += "volume\tname=Volume{4}\tdevice=x\tdata=abc\n";   // odd hex
  text += "device\tid=%zz\tdevinst=7\n";                    // bad escape
  text += "garbage without fields\n";
  text += "whatever\tx=1\n";
  const DeviceState out = ParseDeviceState(text);
  EXPECT_EQ(out.devices.size(), 2u);
  EXPECT_EQ(out.volumes.size(), 1u);
  EXPECT_EQ(out.skippedLines, 9u);
}

TEST(DeviceStateText, LookupsIgnoreCaseAndSubtreeSurvivesAParentLoop) {
  DeviceState s = Sample();
  EXPECT_NE(s.FindDevice("usbstor\\disk&ven_a&prod_b&rev_1\\x&0"), nullptr);
  EXPECT_NE(s.FindLetter('e'), nullptr);
  EXPECT_EQ(s.FindLetter('1'), nullptr);
  EXPECT_EQ(s.LetterMask(), 1u << 4);
  s.devices[0].parentId = s.devices[1].instanceId;  // a loop a damaged file could hold
  EXPECT_EQ(s.Subtree(s.devices[0].instanceId).size(), 2u);
}

TEST(DeviceStateText, MutatedFilesAndBroadcastsNeverBreakTheReaders) {
  // Deterministic mutations of good inputs: every result must be a consistent state (no
  // duplicate letters or devices), and decoding must never accept a damaged interface name.
  const std::string good = SerializeDeviceState(Sample());
  DeviceBroadcast record;
  record.devicetype = kDbtDevtypDeviceInterface;
  record.deviceInterface = {kGuidUsbDeviceInterface, "\\\\?\\USB#X#{a5dcbf10}"};
  const auto goodRecord = EncodeDeviceBroadcast(record);
  std::uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 3000; ++round) {
    std::string text = good;
    auto bytes = goodRecord;
    for (int k = 0; k < 1 + round % 8; ++k) {
      text[next() % text.size()] = static_cast<char>(next() % 256);
      bytes[next() % bytes.size()] = static_cast<std::uint8_t>(next() % 256);
    }
    const DeviceState state = ParseDeviceState(text);
    std::uint32_t letters = 0;
    for (const auto& v : state.volumes) {
      if (!v.letter) continue;
      ASSERT_EQ(letters & (1u << (v.letter - 'A')), 0u);
      letters |= 1u << (v.letter - 'A');
    }
    for (const auto& d : state.devices) EXPECT_NE(d.devInst, 0u);
    auto decoded = DecodeDeviceBroadcast(bytes);
    if (decoded && decoded->devicetype == kDbtDevtypDeviceInterface) {
      EXPECT_EQ(decoded->deviceInterface.name.find('\n'), std::string::npos);
    }
  }
}

TEST(StateStoreTest, FailedChangeKeepsThePreviousGeneration) {
  testing::TempMachine temp;
  StateStore store(temp.machine());
  ASSERT_EQ(store.Update([](DeviceState& s) {
    s.devices.push_back(Sample().devices[0]);
    return kErrorSuccess;
  }),
            kErrorSuccess);
  EXPECT_EQ(store.Update([](DeviceState& s) {
    s.devices.clear();
    return kErrorAccessDenied;
  }),
            kErrorAccessDenied);
  auto now = store.Read();
  ASSERT_TRUE(now.ok());
  EXPECT_EQ(now->generation, 1u);
  EXPECT_EQ(now->devices.size(), 1u);
  // Another store (another process) sees the same generation.
  auto other = StateStore(temp.machine()).Read();
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(other->devices.size(), 1u);
}

TEST(StateStoreTest, AFileReplacedBehindTheCacheIsReadAgain) {
  testing::TempMachine temp;
  StateStore store(temp.machine());
  ASSERT_EQ(store.Update([](DeviceState&) { return kErrorSuccess; }), kErrorSuccess);
  ASSERT_TRUE(store.Read().ok());
  const auto file = store.Directory() / "devices.state";
  {
    std::ofstream out(file.string() + ".new");
    out << "state\tgeneration=7\tnextVolume=3\nnonsense\n";
  }
  std::filesystem::rename(file.string() + ".new", file);
  auto again = store.Read();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->generation, 7u);
  EXPECT_EQ(again->skippedLines, 1u);
}

}  // namespace
}  // namespace uv::platform
