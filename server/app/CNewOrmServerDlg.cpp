#include "server/app/CNewOrmServerDlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <algorithm>

#include "gui/common/MessageBoxes.h"
#include "gui/list/CListCtrlPrint.h"
#include "gui/list/CUVTListCtrl.h"
#include "gui/list/ColumnWidths.h"
#include "platform/machine/Machine.h"
#include "platform/net/HostResolver.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "protocol/EventPort.h"
#include "resources/server/StringTable.h"
#include "server/app/EventListener.h"
#include "server/dialogs/blockusb/CBlockUSBDlg.h"
#include "server/dialogs/filter/CFilterDlg.h"
#include "server/dialogs/offlinemsg/COfflineMsgLogDlg.h"
#include "server/dialogs/saveenergy/CSaveEnergyDlg.h"
#include "server/dialogs/settings/CSettingsPage.h"
#include "server/mail/CMailWorker.h"
#include "server/mail/SmtpConversation.h"
#include "ui_CAboutDlg.h"
#include "ui_CNewOrmServerDlg.h"

namespace uv::server {

using namespace res;

namespace {

constexpr const char* kControlId = "controlId";
constexpr const char* kCommandId = "commandId";
constexpr int kHistoryTab = 0;
constexpr int kSettingsTab = 1;

void SetControlId(QObject* object, int id) {
  object->setProperty(kControlId, id);
}

}  // namespace

// ---- about box ---------------------------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::CAboutDlg>()) {
  ui_->setupUi(this);
  ui_->iconLabel->setPixmap(QIcon(QStringLiteral(":/server/icon128.svg")).pixmap(32, 32));
  for (QLabel* link : {ui_->mailLink, ui_->webLink}) {
    // The shell's "open" verb: the desktop's handler for mailto: and web links.
    connect(link, &QLabel::linkActivated, this,
            [](const QString& target) { QDesktopServices::openUrl(QUrl(target)); });
  }
}

CAboutDlg::~CAboutDlg() = default;

QString CAboutDlg::MailTarget() {
  return QStringLiteral("mailto:support@usbvantrel.example");
}
QString CAboutDlg::WebTarget() {
  return QStringLiteral("https://www.usbvantrel.example/");
}

// ---- hand-off
// ------------------------------------------------------------------------------------

UiHandOff::UiHandOff() {
  connect(this, &UiHandOff::posted, this, &UiHandOff::RunPosted, Qt::QueuedConnection);
}

bool UiHandOff::Deliver(std::function<void()> work) {
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    ticket = ++issued_;
    posted_.emplace_back(ticket, std::move(work));
  }
  emit posted(QPrivateSignal());
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return handled_ >= ticket || stopping_; });
  return handled_ >= ticket;
}

void UiHandOff::RunPosted() {
  for (;;) {
    std::pair<std::uint64_t, std::function<void()>> next;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return;
      next = std::move(posted_.front());
      posted_.pop_front();
      if (stopping_) {
        // Work still queued at the stop is dropped, not handled after it.
        posted_.clear();
        return;
      }
    }
    next.second();
    {
      std::lock_guard lock(mutex_);
      if (handled_ < next.first) handled_ = next.first;
    }
    done_.notify_all();
  }
}

void UiHandOff::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  done_.notify_all();
}

// ---- main window -------------------------------------------------------------------------------

CNewOrmServerDlg::CNewOrmServerDlg(platform::Machine& machine, std::string versionText,
                                   ConsoleOptions options, QWidget* parent)
    : QDialog(parent),
      machine_(machine),
      versionText_(std::move(versionText)),
      options_(std::move(options)),
      ui_(std::make_unique<Ui::CNewOrmServerDlg>()) {
  ui_->setupUi(this);
  SetControlId(this, IDD_USBVANTRELSERVER_DIALOG);
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  ui_->tabControl->tabBar()->setProperty(kControlId, IDC_TAB);

  list_ = new CUVTListCtrl(ui_->listHolder);
  list_->Model().SetMaxRows(settings_.maxHistoryRows);
  SetControlId(list_, IDC_LIST);
  ui_->listLayout->addWidget(list_);
  // The History widths were made for a smaller system font: scaled so a whole date and time
  // show, the proportions kept.
  (void)gui::FitColumnWidthsToFont(*list_, kDefaultColumnWidths);

  printer_ = new ListPrintRunner(QString::fromLatin1(kServerCaption), this);
  processor_ =
      std::make_unique<CEventProcessor>(versionText_, *this, balloons_, sound_, mailQueue_);
}

CNewOrmServerDlg::~CNewOrmServerDlg() {
  // Teardown, in order: the listener first (it must not hand over into a dying window), then
  // the mail queue (records still queued are dropped unsent), the rows, the tray icon.
  handOff_.Stop();
  if (listener_) listener_->Stop();
  if (mailWorker_) mailWorker_->Stop();
  mailQueue_.Clear();
  if (list_ != nullptr) list_->DeleteAllItems();
  balloons_.SetTray(nullptr);
  delete tray_;
  tray_ = nullptr;
}

const std::vector<std::string>& CNewOrmServerDlg::KnownClients() const {
  return processor_->KnownClients();
}

bool CNewOrmServerDlg::IsPrinting() const {
  return printer_->IsPrinting();
}

platform::SocketAddress CNewOrmServerDlg::EventSocketAddress() const {
  return listener_ ? listener_->LocalAddress() : platform::SocketAddress{};
}

bool CNewOrmServerDlg::ListenerRunning() const {
  return listener_ && listener_->Running();
}

void CNewOrmServerDlg::SetPrintOutputFile(const QString& pdfFile) {
  printOutputFile_ = pdfFile;
  printer_->SetOutputFile(pdfFile);
}

QWidget* CNewOrmServerDlg::Control(int controlId) const {
  if (property(kControlId).toInt() == controlId) return const_cast<CNewOrmServerDlg*>(this);
  for (QWidget* child : findChildren<QWidget*>()) {
    if (child->property(kControlId).toInt() == controlId) return child;
  }
  if (settingsPage_ != nullptr) return settingsPage_->Control(controlId);
  return nullptr;
}

QAction* CNewOrmServerDlg::Command(int commandId) const {
  auto it = commands_.find(commandId);
  return it == commands_.end() ? nullptr : it->second;
}

QAction* CNewOrmServerDlg::AddCommand(QAction* action, int commandId) {
  action->setProperty(kCommandId, commandId);
  commands_.emplace(commandId, action);
  return action;
}

InitOutcome CNewOrmServerDlg::OnInitDialog() {
  // 2. The about item of the window menu has no counterpart in the window managers we run
  // under; the same command is on the Help menu and the tray menu.
  // 3. Icon and accelerators.
  setWindowIcon(QIcon(QStringLiteral(":/server/icon128.svg")));
  CreateAccelerators();
  // 4. Toolbar and menu.
  CreateToolBarAndMenu();

  // 5. Only one console per computer.
  if (!GuardSingleInstance()) return InitOutcome::kDuplicateInstance;
  hidden_ = 1;

  // 6. The list's columns come with the control.
  exchange_ = std::make_unique<CommandExchange>(machine_);
  // 7. Tray icon. A desktop without a tray would leave the console unseen and unending.
  hasTray_ = options_.systemTray.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  if (!hasTray_) {
    AddCommand(fileMenu_->addAction(QStringLiteral("Exit"), this, &CNewOrmServerDlg::OnTrayExit),
               ID_TRAY_EXIT);
  }
  tray_ = new QSystemTrayIcon(QIcon(QStringLiteral(":/server/icon128.svg")), this);
  tray_->setToolTip(QString::fromLatin1(kTrayTip));
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Context) {
      auto menu = BuildTrayMenu();
      menu->exec(QCursor::pos());
    }
  });
  connect(tray_, &QSystemTrayIcon::messageClicked, this, &CNewOrmServerDlg::OnBalloonClicked);
  tray_->show();
  balloons_.SetTray(tray_);

  // 8. Default SMTP port text.
  settings_.smtpPort = "25";

  // 9. Event socket and listener.
  if (!StartListener()) return InitOutcome::kBindFailed;

  // 10. Tabs; "&Copy" starts disabled.
  connect(ui_->tabControl, &QTabWidget::currentChanged, this, &CNewOrmServerDlg::OnTabChanged);
  ui_->copyButton->setEnabled(false);
  connect(ui_->copyButton, &QPushButton::clicked, this, &CNewOrmServerDlg::OnCopy);
  connect(ui_->selectAllCheck, &QCheckBox::clicked, this, &CNewOrmServerDlg::OnSelectAll);
  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &CNewOrmServerDlg::OnListSelectionChanged);
  connect(list_, &CUVTListCtrl::clicked, this, &CNewOrmServerDlg::OnListSelectionChanged);

  // 11. Settings.
  settingsPage_ = new CSettingsPage(machine_, settings_, ui_->settingsTab);
  if (!options_.programName.isEmpty()) settingsPage_->SetProgramName(options_.programName);
  ui_->settingsLayout->addWidget(settingsPage_);
  connect(settingsPage_, &CSettingsPage::applyFiltersRequested, this,
          &CNewOrmServerDlg::OnApplyFilters);
  settingsPage_->LoadSettings();
  // The History's bound follows the settings: the oldest rows beyond it leave the list.
  list_->Model().SetMaxRows(settings_.maxHistoryRows);
  connect(settingsPage_, &CSettingsPage::settingsApplied, this,
          [this] { list_->Model().SetMaxRows(settings_.maxHistoryRows); });

  // 12. The e-mail worker (the queue is ready from construction).
  StartMailWorker();
  ShowTab(kHistoryTab);
  if (!hasTray_) ShowHistoryOrSettings(kHistoryTab);
  return InitOutcome::kRunning;
}

void CNewOrmServerDlg::CreateAccelerators() {
  struct Accel {
    QKeySequence keys;
    int command;
    void (CNewOrmServerDlg::*handler)();
  };
  const Accel table[] = {
      {QKeySequence(Qt::CTRL | Qt::Key_C), ID_EDIT_COPY, &CNewOrmServerDlg::OnCopy},
      {QKeySequence(Qt::CTRL | Qt::Key_A), ID_EDIT_SELECTALL, &CNewOrmServerDlg::OnSelectAll},
      {QKeySequence(Qt::CTRL | Qt::Key_H), ID_FILE_HIDE, &CNewOrmServerDlg::OnHide},
      {QKeySequence(Qt::CTRL | Qt::Key_P), ID_FILE_PRINT, &CNewOrmServerDlg::OnPrint},
  };
  for (const auto& accel : table) {
    auto* shortcut = new QShortcut(accel.keys, this);
    shortcut->setProperty(kCommandId, accel.command);
    const int command = accel.command;
    auto handler = accel.handler;
    connect(shortcut, &QShortcut::activated, this, [this, command, handler] {
      // The list commands act only while their menu items are enabled (History tab), so that
      // Ctrl+C and Ctrl+A keep their usual meaning in the edits of the Settings tab.
      if (QAction* item = Command(command); item != nullptr && !item->isEnabled()) return;
      (this->*handler)();
    });
  }
}

void CNewOrmServerDlg::CreateToolBarAndMenu() {
  menuBar_ = new QMenuBar(this);
  SetControlId(menuBar_, IDR_MAINMENU);
  QMenu* file = menuBar_->addMenu(QStringLiteral("&File"));
  fileMenu_ = file;
  AddCommand(file->addAction(QStringLiteral("Hide \tCtrl+H"), this, &CNewOrmServerDlg::OnHide),
             ID_FILE_HIDE);
  AddCommand(file->addAction(QStringLiteral("Print\tCtrl+P"), this, &CNewOrmServerDlg::OnPrint),
             ID_FILE_PRINT);
  QMenu* edit = menuBar_->addMenu(QStringLiteral("&Edit"));
  AddCommand(
      edit->addAction(QStringLiteral("Select All\tCtrl+A"), this, &CNewOrmServerDlg::OnSelectAll),
      ID_EDIT_SELECTALL);
  AddCommand(edit->addAction(QStringLiteral("Copy\tCtrl+C"), this, &CNewOrmServerDlg::OnCopy),
             ID_EDIT_COPY);
  QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
  AddCommand(
      help->addAction(QStringLiteral("About USBVantrel"), this, &CNewOrmServerDlg::OnTrayAbout),
      ID_HELP_ABOUT);

  toolbar_ = new QToolBar(this);
  SetControlId(toolbar_, IDR_TOOLBAR);
  toolbar_->setIconSize(QSize(24, 24));
  toolbar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  toolbar_->setMovable(false);
  struct Button {
    const char* icon;
    const char* text;
    int command;
    void (CNewOrmServerDlg::*handler)();
  };
  const Button buttons[] = {
      {":/server/toolbar/copy.svg", "Copy", ID_TOOLBAR_COPY, &CNewOrmServerDlg::OnCopy},
      {":/server/toolbar/selectall.svg", "Select All", ID_TOOLBAR_SELECTALL,
       &CNewOrmServerDlg::OnSelectAll},
      {":/server/toolbar/print.svg", "Print", ID_TOOLBAR_PRINT, &CNewOrmServerDlg::OnPrint},
      {":/server/toolbar/hide.svg", "Hide", ID_TOOLBAR_HIDE, &CNewOrmServerDlg::OnCancel},
  };
  for (const auto& button : buttons) {
    QAction* action = toolbar_->addAction(QIcon(QString::fromLatin1(button.icon)),
                                          QString::fromLatin1(button.text));
    action->setToolTip(ToolTipOf(button.command));
    connect(action, &QAction::triggered, this, button.handler);
    AddCommand(action, button.command);
  }
  auto* bars = new QVBoxLayout();
  bars->setSpacing(0);
  bars->setContentsMargins(0, 0, 0, 0);
  bars->addWidget(menuBar_);
  bars->addWidget(toolbar_);
  ui_->mainLayout->insertLayout(0, bars);
}

bool CNewOrmServerDlg::GuardSingleInstance() {
  if (auto existing = platform::NamedMutex::OpenExisting(machine_, kMainMutexName)) {
    // Another console runs. The first duplicate says so; while its message is up, further
    // duplicates find the check mutex and leave without a word.
    if (!platform::NamedMutex::OpenExisting(machine_, kCheckMutexName)) {
      auto check = platform::NamedMutex::Create(machine_, kCheckMutexName, true);
      ShowMessageBox(nullptr, QString::fromLatin1(kDuplicateInstanceText),
                     QString::fromLatin1(kServerCaption), MB_OK | MB_ICONSTOP);
    }
    return false;
  }
  auto created = platform::NamedMutex::Create(machine_, kMainMutexName, true);
  if (created) instanceMutex_ = std::move(created.value());
  return true;
}

std::optional<char> CNewOrmServerDlg::AnswerConfigQuery() {
  auto registry = machine_.OpenRegistry();
  if (!registry) return std::nullopt;
  auto key = platform::RegKey::Open(**registry, kServerSettingsKey, platform::RegAccess::kAll);
  if (!key) return std::nullopt;
  auto value = key->QueryDword(kValDisallowClientConfig);
  const std::string_view answer =
      protocol::ConfigQueryAnswer(value.ok(), value.ok() ? value.value() : 1u);
  return answer.empty() ? std::nullopt : std::optional<char>(answer.front());
}

bool CNewOrmServerDlg::StartListener() {
  const platform::Ipv4Address address =
      options_.bindAddress ? *options_.bindAddress : platform::LocalBindAddress(machine_);
  auto socket = platform::UdpSocket::Create();
  platform::WinError error = socket ? platform::kErrorSuccess : socket.error();
  if (socket) error = socket->Bind(platform::SocketAddress{address, options_.port});
  if (error != platform::kErrorSuccess) {
    ShowMessageBox(this, QStringLiteral("Socket bind error %1").arg(error),
                   QString::fromLatin1(kServerCaption), MB_OK);
    OnOK(0);
    return false;
  }
  // The UI thread queues a batch's mails without waking the worker; the listener's thread wakes
  // it once the batch is handled.
  processor_->SetDeferredMailWake(true);
  listener_ = std::make_unique<EventListener>(
      std::move(socket.value()),
      [this](std::span<const EventListener::Report> reports) {
        // The reports belong to the listener, which waits here until the UI thread is done.
        handOff_.Deliver([this, reports] { processor_->HandleBatch(reports, settings_); });
        // Whatever came of the hand-off, the worker is woken here for the mail the batch queued
        // (a hand-off refused at the stop queued none; teardown frees what is left unsent).
        mailQueue_.WakeIfPending();
      },
      [this] { return AnswerConfigQuery(); });
  listener_->Start();
  return true;
}

void CNewOrmServerDlg::StartMailWorker() {
  SmtpOptions smtp;
  smtp.localHostName = machine_.ComputerName();
  smtp.resolve = [&machine = machine_](const std::string& server) {
    auto address = platform::ResolveHost(machine, server);
    return address.ok() ? std::optional(address.value()) : std::nullopt;
  };
  if (const platform::Ipv4Address local = platform::LocalBindAddress(machine_);
      local.IsLoopback()) {
    smtp.bindFrom = local;
  }
  mailWorker_ = std::make_unique<CMailWorker>(
      mailQueue_,
      [smtp = std::move(smtp)](const EMAIL_CONTEXT& mail) { return SendMail(mail, smtp); });
  mailWorker_->Start();
}

void CNewOrmServerDlg::OnEventReceived(const std::string& text, platform::Ipv4Address sender) {
  processor_->Handle(text, sender.ToString(), settings_);
}

void CNewOrmServerDlg::InsertRowAtTop(EventRow row) {
  list_->InsertRow(std::move(row));
}

void CNewOrmServerDlg::InsertRowTextsAtTop(const HistoryRowTexts& texts) {
  // The list keeps its texts in display column order: category before message.
  list_->Model().InsertTextsAtTop(
      {texts.date, texts.time, texts.computerUser, texts.address, texts.category, texts.message});
}

// ---- showing and hiding ------------------------------------------------------------------------

void CNewOrmServerDlg::setVisible(bool visible) {
  // The window never shows on its own: while the hidden flag is set it stays in the tray.
  if (visible && hidden_ != 0) return;
  QDialog::setVisible(visible);
}

void CNewOrmServerDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && hasTray_) {
    hidden_ = 1;
    QTimer::singleShot(0, this, [this] {
      setWindowState(windowState() & ~Qt::WindowMinimized);
      hide();
    });
  }
}

void CNewOrmServerDlg::closeEvent(QCloseEvent* event) {
  if (ending_) {
    event->accept();
    return;
  }
  event->ignore();
  OnCancel();
}

void CNewOrmServerDlg::reject() {
  OnCancel();
}

void CNewOrmServerDlg::accept() {}

void CNewOrmServerDlg::OnCancel() {
  if (!hasTray_) {
    // Hidden without a tray icon there would be no way back: minimise instead.
    showMinimized();
    return;
  }
  hidden_ = 1;
  hide();
}

void CNewOrmServerDlg::OnHide() {
  OnCancel();
}

void CNewOrmServerDlg::ShowHistoryOrSettings(int tab) {
  hidden_ = 0;
  ui_->tabControl->setCurrentIndex(tab);
  ShowTab(tab);
  show();
  raise();
  activateWindow();
  ui_->tabControl->tabBar()->setFocus();
}

void CNewOrmServerDlg::OnTrayHistory() {
  ShowHistoryOrSettings(kHistoryTab);
}

void CNewOrmServerDlg::OnTrayServerSettings() {
  ShowHistoryOrSettings(kSettingsTab);
}

void CNewOrmServerDlg::OnBalloonClicked() {
  ShowHistoryOrSettings(kHistoryTab);
}

void CNewOrmServerDlg::OnTabChanged(int index) {
  ShowTab(index);
}

void CNewOrmServerDlg::ShowTab(int index) {
  const bool history = index == kHistoryTab;
  for (int command : {ID_FILE_PRINT, ID_EDIT_SELECTALL, ID_EDIT_COPY}) {
    if (QAction* item = Command(command)) item->setEnabled(history);
  }
  for (int command : {ID_TOOLBAR_COPY, ID_TOOLBAR_SELECTALL, ID_TOOLBAR_PRINT}) {
    if (QAction* button = Command(command)) button->setVisible(history);
  }
}

// ---- tray --------------------------------------------------------------------------------------

std::unique_ptr<QMenu> CNewOrmServerDlg::BuildTrayMenu() {
  auto menu = std::make_unique<QMenu>();
  QAction* about = menu->addAction(QStringLiteral("About"), this, &CNewOrmServerDlg::OnTrayAbout);
  about->setProperty(kCommandId, ID_TRAY_ABOUT);
  menu->addSeparator();
  QMenu* client = menu->addMenu(QStringLiteral("Client Settings"));
  struct Item {
    const char* text;
    int command;
    void (CNewOrmServerDlg::*handler)();
  };
  for (const Item& item :
       {Item{"Save Energy", ID_TRAY_SAVEENERGY, &CNewOrmServerDlg::OnTraySaveEnergy},
        Item{"Block USB", ID_TRAY_BLOCKUSB, &CNewOrmServerDlg::OnTrayBlockUsb},
        Item{"Send Offline Message", ID_TRAY_SENDOFFLINEMSG,
             &CNewOrmServerDlg::OnTraySendOfflineMsg}}) {
    QAction* action = client->addAction(QString::fromLatin1(item.text), this, item.handler);
    action->setProperty(kCommandId, item.command);
  }
  QAction* history =
      menu->addAction(QStringLiteral("History"), this, &CNewOrmServerDlg::OnTrayHistory);
  history->setProperty(kCommandId, ID_TRAY_HISTORY);
  QAction* settings = menu->addAction(QStringLiteral("Server Settings"), this,
                                      &CNewOrmServerDlg::OnTrayServerSettings);
  settings->setProperty(kCommandId, ID_TRAY_SERVERSETTINGS);
  QAction* exitItem = menu->addAction(QStringLiteral("Exit"), this, &CNewOrmServerDlg::OnTrayExit);
  exitItem->setProperty(kCommandId, ID_TRAY_EXIT);
  exitItem->setEnabled(!IsPrinting());
  return menu;
}

void CNewOrmServerDlg::OnTrayAbout() {
  if (aboutOpen_) return;
  CAboutDlg about(this);
  about_ = &about;
  aboutOpen_ = true;
  about.exec();
  aboutOpen_ = false;
  about_ = nullptr;
}

namespace {

// Runs a client dialog modally with `open` pointing at it while its loop runs.
template <typename Dialog, typename... Args>
void RunClientDialog(QPointer<Dialog>& open, Args&&... args) {
  if (open) {
    open->raise();
    open->activateWindow();
    return;
  }
  Dialog dialog(std::forward<Args>(args)...);
  open = &dialog;
  dialog.exec();
  open = nullptr;
}

}  // namespace

void CNewOrmServerDlg::OnTrayBlockUsb() {
  RunClientDialog(blockUsb_, machine_, *exchange_, KnownClients(), nullptr);
}

void CNewOrmServerDlg::OnTraySaveEnergy() {
  RunClientDialog(saveEnergy_, *exchange_, KnownClients(), nullptr);
}

void CNewOrmServerDlg::OnTraySendOfflineMsg() {
  RunClientDialog(offlineMsg_, *exchange_, KnownClients(), nullptr);
}

void CNewOrmServerDlg::OnTrayExit() {
  // The order matters: the listener stops before the dialogs close and the socket goes, so no
  // report is handed to a window that is ending.
  handOff_.Stop();
  if (aboutOpen_ && about_) about_->reject();
  if (saveEnergy_) saveEnergy_->reject();
  if (offlineMsg_) offlineMsg_->reject();
  if (blockUsb_) blockUsb_->reject();
  if (listener_) listener_->Stop();
  balloons_.SetTray(nullptr);
  if (tray_ != nullptr) {
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
  }
  OnOK(0);
}

void CNewOrmServerDlg::OnOK(int exitCode) {
  ending_ = true;
  hidden_ = 1;
  QDialog::setVisible(false);
  emit programEnd(exitCode);
}

// ---- list commands -----------------------------------------------------------------------------

void CNewOrmServerDlg::OnListSelectionChanged() {
  ui_->copyButton->setEnabled(list_->HasSelection());
}

void CNewOrmServerDlg::OnSelectAll() {
  list_->setFocus();
  list_->SelectAllRows();
  ui_->copyButton->setEnabled(true);
}

void CNewOrmServerDlg::OnCopy() {
  const std::vector<int> selected = list_->SelectedRows();
  if (selected.empty()) return;
  QString text;
  for (int index : selected) {
    text += list_->ColumnTexts(list_->Row(index)).join(QLatin1Char('\t'));
    text += QStringLiteral("\r\n");
  }
  QClipboard* clipboard = QGuiApplication::clipboard();
  const QString caption = QString::fromLatin1(kServerCaption);
  if (clipboard == nullptr) {
    ShowMessageBox(this, QStringLiteral("Cannot open the Clipboard"), caption);
    return;
  }
  clipboard->clear();
  clipboard->setText(text);
  if (clipboard->text() != text) {
    ShowMessageBox(this, QStringLiteral("Unable to set Clipboard data"), caption);
    return;
  }
  ui_->copyButton->setEnabled(false);
  ui_->selectAllCheck->setChecked(false);
}

void CNewOrmServerDlg::OnPrint() {
  if (IsPrinting()) return;
  printer_->Start(*list_, this);
}

void CNewOrmServerDlg::OnApplyFilters() {
  CFilterDlg filter(settings_, machine_, this);
  filter.exec();
}

}  // namespace uv::server
