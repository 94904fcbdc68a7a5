// USBVantrelClient run in the console (-debug) on a temporary machine root: the main road with
// devices plugged through the device tree and a console stand-in on loopback, ended by a signal;
// then killed without warning and started again.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/pnp/DeviceHandle.h"
#include "tests/agent/support/AgentPeers.h"
#include "tests/e2e/agent/AgentProcess.h"
#include "tools/usbvantrel-ctl/CtlTool.h"

namespace uv::e2e {
namespace {

using testing::AgentPeers;

class AgentConsoleMode : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = std::make_unique<TestMachine>("PC17", "127.48.1.9");
    peers_ = std::make_unique<AgentPeers>("127.48.0.9", "127.48.1.9");
    ASSERT_EQ(machine_->Settings().SetString("ServerIP", "127.48.0.9"), platform::kErrorSuccess);
    ASSERT_EQ(machine_->Settings().SetDword("SendOfflineMsg", 1), platform::kErrorSuccess);
    machine_->Login("alice");
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait(pid_);
    }
  }
  platform::Machine& machine() { return machine_->machine(); }
  void Expect(const std::vector<std::string>& expected) {
    EXPECT_EQ(peers_->WaitForCount(expected.size()), expected);
    peers_->Clear();
  }
  void WaitUntilWatched(const std::string& volume) {
    for (int i = 0; i < 500; ++i) {
      for (const auto& h : platform::ListHolds(machine())) {
        if (h.volume == volume && h.pid == static_cast<std::uint32_t>(pid_)) {
          // The directory's change read is set up right after its hold is taken.
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the agent never watched " << volume;
  }
  // Ends the agent with `signal`; its exit code.
  int End(int signal) {
    ::kill(pid_, signal);
    const int code = Wait(pid_);
    pid_ = -1;
    return code;
  }

  std::unique_ptr<TestMachine> machine_;
  std::unique_ptr<AgentPeers> peers_;
  pid_t pid_ = -1;
};

TEST_F(AgentConsoleMode, MainRoadThenKilledAndStartedAgain) {
  pid_ = Spawn(machine_->root(), {"-debug"});
  ASSERT_GT(pid_, 0);
  Expect({R("Started client [ Drives  ] on ")});

  auto plugged = platform::Plug(machine(), Stick('E'));
  ASSERT_TRUE(plugged.ok()) << plugged.error.message;
  Expect({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on ")});
  WaitUntilWatched(plugged.value->volumeName);
  std::ofstream(plugged.value->backing / "a.txt").flush();
  Expect({"R Added E:\\a.txt"});
  ASSERT_TRUE(platform::Unplug(machine(), "E").ok());
  Expect({R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});

  // Blocked, in order, reports and notices.
  ASSERT_EQ(machine_->Settings().SetDword("BlockUSB", 1), platform::kErrorSuccess);
  ASSERT_EQ(machine_->Settings().SetDword("IpConfigState", 1), platform::kErrorSuccess);
  ASSERT_TRUE(platform::Plug(machine(), Stick('E')).ok());
  Expect({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on "),
          "N 0;" + kStick + " 0019E06B9C85F9A0;", R("Blocked-USB drive E:\\ on "), "N UMNT;",
          R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});

  // A stop signal: one shutdown report, a clean exit.
  EXPECT_EQ(End(SIGTERM), 0);
  ASSERT_TRUE(peers_->Settle());
  EXPECT_EQ(peers_->Sequence(), std::vector<std::string>{R("Shutdown client - Normal on ")});
  peers_->Clear();

  // Killed while the console is away and a report waits in the journal; started again, the next
  // device report replays it.
  ASSERT_EQ(machine_->Settings().SetDword("BlockUSB", 0), platform::kErrorSuccess);
  pid_ = Spawn(machine_->root(), {"-debug"});
  Expect({R("Started client [ Drives  ] on ")});
  peers_->SetAway(true);
  ASSERT_TRUE(platform::Plug(machine(), Stick('F')).ok());
  const auto journal = machine().SystemDirectory() / "OfflineUSBMsg.log";
  for (int i = 0;
       i < 200 && testing::ReadFile(journal).find("Mounted drive F:") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  End(SIGKILL);
  const std::string queued = testing::ReadFile(journal);
  EXPECT_NE(queued.find(R("Mounted drive F:\\ on ").substr(2)), std::string::npos);
  peers_->SetAway(false);
  peers_->Clear();
  pid_ = Spawn(machine_->root(), {"-debug"});
  // The start report replays the queue first, then lists the stick.
  Expect({"R Offline," + R("Inserted " + kStick + " on ").substr(2),
          "R Offline," + R("Mounted drive F:\\ on ").substr(2),
          R("Started client [ Drives F; ] on ")});
  EXPECT_EQ(testing::ReadFile(journal), "");
  EXPECT_EQ(End(SIGTERM), 0);
}

// The console's command-line client, on the exchange code of its dialogs, against the real agent:
// every setting it applies lands in the agent's registry and reads back through the agent.
TEST_F(AgentConsoleMode, ConsoleClientReadsAndChangesTheAgentsSettings) {
  pid_ = Spawn(machine_->root(), {"-debug"});
  ASSERT_GT(pid_, 0);
  Expect({R("Started client [ Drives  ] on ")});
  TestMachine console("CONSOLE", "127.48.0.9");
  auto ctl = [&](std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), "127.48.1.9");
    std::ostringstream out;
    std::ostringstream err;
    const int code = ctl::RunCtl(args, console.machine(), {}, out, err);
    if (output) *output = out.str();
    return code;
  };
  // A setting is applied by the agent's connection thread after the console has closed, so the
  // next question may overtake it: ask until the answer comes (bounded).
  auto answer = [&](const std::string& what, const std::string& expected) {
    std::string out;
    for (int i = 0; i < 200; ++i) {
      if (ctl({"get", what}, &out) == ctl::kExitOk && out == expected) return out;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return out;
  };
  // The listener starts right after the start-up report.
  EXPECT_EQ(answer("block", "off\n"), "off\n");

  struct Case {
    std::vector<std::string> set;
    std::string what;
    std::string expected;
    const char* value;  // the agent's registry value it lands in, if a number
    std::uint32_t stored;
  };
  const Case cases[] = {
      {{"set", "block", "on"}, "block", "on\n", "BlockUSB", 1},
      {{"set", "idle", "30"}, "idle", "30\n", "SystemIdleTime", 30},
      {{"set", "offline", "off"}, "offline", "off\n", "SendOfflineMsg", 0},
      {{"set", "whitelist", "alice,bob", "-", "Kingston"},
       "whitelist",
       "users: alice,bob\ndevices: \nmakes: Kingston\n",
       nullptr,
       0},
      {{"set", "block", "off"}, "block", "off\n", "BlockUSB", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set[1]);
    ASSERT_EQ(ctl(c.set), ctl::kExitOk);
    EXPECT_EQ(answer(c.what, c.expected), c.expected);
    if (c.value != nullptr) {
      auto stored = machine_->Settings().QueryDword(c.value);
      ASSERT_TRUE(stored.ok());
      EXPECT_EQ(*stored, c.stored);
    }
  }
  EXPECT_EQ(End(SIGTERM), 0);
}

}  // namespace
}  // namespace uv::e2e
