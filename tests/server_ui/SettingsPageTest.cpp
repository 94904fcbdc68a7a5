// The Settings tab: its controls by identifier, their immediate effects, loading and "Apply
// settings" with its messages and focus.

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QtTest>
#include <functional>

#include "gui/common/MessageBoxes.h"
#include "platform/registry/Registry.h"
#include "server/dialogs/settings/CIPAddressCtrl.h"
#include "server/dialogs/settings/CSettingsPage.h"
#include "tests/server_ui/UiTestSupport.h"

using uv::server::CIPAddressCtrl;
using uv::server::CSettingsPage;
using uv::server::FileDialogRequest;
using uv::server::ServerSettings;
using uv::server::test::PathIn;
using uv::server::test::TempMachine;
namespace id = uv::server::settings_id;

Q_DECLARE_METATYPE(std::function<void(CSettingsPage&)>)

namespace {

QLineEdit* Edit(CSettingsPage& page, int controlId) {
  return qobject_cast<QLineEdit*>(page.Control(controlId));
}
QAbstractButton* Button(CSettingsPage& page, int controlId) {
  return qobject_cast<QAbstractButton*>(page.Control(controlId));
}
CIPAddressCtrl* Ip(CSettingsPage& page) {
  return qobject_cast<CIPAddressCtrl*>(page.Control(id::kIpAddress));
}

uv::platform::RegKey SettingsKey(TempMachine& machine) {
  auto reg = machine.machine().OpenRegistry();
  auto key = uv::platform::RegKey::Create(**reg, uv::server::kServerSettingsKey);
  return std::move(*key);
}

bool HasSettingsKey(TempMachine& machine) {
  auto reg = machine.machine().OpenRegistry();
  return reg.ok() && uv::platform::RegKey::Open(**reg, uv::server::kServerSettingsKey).ok();
}

// A page shown and active, so that focus moves can be observed.
struct Shown {
  TempMachine machine;
  ServerSettings settings;
  CSettingsPage page{machine.machine(), settings};
  Shown() {
    page.SetProgramName("USBVantrelServer");
    page.show();
    page.activateWindow();
  }
  bool Ready() { return QTest::qWaitForWindowActive(&page); }
};

// Fills in a complete, valid mail configuration.
void ValidMail(CSettingsPage& page) {
  Button(page, id::kSendMail)->click();
  Edit(page, id::kMailTo)->setText("to@example.com");
  Edit(page, id::kMailFrom)->setText("from@example.com");
}

}  // namespace

class SettingsPageTest : public QObject {
  Q_OBJECT

 private slots:
  void controlsCarryTheirIdentifiers_data() {
    QTest::addColumn<int>("controlId");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("caption");
    QTest::newRow("1018") << 1018 << "QCheckBox"
                          << "Send Mail";
    QTest::newRow("1019") << 1019 << "QLabel"
                          << "Mail To:";
    QTest::newRow("1020") << 1020 << "QLineEdit"
                          << "";
    QTest::newRow("1021") << 1021 << "QLabel"
                          << "Mail From:";
    QTest::newRow("1022") << 1022 << "QLineEdit"
                          << "";
    QTest::newRow("1116") << 1116 << "QLabel"
                          << "SMTP Port:";
    QTest::newRow("1115") << 1115 << "QLineEdit"
                          << "25";
    QTest::newRow("1034") << 1034 << "QLabel"
                          << "SMTP Server";
    QTest::newRow("1024") << 1024 << "QRadioButton"
                          << "IP Address";
    QTest::newRow("1025") << 1025 << "uv::server::CIPAddressCtrl"
                          << "";
    QTest::newRow("1026") << 1026 << "QRadioButton"
                          << "Machine Name";
    QTest::newRow("1027") << 1027 << "QLineEdit"
                          << "";
    QTest::newRow("1036") << 1036 << "QCheckBox"
                          << "Requires Authentication";
    QTest::newRow("1041") << 1041 << "QLabel"
                          << "Username:";
    QTest::newRow("1042") << 1042 << "QLineEdit"
                          << "";
    QTest::newRow("1037") << 1037 << "QLabel"
                          << "Password:";
    QTest::newRow("1038") << 1038 << "QLineEdit"
                          << "";
    QTest::newRow("1170") << 1170 << "QCheckBox"
                          << "Secure the connection (STARTTLS)";
    QTest::newRow("1028") << 1028 << "QCheckBox"
                          << "Disable Balloon Message";
    QTest::newRow("1029") << 1029 << "QCheckBox"
                          << "Enable Log";
    QTest::newRow("1030") << 1030 << "QLineEdit"
                          << "";
    QTest::newRow("1031") << 1031 << "QPushButton"
                          << "...";
    QTest::newRow("1044") << 1044 << "QPushButton"
                          << "Apply filters";
    QTest::newRow("1045") << 1045 << "QCheckBox"
                          << "Play sound for insert and remove USB device messages";
    QTest::newRow("1047") << 1047 << "QLineEdit"
                          << "";
    QTest::newRow("1046") << 1046 << "QPushButton"
                          << "...";
    QTest::newRow("1148") << 1148 << "QCheckBox"
                          << "Disallow Client side Configuration";
    QTest::newRow("1008") << 1008 << "QPushButton"
                          << "Apply settings";
    QTest::newRow("1049") << 1049 << "QGroupBox"
                          << "";
    QTest::newRow("1050") << 1050 << "QLabel"
                          << "";
    QTest::newRow("1051") << 1051 << "QLabel"
                          << "USB Vantrel! Configuration";
  }

  void controlsCarryTheirIdentifiers() {
    QFETCH(int, controlId);
    QFETCH(QString, className);
    QFETCH(QString, caption);
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    QWidget* w = page.Control(controlId);
    QVERIFY(w != nullptr);
    QCOMPARE(uv::server::test::FindById(&page, controlId), w);
    QVERIFY2(w->inherits(className.toLatin1()), w->metaObject()->className());
    if (auto* b = qobject_cast<QAbstractButton*>(w)) QCOMPARE(b->text(), caption);
    if (auto* l = qobject_cast<QLabel*>(w); l && !caption.isEmpty()) QCOMPARE(l->text(), caption);
    if (auto* e = qobject_cast<QLineEdit*>(w)) QCOMPARE(e->text(), caption);
  }

  void fixedFieldsAreReadOnlyAndThePasswordHidden() {
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    QVERIFY(Edit(page, id::kLogPath)->isReadOnly());
    QVERIFY(Edit(page, id::kSoundFile)->isReadOnly());
    QCOMPARE(Edit(page, id::kPassword)->echoMode(), QLineEdit::Password);
  }

  void sendMailActsAtOnce() {
    Shown s;
    QVERIFY(s.Ready());
    CSettingsPage& page = s.page;
    const QList<int> mailControls = {
        id::kMailToLabel,      id::kMailTo,       id::kMailFromLabel,   id::kMailFrom,
        id::kSmtpPortLabel,    id::kSmtpPort,     id::kSmtpServerLabel, id::kIpAddressRadio,
        id::kMachineNameRadio, id::kRequiresAuth, id::kSmtpStartTls};
    for (int c : mailControls)
      QVERIFY2(!page.Control(c)->isEnabled(), qPrintable(QString::number(c)));

    Button(page, id::kSendMail)->click();
    QVERIFY(s.settings.sendMail);  // no "Apply settings" needed
    for (int c : mailControls)
      QVERIFY2(page.Control(c)->isEnabled(), qPrintable(QString::number(c)));
    // Neither radio was chosen: the address mode with the proposed server.
    QVERIFY(Button(page, id::kIpAddressRadio)->isChecked());
    QVERIFY(!Button(page, id::kMachineNameRadio)->isChecked());
    std::array<int, 4> ip{};
    QCOMPARE(Ip(page)->GetAddress(ip), 4);
    QCOMPARE(ip, (std::array<int, 4>{192, 168, 1, 1}));
    QVERIFY(Ip(page)->isEnabled());
    QVERIFY(!page.Control(id::kMachineName)->isEnabled());
    QVERIFY(page.Control(id::kMailTo)->hasFocus());
    // Authentication fields follow their own box.
    QVERIFY(!page.Control(id::kUserName)->isEnabled());
    QVERIFY(!page.Control(id::kPassword)->isEnabled());

    Button(page, id::kSendMail)->click();
    QVERIFY(!s.settings.sendMail);
    for (int c : mailControls) QVERIFY(!page.Control(c)->isEnabled());
    QVERIFY(!Ip(page)->isEnabled());
    QVERIFY(!page.Control(id::kMachineName)->isEnabled());
    // Nothing was written.
    QVERIFY(!HasSettingsKey(s.machine));
  }

  void radiosAndAuthentication() {
    Shown s;
    QVERIFY(s.Ready());
    CSettingsPage& page = s.page;
    Button(page, id::kSendMail)->click();
    Button(page, id::kMachineNameRadio)->click();
    QVERIFY(Button(page, id::kMachineNameRadio)->isChecked());
    QVERIFY(!Button(page, id::kIpAddressRadio)->isChecked());
    QVERIFY(page.Control(id::kMachineName)->isEnabled());
    QVERIFY(!Ip(page)->isEnabled());
    Button(page, id::kIpAddressRadio)->click();
    QVERIFY(!Button(page, id::kMachineNameRadio)->isChecked());
    QVERIFY(!page.Control(id::kMachineName)->isEnabled());
    QVERIFY(Ip(page)->isEnabled());

    Button(page, id::kRequiresAuth)->click();
    for (int c : {id::kUserNameLabel, id::kUserName, id::kPasswordLabel, id::kPassword}) {
      QVERIFY(page.Control(c)->isEnabled());
    }
    QVERIFY(page.Control(id::kUserName)->hasFocus());
    Button(page, id::kRequiresAuth)->click();
    for (int c : {id::kUserNameLabel, id::kUserName, id::kPasswordLabel, id::kPassword}) {
      QVERIFY(!page.Control(c)->isEnabled());
    }
    // Switching mail off and on again keeps the chosen radio.
    Button(page, id::kMachineNameRadio)->click();
    Button(page, id::kSendMail)->click();
    Button(page, id::kSendMail)->click();
    QVERIFY(Button(page, id::kMachineNameRadio)->isChecked());
    QVERIFY(page.Control(id::kMachineName)->isEnabled());
    QVERIFY(!Ip(page)->isEnabled());
  }

  void enableLogFillsTheDefaultPath() {
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    page.SetProgramName("USBVantrelServer");
    QVERIFY(!page.Control(id::kLogPath)->isEnabled());
    Button(page, id::kEnableLog)->click();
    QVERIFY(page.Control(id::kLogPath)->isEnabled());
    QVERIFY(page.Control(id::kLogPathBrowse)->isEnabled());
    QCOMPARE(Edit(page, id::kLogPath)->text(), QDir::currentPath() + "/USBVantrelServer.log");
    QVERIFY(!settings.enableLog);  // takes effect with "Apply settings"
    Button(page, id::kEnableLog)->click();
    QVERIFY(!page.Control(id::kLogPath)->isEnabled());
    QVERIFY(!page.Control(id::kLogPathBrowse)->isEnabled());
    // A path already there stays.
    Edit(page, id::kLogPath)->setText("/var/log/mine.log");
    Button(page, id::kEnableLog)->click();
    QCOMPARE(Edit(page, id::kLogPath)->text(), QStringLiteral("/var/log/mine.log"));
  }

  void playSoundFillsOurSound() {
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    Button(page, id::kPlaySound)->click();
    const QString expected =
        QString::fromStdString((machine.machine().MediaDirectory() / "notify.wav").string());
    QCOMPARE(Edit(page, id::kSoundFile)->text(), expected);
    QVERIFY(QFile::exists(expected));
    QVERIFY(page.Control(id::kSoundFileBrowse)->isEnabled());
    Button(page, id::kPlaySound)->click();
    QVERIFY(!page.Control(id::kSoundFile)->isEnabled());
    QVERIFY(!page.Control(id::kSoundFileBrowse)->isEnabled());
  }

  void browseButtonsAskForTheRightFile() {
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    page.SetProgramName("USBVantrelServer");
    QList<FileDialogRequest> asked;
    QString answer = "/chosen/by/user.log";
    page.SetFileChooser([&](const FileDialogRequest& r) {
      asked << r;
      return answer;
    });
    Button(page, id::kEnableLog)->click();
    Button(page, id::kLogPathBrowse)->click();
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].save);
    QCOMPARE(asked[0].title, QStringLiteral("Select log file path"));
    QCOMPARE(asked[0].defaultSuffix, QStringLiteral("log"));
    QCOMPARE(asked[0].directory, QDir::currentPath());
    QCOMPARE(asked[0].fileName, QStringLiteral("USBVantrelServer"));
    QVERIFY(asked[0].confirmOverwrite);
    QCOMPARE(Edit(page, id::kLogPath)->text(), answer);

    answer.clear();  // cancelled: the path stays
    Button(page, id::kLogPathBrowse)->click();
    QCOMPARE(Edit(page, id::kLogPath)->text(), QStringLiteral("/chosen/by/user.log"));

    answer = "/snd/bell.wav";
    Button(page, id::kPlaySound)->click();
    Button(page, id::kSoundFileBrowse)->click();
    QCOMPARE(asked.size(), 3);
    QVERIFY(!asked[2].save);
    QVERIFY(asked[2].mustExist);
    QVERIFY(asked[2].filter.contains("*.wav"));
    QVERIFY(asked[2].filter.startsWith("Wave Files"));
    QCOMPARE(asked[2].defaultSuffix, QStringLiteral("wav"));
    QCOMPARE(asked[2].directory,
             QString::fromStdString(machine.machine().MediaDirectory().string()));
    QCOMPARE(Edit(page, id::kSoundFile)->text(), answer);
  }

  void applyRefuses_data() {
    QTest::addColumn<std::function<void(CSettingsPage&)>>("edit");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("focus");
    using Edit_t = std::function<void(CSettingsPage&)>;
    QTest::newRow("mail to with a hyphen")
        << Edit_t([](CSettingsPage& p) { Edit(p, id::kMailTo)->setText("a-b@example.com"); })
        << "Please enter valid email-id" << 1020;
    QTest::newRow("mail from with two dots")
        << Edit_t([](CSettingsPage& p) { Edit(p, id::kMailFrom)->setText("a@b..com"); })
        << "Please enter valid email-id" << 1022;
    QTest::newRow("empty port") << Edit_t([](CSettingsPage& p) { Edit(p, id::kSmtpPort)->clear(); })
                                << "Please enter valid SMTP Port" << 1115;
    QTest::newRow("address 0.12.34.0")
        << Edit_t([](CSettingsPage& p) { Ip(p)->SetAddress(0, 12, 34, 0); }) << "Invalid IP Address"
        << 1025;
    QTest::newRow("blank address")
        << Edit_t([](CSettingsPage& p) { Ip(p)->ClearAddress(); }) << "Invalid IP Address" << 1025;
    QTest::newRow("machine name with a blank") << Edit_t([](CSettingsPage& p) {
      Button(p, id::kMachineNameRadio)->click();
      Edit(p, id::kMachineName)->setText("mail host");
    }) << "Invalid Machine Name" << 1027;
    QTest::newRow("no user name") << Edit_t([](CSettingsPage& p) {
      Button(p, id::kRequiresAuth)->click();
      Edit(p, id::kPassword)->setText("pw");
    }) << "Please enter Username" << 1042;
    QTest::newRow("no password") << Edit_t([](CSettingsPage& p) {
      Button(p, id::kRequiresAuth)->click();
      Edit(p, id::kUserName)->setText("ann");
    }) << "Please enter Password" << 1038;
  }

  void applyRefuses() {
    QFETCH(std::function<void(CSettingsPage&)>, edit);
    QFETCH(QString, message);
    QFETCH(int, focus);
    Shown s;
    QVERIFY(s.Ready());
    ValidMail(s.page);
    Button(s.page, id::kDisableBalloon)->click();
    edit(s.page);
    QSignalSpy applied(&s.page, &CSettingsPage::settingsApplied);
    uv::server::ScopedMessageBoxAnswerer boxes;
    Button(s.page, id::kApplySettings)->click();
    QCOMPARE(boxes.Texts(), std::vector<QString>{message});
    QCOMPARE(boxes.Records().front().caption, QStringLiteral("USB Vantrel! Server"));
    QCOMPARE(boxes.Records().front().flags & 0xF, uv::server::MB_OK);
    QVERIFY2(s.page.Control(focus)->hasFocus(), qPrintable(QString::number(focus)));
    QCOMPARE(applied.count(), 0);
    QVERIFY(!HasSettingsKey(s.machine));
    QVERIFY(!s.settings.disableBalloon);  // nothing took effect
  }

  void applyStoresAndTakesEffect() {
    Shown s;
    QVERIFY(s.Ready());
    CSettingsPage& page = s.page;
    ValidMail(page);
    Ip(page)->SetAddress(0, 12, 34, 5);
    Edit(page, id::kMachineName)->setText("stale");
    Button(page, id::kRequiresAuth)->click();
    Edit(page, id::kUserName)->setText("ann");
    Edit(page, id::kPassword)->setText("secret");
    Button(page, id::kSmtpStartTls)->click();
    QVERIFY(!s.settings.smtpStartTls);  // only "Apply settings" makes it count
    Button(page, id::kDisableBalloon)->click();
    Button(page, id::kEnableLog)->click();
    Button(page, id::kDisallowClientConfig)->click();
    QSignalSpy applied(&page, &CSettingsPage::settingsApplied);
    uv::server::ScopedMessageBoxAnswerer boxes;
    QVERIFY(page.OnApplySettings());
    QVERIFY(boxes.Texts().empty());  // no confirmation
    QCOMPARE(applied.count(), 1);

    QVERIFY(s.settings.disableBalloon);
    QVERIFY(s.settings.enableLog);
    QVERIFY(s.settings.disallowClientConfig);
    QVERIFY(s.settings.smtpAuth);
    QVERIFY(s.settings.smtpStartTls);
    QCOMPARE(s.settings.SmtpServer(), std::string("0.12.34.5"));
    QCOMPARE(s.settings.mailTo, std::string("to@example.com"));
    QCOMPARE(Edit(page, id::kMachineName)->text(), QString());  // address mode empties it

    auto key = SettingsKey(s.machine);
    QCOMPARE(*key.QueryString("ServerIP"), std::string("0.12.34.5"));
    QCOMPARE(*key.QueryDword("SendMail"), 1u);
    QCOMPARE(*key.QueryDword("SmtpAuth"), 1u);
    QCOMPARE(*key.QueryString("SmtpAuthPasswd"), std::string("secret"));
    QCOMPARE(*key.QueryDword("SmtpStartTls"), 1u);
    QCOMPARE(*key.QueryDword("DisableBalloonMsg"), 1u);
    QCOMPARE(*key.QueryDword("EnableLog"), 1u);
    QCOMPARE(*key.QueryDword("PlaySound"), 0u);
    QCOMPARE(*key.QueryString("LogFilePath"),
             (QDir::currentPath() + "/USBVantrelServer.log").toStdString());

    // Mail off: only the switch is stored, the rest stays.
    Button(page, id::kSendMail)->click();
    Edit(page, id::kMailTo)->setText("broken");
    QVERIFY(page.OnApplySettings());
    QCOMPARE(*key.QueryDword("SendMail"), 0u);
    QCOMPARE(*key.QueryString("MailTo"), std::string("to@example.com"));

    // Mail on again with the box cleared: stored as 0.
    Button(page, id::kSendMail)->click();
    Edit(page, id::kMailTo)->setText("to@example.com");
    Button(page, id::kSmtpStartTls)->click();
    QVERIFY(page.OnApplySettings());
    QVERIFY(!s.settings.smtpStartTls);
    QCOMPARE(*key.QueryDword("SmtpStartTls"), 0u);
  }

  void loadShowsTheStoredSettings() {
    TempMachine machine;
    {
      auto key = SettingsKey(machine);
      (void)key.SetDword("SendMail", 1);
      (void)key.SetString("MailTo", "to@example.com");
      (void)key.SetString("ServerIP", "mail.example.com");
      (void)key.SetDword("EnableLog", 1);
      (void)key.SetString("LogFilePath", "");
      (void)key.SetDword("MsgFilterFlags", 0x15);
      (void)key.SetDword("SmtpStartTls", 1);
    }
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    page.SetProgramName("USBVantrelServer");
    page.LoadSettings();
    QVERIFY(settings.sendMail);
    QCOMPARE(settings.msgFilterFlags, 0x15u);
    QCOMPARE(settings.msgFilterFlagsExtra, 0xFFFFFFFFu);
    QVERIFY(Button(page, id::kSendMail)->isChecked());
    QCOMPARE(Edit(page, id::kMailTo)->text(), QStringLiteral("to@example.com"));
    QVERIFY(Button(page, id::kMachineNameRadio)->isChecked());
    QVERIFY(!Button(page, id::kIpAddressRadio)->isChecked());
    QCOMPARE(Edit(page, id::kMachineName)->text(), QStringLiteral("mail.example.com"));
    QVERIFY(page.Control(id::kMachineName)->isEnabled());
    QVERIFY(!Ip(page)->isEnabled());
    QVERIFY(Ip(page)->IsBlank());
    QCOMPARE(Edit(page, id::kSmtpPort)->text(), QStringLiteral("25"));
    QVERIFY(settings.smtpStartTls);
    QVERIFY(Button(page, id::kSmtpStartTls)->isChecked());
    QVERIFY(page.Control(id::kLogPath)->isEnabled());
    QCOMPARE(Edit(page, id::kLogPath)->text(), QDir::currentPath() + "/USBVantrelServer.log");
  }

  void applyFiltersButtonAsksTheWindow() {
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    QSignalSpy asked(&page, &CSettingsPage::applyFiltersRequested);
    Button(page, id::kApplyFilters)->click();
    QCOMPARE(asked.count(), 1);
  }

  void addressControlTyping() {
    CIPAddressCtrl ip;
    ip.show();
    ip.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&ip));
    QVERIFY(ip.IsBlank());
    ip.Field(0)->setFocus();
    QTest::keyClicks(ip.Field(0), "192");  // a third digit moves on
    QVERIFY(ip.Field(1)->hasFocus());
    QTest::keyClicks(ip.Field(1), "16.");  // so does "."
    QVERIFY(ip.Field(2)->hasFocus());
    QTest::keyClicks(ip.Field(2), "999");  // out of range: not accepted past 99
    std::array<int, 4> fields{};
    QCOMPARE(ip.GetAddress(fields), 3);
    QVERIFY(fields[2] <= 255);
    QVERIFY(!ip.IsBlank());
    ip.ClearAddress();
    QVERIFY(ip.IsBlank());
    ip.SetAddress(300, -5, 7, 8);
    QCOMPARE(ip.GetAddress(fields), 4);
    QCOMPARE(fields, (std::array<int, 4>{255, 0, 7, 8}));
  }

  void grab() {
    TempMachine machine;
    ServerSettings settings;
    CSettingsPage page(machine.machine(), settings);
    page.SetProgramName("USBVantrelServer");
    page.resize(900, 420);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    Button(page, id::kSendMail)->click();
    Button(page, id::kEnableLog)->click();
    const QString file = PathIn(machine.root(), "settings-page.png");
    QVERIFY(page.grab().save(file));
    uv::server::test::KeepArtifact(file);
  }
};

QTEST_MAIN(SettingsPageTest)
#include "SettingsPageTest.moc"
