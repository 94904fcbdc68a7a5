// Eject with its query and veto, and the broadcasts that devices coming and going send, within
// one process and across two.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/pnp/DeviceState.h"
#include "platform/pnp/SetupApi.h"
#include "platform/registry/Registry.h"
#include "tests/platform/pnp/PnpTestSupport.h"

extern char** environ;

namespace uv::platform {
namespace {

using testing::PlugOrFail;
using testing::ReceivedBroadcast;
using testing::RecordingWindow;
using testing::Stick;

std::string UsbPath(std::string_view serial) {
  return "\\\\?\\USB#VID_0781&PID_5567#" + std::string(serial) +
         "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

DevInst DevInstOf(Machine& machine, const std::string& id) {
  DevInst d = 0;
  EXPECT_EQ(CmLocateDevNode(machine, &d, id), kCrSuccess);
  return d;
}

class EjectNotifyTest : public ::testing::Test {
 protected:
  testing::TempMachine temp_;
  Machine& machine_ = temp_.machine();
};

TEST_F(EjectNotifyTest, ArrivalAndRemovalComeInTheOrderOfARealMachine) {
  RecordingWindow window(machine_);
  ASSERT_TRUE(window.notifier().RegisterInterfaceClass(kGuidUsbDeviceInterface).ok());
  ASSERT_TRUE(window.notifier().RegisterInterfaceClass(kGuidDiskInterface).ok());
  const auto r = PlugOrFail(machine_, Stick("ORD1"));
  auto got = window.WaitFor(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].event, kDbtDeviceArrival);
  EXPECT_EQ(got[0].record.devicetype, kDbtDevtypDeviceInterface);
  EXPECT_EQ(got[0].record.deviceInterface.name, UsbPath("ORD1"));
  EXPECT_EQ(got[0].record.deviceInterface.classGuid, kGuidUsbDeviceInterface);
  EXPECT_EQ(got[1].record.deviceInterface.classGuid, kGuidDiskInterface);
  EXPECT_EQ(got[2].record.devicetype, kDbtDevtypVolume);
  EXPECT_EQ(got[2].record.volume.unitmask, 1u << (r.letter - 'A'));

  window.Clear();
  ASSERT_TRUE(Unplug(machine_, "ORD1").ok());
  got = window.WaitFor(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].event, kDbtDeviceRemoveComplete);
  EXPECT_EQ(got[0].record.devicetype, kDbtDevtypVolume);
  EXPECT_EQ(got[1].record.deviceInterface.classGuid, kGuidDiskInterface);
  EXPECT_EQ(got[2].record.deviceInterface.name, UsbPath("ORD1"));
}

TEST_F(EjectNotifyTest, VolumeBroadcastsNeedNoRegistrationAndUnregisterStopsTheRest) {
  RecordingWindow window(machine_);
  auto usb = window.notifier().RegisterInterfaceClass(kGuidUsbDeviceInterface);
  ASSERT_TRUE(usb.ok());
  ASSERT_EQ(window.notifier().Unregister(*usb), kErrorSuccess);
  EXPECT_EQ(window.notifier().Unregister(*usb), kErrorInvalidHandle);
  PlugOrFail(machine_, Stick("VOL1"));
  auto got = window.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].record.devicetype, kDbtDevtypVolume);
  // Nothing else is on its way: a marker broadcast arrives right after.
  ASSERT_EQ(DeleteVolumeMountPoint(machine_, "D:\\"), kErrorSuccess);
  got = window.WaitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].event, kDbtDeviceRemoveComplete);
  EXPECT_EQ(got[1].record.volume.unitmask, 1u << 3);
}

TEST_F(EjectNotifyTest, DeferredNamesAppearOnlyAfterTheInterfaceArrivalWasHandled) {
  std::string seenAtArrival = "<not called>";
  const std::string key =
      "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_SanDisk&Prod_Cruzer_Blade&Rev_1.00\\DEF1&"
      "0";
  RecordingWindow window(machine_, [&](const ReceivedBroadcast& b) -> std::intptr_t {
    if (b.record.devicetype == kDbtDevtypDeviceInterface && b.event == kDbtDeviceArrival) {
      auto k = RegKey::Open(temp_.registry(), key);
      seenAtArrival = !k ? "<no key>" : k->QueryString("FriendlyName").value_or("<no name>");
    }
    return 1;
  });
  ASSERT_TRUE(window.notifier().RegisterInterfaceClass(kGuidUsbDeviceInterface).ok());
  auto request = Stick("DEF1");
  request.deferNames = true;
  PlugOrFail(machine_, request);
  EXPECT_EQ(seenAtArrival, "<no name>");  // the key is there, its names are not yet
  auto k = RegKey::Open(temp_.registry(), key);
  ASSERT_TRUE(k.ok());
  EXPECT_EQ(k->QueryString("FriendlyName").value_or(""), "SanDisk Cruzer Blade USB Device");
}

TEST_F(EjectNotifyTest, AnOpenHandleVetoesTheEjectUntilItIsClosed) {
  const auto r = PlugOrFail(machine_, Stick("EJ1"));
  const DevInst usb = DevInstOf(machine_, r.usbInstanceId);
  {
    auto handle = DeviceHandle::Open(machine_, "\\\\.\\D:");
    ASSERT_TRUE(handle.ok());
    const auto holds = ListHolds(machine_);
    ASSERT_EQ(holds.size(), 1u);
    EXPECT_EQ(holds[0].pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(holds[0].openedAs, "\\\\.\\D:");
    const EjectResult vetoed = CmRequestDeviceEject(machine_, usb);
    EXPECT_FALSE(vetoed.Succeeded());
    EXPECT_EQ(vetoed.configRet, kCrRemoveVetoed);
    EXPECT_EQ(vetoed.vetoType, kPnpVetoOutstandingOpen);
    EXPECT_NE(vetoed.vetoName.find(r.volumeName), std::string::npos);
    EXPECT_EQ(GetDriveType(machine_, "D:\\"), kDriveRemovable);
  }
  RecordingWindow window(machine_);
  ASSERT_TRUE(window.notifier().RegisterInterfaceClass(kGuidUsbDeviceInterface).ok());
  const EjectResult ok = CmRequestDeviceEject(machine_, usb);
  EXPECT_TRUE(ok.Succeeded());
  EXPECT_EQ(GetDriveType(machine_, "D:\\"), kDriveNoRootDir);
  auto state = StateStore(machine_).Read();
  EXPECT_EQ(state->FindDevice(r.storageInstanceId), nullptr);
  auto got = window.WaitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].record.devicetype, kDbtDevtypVolume);
  EXPECT_EQ(got[1].record.deviceInterface.name, UsbPath("EJ1"));
  // Gone devices and the root cannot be ejected.
  EXPECT_EQ(CmRequestDeviceEject(machine_, usb).configRet, kCrNoSuchDevNode);
  EXPECT_EQ(CmRequestDeviceEject(machine_, kRootDevInst).configRet, kCrRemoveVetoed);
}

TEST_F(EjectNotifyTest, AHoldLeftByADeadProcessDoesNotVeto) {
  const auto r = PlugOrFail(machine_, Stick("DEAD1"));
  // A hold file nobody keeps locked, as a crashed holder leaves it.
  const auto dir = temp_.root() / "run" / "pnp" / "holds";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "h42.hold") << "id=42\npid=999999\nprogram=gone\ndevice="
                                  << r.storageInstanceId << "\nvolume=" << r.volumeName
                                  << "\nopened=\\\\.\\D:\n";
  EXPECT_TRUE(CmRequestDeviceEject(machine_, DevInstOf(machine_, r.usbInstanceId)).Succeeded());
  EXPECT_FALSE(std::filesystem::exists(dir / "h42.hold"));
}

TEST_F(EjectNotifyTest, AQueryRemoveIsAnsweredBeforeTheRemovalGoesOn) {
  const auto r = PlugOrFail(machine_, Stick("Q1"));
  auto hold = HandleHold::ForPath(machine_, "D:\\watched");
  ASSERT_TRUE(hold.ok());
  std::mutex holdMutex;  // the window thread closes the hold the test thread made
  RecordingWindow window(machine_, [&](const ReceivedBroadcast& b) -> std::intptr_t {
    if (b.event == kDbtDeviceQueryRemove) {
      std::lock_guard lock(holdMutex);
      hold->Close();  // as the watcher does: stop watching, keep the registration
    }
    return 1;
  });
  auto registration = window.notifier().RegisterHandle(*hold);
  ASSERT_TRUE(registration.ok());
  const std::uint64_t holdId = hold->Id();
  EXPECT_TRUE(CmRequestDeviceEject(machine_, DevInstOf(machine_, r.usbInstanceId)).Succeeded());
  auto got = window.WaitFor(3);
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[0].event, kDbtDeviceQueryRemove);
  EXPECT_EQ(got[0].record.devicetype, kDbtDevtypHandle);
  EXPECT_EQ(got[0].record.handle.hdevnotify, *registration);
  EXPECT_EQ(got[0].record.handle.handle, holdId);
  EXPECT_EQ(got[1].record.devicetype, kDbtDevtypVolume);
  EXPECT_EQ(got[2].event, kDbtDeviceRemoveComplete);
  EXPECT_EQ(got[2].record.devicetype, kDbtDevtypHandle);
}

TEST_F(EjectNotifyTest, AHandleClosedOnAnotherThreadJustAfterTheAnswerDoesNotVeto) {
  // As the watcher does: the window answers at once and its worker closes the handle later.
  const auto r = PlugOrFail(machine_, Stick("Q3"));
  auto hold = HandleHold::ForPath(machine_, "D:\\");
  ASSERT_TRUE(hold.ok());
  std::promise<void> answered;
  std::thread worker([&] {
    answered.get_future().wait();
    hold->Close();
  });
  bool once = false;
  RecordingWindow window(machine_, [&](const ReceivedBroadcast& b) -> std::intptr_t {
    if (b.event == kDbtDeviceQueryRemove && !once) {
      once = true;
      answered.set_value();
    }
    return 1;
  });
  ASSERT_TRUE(window.notifier().RegisterHandle(*hold).ok());
  EXPECT_TRUE(CmRequestDeviceEject(machine_, DevInstOf(machine_, r.usbInstanceId)).Succeeded());
  worker.join();
}

TEST_F(EjectNotifyTest, ARefusedQueryVetoesAndIsFollowedByQueryRemoveFailed) {
  const auto r = PlugOrFail(machine_, Stick("Q2"));
  RecordingWindow window(machine_, [](const ReceivedBroadcast& b) -> std::intptr_t {
    return b.event == kDbtDeviceQueryRemove ? kBroadcastQueryDeny : 1;
  });
  {
    auto hold = HandleHold::ForPath(machine_, "D:");
    ASSERT_TRUE(hold.ok());
    ASSERT_TRUE(window.notifier().RegisterHandle(*hold).ok());
  }  // closed: only the refusal can veto now
  const EjectResult result = CmRequestDeviceEject(machine_, DevInstOf(machine_, r.usbInstanceId));
  EXPECT_EQ(result.vetoType, kPnpVetoWindowsApp);
  EXPECT_NE(result.vetoName.find("pid " + std::to_string(::getpid())), std::string::npos);
  auto got = window.WaitFor(2);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0].event, kDbtDeviceQueryRemove);
  EXPECT_EQ(got[1].event, kDbtDeviceQueryRemoveFailed);
  EXPECT_EQ(GetDriveType(machine_, "D:\\"), kDriveRemovable);
}

// A socket bound under notify/ by hand: a recipient that never reads, or (closed) a dead one.
int RawRecipient(const std::filesystem::path& notifyDir, const std::string& base, bool keepOpen,
                 const std::string& regs) {
  std::filesystem::create_directories(notifyDir);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (notifyDir / (base + ".sock")).string();
  EXPECT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size());
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::ofstream(notifyDir / (base + ".regs")) << regs;
  if (!keepOpen) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(EjectNotifyTest, DeadAndStuckRecipientsDoNotHoldTheBroadcasterUp) {
  const auto notifyDir = temp_.root() / "run" / "pnp" / "notify";
  RawRecipient(notifyDir, "r1-dead", false, "pid\t1\nprogram\tdead\n");
  const auto r = PlugOrFail(machine_, Stick("ST1"));
  EXPECT_FALSE(std::filesystem::exists(notifyDir / "r1-dead.sock"));
  EXPECT_FALSE(std::filesystem::exists(notifyDir / "r1-dead.regs"));
  RawRecipient(notifyDir, "r3-dead", false, "pid\t3\nprogram\tdead\n");
  EXPECT_TRUE(ListRecipients(machine_).empty());  // and the listing cleans it up
  EXPECT_FALSE(std::filesystem::exists(notifyDir / "r3-dead.sock"));

  // Never reads, never answers; registered on the device's disk with a handle.
  const int stuck =
      RawRecipient(notifyDir, "r2-stuck", true,
                   "pid\t2\nprogram\tstuck\nhandle\t5\t6\t" + r.storageInstanceId + "\n");
  DeviceBroadcaster broadcaster(machine_);
  for (int i = 0; i < 2000; ++i) broadcaster.Volume(kDbtDeviceArrival, 1u << 3);  // fills it up
  const EjectResult result = CmRequestDeviceEject(machine_, DevInstOf(machine_, r.usbInstanceId),
                                                  std::chrono::milliseconds(200));
  EXPECT_TRUE(result.Succeeded());
  EXPECT_TRUE(std::filesystem::exists(notifyDir / "r2-stuck.sock"));  // alive, so kept
  const auto listed = ListRecipients(machine_);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].program, "stuck");
  ::close(stuck);
}

TEST(DeviceBroadcastRecord, DecodingRejectsWhatWeNeverSend) {
  DeviceBroadcast r;
  r.devicetype = kDbtDevtypDeviceInterface;
  r.deviceInterface = {kGuidUsbDeviceInterface, UsbPath("X")};
  auto ok = DecodeDeviceBroadcast(EncodeDeviceBroadcast(r));
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->deviceInterface.name, UsbPath("X"));
  auto bytes = [](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes("")));
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes("type=9\n")));
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes("type=5\nclass={nope}\nname=x\n")));
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes("type=2\nunitmask=67108864\nflags=0\n")));  // bit 26
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes("type=2\nunitmask=1\nunitmask=2\nflags=0\n")));
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes("type=6\nhandle=1\nnotify=0\n")));
  EXPECT_FALSE(DecodeDeviceBroadcast(bytes(std::string("type=2\0\nunitmask=1\nflags=0\n", 27))));
  const std::string longName(kMaxBroadcastName + 1, 'n');
  EXPECT_FALSE(DecodeDeviceBroadcast(
      bytes("type=5\nclass=" + kGuidUsbDeviceInterface.text + "\nname=" + longName + "\n")));
}

// ---------------------------------------------------------------------------------------------
// Across two processes.

class Peer {
 public:
  Peer(const std::filesystem::path& root, std::vector<std::string> extra = {}) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args = {PNP_PEER_PATH, root.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, PNP_PEER_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Peer() {
    ::close(stdin_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ::close(stdout_);
  }
  // The next line, or "" after 5 s.
  std::string Line() {
    while (true) {
      const std::size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return {};
      char chunk[512];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

TEST_F(EjectNotifyTest, AnotherProcessGetsThePlugAsWindowMessages) {
  Peer peer(temp_.root());
  ASSERT_EQ(peer.Line(), "ready");
  PlugOrFail(machine_, Stick("XP1"));
  EXPECT_EQ(peer.Line(), "8000 iface " + UsbPath("XP1"));
  EXPECT_EQ(peer.Line(), "8000 volume 8");
  ASSERT_TRUE(Unplug(machine_, "D").ok());
  EXPECT_EQ(peer.Line(), "8004 volume 8");
  EXPECT_EQ(peer.Line(), "8004 iface " + UsbPath("XP1"));
}

TEST_F(EjectNotifyTest, AnotherProcessHoldingTheDriveDecidesTheEject) {
  const auto r = PlugOrFail(machine_, Stick("XP2"));
  const DevInst usb = DevInstOf(machine_, r.usbInstanceId);
  {
    Peer keeps(temp_.root(), {"keep", "D"});
    ASSERT_EQ(keeps.Line(), "ready");
    const EjectResult result = CmRequestDeviceEject(machine_, usb);
    EXPECT_EQ(result.vetoType, kPnpVetoOutstandingOpen);
    EXPECT_EQ(keeps.Line().substr(0, 12), "8001 handle ");
    EXPECT_EQ(keeps.Line().substr(0, 12), "8002 handle ");
  }
  {
    Peer denies(temp_.root(), {"deny", "D"});
    ASSERT_EQ(denies.Line(), "ready");
    EXPECT_EQ(CmRequestDeviceEject(machine_, usb).vetoType, kPnpVetoWindowsApp);
  }
  Peer releases(temp_.root(), {"release", "D"});
  ASSERT_EQ(releases.Line(), "ready");
  EXPECT_TRUE(CmRequestDeviceEject(machine_, usb).Succeeded());
  EXPECT_EQ(releases.Line().substr(0, 12), "8001 handle ");
  EXPECT_EQ(releases.Line(), "8004 volume 8");
}

}  // namespace
}  // namespace uv::platform
