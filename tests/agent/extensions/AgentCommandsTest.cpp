// The agent's hidden dialog in-process with its two extensions, the command listener and
// Save-Energy, as the program wires them: raw frames to the real settings over loopback, idle
// spells driven as usbvantrel-sim drives them, reports read where a console would read them.
// Each test has its own pair of addresses (console 127.47.0.n, client 127.47.1.n); one minute
// lasts 20 ms here (USBVANTREL_MINUTE_MS).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "client/agent/dialog/CNewOrmClientDlg.h"
#include "client/agent/extensions/AgentExtensions.h"
#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "platform/net/Socket.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/registry/Registry.h"
#include "platform/session/IdleDetector.h"
#include "tests/agent/reporter/TestMachine.h"
#include "tests/agent/support/AgentPeers.h"

namespace uv::agent {
namespace {

using namespace std::chrono_literals;
using platform::Ipv4Address;
using platform::TcpSocket;

const std::string kGet("0004GET;\0\0", 10);

class AgentTest : public ::testing::Test {
 protected:
  void Start(int n, std::optional<std::uint32_t> idleMinutes = std::nullopt) {
    ::setenv("USBVANTREL_MINUTE_MS", "20", 1);
    console_ = "127.47.0." + std::to_string(n);
    client_ = "127.47.1." + std::to_string(n);
    machine_ = std::make_unique<testing::TestMachine>("PC17", client_);
    ASSERT_EQ(machine_->Settings().SetString("ServerIP", console_), platform::kErrorSuccess);
    if (idleMinutes) {
      ASSERT_EQ(machine_->Settings().SetDword("SystemIdleTime", *idleMinutes),
                platform::kErrorSuccess);
    }
    machine_->Login("alice");
    peers_ = std::make_unique<testing::AgentPeers>(console_, client_);
    context_ = std::make_unique<CReporterContext>(machine_->machine(), "VERSION=1 6 0 0");
    settings_ = std::make_unique<CClientSettings>(machine_->machine());
    dialog_ = std::make_unique<CNewOrmClientDlg>(*settings_, *context_);
    listener_ = std::make_unique<CCommandListenerExtension>(*settings_);
    saveEnergy_ = std::make_unique<CSaveEnergyExtension>(
        *settings_, [](CNewOrmClientDlg& dialog, const std::string& text) {
          dialog.SetEventText(text);
          dialog.FormatDetails();
        });
    dialog_->SetCommandListener(listener_.get());
    dialog_->SetIdleDetection(saveEnergy_.get());
    thread_ = std::thread([this] { dialog_->DoModal(); });
    const std::string started = "R Started client [ Drives  ] on PC17\\alice";
    const auto sequence = peers_->WaitFor(started);
    ASSERT_NE(std::find(sequence.begin(), sequence.end(), started), sequence.end());
    peers_->Clear();
  }
  void TearDown() override {
    if (thread_.joinable()) {
      dialog_->EndFromService();
      thread_.join();
    }
    ::unsetenv("USBVANTREL_MINUTE_MS");
  }

  TcpSocket Connect(std::optional<std::string> from = {}) {
    const platform::SocketAddress to{*Ipv4Address::Parse(client_), 5553};
    std::optional<Ipv4Address> source;
    if (from) source = Ipv4Address::Parse(*from);
    // The listener starts right after the "Started" report: give it a moment to be there.
    auto socket = TcpSocket::Connect(to, 2s, source);
    for (int i = 0; i < 400 && !socket.ok(); ++i) {
      std::this_thread::sleep_for(5ms);
      socket = TcpSocket::Connect(to, 2s, source);
    }
    EXPECT_TRUE(socket.ok());
    EXPECT_EQ(socket->SetReceiveTimeout(5s), platform::kErrorSuccess);
    return std::move(*socket);
  }
  // One exchange as the console makes it: connect, one frame, the reply (if asked), close.
  std::string Exchange(std::string_view frame, bool reply = true,
                       std::optional<std::string> from = {}) {
    TcpSocket socket = Connect(from);
    EXPECT_TRUE(socket.Send(frame).ok());
    if (!reply) return {};
    char buffer[2048];
    auto n = socket.Receive(std::span<char>(buffer));
    return n.ok() ? std::string(buffer, *n) : std::string();
  }
  std::optional<std::uint32_t> Dword(std::string_view name) { return settings_->Dword(name); }
  std::vector<std::string> SaveEnergyReports() {
    EXPECT_TRUE(peers_->Settle());
    std::vector<std::string> out;
    for (const auto& r : peers_->Reports()) {
      if (r.starts_with("Save-Energy")) out.push_back(r);
    }
    return out;
  }
  static std::string SaveEnergy(int minutes) {
    return "Save-Energy " + std::to_string(minutes) + " minutes inactivity on PC17\\alice";
  }

  std::string console_, client_;
  std::unique_ptr<testing::TestMachine> machine_;
  std::unique_ptr<testing::AgentPeers> peers_;
  std::unique_ptr<CReporterContext> context_;
  std::unique_ptr<CClientSettings> settings_;
  std::unique_ptr<CNewOrmClientDlg> dialog_;
  std::unique_ptr<CCommandListenerExtension> listener_;
  std::unique_ptr<CSaveEnergyExtension> saveEnergy_;
  std::thread thread_;
};

TEST_F(AgentTest, CommandsOverTheWireAndTheirRegistryEffects) {
  Start(1);
  // BlockUSB missing: not blocked.
  EXPECT_EQ(Exchange(kGet), std::string("   5GET;\x02", 9));
  // Several frames in one read: block on, journal off.
  Exchange("0006SET;1;   6SOM;2;", false);
  for (int i = 0; i < 200 && Dword("BlockUSB") != 1u; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(Dword("BlockUSB"), 1u);
  EXPECT_EQ(Dword("SendOfflineMsg"), 0u);
  EXPECT_EQ(Exchange(kGet), std::string("   5GET;\x01", 9));
  // Whitelists: "-", a text, "-"; then read back.
  Exchange("  35SWH;-;Kingston DataTraveler 3.0;-;", false);
  const std::string gwh = "  35GWH;-;Kingston DataTraveler 3.0;-;";
  std::string answer;
  for (int i = 0; i < 200 && (answer = Exchange(std::string("0004GWH;\0\0", 10))) != gwh; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(answer, gwh);
  // After the exchanges the connection threads end: the console closed every connection.
  for (int i = 0; i < 400 && listener_->Listener().ConnectionCount() > 0; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(listener_->Listener().ConnectionCount(), 0u);

  // SIT while the settings key is missing writes nothing, and GIT answers 10.
  {
    auto registry = machine_->machine().OpenRegistry();
    ASSERT_TRUE(registry.ok());
    auto parent = platform::RegKey::Open(**registry, "Software\\Quorrel\\USB Vantrel Client",
                                         platform::RegAccess::kAll);
    ASSERT_TRUE(parent.ok());
    ASSERT_EQ(parent->DeleteTree("Settings"), platform::kErrorSuccess);
  }
  Exchange("   7SIT;30;", false);
  EXPECT_EQ(Exchange(std::string("0004GIT;\0\0", 10)), "   7GIT;10;");
  EXPECT_FALSE(settings_->KeyExists());
}

TEST_F(AgentTest, BadInputLeavesTheRegistryAsWellFormedCommandsWroteIt) {
  Start(2);
  {
    TcpSocket socket = Connect();
    const std::vector<std::string> bad = {"0006SET;1:", "9999SET;1;",           "0001SET;1;",
                                          "SET;1;",     std::string(2100, '7'), "0006XYZ;1;"};
    for (int i = 0; i < 10000; ++i) {
      ASSERT_TRUE(socket.Send(bad[static_cast<std::size_t>(i) % bad.size()]).ok());
    }
  }
  // An SWH list over 299 characters is cut, never overrun.
  const std::string longList(400, 'x');
  Exchange("SWH;" + longList + ";-;-;", false);  // no length field: malformed, ignored
  std::string swh = protocol::BuildSwhFrame({longList, "-", "-"});
  Exchange(swh, false);
  std::optional<std::string> users;
  for (int i = 0; i < 200 && !(users = settings_->WhiteListValue(WhiteListKind::kUsers)); ++i) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(users.has_value());
  EXPECT_EQ(*users, std::string(299, 'x'));
  // SIT values that are no number or do not fit 32 bits write nothing; the largest one does.
  {
    // On one connection, so the SOM at the end says every frame before it was handled.
    TcpSocket socket = Connect();
    for (const char* frame :
         {"   7SIT;ab;", "  16SIT;99999999999;", "   8SIT;-10;", "   5SIT;;", "   6SOM;1;"}) {
      ASSERT_TRUE(socket.Send(std::string_view(frame)).ok());
    }
    for (int i = 0; i < 200 && Dword("SendOfflineMsg") != 1u; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(Dword("SendOfflineMsg"), 1u);
  }
  EXPECT_EQ(Exchange(kGet), std::string("   5GET;\x02", 9));
  EXPECT_EQ(Dword("BlockUSB"), std::nullopt);  // nothing malformed wrote it
  EXPECT_EQ(Dword("SystemIdleTime"), std::nullopt);
  Exchange("  15SIT;4294967295;", false);
  for (int i = 0; i < 200 && !Dword("SystemIdleTime"); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(Dword("SystemIdleTime"), 4294967295u);
}

TEST_F(AgentTest, AllowedConsolesServesListedAddressesOnly) {
  Start(3);
  ASSERT_EQ(machine_->Settings().SetString("AllowedConsoles", console_), platform::kErrorSuccess);
  EXPECT_EQ(Exchange(kGet, true, console_), std::string("   5GET;\x02", 9));
  EXPECT_EQ(Exchange(kGet, true, "127.47.9.9"), "");
  EXPECT_EQ(listener_->Listener().GetCounters().refusedGate, 1u);
}

TEST_F(AgentTest, StopWhileConnectionsAreOpen) {
  Start(4);
  std::vector<TcpSocket> open;
  for (int i = 0; i < 3; ++i) open.push_back(Connect());
  for (int i = 0; i < 400 && listener_->Listener().ConnectionCount() < 3; ++i) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(dialog_->EndFromService());
  thread_.join();
  EXPECT_FALSE(listener_->Listener().IsRunning());
  EXPECT_EQ(listener_->Listener().ConnectionCount(), 0u);
}

TEST_F(AgentTest, SaveEnergyReportsOneSpellAndStopsAtInput) {
  Start(5);  // SystemIdleTime missing: 10 minutes, 200 ms here
  ASSERT_EQ(platform::StopUserInput(machine_->machine(), "alice"), platform::kErrorSuccess);
  peers_->WaitFor("R " + SaveEnergy(30), 20s);
  ASSERT_EQ(platform::ResumeUserInput(machine_->machine(), "alice"), platform::kErrorSuccess);
  std::this_thread::sleep_for(500ms);  // a few periods: nothing more comes
  EXPECT_EQ(SaveEnergyReports(),
            (std::vector<std::string>{SaveEnergy(10), SaveEnergy(20), SaveEnergy(30)}));
  // The next spell starts at the configured minutes again.
  peers_->Clear();
  ASSERT_EQ(platform::StopUserInput(machine_->machine(), "alice"), platform::kErrorSuccess);
  peers_->WaitFor("R " + SaveEnergy(10), 20s);
  ASSERT_EQ(platform::ResumeUserInput(machine_->machine(), "alice"), platform::kErrorSuccess);
  EXPECT_EQ(SaveEnergyReports().front(), SaveEnergy(10));
}

TEST_F(AgentTest, SaveEnergyZeroMakesNoReports) {
  Start(6, 0);
  ASSERT_EQ(platform::StopUserInput(machine_->machine(), "alice"), platform::kErrorSuccess);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(SaveEnergyReports().empty());
}

TEST_F(AgentTest, ACommandBlocksUsbAndTheNextStickIsBlocked) {
  Start(7);
  Exchange(std::string("0006SET;1;\0\0", 12), false);
  for (int i = 0; i < 200 && Dword("BlockUSB") != 1u; ++i) std::this_thread::sleep_for(5ms);
  platform::PlugRequest stick;
  stick.vendorId = 0x0951;
  stick.productId = 0x1666;
  stick.serial = "0019E06B9C85F9A0";
  stick.vendorName = "Kingston";
  stick.productName = "DataTraveler 3.0";
  stick.letter = 'E';
  ASSERT_TRUE(platform::Plug(machine_->machine(), stick).ok());
  const std::string blocked = "R Blocked-USB drive E:\\ on PC17\\alice";
  const auto sequence = peers_->WaitFor(blocked);
  EXPECT_NE(std::find(sequence.begin(), sequence.end(), blocked), sequence.end());
}

}  // namespace
}  // namespace uv::agent
