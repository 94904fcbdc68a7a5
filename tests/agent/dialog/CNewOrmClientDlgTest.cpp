// The hidden dialog in-process, on a temporary machine, against loopback peers: the device tree
// is driven as usbvantrel-sim drives it, the reports and notices are read where a console would
// read them. Each test has its own pair of addresses (console 127.46.0.n, client 127.46.1.n).

#include "client/agent/dialog/CNewOrmClientDlg.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/pnp/DeviceState.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "tests/agent/reporter/TestMachine.h"
#include "tests/agent/support/AgentPeers.h"

namespace uv::agent {
namespace {

using testing::AgentPeers;
using testing::TestMachine;

constexpr char kVersion[] = "VERSION=1 6 0 0";
const std::string kStick = "Kingston DataTraveler 3.0 USB Device";
const std::string kStickDevice = kStick + " 0019E06B9C85F9A0";

platform::PlugRequest Stick(char letter, std::string serial = "0019E06B9C85F9A0",
                            std::string vendor = "Kingston") {
  platform::PlugRequest request;
  request.vendorId = 0x0951;
  request.productId = 0x1666;
  request.serial = std::move(serial);
  request.vendorName = std::move(vendor);
  request.productName = "DataTraveler 3.0";
  request.letter = letter;
  return request;
}

class TraceLog {
 public:
  TraceLog()
      : sink_([this](std::string_view text) {
          std::lock_guard lock(mutex_);
          texts_.emplace_back(text);
        }) {}
  std::size_t Count(std::string_view text) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(texts_.begin(), texts_.end(), text));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
  platform::ScopedTraceSink sink_;
};

// Runs `step` on this thread. Should it not return within `limit`, the process says which step
// hung and ends, so that a hang shows in the output instead of running silently into the test's
// time limit.
template <class Step>
void Bounded(const char* what, std::chrono::seconds limit, Step step) {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, limit, [&] { return done; })) {
      std::fprintf(stderr, "%s did not return within %lld s\n", what,
                   static_cast<long long>(limit.count()));
      std::fflush(stderr);
      std::abort();
    }
  });
  step();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  changed.notify_all();
  watchdog.join();
}

class DialogTest : public ::testing::Test {
 protected:
  void Start(int n) {
    console_ = "127.46.0." + std::to_string(n);
    client_ = "127.46.1." + std::to_string(n);
    machine_ = std::make_unique<TestMachine>("PC17", client_);
    Set("ServerIP", console_);
    peers_ = std::make_unique<AgentPeers>(console_, client_);
    context_ = std::make_unique<CReporterContext>(machine(), kVersion);
    messages_.clear();
    context_->SetMessageBox([this](std::string_view text, std::string_view caption) {
      std::lock_guard lock(messageMutex_);
      messages_.push_back(std::string(caption) + ": " + std::string(text));
    });
    settings_ = std::make_unique<CClientSettings>(machine());
    dialog_ = std::make_unique<CNewOrmClientDlg>(*settings_, *context_);
  }
  void TearDown() override {
    if (thread_.joinable()) Stop();
  }

  platform::Machine& machine() { return machine_->machine(); }
  void Set(std::string_view name, std::uint32_t value) {
    ASSERT_EQ(machine_->Settings().SetDword(name, value), platform::kErrorSuccess);
  }
  void Set(std::string_view name, std::string_view value) {
    ASSERT_EQ(machine_->Settings().SetString(name, value), platform::kErrorSuccess);
  }
  void Run() {
    thread_ = std::thread([this] { code_ = dialog_->DoModal(); });
  }
  // Runs the dialog and waits for its start report.
  void RunUntilStarted(const std::string& drives = "") {
    Run();
    const std::string started = "R Started client [ Drives " + drives + " ] on PC17\\alice";
    const auto sequence = peers_->WaitFor(started);
    ASSERT_NE(std::find(sequence.begin(), sequence.end(), started), sequence.end());
    peers_->Clear();
  }
  void Stop() {
    Bounded("the dialog's stop", std::chrono::seconds(60), [&] {
      EXPECT_TRUE(dialog_->EndFromService());
      thread_.join();
    });
    EXPECT_EQ(code_, CNewOrmClientDlg::kIdOk);
  }
  platform::PlugResult Plug(const platform::PlugRequest& request) {
    auto outcome = platform::Plug(machine(), request);
    EXPECT_TRUE(outcome.ok()) << outcome.error.message;
    return outcome.value.value_or(platform::PlugResult{});
  }
  void Unplug(std::string_view what) {
    auto outcome = platform::Unplug(machine(), what);
    EXPECT_TRUE(outcome.ok()) << outcome.error.message;
  }
  platform::EjectResult Eject(char letter) {
    const auto device = platform::DeviceOfLetter(machine(), letter);
    EXPECT_TRUE(device.has_value());
    auto state = platform::StateStore(machine()).Read();
    EXPECT_TRUE(state.ok());
    const auto* record = state->FindDevice(device.value_or(""));
    EXPECT_NE(record, nullptr);
    return platform::CmRequestDeviceEject(machine(), record ? record->devInst : 0);
  }
  // Waits until `count` entries came; they must be `expected`.
  void ExpectSequence(const std::vector<std::string>& expected) {
    EXPECT_EQ(peers_->WaitForCount(expected.size()), expected);
    peers_->Clear();
  }
  std::vector<std::string> Messages() {
    std::lock_guard lock(messageMutex_);
    return messages_;
  }
  // Returns once the dialog has finished the notification it is handling (a sent message is
  // handled between two notifications).
  void Sync() {
    EXPECT_TRUE(
        dialog_->WindowHandle().SendTimeout(std::chrono::seconds(30), platform::kWmUser + 50).ok());
  }
  // Waits until the watcher holds `volume` open again, then for its handler to finish.
  void WaitUntilWatched(const std::string& volume) {
    for (int i = 0; i < 500; ++i) {
      const auto holds = platform::ListHolds(machine());
      if (std::any_of(holds.begin(), holds.end(),
                      [&](const platform::HoldInfo& h) { return h.volume == volume; })) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Sync();
  }
  static std::string First(const std::vector<std::string>& sequence) {
    return sequence.empty() ? "<nothing>" : sequence.front();
  }
  static std::string R(const std::string& text) { return "R " + text + "PC17\\alice"; }

  std::string console_, client_;
  std::unique_ptr<TestMachine> machine_;
  std::unique_ptr<AgentPeers> peers_;
  std::unique_ptr<CReporterContext> context_;
  std::unique_ptr<CClientSettings> settings_;
  std::unique_ptr<CNewOrmClientDlg> dialog_;
  std::thread thread_;
  int code_ = 0;
  std::mutex messageMutex_;
  std::vector<std::string> messages_;
};

TEST_F(DialogTest, StickIsReportedWatchedReleasedOnRequestAndUnplugged) {
  Start(1);
  machine_->Login("alice");
  RunUntilStarted();

  const auto plugged = Plug(Stick('E'));
  ExpectSequence({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on ")});
  Sync();

  // Watched: a file written on the stick is reported.
  std::ofstream(plugged.backing / "plan.txt").flush();  // empty: added, not resized
  EXPECT_EQ(First(peers_->WaitForCount(1)), "R Added E:\\plan.txt");
  peers_->Clear();

  // A safe removal refused by a handle still open: the watch resumes after the failed query.
  {
    auto hold = platform::HandleHold::ForPath(machine(), "E:\\plan.txt");
    ASSERT_TRUE(hold.ok());
    EXPECT_FALSE(Eject('E').Succeeded());
  }
  WaitUntilWatched(plugged.volumeName);
  std::ofstream(plugged.backing / "after.txt").flush();
  EXPECT_EQ(First(peers_->WaitForCount(1)), "R Added E:\\after.txt");
  peers_->Clear();

  // The dialog lets go of the drive on the query, so the removal goes ahead.
  EXPECT_TRUE(Eject('E').Succeeded());
  ExpectSequence({R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});

  // Plugged again and pulled out without warning.
  Plug(Stick('E'));
  ExpectSequence({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on ")});
  Unplug("E");
  ExpectSequence({R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});

  Stop();
  EXPECT_EQ(peers_->WaitForCount(1), std::vector<std::string>{R("Shutdown client - Normal on ")});
  EXPECT_TRUE(Messages().empty());
}

TEST_F(DialogTest, BlockedStickSequenceInOrder) {
  Start(2);
  machine_->Login("alice");
  Set("BlockUSB", 1);
  Set("IpConfigState", 1);
  RunUntilStarted();

  Plug(Stick('E'));
  // Deleting the drive letter broadcasts a volume removal: "Unmounted" follows the block.
  ExpectSequence({
      R("Inserted " + kStick + " on "),
      R("Mounted drive E:\\ on "),
      "N 0;" + kStickDevice + ";",
      R("Blocked-USB drive E:\\ on "),
      "N UMNT;",
      R("Unmounted drive E:\\ on "),
      R("Removed " + kStick + " on "),
  });
  EXPECT_FALSE(platform::DeviceOfLetter(machine(), 'E').has_value());
}

TEST_F(DialogTest, WhitelistsByUserDeviceAndMake) {
  Start(3);
  machine_->Login("alice");
  Set("IpConfigState", 1);
  RunUntilStarted();
  struct Case {
    std::uint32_t blockUsb;
    std::string users, devices, makes;
    bool allowed;
  };
  const std::vector<Case> cases{
      {1, "ALICE", "", "", true},                        // users ignore case
      {1, ",bob,,alice,", "", "", true},                 // empty entries are skipped
      {1, "", kStickDevice, "", true},                   // the exact device text
      {1, "", "", kStick, true},                         // the make
      {1, "", kStick + " 0019e06b9c85f9a0", "", false},  // devices are exact
      {1, "", "", kStick + " ", false},                  // makes are exact, blanks included
      {1, ",,,", ",,,", ",,,", false},                   // only commas match nothing
      {1, std::string(100000, 'a'), "", "", false},      // 100 kB, cut on storage: no match
      {0, "", "", "", true},                             // not blocking: the whitelist is not read
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.users.substr(0, 20) + "|" + c.devices + "|" + c.makes);
    Set("BlockUSB", c.blockUsb);
    ASSERT_TRUE(settings_->WriteWhiteList((c.users.empty() ? "-" : c.users) + ";" +
                                          (c.devices.empty() ? "-" : c.devices) + ";" +
                                          (c.makes.empty() ? "-" : c.makes) + ";"));
    TraceLog traces;
    Plug(Stick('E'));
    if (c.allowed) {
      ExpectSequence({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on "),
                      "N 4;" + kStickDevice + ";"});
      Unplug("E");
      ExpectSequence({R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});
    } else {
      EXPECT_EQ(peers_->WaitForCount(7)[3], R("Blocked-USB drive E:\\ on "));
      peers_->Clear();
    }
    if (c.blockUsb == 0) {
      EXPECT_EQ(traces.Count("In CheckWhiteList "), 0u);
    }
  }
}

TEST_F(DialogTest, StartReportListsUsbDrivesPresentAndWatchesThem) {
  Start(4);
  machine_->Login("alice");
  Plug(Stick('E'));
  platform::PlugRequest disk = Stick('F', "HD000001", "WD");
  disk.kind = platform::DeviceKind::kUsbHardDisk;
  Plug(disk);
  platform::PlugRequest sata = Stick('G', "SATA0001", "Samsung");
  sata.kind = platform::DeviceKind::kFixedDisk;
  Plug(sata);
  Set("BlockUSB", 1);  // not consulted for drives present at start
  RunUntilStarted("E;F;");
  Sync();
  auto path = platform::ResolveDrivePath(machine(), "F:\\new.txt");
  ASSERT_TRUE(path.ok());
  std::ofstream(*path).flush();
  EXPECT_EQ(First(peers_->WaitForCount(1)), "R Added F:\\new.txt");
}

TEST_F(DialogTest, UsbHardDiskBlockedFixedDiskOnAnotherBusIgnored) {
  Start(5);
  machine_->Login("alice");
  Set("BlockUSB", 1);
  RunUntilStarted();
  platform::PlugRequest sata = Stick('G', "SATA0001", "Samsung");
  sata.kind = platform::DeviceKind::kFixedDisk;
  Plug(sata);
  platform::PlugRequest disk = Stick('H', "HD000001", "WD");
  disk.kind = platform::DeviceKind::kUsbHardDisk;
  Plug(disk);
  const std::string name = "WD DataTraveler 3.0 USB Device";
  ExpectSequence({R("Inserted " + name + " on "), R("Mounted drive H:\\ on "),
                  R("Blocked-USB drive H:\\ on "), R("Unmounted drive H:\\ on "),
                  R("Removed " + name + " on ")});
}

TEST_F(DialogTest, VolumeBroadcastsHandleTheLowestLetterOnly) {
  Start(6);
  machine_->Login("alice");
  RunUntilStarted();
  Plug(Stick('E'));
  Plug(Stick('F', "SECOND01"));
  peers_->WaitForCount(4);
  peers_->Clear();
  platform::DeviceBroadcaster broadcaster(machine());
  struct Case {
    std::uint32_t unitmask;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {0, {}},                                                 // no letter at all
      {(1u << 26) - 1, {}},                                    // A: is not there
      {0xFC000000u, {}},                                       // bits above Z:
      {(1u << 4) | (1u << 5), {R("Mounted drive E:\\ on ")}},  // E: and F:, only E:
  };
  for (const auto& c : cases) broadcaster.Volume(platform::kDbtDeviceArrival, c.unitmask);
  // The marker: a plain F: arrival comes after all of them.
  broadcaster.Volume(platform::kDbtDeviceArrival, 1u << 5);
  EXPECT_EQ(peers_->WaitForCount(2),
            (std::vector<std::string>{R("Mounted drive E:\\ on "), R("Mounted drive F:\\ on ")}));
}

TEST_F(DialogTest, NamesThatAppearAfterTheInterfaceArrivalAreReadAtTheVolume) {
  Start(7);
  machine_->Login("alice");
  RunUntilStarted();
  platform::PlugRequest late = Stick('E');
  late.deferNames = true;  // names written only once the dialog has handled the interface
  Plug(late);
  ExpectSequence({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on ")});
  // The key stays until the next USB interface event: another volume re-reports it.
  platform::DeviceBroadcaster(machine()).Volume(platform::kDbtDeviceArrival, 1u << 4);
  ExpectSequence({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on ")});
}

// The waits of the peers end at their limit, with what came meanwhile, whatever comes or not.
TEST(AgentPeersWaits, EndAtTheirLimit) {
  AgentPeers peers("127.46.0.99", "127.46.1.99");
  EXPECT_EQ(peers.WaitFor("N never;", std::chrono::milliseconds(50)), std::vector<std::string>{});
  EXPECT_EQ(peers.WaitForCount(1, std::chrono::milliseconds(50)), std::vector<std::string>{});
  EXPECT_TRUE(peers.Settle());
}

TEST_F(DialogTest, NoticeGating) {
  Start(8);
  struct Case {
    std::optional<std::uint32_t> ipConfigState;
    std::optional<std::uint32_t> serverState;
    bool sent;
  };
  const std::vector<Case> cases{
      {std::nullopt, std::nullopt, false},
      {std::nullopt, 1, false},
      {1, 0, true},
      {0, std::nullopt, true},
      {0, 0, false},
      {0, 1, true},
  };
  auto consoleKey = machine_->Key(kConsoleSettingsKey);
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    if (c.ipConfigState) {
      Set("IpConfigState", *c.ipConfigState);
    } else {
      (void)machine_->Settings().DeleteValue("IpConfigState");
    }
    if (c.serverState) {
      ASSERT_EQ(consoleKey.SetDword("ServerState", *c.serverState), platform::kErrorSuccess);
    } else {
      (void)consoleKey.DeleteValue("ServerState");
    }
    dialog_->SendMsgForWhiteList("case " + std::to_string(i));
    if (c.sent) expected.push_back("N case " + std::to_string(i) + ";");
  }
  Set("IpConfigState", 1);
  dialog_->SendMsgForWhiteList("end");
  expected.push_back("N end;");
  EXPECT_EQ(peers_->WaitFor("N end;"), expected);
}

TEST_F(DialogTest, ServerIpOfAnyText) {
  struct Case {
    std::string serverIp;
    bool couldNotResolve;
  };
  const std::vector<Case> cases{
      {"CONSOLE", false},               // a name of the hosts file, resolved once
      {"nosuchhost-uv.invalid", true},  // a name nothing maps
      {std::string(10000, 'x'), true},  // 10 kB of letters
      {"300.1.1.1", false},             // no letter: taken as it is, nothing arrives
  };
  int n = 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serverIp.substr(0, 30));
    Start(n++);
    std::ofstream(machine().HostsFile(), std::ios::app) << console_ << "\tCONSOLE\n";
    Set("ServerIP", c.serverIp);
    Set("SendOfflineMsg", 1);
    Run();
    if (c.serverIp == "CONSOLE") {
      EXPECT_EQ(First(peers_->WaitForCount(1)),
                "R Started client [ Drives  ] on PC17\\LocalSystem");
    }
    Stop();
    const auto messages = Messages();
    EXPECT_EQ(messages.size(), c.couldNotResolve ? 1u : 0u);
    if (c.couldNotResolve && !messages.empty()) {
      EXPECT_EQ(messages[0], "Error: Could not resolve IP");
    }
    const std::string journal = testing::ReadFile(context_->OfflineMsgPath());
    if (c.serverIp == "300.1.1.1") {
      EXPECT_NE(journal.find("Started client [ Drives  ] on PC17\\LocalSystem"), std::string::npos);
    }
    if (c.couldNotResolve) {
      EXPECT_EQ(journal.find("Started client"), std::string::npos);
    }
    dialog_.reset();
    settings_.reset();
    context_.reset();
    peers_.reset();
    machine_.reset();
  }
}

TEST_F(DialogTest, SystemShutdownReportsOnceAndNoNormalShutdownAfterIt) {
  Start(9);
  machine_->Login("alice");
  EXPECT_EQ(dialog_->RefreshBlockPolicy(), 0);  // not running: from the settings
  RunUntilStarted();
  // The console's status query, from another thread, refreshes the policy on the dialog's.
  Set("BlockUSB", 1);
  EXPECT_EQ(dialog_->RefreshBlockPolicy(), 1);
  EXPECT_EQ(dialog_->BlockPolicy(), 1);
  EXPECT_TRUE(dialog_->ReportSystemShutdown());
  EXPECT_EQ(peers_->WaitForCount(1), std::vector<std::string>{R("System-Shutdown ")});
  Stop();
  EXPECT_FALSE(dialog_->ReportSystemShutdown());
  EXPECT_FALSE(dialog_->EndFromService());
  ASSERT_TRUE(peers_->Settle());
  EXPECT_EQ(peers_->Reports(), std::vector<std::string>{"System-Shutdown PC17\\alice"});
}

}  // namespace
}  // namespace uv::agent
