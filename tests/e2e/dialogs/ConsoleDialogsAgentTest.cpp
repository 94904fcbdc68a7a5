// The console's client-settings dialogs in this process (offscreen) against the real agent,
// started in the console on machine roots of its own with loopback addresses: what an
// administrator does in each dialog lands in the agent's registry; the status view of three
// clients; clients that cannot be reached or never answer; and a stick plugged into the
// console's own computer, captured by the whitelist dialog, sent to the agent and ejected.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTest>
#include <QTreeWidget>
#include <fstream>
#include <functional>
#include <memory>

#include "gui/common/MessageBoxes.h"
#include "platform/net/Socket.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceNotifier.h"
#include "server/dialogs/blockusb/CBlockUSBDlg.h"
#include "server/dialogs/offlinemsg/COfflineMsgLogDlg.h"
#include "server/dialogs/saveenergy/CSaveEnergyDlg.h"
#include "server/dialogs/settings/CIPAddressCtrl.h"
#include "server/dialogs/whitelist/CControlDialog.h"
#include "tests/agent/support/AgentPeers.h"
#include "tests/e2e/agent/AgentProcess.h"
#include "tests/server_ui/UiTestSupport.h"

namespace uv::server {
namespace {

using namespace std::chrono_literals;
using e2e::TestMachine;

constexpr char kConsoleAddress[] = "127.48.0.40";
constexpr char kWhiteListKey[] = "Software\\Quorrel\\USB Vantrel Client\\Settings\\WhiteList";
constexpr char kErrorConnecting[] = "Error connecting to specified client";
constexpr char kEnterDetails[] = "Enter the Client details and then click 'Get Status'";

// A whitelist value as the agent stored it (its bytes, no terminator); "(none)" when missing.
std::string StoredWhiteList(TestMachine& machine, std::string_view name) {
  auto value = machine.Key(kWhiteListKey).QueryValue(name);
  return value.ok() ? std::string(value->data.begin(), value->data.end()) : std::string("(none)");
}

// The real agent in the console (-debug) on a computer of its own (or on a given one, the
// console's), reporting to the console's address; ended by a stop signal.
class RunningAgent {
 public:
  RunningAgent(const std::string& name, const std::string& address,
               const std::function<void(TestMachine&)>& prepare = {})
      : owned_(std::make_unique<TestMachine>(name, address)), machine_(*owned_), address_(address) {
    Start(prepare);
  }
  RunningAgent(TestMachine& machine, const std::string& address,
               const std::function<void(TestMachine&)>& prepare)
      : machine_(machine), address_(address) {
    Start(prepare);
  }
  ~RunningAgent() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      e2e::Wait(pid_);
    }
  }
  RunningAgent(const RunningAgent&) = delete;
  RunningAgent& operator=(const RunningAgent&) = delete;

  const std::string& Address() const { return address_; }
  pid_t Pid() const { return pid_; }

  // The agent's listener answers once its start-up is done: asked until it does (bounded).
  bool WaitUntilListening(platform::Machine& console) {
    if (pid_ <= 0) return false;
    CommandExchange probe(console, {.connect = 500ms, .reply = 500ms});
    for (int i = 0; i < 200; ++i) {
      const ExchangeRequest query{
          address_, ExchangePhase::kQuery, 0, ExchangeKind::kBlockState, {}};
      if (probe.Run(query) == ExchangeStatus::kDone && probe.Holders().stored) return true;
      QTest::qWait(25);
    }
    return false;
  }

  std::optional<std::uint32_t> Dword(std::string_view name) {
    auto value = machine_.Settings().QueryDword(name);
    return value.ok() ? std::optional(*value) : std::nullopt;
  }
  std::string WhiteList(std::string_view name) { return StoredWhiteList(machine_, name); }

 private:
  void Start(const std::function<void(TestMachine&)>& prepare) {
    if (machine_.Settings().SetString("ServerIP", kConsoleAddress) != platform::kErrorSuccess) {
      throw std::runtime_error("ServerIP");
    }
    machine_.Login("alice");
    if (prepare) prepare(machine_);
    pid_ = e2e::Spawn(machine_.root(), {"-debug"});
  }

  std::unique_ptr<TestMachine> owned_;
  TestMachine& machine_;
  std::string address_;
  pid_t pid_ = -1;
};

template <typename T>
T* Named(QWidget* dialog, const char* name) {
  return dialog->findChild<T*>(QString::fromLatin1(name));
}

template <typename T>
T* Id(QWidget* dialog, int id) {
  return qobject_cast<T*>(test::FindById(dialog, id));
}

void SetIp(QWidget* dialog, const std::string& address) {
  const auto parsed = platform::Ipv4Address::Parse(address);
  QVERIFY(parsed.has_value());
  const std::uint32_t a = parsed->HostOrder();
  Named<CIPAddressCtrl>(dialog, "ipAddress")
      ->SetAddress(static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 0xFF),
                   static_cast<int>((a >> 8) & 0xFF), static_cast<int>(a & 0xFF));
}

// The dialog as an administrator sees it now: shown at the size it opened with, then grabbed to
// a PNG (kept in $UV_TEST_ARTIFACTS).
void Grab(QWidget* dialog, const QString& name) {
  if (!dialog->isVisible()) dialog->show();
  QCoreApplication::processEvents();
  const QString file = QDir::temp().filePath(name + QStringLiteral(".png"));
  QVERIFY(dialog->grab().save(file));
  test::KeepArtifact(file);
}

std::uint16_t FreeUdpPort() {
  auto socket = platform::UdpSocket::Create();
  (void)socket->Bind({platform::Ipv4Address::Loopback(), 0});
  return socket->LocalAddress()->port;
}

// A setting is applied by the agent's connection thread after the console has closed; the
// registry is read until it holds the value (bounded).
template <typename Read, typename Value>
bool Eventually(Read read, const Value& expected) {
  for (int i = 0; i < 400; ++i) {
    if (read() == expected) return true;
    QTest::qWait(10);
  }
  return false;
}

class ConsoleDialogsAgentTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TestMachine> console_;
  std::unique_ptr<testing::AgentPeers> peers_;  // the console's event port, for the agents
  std::unique_ptr<CommandExchange> exchange_;

  platform::Machine& Console() { return console_->machine(); }

  // The console's hosts file also names a client.
  void NameClient(const std::string& name, const std::string& address) {
    std::ofstream hosts(Console().HostsFile(), std::ios::app);
    hosts << address << "\t" << name << "\n";
  }

 private slots:
  void init() {
    console_ = std::make_unique<TestMachine>("CONSOLE", kConsoleAddress);
    peers_ = std::make_unique<testing::AgentPeers>(kConsoleAddress, "");
    exchange_ = std::make_unique<CommandExchange>(
        Console(), ExchangeLimits{.connect = 1000ms, .reply = 1000ms});
  }
  void cleanup() {
    exchange_.reset();
    peers_.reset();
    console_.reset();
  }

  // Get Status shows the agent's setting, the administrator changes it, Apply stores it in the
  // agent's registry. Each dialog names its client another way.
  void getStatusThenApplyChangesTheAgentsRegistry() {
    RunningAgent agent("PC17", "127.48.1.41", [](TestMachine& m) {
      (void)m.Settings().SetDword("BlockUSB", 1);
      (void)m.Settings().SetDword("SystemIdleTime", 20);
      (void)m.Settings().SetDword("SendOfflineMsg", 1);
      (void)m.Key(kWhiteListKey).SetString("UserDetails", "ALICE");
    });
    QVERIFY(agent.WaitUntilListening(Console()));
    NameClient("PC17", agent.Address());
    const std::uint16_t noticePort = FreeUdpPort();

    struct Road {
      const char* dialog;
      std::function<std::unique_ptr<QDialog>()> open;
      std::function<void(QDialog&)> target;
      const char* known;                     // the status line after Get Status
      std::function<void(QDialog&)> change;  // checks what Get Status showed, then edits it
      std::function<bool()> stored;          // the agent's registry holds the new setting
    };
    const Road roads[] = {
        {"Block USB",
         [&] { return std::make_unique<CBlockUSBDlg>(Console(), *exchange_, knownOf(agent)); },
         [](QDialog& d) {
           Named<QRadioButton>(&d, "nameRadio")->click();
           Named<QLineEdit>(&d, "machineName")->setText(QStringLiteral("PC17"));
         },
         "Specified Client's Block state is as above.",
         [](QDialog& d) {
           QVERIFY(Id<QRadioButton>(&d, 1104)->isChecked());  // "Block USB"
           Id<QRadioButton>(&d, 1105)->click();
         },
         [&] { return Eventually([&] { return agent.Dword("BlockUSB"); }, std::optional(0u)); }},
        {"Save Energy",
         [&] { return std::make_unique<CSaveEnergyDlg>(*exchange_, knownOf(agent)); },
         [&](QDialog& d) { SetIp(&d, agent.Address()); },
         "Specified Client's Save Energy time is as above.",
         [](QDialog& d) {
           auto* times = Id<QComboBox>(&d, 1138);
           QCOMPARE(times->currentText(), QStringLiteral("20 min"));
           times->setCurrentIndex(times->findText(QStringLiteral("2 hr")));
         },
         [&] {
           return Eventually([&] { return agent.Dword("SystemIdleTime"); }, std::optional(120u));
         }},
        {"Send Offline Message",
         [&] { return std::make_unique<COfflineMsgLogDlg>(*exchange_, knownOf(agent)); },
         [](QDialog& d) { Named<QRadioButton>(&d, "activeRadio")->click(); },
         "Specified Client's Send Offline Message setting is as above",
         [](QDialog& d) {
           QVERIFY(Id<QCheckBox>(&d, 1159)->isChecked());
           Id<QCheckBox>(&d, 1159)->setChecked(false);
         },
         [&] {
           return Eventually([&] { return agent.Dword("SendOfflineMsg"); }, std::optional(0u));
         }},
        {"Whitelist",
         [&] {
           return std::make_unique<CControlDialog>(
               Console(), *exchange_, knownOf(agent), nullptr,
               ControlDialogOptions{.noticePort = noticePort,
                                    .clientRunning = [] { return true; },
                                    .ejectDrive = {}});
         },
         [&](QDialog& d) { SetIp(&d, agent.Address()); },
         "Enter User Name and click Add to Whitelist",
         [](QDialog& d) {
           QCOMPARE(Id<QListWidget>(&d, 1005)->item(0)->text(), QStringLiteral("ALICE"));
           Id<QLineEdit>(&d, 1125)->setText(QStringLiteral("bob"));
           Id<QPushButton>(&d, 1090)->click();
         },
         [&] {
           return Eventually([&] { return agent.WhiteList("UserDetails"); },
                             std::string("bob,ALICE")) &&
                  agent.WhiteList("DeviceDetails").empty() &&
                  agent.WhiteList("MakeDetails").empty();
         }},
    };
    for (const Road& road : roads) {
      qInfo("%s", road.dialog);
      gui::ScopedMessageBoxAnswerer boxes;
      std::unique_ptr<QDialog> dialog = road.open();
      road.target(*dialog);
      Named<QPushButton>(dialog.get(), "getStatus")->click();
      QCOMPARE(Named<QLabel>(dialog.get(), "statusLine")->text(), QString::fromUtf8(road.known));
      Grab(dialog.get(), QString::fromLatin1(road.dialog).remove(QLatin1Char(' ')) +
                             QStringLiteral("-status-known"));
      road.change(*dialog);
      if (QTest::currentTestFailed()) return;
      Named<QPushButton>(dialog.get(), "apply")->click();
      QVERIFY2(road.stored(), road.dialog);
      // The only boxes are the whitelist's confirmation of the added user.
      for (const QString& text : boxes.Texts()) {
        QCOMPARE(text, QStringLiteral("User is added to Whitelist"));
      }
    }
  }

  // Three clients answer in turn, each row goes in at the top: C, B, A. The unreachable and the
  // silent client between them get the connection message and no row.
  void statusViewListsTheClientsInReverseOrder() {
    RunningAgent a("PCA", "127.48.1.51",
                   [](TestMachine& m) { (void)m.Settings().SetDword("BlockUSB", 1); });
    RunningAgent b("PCB", "127.48.1.52");
    RunningAgent c("PCC", "127.48.1.53",
                   [](TestMachine& m) { (void)m.Settings().SetDword("BlockUSB", 1); });
    for (RunningAgent* agent : {&a, &b, &c}) QVERIFY(agent->WaitUntilListening(Console()));
    // Accepts (the system completes the connection) and never answers.
    auto silent = platform::TcpListener::Listen(
        {*platform::Ipv4Address::Parse("127.48.1.54"), protocol::kCommandPort});
    QVERIFY(silent.ok());

    gui::ScopedMessageBoxAnswerer boxes;
    CViewStatusDlg view(*exchange_,
                        {a.Address(), "127.48.1.59", b.Address(), "127.48.1.54", c.Address()});
    view.CollectRows();
    Grab(&view, QStringLiteral("ViewStatus-three-clients"));
    QTreeWidget* list = Id<QTreeWidget>(&view, 1119);
    QCOMPARE(list->topLevelItemCount(), 3);
    const std::pair<std::string, const char*> rows[] = {
        {c.Address(), "Blocked"}, {b.Address(), "Unblocked"}, {a.Address(), "Blocked"}};
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(list->topLevelItem(i)->text(0), QString::fromStdString(rows[i].first));
      QCOMPARE(list->topLevelItem(i)->text(1), QString::fromLatin1(rows[i].second));
    }
    QCOMPARE(boxes.Texts(), std::vector<QString>(2, QString::fromLatin1(kErrorConnecting)));
  }

  // Nobody at the address, or a client that accepts and never answers: every dialog shows the
  // connection message after its bounded wait and can be used again.
  void unreachableAndSilentClientsGiveTheFailureText() {
    auto silent = platform::TcpListener::Listen(
        {*platform::Ipv4Address::Parse("127.48.1.61"), protocol::kCommandPort});
    QVERIFY(silent.ok());
    const std::uint16_t noticePort = FreeUdpPort();
    struct Road {
      const char* dialog;
      std::function<std::unique_ptr<QDialog>()> open;
    };
    const Road roads[] = {
        {"Block USB",
         [&] {
           return std::make_unique<CBlockUSBDlg>(Console(), *exchange_, std::vector<std::string>{});
         }},
        {"Save Energy",
         [&] { return std::make_unique<CSaveEnergyDlg>(*exchange_, std::vector<std::string>{}); }},
        {"Send Offline Message",
         [&] {
           return std::make_unique<COfflineMsgLogDlg>(*exchange_, std::vector<std::string>{});
         }},
        {"Whitelist",
         [&] {
           return std::make_unique<CControlDialog>(
               Console(), *exchange_, std::vector<std::string>{}, nullptr,
               ControlDialogOptions{.noticePort = noticePort,
                                    .clientRunning = [] { return true; },
                                    .ejectDrive = {}});
         }},
    };
    for (const Road& road : roads) {
      for (const char* address : {"127.48.1.69", "127.48.1.61"}) {
        qInfo("%s to %s", road.dialog, address);
        gui::ScopedMessageBoxAnswerer boxes;
        std::unique_ptr<QDialog> dialog = road.open();
        SetIp(dialog.get(), address);
        auto* getStatus = Named<QPushButton>(dialog.get(), "getStatus");
        getStatus->click();
        QCOMPARE(boxes.Texts(), std::vector<QString>{QString::fromLatin1(kErrorConnecting)});
        QCOMPARE(Named<QLabel>(dialog.get(), "statusLine")->text(),
                 QString::fromLatin1(kEnterDetails));
        QVERIFY(dialog->isEnabled());
        QVERIFY(getStatus->isEnabled());
        if (auto* whitelist = qobject_cast<CControlDialog*>(dialog.get())) {
          // Nothing arrived, so nothing may replace the client's lists.
          QVERIFY(!Named<QPushButton>(whitelist, "apply")->isEnabled());
        }
      }
    }
  }

  // An agent on the console's own computer reports a stick plugged in there to the whitelist
  // dialog; the device goes into the client's device list, and the console ejects the stick.
  void stickOnTheConsolesComputerIsCapturedWhitelistedAndEjected() {
    // The agent runs on the console's machine root, so its notices reach this dialog; with
    // IpConfigState 0 only while the console's whitelist dialog says it is open.
    RunningAgent agent(*console_, kConsoleAddress,
                       [](TestMachine& m) { (void)m.Settings().SetDword("IpConfigState", 0); });
    QVERIFY(agent.WaitUntilListening(Console()));

    gui::ScopedMessageBoxAnswerer boxes;
    // The real check of the client program and the console's real eject.
    CControlDialog dialog(Console(), *exchange_, {});
    QVERIFY(dialog.NoticeListenerRunning());
    SetIp(&dialog, kConsoleAddress);
    Id<QPushButton>(&dialog, 1008)->click();
    QVERIFY(Id<QPushButton>(&dialog, 1046)->isEnabled());
    dialog.Tabs()->setCurrentIndex(1);
    QVERIFY2(boxes.Texts().empty(), "the agent on this computer was not found running");
    QCOMPARE(Id<QLabel>(&dialog, 1142)->text(), QStringLiteral("Insert USB Device"));

    auto plugged = platform::Plug(Console(), e2e::Stick('E'));
    QVERIFY2(plugged.ok(), plugged.error.message.c_str());
    const QString device = QString::fromStdString(e2e::kStick + " 0019E06B9C85F9A0");
    QTRY_COMPARE_WITH_TIMEOUT(Id<QLineEdit>(&dialog, 1131)->text(), device, 10000);
    QCOMPARE(Id<QLineEdit>(&dialog, 1131)->cursorPosition(), 0);  // the make shows, not the tail
    QCOMPARE(Id<QLabel>(&dialog, 1142)->text(),
             QStringLiteral("Click 'Add to Whitelist' to add device to Whitelist"));
    QVERIFY(Id<QPushButton>(&dialog, 1089)->isEnabled());
    Id<QPushButton>(&dialog, 1090)->click();
    QCOMPARE(boxes.Texts().back(), QStringLiteral("Device details are added to Whitelist"));
    QCOMPARE(Id<QLabel>(&dialog, 1142)->text(),
             QStringLiteral("Click 'Safely remove device' to safely remove the device"));
    Grab(&dialog, QStringLiteral("Whitelist-device-added"));
    // The make tab offers the description alone.
    dialog.Tabs()->setCurrentIndex(2);
    QCOMPARE(Id<QLineEdit>(&dialog, 1131)->text(), QString::fromStdString(e2e::kStick));
    dialog.Tabs()->setCurrentIndex(1);

    // The agent watches the stick by now (it holds the volume and has registered for removal
    // notices on that hold), as it would when an administrator gets to the button: the eject
    // must get past that hold. Until the registration exists an eject finds an open handle
    // nobody will close and is vetoed, as the system would; wait for it, not for a guessed time.
    const auto agentPid = static_cast<std::uint32_t>(agent.Pid());
    QVERIFY(Eventually(
        [&] {
          std::string held;
          for (const auto& hold : platform::ListHolds(Console())) {
            if (hold.volume == plugged.value->volumeName && hold.pid == agentPid) {
              held = hold.deviceId;
            }
          }
          if (held.empty()) return false;
          for (const auto& recipient : platform::ListRecipients(Console())) {
            if (recipient.pid != agentPid) continue;
            for (const auto& registration : recipient.registrations) {
              if (registration == "handle " + held) return true;
            }
          }
          return false;
        },
        true));
    Id<QPushButton>(&dialog, 1089)->click();
    QCOMPARE(Id<QLabel>(&dialog, 1142)->text(), QStringLiteral("Insert USB Device"));
    QCOMPARE(boxes.Texts().back(), QStringLiteral("The device can now be safely removed"));
    QVERIFY(!platform::DeviceOfLetter(Console(), 'E').has_value());
    QVERIFY(!Id<QPushButton>(&dialog, 1089)->isEnabled());
    dialog.Tabs()->setCurrentIndex(2);
    QCOMPARE(Id<QLabel>(&dialog, 1142)->text(), QStringLiteral("Insert USB Device"));
    Grab(&dialog, QStringLiteral("Whitelist-make-tab"));

    Id<QPushButton>(&dialog, 1046)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(Eventually([&] { return agent.WhiteList("DeviceDetails"); }, device.toStdString()));
  }

 private:
  static std::vector<std::string> knownOf(RunningAgent& agent) { return {agent.Address()}; }
};

}  // namespace
}  // namespace uv::server

QTEST_MAIN(uv::server::ConsoleDialogsAgentTest)
#include "ConsoleDialogsAgentTest.moc"
