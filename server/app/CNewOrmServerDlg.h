#pragma once
// The console's main window: a dialog that lives behind its tray icon, with the History tab (the
// event list) and the Settings tab, a toolbar, a menu and accelerators. It owns the event
// listener, the hand-off of each report to the UI thread, the outlets of an event (list,
// balloon, sound, log, mail queue) and the orderly stop of all of them.
//
// Every control carries its dialog identifier as the dynamic property "controlId" (Control(id)
// finds it), and every command its command identifier (Command(id) finds the menu, toolbar or
// tray action), so tests drive the window by the identifiers the program is known by.
//
// Thread affinity: UI thread, except the listener thread's handler, which only hands the report
// over (see UiHandOff) and waits.

#include <QDialog>
#include <QPointer>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/Ipv4Address.h"
#include "platform/net/Socket.h"
#include "platform/sync/NamedMutex.h"
#include "server/app/EventProcessor.h"
#include "server/app/SoundPlayer.h"
#include "server/common/Balloons.h"
#include "server/dialogs/blockusb/CBlockUSBDlg.h"
#include "server/dialogs/exchange/CommandExchange.h"
#include "server/dialogs/offlinemsg/COfflineMsgLogDlg.h"
#include "server/dialogs/saveenergy/CSaveEnergyDlg.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "server/mail/MailQueue.h"

class QAction;
class QCheckBox;
class QMenu;
class QMenuBar;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QToolBar;

namespace Ui {
class CNewOrmServerDlg;
class CAboutDlg;
}  // namespace Ui

namespace uv::platform {
class Machine;
}

namespace uv::gui {
class CUVTListCtrl;
class ListPrintRunner;
}  // namespace uv::gui

namespace uv::server {

using gui::CUVTListCtrl;
using gui::ListPrintRunner;
class CMailWorker;
class CSettingsPage;
class EventListener;

inline constexpr const char* kMainMutexName = "USBVantrel_Mutex";
inline constexpr const char* kCheckMutexName = "USBVantrel_Check_Mutex";
inline constexpr const char* kDuplicateInstanceText =
    "Another instance of USB Vantrel! Server is already active.\nYou cannot run several "
    "instances of USB Vantrel! Server simultaneously.";
inline constexpr const char* kTrayTip = "USB Vantrel! Server";

struct ConsoleOptions {
  // Where the event socket binds: default the computer's local addresses (its own loopback
  // address when it has one, else all).
  std::optional<platform::Ipv4Address> bindAddress;
  std::uint16_t port = 40007;
  // The program name of the default log path (default: this executable's).
  QString programName;
  // Whether a system tray exists; default: asked of the desktop at start.
  std::optional<bool> systemTray;
};

enum class InitOutcome {
  kRunning,            // the window runs behind its tray icon
  kDuplicateInstance,  // another console runs: exit code 1
  kBindFailed,         // the event port could not be bound: the program ends
};

// The about box (resource 100).
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;
  // The texts of the two links' targets.
  static QString MailTarget();
  static QString WebTarget();

 private:
  std::unique_ptr<Ui::CAboutDlg> ui_;
};

// Hands one report from the listener thread to the UI thread and waits until it has been handled
// (the synchronous window message of the design). Unlike a blocking queued call it can be
// cancelled: Stop() releases a waiting listener, so the UI thread may join the listener without
// a deadlock, and a report still queued then is dropped rather than handled after the stop.
class UiHandOff : public QObject {
  Q_OBJECT

 public:
  // Made on the UI thread, which then runs the work.
  UiHandOff();
  // Listener thread. False when stopped (the work was not done).
  bool Deliver(std::function<void()> work);
  // UI thread.
  void Stop();

 signals:
  // Work was queued (emitted on the listener thread, handled queued on the UI thread).
  void posted(QPrivateSignal);

 private:
  void RunPosted();

  std::mutex mutex_;
  std::condition_variable done_;
  // The work travels here, under the lock, not inside Qt's queued call: Qt's queue is not seen
  // by the thread sanitizer, a hand-off through this lock is.
  std::deque<std::pair<std::uint64_t, std::function<void()>>> posted_;  // guarded by mutex_
  bool stopping_ = false;                                               // guarded by mutex_
  std::uint64_t issued_ = 0;                                            // guarded by mutex_
  std::uint64_t handled_ = 0;                                           // guarded by mutex_
};

class CNewOrmServerDlg : public QDialog, public IHistorySink {
  Q_OBJECT

 public:
  // The machine is borrowed; versionText is the console's own "VERSION=..." text.
  CNewOrmServerDlg(platform::Machine& machine, std::string versionText, ConsoleOptions options = {},
                   QWidget* parent = nullptr);
  // Teardown: stops the listener and the mail queue, frees the rows, removes the tray icon.
  ~CNewOrmServerDlg() override;

  // The window's initialisation, in the documented order. Anything but kRunning means the
  // program ends (its message, if any, has been shown).
  InitOutcome OnInitDialog();

  // Controls and commands by identifier.
  QWidget* Control(int controlId) const;
  QAction* Command(int commandId) const;
  QToolBar* ToolBar() const { return toolbar_; }
  QMenuBar* MenuBar() const { return menuBar_; }
  CUVTListCtrl& List() const { return *list_; }
  CSettingsPage* SettingsPage() const { return settingsPage_; }
  QSystemTrayIcon* TrayIcon() const { return tray_; }

  ServerSettings& Settings() { return settings_; }
  const std::vector<std::string>& KnownClients() const;
  BalloonRecorder& Balloons() { return balloons_; }
  QtSoundPlayer& Sound() { return sound_; }
  CMailQueue& MailQueue() { return mailQueue_; }
  bool HiddenFlag() const { return hidden_ != 0; }
  bool IsPrinting() const;
  bool ListenerRunning() const;
  // Where the event socket is bound (port 0 before initialisation).
  platform::SocketAddress EventSocketAddress() const;
  bool AboutBoxOpen() const { return aboutOpen_; }
  // Without a system tray the window shows at start, minimises instead of hiding, and its File
  // menu has "Exit": otherwise nothing would show it or end it.
  bool HasSystemTray() const { return hasTray_; }
  // The client dialogs' one exchange and its result holders.
  CommandExchange& Exchange() { return *exchange_; }
  CBlockUSBDlg* BlockUsbDialog() const { return blockUsb_; }
  CSaveEnergyDlg* SaveEnergyDialog() const { return saveEnergy_; }
  COfflineMsgLogDlg* OfflineMsgDialog() const { return offlineMsg_; }

  // Print into this PDF file instead of asking for a printer (tests, scripted runs).
  void SetPrintOutputFile(const QString& pdfFile);

  // The tray menu as the tray callback shows it (built anew each time).
  std::unique_ptr<QMenu> BuildTrayMenu();

  // The handler of one received report (the listener's hand-off lands here).
  void OnEventReceived(const std::string& text, platform::Ipv4Address sender);

 public slots:
  void OnTrayHistory();         // 32772
  void OnTrayServerSettings();  // 32797
  void OnTrayAbout();           // 32773, 32802, 16
  void OnTrayExit();            // 32771
  void OnTrayBlockUsb();        // 32803
  void OnTraySaveEnergy();      // 32805
  void OnTraySendOfflineMsg();  // 32807
  void OnHide();                // 32798, 32788
  void OnCopy();                // 32787, 32801, 1004
  void OnSelectAll();           // 32789, 32800, 1007
  void OnPrint();               // 32796, 32799
  void OnApplyFilters();        // 1044
  void OnTabChanged(int index);
  void OnListSelectionChanged();
  // A click on a balloon: show the History tab.
  void OnBalloonClicked();
  void reject() override;  // OnCancel: Esc
  void accept() override;  // Enter does not end the console; only "Exit" does

 signals:
  // "Exit" ran to its end (or initialisation gave up): the program ends with this code.
  void programEnd(int exitCode);

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void setVisible(bool visible) override;

 public:
  // IHistorySink: the handler's rows go into the list.
  void InsertRowAtTop(EventRow row) override;
  void InsertRowTextsAtTop(const HistoryRowTexts& texts) override;

 private:
  void CreateToolBarAndMenu();
  void CreateAccelerators();
  bool GuardSingleInstance();
  bool StartListener();
  void StartMailWorker();
  void ShowTab(int index);
  void ShowHistoryOrSettings(int tab);
  void OnOK(int exitCode = 0);
  void OnCancel();
  QAction* AddCommand(QAction* action, int commandId);
  std::optional<char> AnswerConfigQuery();

  platform::Machine& machine_;
  std::string versionText_;
  ConsoleOptions options_;
  std::unique_ptr<Ui::CNewOrmServerDlg> ui_;

  ServerSettings settings_;
  QToolBar* toolbar_ = nullptr;            // owned by this (Qt parent)
  QMenuBar* menuBar_ = nullptr;            // owned by this
  CUVTListCtrl* list_ = nullptr;           // owned by this
  CSettingsPage* settingsPage_ = nullptr;  // owned by this
  QSystemTrayIcon* tray_ = nullptr;        // owned by this; deleted at exit
  std::multimap<int, QAction*> commands_;  // actions owned by their menus/toolbar/this
  ListPrintRunner* printer_ = nullptr;     // owned by this
  QString printOutputFile_;

  TrayBalloonNotifier balloons_{nullptr};
  QtSoundPlayer sound_;
  CMailQueue mailQueue_;
  std::unique_ptr<CMailWorker> mailWorker_;  // drains mailQueue_
  std::unique_ptr<CEventProcessor> processor_;
  UiHandOff handOff_;
  std::unique_ptr<EventListener> listener_;

  platform::NamedMutex instanceMutex_;  // held for the life of the process
  int hidden_ = 1;
  bool ending_ = false;
  bool aboutOpen_ = false;
  QPointer<CAboutDlg> about_;
  bool hasTray_ = true;
  QMenu* fileMenu_ = nullptr;  // owned by the menu bar
  std::unique_ptr<CommandExchange> exchange_;
  QPointer<CBlockUSBDlg> blockUsb_;  // each set while its modal loop runs
  QPointer<CSaveEnergyDlg> saveEnergy_;
  QPointer<COfflineMsgLogDlg> offlineMsg_;
};

}  // namespace uv::server
