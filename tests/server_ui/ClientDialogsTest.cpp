// The client-settings dialogs offscreen against a stand-in agent: controls by identifier, their
// state changes, the frames they send, and every message through the message-box seam. Each
// dialog is grabbed to a PNG (kept in $UV_TEST_ARTIFACTS).
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

#include "gui/common/MessageBoxes.h"
#include "platform/net/HostResolver.h"
#include "platform/registry/Registry.h"
#include "server/dialogs/blockusb/CBlockUSBDlg.h"
#include "server/dialogs/offlinemsg/COfflineMsgLogDlg.h"
#include "server/dialogs/saveenergy/CSaveEnergyDlg.h"
#include "server/dialogs/settings/CIPAddressCtrl.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "server/dialogs/whitelist/CControlDialog.h"
#include "tests/server_ui/StandInAgent.h"
#include "tests/server_ui/UiTestSupport.h"

namespace uv::server {
namespace {

using namespace std::chrono_literals;
using test::StandInAgent;

template <typename T>
T* Id(QWidget* dialog, int id) {
  return qobject_cast<T*>(test::FindById(dialog, id));
}

void Grab(QWidget* dialog, const QString& name) {
  dialog->adjustSize();
  const QString file = QDir::temp().filePath(name + QStringLiteral(".png"));
  QVERIFY(dialog->grab().save(file));
  test::KeepArtifact(file);
}

std::uint16_t FreeUdpPort() {
  auto socket = platform::UdpSocket::Create();
  (void)socket->Bind({platform::Ipv4Address::Any(), 0});
  return socket->LocalAddress()->port;
}

std::optional<std::uint32_t> ServerState(platform::Machine& machine) {
  auto registry = machine.OpenRegistry();
  auto key = platform::RegKey::Open(**registry, kServerSettingsKey);
  if (!key.ok()) return std::nullopt;
  auto value = key->QueryDword(kValServerState);
  return value.ok() ? std::optional(*value) : std::nullopt;
}

std::string Last(StandInAgent& agent, std::size_t count) {
  for (int i = 0; i < 400 && agent.Received().size() < count; ++i) QTest::qWait(5);
  return agent.Received().size() >= count ? agent.Received()[count - 1] : std::string();
}

class ClientDialogsTest : public QObject {
  Q_OBJECT

  test::TempMachine machine_;
  std::unique_ptr<StandInAgent> agent_;
  std::unique_ptr<CommandExchange> exchange_;

  void SetIp(QWidget* dialog, int a, int b, int c, int d) {
    dialog->findChild<CIPAddressCtrl*>(QStringLiteral("ipAddress"))->SetAddress(a, b, c, d);
  }

 private slots:
  void init() {
    agent_ = std::make_unique<StandInAgent>();
    exchange_ = std::make_unique<CommandExchange>(
        machine_.machine(),
        ExchangeLimits{.connect = 2000ms, .reply = 500ms, .port = agent_->Port()});
  }
  void cleanup() {
    exchange_.reset();
    agent_.reset();
  }

  void blockUsbGetStatusThenApplyAndTheStateChanges() {
    ScopedMessageBoxAnswerer boxes;
    CBlockUSBDlg dialog(machine_.machine(), *exchange_, {"127.0.0.1"});
    QCOMPARE(dialog.windowTitle(), QStringLiteral("USB Vantrel! Block USB"));
    QCOMPARE(Id<QLabel>(&dialog, 1141)->text(),
             QStringLiteral("Enter the Client details and then click 'Get Status'"));
    QVERIFY(!Id<QRadioButton>(&dialog, 1104)->isEnabled());
    QVERIFY(Id<QPushButton>(&dialog, 1046)->isEnabled());  // at open Apply sends the choice
    // No status: choosing a target option.
    Id<QRadioButton>(&dialog, 1117)->click();
    QVERIFY(!Id<QPushButton>(&dialog, 1046)->isEnabled());
    QVERIFY(!Id<QPushButton>(&dialog, 1089)->isEnabled());
    QCOMPARE(Id<QComboBox>(&dialog, 1118)->currentText(), QStringLiteral("127.0.0.1"));
    // Status known: a blocked client shows "Block USB".
    agent_->blocked = true;
    Id<QPushButton>(&dialog, 1008)->click();
    QCOMPARE(Id<QLabel>(&dialog, 1141)->text(),
             QStringLiteral("Specified Client's Block state is as above."));
    QVERIFY(Id<QRadioButton>(&dialog, 1104)->isChecked());
    for (int id : {1104, 1105, 1046, 1089, 1008}) QVERIFY(test::FindById(&dialog, id)->isEnabled());
    Id<QRadioButton>(&dialog, 1105)->click();
    Id<QPushButton>(&dialog, 1046)->click();
    QCOMPARE(Last(*agent_, 2), std::string("0006SET;2;\0\0", 12));
    QCOMPARE(Id<QLabel>(&dialog, 1141)->text(),
             QStringLiteral("Settings are applied to specified client."));
    QVERIFY(!agent_->blocked);
    Grab(&dialog, QStringLiteral("BlockUSBDlg"));
    // Bad input: nothing is sent.
    Id<QRadioButton>(&dialog, 1111)->click();
    SetIp(&dialog, 0, 168, 1, 0);
    Id<QPushButton>(&dialog, 1008)->click();
    Id<QRadioButton>(&dialog, 1112)->click();
    Id<QLineEdit>(&dialog, 1110)->setText(QStringLiteral("PC 12"));
    Id<QPushButton>(&dialog, 1008)->click();
    QCOMPARE(boxes.Texts(),
             (std::vector<QString>{QStringLiteral("Invalid IP Address"),
                                   QStringLiteral("Please Enter Valid Name of Server")}));
    QCOMPARE(agent_->Received().size(), std::size_t{2});
  }

  void silentAndUnreachableClientsGiveTheConnectionError() {
    ScopedMessageBoxAnswerer boxes;
    CSaveEnergyDlg dialog(*exchange_, {});
    SetIp(&dialog, 127, 0, 0, 1);
    agent_->SetBehaviour(test::PeerBehaviour::kSilent);
    Id<QPushButton>(&dialog, 1134)->click();
    QVERIFY(dialog.isEnabled());  // input comes back after the bounded wait
    QVERIFY(Id<QPushButton>(&dialog, 1134)->isEnabled());
    SetIp(&dialog, 127, 0, 0, 9);
    exchange_->SetLimits({.connect = 500ms, .reply = 500ms, .port = 1});  // nobody listens
    Id<QPushButton>(&dialog, 1134)->click();
    QCOMPARE(boxes.Texts(),
             (std::vector<QString>(2, QStringLiteral("Error connecting to specified client"))));
    QCOMPARE(Id<QLabel>(&dialog, 1144)->text(),
             QStringLiteral("Enter the Client details and then click 'Get Status'"));
    // Active clients without entries: refused before anything is sent.
    Id<QRadioButton>(&dialog, 1137)->click();
    Id<QPushButton>(&dialog, 1134)->click();
    QCOMPARE(boxes.Texts().back(), QStringLiteral("Sorry! Active client List is empty"));
    // An active clients entry that is no address reaches nobody.
    CSaveEnergyDlg named(*exchange_, {"client-a"});
    Id<QRadioButton>(&named, 1137)->click();
    QCOMPARE(Id<QComboBox>(&named, 1118)->currentText(), QStringLiteral("client-a"));
    const std::size_t sent = agent_->Received().size();
    Id<QPushButton>(&named, 1134)->click();
    QCOMPARE(boxes.Texts().back(), QStringLiteral("Error connecting to specified client"));
    QCOMPARE(agent_->Received().size(), sent);
  }

  void statusViewListsTheClientsInReverseOrder() {
    ScopedMessageBoxAnswerer boxes;
    agent_->blocked = true;
    CViewStatusDlg view(*exchange_, {"127.0.0.1", "127.0.0.2", "not-an-address", "127.0.0.3"});
    QCOMPARE(view.windowTitle(), QStringLiteral("USB Vantrel! Active Client USB Satus"));
    view.CollectRows();
    QTreeWidget* list = Id<QTreeWidget>(&view, 1119);
    QCOMPARE(list->topLevelItemCount(), 3);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("127.0.0.3"));
    QCOMPARE(list->topLevelItem(2)->text(0), QStringLiteral("127.0.0.1"));
    QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("Blocked"));
    QCOMPARE(boxes.Texts(),
             (std::vector<QString>{QStringLiteral("Error connecting to specified client")}));
    Grab(&view, QStringLiteral("ViewStatusDlg"));
  }

  void whitelistCaptureEditAndApply() {
    ScopedMessageBoxAnswerer boxes;
    agent_->lists = {"ALICE", "", "Kingston DT"};
    const std::uint16_t port = FreeUdpPort();
    bool ejected = false;
    ControlDialogOptions options{port, [] { return true; },
                                 [&](int index) {
                                   ejected = index == 4;
                                   return true;
                                 }};
    auto dialog = std::make_unique<CControlDialog>(machine_.machine(), *exchange_,
                                                   std::vector<std::string>{}, nullptr, options);
    QCOMPARE(ServerState(machine_.machine()), std::optional<std::uint32_t>(1));
    QVERIFY(dialog->NoticeListenerRunning());
    QVERIFY(!Id<QPushButton>(dialog.get(), 1046)->isEnabled());  // no lists yet, nothing to send
    QVERIFY(!dialog->Tabs()->isEnabled());
    // A second dialog finds the notice port taken.
    {
      CControlDialog second(machine_.machine(), *exchange_, {}, nullptr, options);
      QCOMPARE(boxes.Texts().size(), std::size_t{1});
      QCOMPARE(boxes.Texts().back(), QStringLiteral("Socket bind error 10048"));  // address in use
      second.reject();
    }
    SetIp(dialog.get(), 127, 0, 0, 1);
    Id<QPushButton>(dialog.get(), 1008)->click();
    QVERIFY(Id<QPushButton>(dialog.get(), 1046)->isEnabled());
    QCOMPARE(dialog->Users(), std::vector<std::string>{"ALICE"});
    QCOMPARE(Id<QLabel>(dialog.get(), 1142)->text(),
             QStringLiteral("Enter User Name and click Add to Whitelist"));
    Id<QLineEdit>(dialog.get(), 1125)->setText(QStringLiteral("alice"));
    Id<QPushButton>(dialog.get(), 1090)->click();
    QCOMPARE(boxes.Records().back().text, QStringLiteral("User already present in Whitelist"));
    QCOMPARE(boxes.Records().back().caption, QStringLiteral("USB Vantrel! Whitelist Settings"));
    Id<QLineEdit>(dialog.get(), 1125)->setText(QStringLiteral("bob"));
    Id<QPushButton>(dialog.get(), 1090)->click();
    QCOMPARE(dialog->Users(), (std::vector<std::string>{"bob", "ALICE"}));
    // A stick on this computer: the agent's notice fills the device field.
    dialog->Tabs()->setCurrentIndex(1);
    auto sender = platform::UdpSocket::Create();
    (void)sender->SendTo(protocol::BuildDeviceNotice(4, "Kingston DT 0123"),
                         {platform::Ipv4Address::Loopback(), port});
    QTRY_COMPARE(Id<QLineEdit>(dialog.get(), 1131)->text(), QStringLiteral("Kingston DT 0123"));
    QVERIFY(Id<QPushButton>(dialog.get(), 1089)->isEnabled());
    Id<QPushButton>(dialog.get(), 1090)->click();
    QCOMPARE(boxes.Texts().back(), QStringLiteral("Device details are added to Whitelist"));
    Grab(dialog.get(), QStringLiteral("ControlDialog"));
    Id<QPushButton>(dialog.get(), 1089)->click();
    QVERIFY(ejected);
    // Notices of any bytes and length, many at once: the dialog keeps working.
    for (int i = 0; i < 500; ++i) {
      (void)sender->SendTo(std::string(static_cast<std::size_t>(i * 7 % 3000), '\xff'),
                           {platform::Ipv4Address::Loopback(), port});
    }
    QTest::qWait(100);
    QVERIFY(dialog->NoticeListenerRunning());
    // The newest notice wins, cut to the 1,023 bytes of the notice buffer.
    (void)sender->SendTo("5;" + std::string(3000, 'k'), {platform::Ipv4Address::Loopback(), port});
    QTRY_COMPARE(Id<QLineEdit>(dialog.get(), 1131)->text().size(), 1021);
    QVERIFY(Id<QPushButton>(dialog.get(), 1089)->isEnabled());
    Id<QPushButton>(dialog.get(), 1046)->click();
    // The exchange ends once the frame is out; the stand-in takes it in after that.
    QVERIFY(Last(*agent_, 2).substr(4, 4) == "SWH;");
    QCOMPARE(agent_->lists, (protocol::WhiteLists{"bob,ALICE", "Kingston DT 0123", "Kingston DT"}));
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QCOMPARE(ServerState(machine_.machine()), std::optional<std::uint32_t>(0));
  }

  // Replies a client should never send, and lists longer than a client keeps: "Apply" stays off
  // without lists, and nothing is sent that the client would cut.
  void whitelistRefusesWhatAClientWouldCutOrLose() {
    ScopedMessageBoxAnswerer boxes;
    ControlDialogOptions options{FreeUdpPort(), [] { return true; }, [](int) { return false; }};
    CControlDialog dialog(machine_.machine(), *exchange_, {}, nullptr, options);
    SetIp(&dialog, 127, 0, 0, 1);
    auto* apply = Id<QPushButton>(&dialog, 1046);
    auto* status = Id<QLabel>(&dialog, 1142);
    agent_->SetBehaviour(test::PeerBehaviour::kGarbage);
    Id<QPushButton>(&dialog, 1008)->click();
    QVERIFY(!apply->isEnabled());
    QCOMPARE(status->text(),
             QStringLiteral("Enter the Client details and then click 'Get Status'"));

    // A GWH reply of 2,000 bytes: a user list of 305 characters with empty entries, a device
    // list of one 299-character entry, and makes padded with empty entries.
    const std::string a299(299, 'a');
    const std::string d299(299, 'd');
    const std::string users = a299 + ",,bob,";
    const std::string devices = "," + d299;
    const std::string makes = "Kingston DT" + std::string(1373, ',');
    const std::string reply = "1997GWH;" + users + ";" + devices + ";" + makes + ";";
    QCOMPARE(reply.size(), std::size_t{2000});
    agent_->rawReply = reply;
    agent_->SetBehaviour(test::PeerBehaviour::kRawReply);
    Id<QPushButton>(&dialog, 1008)->click();
    QVERIFY(apply->isEnabled());
    QCOMPARE(dialog.Users(), (std::vector<std::string>{a299, "bob"}));
    QCOMPARE(dialog.Devices(), std::vector<std::string>{d299});
    QCOMPARE(dialog.Makes(), std::vector<std::string>{"Kingston DT"});

    // A second Get Status that brings nothing takes the lists away, and "Apply" with them.
    agent_->SetBehaviour(test::PeerBehaviour::kClose);
    Id<QPushButton>(&dialog, 1008)->click();
    QVERIFY(!apply->isEnabled());
    QVERIFY(dialog.Users().empty());
    agent_->SetBehaviour(test::PeerBehaviour::kRawReply);
    Id<QPushButton>(&dialog, 1008)->click();
    QVERIFY(apply->isEnabled());

    // The user list is longer than the client keeps: not sent, the dialog stays open.
    const std::size_t sent = agent_->Received().size();
    apply->click();
    QCOMPARE(boxes.Texts().back(),
             QStringLiteral("The user list is longer than the 299 characters a client keeps: "
                            "remove some entries"));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QTest::qWait(50);
    QCOMPARE(agent_->Received().size(), sent);
    // With "bob" removed the 299 characters fit, and no entry more does.
    auto* entries = dialog.Entries();
    entries->setCurrentRow(1);
    QCOMPARE(entries->currentItem()->text(), QStringLiteral("bob"));
    Id<QPushButton>(&dialog, 1127)->click();
    QCOMPARE(dialog.Users(), std::vector<std::string>{a299});
    Id<QLineEdit>(&dialog, 1125)->setText(QStringLiteral("c"));
    Id<QPushButton>(&dialog, 1090)->click();
    QCOMPARE(boxes.Texts().back(),
             QStringLiteral(
                 "The Whitelist is full: a client keeps at most 299 characters of each list"));
    QCOMPARE(dialog.Users(), std::vector<std::string>{a299});
    agent_->SetBehaviour(test::PeerBehaviour::kAgent);
    apply->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(Last(*agent_, sent + 1), " 617SWH;" + a299 + ";" + d299 + ";Kingston DT;");
  }

  void saveEnergyAndOfflineMessageFrames() {
    ScopedMessageBoxAnswerer boxes;
    agent_->minutes = 45;
    agent_->offline = true;
    CSaveEnergyDlg energy(*exchange_, {});
    SetIp(&energy, 127, 0, 0, 1);
    QCOMPARE(Id<QComboBox>(&energy, 1138)->count(), 6);
    Id<QPushButton>(&energy, 1134)->click();
    QCOMPARE(Id<QComboBox>(&energy, 1138)->currentText(), QStringLiteral("Never"));
    QCOMPARE(Id<QLabel>(&energy, 1144)->text(),
             QStringLiteral("Specified Client's Save Energy time is as above."));
    Id<QComboBox>(&energy, 1138)->setCurrentIndex(3);
    Id<QPushButton>(&energy, 1046)->click();
    QCOMPARE(Last(*agent_, 2), std::string("   7SIT;60;"));
    Grab(&energy, QStringLiteral("SaveEnergyDlg"));

    COfflineMsgLogDlg offline(*exchange_, {});
    QCOMPARE(offline.windowTitle(), QStringLiteral("USB Vantrel! Send Offline Message "));
    SetIp(&offline, 127, 0, 0, 1);
    Id<QPushButton>(&offline, 1134)->click();
    QVERIFY(Id<QCheckBox>(&offline, 1159)->isChecked());
    Id<QCheckBox>(&offline, 1159)->setChecked(false);
    Id<QPushButton>(&offline, 1)->click();
    QCOMPARE(Last(*agent_, 4), std::string("   6SOM;2;"));
    QVERIFY(!agent_->offline);
    Grab(&offline, QStringLiteral("OfflineMsgLogDlg"));
    QVERIFY(boxes.Texts().empty());
  }
};

}  // namespace
}  // namespace uv::server

QTEST_MAIN(uv::server::ClientDialogsTest)
#include "ClientDialogsTest.moc"
