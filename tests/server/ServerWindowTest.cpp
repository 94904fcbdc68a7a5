// The console's main window offscreen: controls and commands found by their identifiers, the
// hidden start, tabs, tray menu, clipboard, the single-instance guard, the bind failure, and
// reports arriving over a real loopback socket.

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "gui/common/MessageBoxes.h"
#include "gui/list/CUVTListCtrl.h"
#include "platform/machine/Machine.h"
#include "platform/net/Socket.h"
#include "platform/registry/Registry.h"
#include "resources/server/StringTable.h"
#include "server/app/CNewOrmServerDlg.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempMachine.h"

using namespace uv::server;
using namespace uv::platform;

namespace {

constexpr const char* kVersion = "VERSION=1 6 0 0";

QStringList MenuTexts(const QMenu& menu) {
  QStringList texts;
  for (QAction* action : menu.actions()) {
    texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  }
  return texts;
}

}  // namespace

class ServerWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<uv::test::TempMachine> temp_;  // a fresh machine root for every test
  std::unique_ptr<CNewOrmServerDlg> window_;

  Machine& machine() { return temp_->machine(); }
  const std::filesystem::path& root() const { return temp_->root(); }

  // A window on its own machine root, listening on a port of the system's choice.
  CNewOrmServerDlg& Open(InitOutcome expected = InitOutcome::kRunning) {
    ConsoleOptions options;
    options.systemTray = true;
    options.bindAddress = Ipv4Address::Loopback();
    options.port = 0;
    window_ = std::make_unique<CNewOrmServerDlg>(machine(), kVersion, options);
    const InitOutcome outcome = window_->OnInitDialog();
    [&] { QCOMPARE(int(outcome), int(expected)); }();
    window_->show();
    return *window_;
  }

  void SendReport(const std::string& text) {
    auto socket = UdpSocket::Create();
    QVERIFY(socket);
    QVERIFY(socket->SendTo(std::string_view(text), window_->EventSocketAddress()));
  }

  // A report from another computer (another loopback address): the console learns it as a new
  // client once it has handled every report sent before it, so it serves as a barrier.
  void SendReportFrom(Ipv4Address from, const std::string& text) {
    auto socket = UdpSocket::Create();
    QVERIFY(socket);
    QCOMPARE(socket->Bind({from, 0}), kErrorSuccess);
    QVERIFY(socket->SendTo(std::string_view(text), window_->EventSocketAddress()));
  }

 private slots:
  void init() { temp_ = std::make_unique<uv::test::TempMachine>("uv-win"); }

  void cleanup() {
    window_.reset();
    temp_.reset();
  }

  void startsHiddenWithEveryControlInPlace() {
    auto& window = Open();
    QVERIFY(window.HiddenFlag());
    QVERIFY(!window.isVisible());
    QCOMPARE(window.windowTitle(), QStringLiteral("USB Vantrel! Server"));
    QVERIFY(window.ListenerRunning());

    auto* tabs = qobject_cast<QTabBar*>(window.Control(res::IDC_TAB));
    QVERIFY(tabs != nullptr);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("History"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Settings"));
    auto* copy = qobject_cast<QPushButton*>(window.Control(res::IDC_COPY));
    QVERIFY(copy != nullptr);
    QCOMPARE(copy->text(), QStringLiteral("&Copy"));
    QVERIFY(!copy->isEnabled());
    auto* selectAll = qobject_cast<QCheckBox*>(window.Control(res::IDC_SELECTALL));
    QVERIFY(selectAll != nullptr);
    QCOMPARE(selectAll->text(), QStringLiteral("Select All"));
    QCOMPARE(window.Control(res::IDC_LIST), static_cast<QWidget*>(&window.List()));
    QVERIFY(window.Control(1018) != nullptr);  // a Settings-tab control, through the page

    QStringList buttons;
    for (QAction* action : window.ToolBar()->actions()) buttons << action->text();
    QCOMPARE(buttons, (QStringList{"Copy", "Select All", "Print", "Hide"}));
    QCOMPARE(window.Command(res::ID_TOOLBAR_HIDE)->toolTip(), QStringLiteral("Hide"));
    QCOMPARE(window.Command(res::ID_TOOLBAR_SELECTALL)->toolTip(), QStringLiteral("Select All"));
    QCOMPARE(window.Command(res::ID_FILE_HIDE)->text(), QStringLiteral("Hide \tCtrl+H"));
    QCOMPARE(window.Command(res::ID_FILE_PRINT)->text(), QStringLiteral("Print\tCtrl+P"));
    QCOMPARE(window.Command(res::ID_EDIT_SELECTALL)->text(), QStringLiteral("Select All\tCtrl+A"));
    QCOMPARE(window.Command(res::ID_EDIT_COPY)->text(), QStringLiteral("Copy\tCtrl+C"));
    QCOMPARE(window.Command(res::ID_HELP_ABOUT)->text(), QStringLiteral("About USBVantrel"));
    // The sound we ship is in the machine's Media folder once the settings proposed it.
    QVERIFY(window.TrayIcon() != nullptr);
    QCOMPARE(window.TrayIcon()->toolTip(), QStringLiteral("USB Vantrel! Server"));
  }

  void trayMenuOffersTheCommandsInOrder() {
    auto& window = Open();
    auto menu = window.BuildTrayMenu();
    QCOMPARE(MenuTexts(*menu),
             (QStringList{"About", "-", "Client Settings", "History", "Server Settings", "Exit"}));
    QMenu* client = menu->actions().at(2)->menu();
    QVERIFY(client != nullptr);
    QCOMPARE(MenuTexts(*client), (QStringList{"Save Energy", "Block USB", "Send Offline Message"}));
    for (QAction* action : client->actions()) QVERIFY(action->isEnabled());
    QVERIFY(menu->actions().at(5)->isEnabled());
  }

  void historyColumnsShowAWholeDateAndTimeInTheirProportions() {
    auto& window = Open();
    CUVTListCtrl& list = window.List();
    const QFontMetrics metrics(list.font());
    QVERIFY(list.columnWidth(0) > metrics.horizontalAdvance(QStringLiteral("01/01/2026")));
    QVERIFY(list.columnWidth(1) > metrics.horizontalAdvance(QStringLiteral("23:59:59")));
    QVERIFY(std::abs(list.columnWidth(5) * 70.0 / list.columnWidth(0) - 370.0) < 8.0);
  }

  void historyAndSettingsShowTheirTabAndHideComesBack() {
    auto& window = Open();
    window.OnTrayServerSettings();
    QVERIFY(window.isVisible());
    QVERIFY(!window.HiddenFlag());
    auto* tabs = qobject_cast<QTabBar*>(window.Control(res::IDC_TAB));
    QCOMPARE(tabs->currentIndex(), 1);
    QVERIFY(!window.Command(res::ID_EDIT_COPY)->isEnabled());
    QVERIFY(!window.Command(res::ID_FILE_PRINT)->isEnabled());
    QVERIFY(!window.Command(res::ID_TOOLBAR_COPY)->isVisible());
    QVERIFY(window.Command(res::ID_TOOLBAR_HIDE)->isVisible());

    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
    QVERIFY(window.HiddenFlag());

    window.OnTrayHistory();
    QCOMPARE(tabs->currentIndex(), 0);
    QVERIFY(window.Command(res::ID_EDIT_COPY)->isEnabled());
    QVERIFY(window.Command(res::ID_TOOLBAR_PRINT)->isVisible());
    window.close();  // the close box hides too
    QVERIFY(!window.isVisible());
    window.OnTrayHistory();
    window.Command(res::ID_FILE_HIDE)->trigger();
    QVERIFY(!window.isVisible());
    // A painted hidden window does not come back by itself.
    window.show();
    QVERIFY(!window.isVisible());
  }

  void reportsArriveAsRowsOnTop() {
    auto& window = Open();
    SendReport(std::string(kVersion) + ",01/02/2009,10:00:00,PC1\\u,10.0.0.1,Inserted Disk A");
    SendReport(std::string(kVersion) + ",01/02/2009,10:00:01,PC1\\u,10.0.0.1,Removed Disk A");
    SendReport("VERSION=0 9,whatever");
    QTRY_COMPARE(window.List().RowCount(), 3);
    QCOMPARE(window.List().Row(0).message, std::string("Client Version does not match"));
    QCOMPARE(window.List().Row(0).address, std::string("127.0.0.1"));
    QCOMPARE(window.List().Row(1).category, std::string("Removed"));
    QCOMPARE(window.List().Row(2).category, std::string("Inserted"));
    QCOMPARE(window.KnownClients(), std::vector<std::string>{"127.0.0.1"});
    QCOMPARE(window.Balloons().Count(), std::size_t{3});
  }

  void historyKeepsTheNewestRowsWhileTheLogGetsEveryEvent() {
    const std::filesystem::path log = root() / "history.log";
    {
      auto registry = machine().OpenRegistry();
      QVERIFY(registry.ok());
      auto key = RegKey::Create(**registry, kServerSettingsKey);
      QVERIFY(key.ok());
      QCOMPARE(key->SetDword(kValMaxHistoryRows, 3), kErrorSuccess);
      QCOMPARE(key->SetDword(kValEnableLog, 1), kErrorSuccess);
      QCOMPARE(key->SetString(kValLogFilePath, log.string()), kErrorSuccess);
    }
    auto& window = Open();
    QCOMPARE(window.Settings().maxHistoryRows, 3u);
    for (int i = 1; i <= 7; ++i) {
      SendReport(std::string(kVersion) + ",01/02/2009,10:00:0" + std::to_string(i) +
                 ",PC1\\u,10.0.0.1,Inserted Disk " + std::to_string(i));
    }
    const auto logLines = [&log] {
      std::ifstream in(log);
      std::vector<std::string> lines;
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      return lines;
    };
    QTRY_COMPARE(logLines().size(), std::size_t{8});  // the header and every event
    for (int i = 1; i <= 7; ++i) {
      QVERIFY(logLines()[static_cast<std::size_t>(i)].find("Inserted Disk " + std::to_string(i)) !=
              std::string::npos);
    }
    window.List().Publish();
    QCOMPARE(window.List().RowCount(), 3);
    // Messages carry the sender and the arrival time after the client's text.
    QCOMPARE(QString::fromStdString(window.List().Row(0).message).section(' ', 0, 2),
             QStringLiteral("Inserted Disk 7"));
    QCOMPARE(QString::fromStdString(window.List().Row(2).message).section(' ', 0, 2),
             QStringLiteral("Inserted Disk 5"));
  }

  void copyPutsSelectedRowsOnTheClipboard() {
    auto& window = Open();
    CUVTListCtrl& list = window.List();
    for (int i = 0; i < 4; ++i) {
      list.InsertRow(EventRow{"0" + std::to_string(i) + "/01/2009", "10:00:0" + std::to_string(i),
                              "PC\\u", "10.0.0." + std::to_string(i), "Started x", "Started"});
    }
    list.Model().Publish();
    window.OnTrayHistory();
    // Nothing selected: nothing happens.
    QApplication::clipboard()->setText(QStringLiteral("before"));
    window.OnCopy();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));

    list.SelectRow(0);
    list.SelectRow(1);
    list.SelectRow(3);
    auto* copy = qobject_cast<QPushButton*>(window.Control(res::IDC_COPY));
    QTRY_VERIFY(copy->isEnabled());
    auto* selectAll = qobject_cast<QCheckBox*>(window.Control(res::IDC_SELECTALL));
    selectAll->setChecked(true);
    QTest::mouseClick(copy, Qt::LeftButton);
    const QString text = QApplication::clipboard()->text();
    QCOMPARE(text, QStringLiteral("03/01/2009\t10:00:03\tPC\\u\t10.0.0.3\tStarted\tStarted x\r\n"
                                  "02/01/2009\t10:00:02\tPC\\u\t10.0.0.2\tStarted\tStarted x\r\n"
                                  "00/01/2009\t10:00:00\tPC\\u\t10.0.0.0\tStarted\tStarted x\r\n"));
    QVERIFY(!copy->isEnabled());
    QVERIFY(!selectAll->isChecked());

    window.OnSelectAll();
    QVERIFY(copy->isEnabled());
    QCOMPARE(int(list.SelectedRows().size()), 4);
  }

  void secondConsoleSaysSoAndThirdLeavesSilently() {
    auto& first = Open();
    Q_UNUSED(first);
    ConsoleOptions options;
    options.systemTray = true;
    options.bindAddress = Ipv4Address::Loopback();
    options.port = 0;
    InitOutcome third = InitOutcome::kRunning;
    std::size_t boxesWhileUp = 0;
    ScopedMessageBoxAnswerer answerer([&](const MessageBoxRecord&) {
      // While the duplicate's message is up, a further console gives up without a message.
      ScopedMessageBoxAnswerer inner;
      CNewOrmServerDlg another(machine(), kVersion, options);
      third = another.OnInitDialog();
      boxesWhileUp = inner.Records().size();
      return IDOK;
    });
    CNewOrmServerDlg second(machine(), kVersion, options);
    QCOMPARE(int(second.OnInitDialog()), int(InitOutcome::kDuplicateInstance));
    QCOMPARE(int(third), int(InitOutcome::kDuplicateInstance));
    QCOMPARE(boxesWhileUp, std::size_t{0});
    const auto records = answerer.Records();
    QCOMPARE(int(records.size()), 1);
    QCOMPARE(records[0].text,
             QStringLiteral("Another instance of USB Vantrel! Server is already active.\nYou "
                            "cannot run several instances of USB Vantrel! Server simultaneously."));
    QCOMPARE(records[0].caption, QStringLiteral("USB Vantrel! Server"));
    QCOMPARE(records[0].flags & 0xF0u, MB_ICONSTOP);
  }

  void takenPortEndsTheProgramWithItsError() {
    auto blocker = UdpSocket::Create();
    QVERIFY(blocker);
    const Ipv4Address address(127, 0, 0, 213);
    QCOMPARE(blocker->Bind(SocketAddress{address, 40007}), kErrorSuccess);
    ScopedMessageBoxAnswerer answerer;
    ConsoleOptions options;
    options.systemTray = true;
    options.bindAddress = address;
    CNewOrmServerDlg window(machine(), kVersion, options);
    QSignalSpy ended(&window, &CNewOrmServerDlg::programEnd);
    QCOMPARE(int(window.OnInitDialog()), int(InitOutcome::kBindFailed));
    QCOMPARE(answerer.Texts(), std::vector<QString>{QStringLiteral("Socket bind error 10048")});
    QCOMPARE(ended.count(), 1);
    QVERIFY(!window.ListenerRunning());
  }

  void exitStopsListenerAndTrayAndIsGrayedWhilePrinting() {
    auto& window = Open();
    for (int i = 0; i < 2000; ++i) {
      window.List().InsertRow(EventRow{"01/01/2009", "10:00:00", "PC\\u", "10.0.0.1",
                                       "Started " + std::string(200, 'x'), "Started"});
    }
    window.List().Model().Publish();
    const QString pdf = QString::fromStdString((root() / "list.pdf").string());
    window.SetPrintOutputFile(pdf);
    window.OnTrayHistory();
    window.OnPrint();
    QVERIFY(window.IsPrinting());
    auto menu = window.BuildTrayMenu();
    QVERIFY(!menu->actions().last()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!window.IsPrinting(), 60000);
    QVERIFY(window.BuildTrayMenu()->actions().last()->isEnabled());
    QVERIFY(QFile::exists(pdf));
    // The console's report: its title, the date line and the page footer on every page.
    const uv::test::ProgramOutput pdftotext =
        uv::test::RunProgram("pdftotext", {"-layout", pdf.toStdString(), "-"});
    QVERIFY2(pdftotext.exitCode == 0, "pdftotext (poppler-utils) is needed to read the report");
    {
      const QString text = QString::fromStdString(pdftotext.out);
      QVERIFY(text.contains(QStringLiteral("USB Vantrel!")));
      QVERIFY(text.contains(QStringLiteral("Report Date: ")));
      const int pages = int(text.count(QLatin1Char('\f')));
      QVERIFY(pages > 1);
      QVERIFY(text.contains(QStringLiteral("Page 1 of %1").arg(pages)));
      QVERIFY(text.contains(QStringLiteral("Page %1 of %1").arg(pages)));
    }

    QSignalSpy ended(&window, &CNewOrmServerDlg::programEnd);
    const SocketAddress address = window.EventSocketAddress();
    window.OnTrayExit();
    QCOMPARE(ended.count(), 1);
    QVERIFY(!window.ListenerRunning());
    QVERIFY(window.TrayIcon() == nullptr);
    // The port is free again: the socket is closed.
    auto again = UdpSocket::Create();
    QVERIFY(again);
    QCOMPARE(again->Bind(address), kErrorSuccess);
  }

  void teardownWithReportsInFlightDoesNotHang() {
    const SocketAddress address = Open().EventSocketAddress();
    for (int i = 0; i < 50; ++i)
      SendReport(std::string(kVersion) + ",d,t,c,a,Added f" + std::to_string(i));
    // No event processing: the listener is blocked in its hand-off when the window goes.
    window_.reset();
    // The listener has let go of its socket: the port can be bound again at once.
    auto again = UdpSocket::Create();
    QVERIFY(again);
    QCOMPARE(again->Bind(address), kErrorSuccess);
  }

  void soundPlaysForDeviceEventsWhateverTheFilters() {
    auto& window = Open();
    window.Settings().playSound = true;
    window.Settings().wavFile = (root() / "Windows" / "Media" / "notify.wav").string();
    window.Settings().msgFilterFlags = 0;
    window.Settings().msgFilterFlagsExtra = 0;
    const std::string head = std::string(kVersion) + ",01/02/2009,10:00:00,PC1\\u,10.0.0.1,";
    SendReport(head + "Unmounted drive E:\\ on PC1\\u");
    SendReport(head + "Inserted Disk on PC1\\u");
    SendReport(head + "Mounted drive E:\\ on PC1\\u");
    SendReport(head + "Added E:\\x");
    QTRY_COMPARE(window.KnownClients().size(), std::size_t{1});
    QTRY_COMPARE(window.Sound().Requests(), std::size_t{2});
    // Reports are handled in the order they arrive: once a later one from another computer is
    // seen, every one before it has been handled (a barrier, not a wait).
    const std::string other = std::string(kVersion) + ",01/02/2009,10:00:00,PC2\\u,10.0.0.2,";
    SendReportFrom(Ipv4Address(127, 0, 0, 2), other + "Added E:\\y");
    QTRY_COMPARE(window.KnownClients().size(), std::size_t{2});
    QCOMPARE(window.Sound().Requests(), std::size_t{2});
    QCOMPARE(window.Sound().LastFile(),
             QString::fromStdString((root() / "Windows" / "Media" / "notify.wav").string()));
    QCOMPARE(window.List().RowCount(), 0);  // every History bit is clear
    window.Settings().playSound = false;
    SendReport(head + "Removed Disk on PC1\\u");
    SendReportFrom(Ipv4Address(127, 0, 0, 3),
                   std::string(kVersion) + ",01/02/2009,10:00:00,PC3\\u,10.0.0.3,Added E:\\z");
    QTRY_COMPARE(window.KnownClients().size(), std::size_t{3});
    QCOMPARE(window.Sound().Requests(), std::size_t{2});
  }

  void balloonClickMinimiseAndAcceleratorsBehave() {
    auto& window = Open();
    window.OnBalloonClicked();
    QVERIFY(window.isVisible());
    auto* tabs = qobject_cast<QTabBar*>(window.Control(res::IDC_TAB));
    QCOMPARE(tabs->currentIndex(), 0);
    window.showMinimized();
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(window.HiddenFlag());

    for (int i = 0; i < 3; ++i) {
      window.List().InsertRow(
          EventRow{"01/01/2009", "10:00:00", "PC\\u", "1.1.1.1", "Started", "Started"});
    }
    window.List().Model().Publish();
    window.OnTrayServerSettings();
    QTest::keyClick(&window, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(int(window.List().SelectedRows().size()), 0);  // not on the Settings tab
    window.OnTrayHistory();
    QTest::keyClick(&window, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(int(window.List().SelectedRows().size()), 3);
    QTest::keyClick(&window, Qt::Key_H, Qt::ControlModifier);
    QVERIFY(!window.isVisible());
  }

  void exitClosesAnOpenAboutBox() {
    auto& window = Open();
    QSignalSpy ended(&window, &CNewOrmServerDlg::programEnd);
    bool wasOpen = false;
    QTimer::singleShot(50, &window, [&] {
      wasOpen = window.AboutBoxOpen();
      auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
      if (about != nullptr)
        QVERIFY(about->findChild<QLabel*>(QStringLiteral("versionLabel"))->text() ==
                QStringLiteral("USB Vantrel! Server (Ver. 1.6)"));
      window.OnTrayExit();
    });
    window.OnTrayAbout();  // returns when Exit closes the box
    QVERIFY(wasOpen);
    QVERIFY(!window.AboutBoxOpen());
    QCOMPARE(ended.count(), 1);
  }

  void applyFiltersRunsTheFilterDialog() {
    auto& window = Open();
    window.OnTrayServerSettings();
    QString title;
    QTimer::singleShot(50, &window, [&] {
      if (QWidget* dialog = QApplication::activeModalWidget()) {
        title = dialog->windowTitle();
        qobject_cast<QDialog*>(dialog)->reject();
      }
    });
    auto* button = qobject_cast<QAbstractButton*>(window.Control(res::IDC_APPLYFILTERS));
    QVERIFY(button != nullptr);
    button->click();
    QCOMPARE(title, QStringLiteral("Apply filters"));
  }

  // Screenshots for a person to look at, not a check: runs only when asked for.
  void grabForReview() {
    if (std::getenv("UV_GRAB_DIR") == nullptr) QSKIP("set UV_GRAB_DIR to save the screenshots");
    auto& window = Open();
    for (int i = 0; i < 5; ++i) {
      window.List().InsertRow(EventRow{"01/01/2009", "10:00:0" + std::to_string(i), "PC17\\user1",
                                       "192.168.1.23", "Inserted USB Disk on PC17\\user1",
                                       "Inserted"});
    }
    window.List().Model().Publish();
    window.OnTrayHistory();
    window.resize(900, 420);
    const char* out = std::getenv("UV_GRAB_DIR");
    if (out == nullptr) return;
    window.grab().save(QString::fromLatin1(out) + QStringLiteral("/history.png"));
    window.OnTrayServerSettings();
    window.grab().save(QString::fromLatin1(out) + QStringLiteral("/settings.png"));
    CAboutDlg about(&window);
    about.adjustSize();
    about.grab().save(QString::fromLatin1(out) + QStringLiteral("/about.png"));
    auto menu = window.BuildTrayMenu();
    menu->adjustSize();
    menu->grab().save(QString::fromLatin1(out) + QStringLiteral("/traymenu.png"));
  }
};

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  InitServerResources();
  ServerWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ServerWindowTest.moc"
