// USBVantrelClient as its users run it: installed, started, stopped and removed as a service of
// a temporary machine root (or run in the console with -debug), with devices plugged through the
// device tree and a console stand-in on loopback. One test per road.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog/EventLog.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/service/ServiceControlManager.h"
#include "tests/agent/reporter/TestMachine.h"
#include "tests/agent/support/AgentPeers.h"
#include "tests/e2e/agent/AgentProcess.h"

namespace uv::e2e {
namespace {

using testing::AgentPeers;
using testing::TestMachine;

class AgentEndToEnd : public ::testing::Test {
 protected:
  void Start(int n) {
    machine_ = std::make_unique<TestMachine>("PC17", "127.48.1." + std::to_string(n));
    peers_ = std::make_unique<AgentPeers>("127.48.0." + std::to_string(n),
                                          "127.48.1." + std::to_string(n));
    ASSERT_EQ(machine_->Settings().SetString("ServerIP", "127.48.0." + std::to_string(n)),
              platform::kErrorSuccess);
    machine_->Login("alice");
  }
  void TearDown() override {
    if (machine_) {
      (void)Command(*machine_, "-stop");
      (void)Command(*machine_, "-remove");
    }
  }
  platform::Machine& machine() { return machine_->machine(); }
  void Set(std::string_view name, std::uint32_t value) {
    ASSERT_EQ(machine_->Settings().SetDword(name, value), platform::kErrorSuccess);
  }
  std::vector<std::string> Expect(const std::vector<std::string>& expected) {
    auto got = peers_->WaitForCount(expected.size());
    EXPECT_EQ(got, expected);
    peers_->Clear();
    return got;
  }
  platform::ServiceStatus Status() {
    auto scm = platform::ServiceControlManager::Open(machine(), platform::ScmAccess::kConnect);
    EXPECT_TRUE(scm.ok());
    auto service = scm->OpenService("USBVantrelClient");
    if (!service) return {};
    auto status = service->QueryStatus();
    return status ? *status : platform::ServiceStatus{};
  }
  // The agent's watcher holds the volume while it watches it.
  void WaitUntilWatched(const std::string& volume) {
    for (int i = 0; i < 500; ++i) {
      const auto holds = platform::ListHolds(machine());
      for (const auto& h : holds) {
        if (h.volume == volume && h.pid != static_cast<std::uint32_t>(::getpid())) {
          // The directory's change read is set up right after its hold is taken.
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the agent never watched " << volume;
  }

  std::unique_ptr<TestMachine> machine_;
  std::unique_ptr<AgentPeers> peers_;
};

TEST_F(AgentEndToEnd, ServiceReportsWatchesBlocksAndStops) {
  Start(1);
  ASSERT_EQ(Command(*machine_, "-install"), 0);
  ASSERT_EQ(Command(*machine_, "-start"), 0);
  Expect({R("Started client [ Drives  ] on ")});
  EXPECT_EQ(Status().currentState, platform::ServiceState::kRunning);

  // A stick: reported, watched, pulled out.
  auto plugged = platform::Plug(machine(), Stick('E'));
  ASSERT_TRUE(plugged.ok()) << plugged.error.message;
  Expect({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on ")});
  WaitUntilWatched(plugged.value->volumeName);
  std::ofstream(plugged.value->backing / "report.txt").flush();
  Expect({"R Added E:\\report.txt"});
  ASSERT_TRUE(platform::Unplug(machine(), "E").ok());
  Expect({R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});

  // Blocked: the whole sequence, reports and notices in the order sent.
  Set("BlockUSB", 1);
  Set("IpConfigState", 1);
  ASSERT_TRUE(platform::Plug(machine(), Stick('E')).ok());
  Expect({R("Inserted " + kStick + " on "), R("Mounted drive E:\\ on "),
          "N 0;" + kStick + " 0019E06B9C85F9A0;", R("Blocked-USB drive E:\\ on "), "N UMNT;",
          R("Unmounted drive E:\\ on "), R("Removed " + kStick + " on ")});

  // Stopped: exactly one shutdown report, before the status is stopped.
  ASSERT_EQ(Command(*machine_, "-stop"), 0);
  EXPECT_EQ(Status().currentState, platform::ServiceState::kStopped);
  ASSERT_TRUE(peers_->Settle());
  EXPECT_EQ(peers_->Sequence(), std::vector<std::string>{R("Shutdown client - Normal on ")});

  auto events = platform::ReadEventLog(machine());
  ASSERT_TRUE(events.ok());
  std::vector<std::uint32_t> ids;
  for (const auto& e : *events) {
    if (e.source == "USBVantrel Client Service") ids.push_back(e.id);
  }
  EXPECT_NE(std::find(ids.begin(), ids.end(), 0x40000001u), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), 0x40000003u), ids.end());

  ASSERT_EQ(Command(*machine_, "-remove"), 0);
  auto scm = platform::ServiceControlManager::Open(machine(), platform::ScmAccess::kConnect);
  ASSERT_TRUE(scm.ok());
  EXPECT_EQ(scm->OpenService("USBVantrelClient").error(), platform::kErrorServiceDoesNotExist);
}

TEST_F(AgentEndToEnd, SystemShutdownThenKilledAndStartedAgain) {
  Start(2);
  // A stick present at start is listed and the journal survives the kill.
  ASSERT_TRUE(platform::Plug(machine(), Stick('E')).ok());
  ASSERT_EQ(Command(*machine_, "-install"), 0);
  ASSERT_EQ(Command(*machine_, "-start"), 0);
  Expect({R("Started client [ Drives E; ] on ")});

  {
    auto scm = platform::ServiceControlManager::Open(machine(), platform::ScmAccess::kAll);
    ASSERT_TRUE(scm.ok());
    auto service = scm->OpenService("USBVantrelClient");
    ASSERT_TRUE(service.ok());
    ASSERT_TRUE(service->Control(platform::kServiceControlShutdown).ok());
  }
  Expect({R("System-Shutdown ")});

  // The system goes down: the process is killed without a stop.
  const auto pid = static_cast<pid_t>(Status().processId);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  for (int i = 0; i < 500 && Status().currentState != platform::ServiceState::kStopped; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(peers_->Settle());
  EXPECT_TRUE(peers_->Sequence().empty()) << peers_->Sequence().front();

  // Started again after the crash: as after any start.
  ASSERT_EQ(Command(*machine_, "-start"), 0);
  Expect({R("Started client [ Drives E; ] on ")});
  ASSERT_EQ(Command(*machine_, "-stop"), 0);
  Expect({R("Shutdown client - Normal on ")});
}

}  // namespace
}  // namespace uv::e2e
