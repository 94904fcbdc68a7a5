#include "server/dialogs/whitelist/CControlDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <algorithm>

#include "client/agent/identification/UsbDriveIdentification.h"
#include "gui/common/MessageBoxes.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "server/dialogs/client/ClientTexts.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "server/dialogs/whitelist/ClientProgramCheck.h"
#include "ui_ControlDialog.h"

namespace uv::server {

namespace {

bool SameNoCase(const QString& a, const std::string& b) {
  return a.compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

std::vector<std::string> EntriesOf(const std::string& listText) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= listText.size()) {
    std::size_t comma = listText.find(',', start);
    if (comma == std::string::npos) comma = listText.size();
    if (comma > start) entries.push_back(listText.substr(start, comma - start));
    start = comma + 1;
  }
  return entries;
}

std::string Joined(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) {
    if (!text.empty()) text.push_back(',');
    text += entry;
  }
  return text;
}

}  // namespace

CControlDialog::CControlDialog(platform::Machine& machine, CommandExchange& exchange,
                               std::vector<std::string> knownClients, QWidget* parent,
                               ControlDialogOptions options)
    : CClientDialog(exchange, std::move(knownClients), parent),
      machine_(machine),
      options_(std::move(options)),
      ui_(std::make_unique<Ui::ControlDialog>()) {
  connect(
      this, &CControlDialog::noticeArrived, this, [this] { OnNotice(listener_.TakeNotice()); },
      Qt::QueuedConnection);
  if (!options_.clientRunning) {
    options_.clientRunning = [this] { return IsClientProgramRunning(machine_.Root()); };
  }
  if (!options_.ejectDrive) {
    options_.ejectDrive = [this](int index) {
      return agent::EjectDrive(machine_, index, agent::EjectOrder::kConsole);
    };
  }
  ui_->setupUi(this);
  InitClientDialog();
  connect(ui_->getStatus, &QPushButton::clicked, this, &CControlDialog::OnGetStatus);
  connect(ui_->apply, &QPushButton::clicked, this, &CControlDialog::OnApply);
  connect(ui_->addButton, &QPushButton::clicked, this, &CControlDialog::OnAdd);
  connect(ui_->removeButton, &QPushButton::clicked, this, &CControlDialog::OnRemove);
  connect(ui_->safeRemove, &QPushButton::clicked, this, &CControlDialog::OnSafelyRemove);
  OnInitDialog();
}

CControlDialog::~CControlDialog() {
  CloseNotices();
}

QTabBar* CControlDialog::Tabs() const {
  return ui_->tabControl;
}

QListWidget* CControlDialog::Entries() const {
  return ui_->entries;
}

WhitelistTab CControlDialog::CurrentTab() const {
  return static_cast<WhitelistTab>(std::clamp(ui_->tabControl->currentIndex(), 0, 2));
}

std::vector<std::string>& CControlDialog::ListOf(WhitelistTab tab) {
  switch (tab) {
    case WhitelistTab::kUsers:
      return users_;
    case WhitelistTab::kDevices:
      return devices_;
    case WhitelistTab::kMakes:
      break;
  }
  return makes_;
}

void CControlDialog::OnInitDialog() {
  // 1. Tabs, off until lists arrive.
  for (const char* name : {"User Whitelist", "Device Whitelist", "Device Make Whitelist"}) {
    ui_->tabControl->addTab(QString::fromLatin1(name));
  }
  ui_->tabControl->setCurrentIndex(0);
  ui_->tabControl->setEnabled(false);
  connect(ui_->tabControl, &QTabBar::currentChanged, this, &CControlDialog::OnTabChanged);
  // 2. Device controls hidden, user and list controls off.
  ui_->deviceLabel->hide();
  ui_->deviceField->hide();
  ui_->safeRemove->hide();
  SetWhitelistControlsEnabled(false);
  // Nothing to send before a client's lists have arrived.
  ui_->apply->setEnabled(false);
  // 3. The base set the address, name and inputs; nothing captured yet.
  capturedDevice_.clear();
  capturedMake_.clear();
  drivePresent_ = false;
  // 4. The agent on this computer sends notices while this is 1.
  WriteServerState(1);
  // 5. Notices.
  // The listener thread only signals; the notice itself is taken on the UI thread, from the
  // listener under its lock (a closure built on the listener thread would reach this thread
  // through Qt's queue alone, which the thread sanitizer cannot see into).
  const platform::WinError bound = listener_.Start(
      machine_, options_.noticePort, [this] { emit noticeArrived(QPrivateSignal()); });
  if (bound != platform::kErrorSuccess) {
    ShowServerMessage(QStringLiteral("Socket bind error %1").arg(bound).toStdString());
  }
}

void CControlDialog::SetWhitelistControlsEnabled(bool enabled) {
  for (QWidget* control :
       std::initializer_list<QWidget*>{ui_->userLabel, ui_->userName, ui_->addButton,
                                       ui_->entriesLabel, ui_->entries, ui_->removeButton}) {
    control->setEnabled(enabled);
  }
}

void CControlDialog::WriteServerState(std::uint32_t value) {
  auto registry = machine_.OpenRegistry();
  if (!registry.ok()) return;
  auto key = platform::RegKey::Create(**registry, kServerSettingsKey, platform::RegAccess::kAll);
  if (key.ok()) (void)key->SetDword(kValServerState, value);
}

void CControlDialog::CloseNotices() {
  listener_.Stop();
}

void CControlDialog::OnTargetModeChanged(TargetMode /*mode*/) {
  ui_->getStatus->setEnabled(true);
  ui_->apply->setEnabled(false);
  ui_->tabControl->setEnabled(false);
  SetWhitelistControlsEnabled(false);
  ui_->deviceField->setEnabled(false);
  ui_->safeRemove->setEnabled(false);
}

void CControlDialog::OnGetStatus() {
  ui_->entries->clear();
  users_.clear();
  devices_.clear();
  makes_.clear();
  // The working lists are gone: nothing may be sent until the next lists have arrived.
  ui_->apply->setEnabled(false);
  ui_->tabControl->setEnabled(false);
  SetWhitelistControlsEnabled(false);
  SetStatus(texts::k105Connecting);
  const auto target = SelectTarget(kInvalidServerNameText, false);
  if (!target) return;
  ExchangeRequest request{
      target->target, ExchangePhase::kQuery, target->resolveByName, ExchangeKind::kWhiteLists, {}};
  if (!Succeeded(RunExchange(request))) {
    ShowServerMessage(kErrorConnectingText);
    SetStatus(texts::k107Enter);
    return;
  }
  if (!Holders().stored) {
    // The client answered something else than its lists: nothing to edit, nothing to send.
    SetStatus(texts::k107Enter);
    return;
  }
  SetStatus(texts::k111SelectTabs);
  OnListsReceived(Holders().whiteListText);
}

void CControlDialog::OnListsReceived(const std::string& listText) {
  ui_->entries->clear();
  const protocol::WhiteLists lists = protocol::SplitWhiteLists(listText);
  ui_->apply->setEnabled(true);
  ui_->tabControl->setEnabled(true);
  users_ = EntriesOf(lists.users);
  devices_ = EntriesOf(lists.devices);
  makes_ = EntriesOf(lists.makes);
  OnTabChanged(ui_->tabControl->currentIndex());
}

void CControlDialog::ShowEntries() {
  ui_->entries->clear();
  for (const std::string& entry : ListOf(CurrentTab())) {
    ui_->entries->addItem(QString::fromStdString(entry));
  }
  if (ui_->entries->count() > 0) ui_->entries->setCurrentRow(0);
}

void CControlDialog::OnTabChanged(int index) {
  if (index < 0) return;
  if (CurrentTab() == WhitelistTab::kUsers) {
    for (QWidget* control : std::initializer_list<QWidget*>{
             ui_->addButton, ui_->removeButton, ui_->userLabel, ui_->userName, ui_->entries,
             ui_->entriesLabel, ui_->statusLine}) {
      control->show();
      control->setEnabled(true);
    }
    ui_->deviceLabel->hide();
    ui_->deviceField->hide();
    ui_->safeRemove->hide();
    SetStatus(texts::k112EnterUser);
    ShowEntries();
    return;
  }
  ShowEntries();
  if (options_.clientRunning()) {
    for (QWidget* control : std::initializer_list<QWidget*>{
             ui_->deviceLabel, ui_->deviceField, ui_->addButton, ui_->entries, ui_->entriesLabel,
             ui_->removeButton, ui_->safeRemove, ui_->statusLine}) {
      control->show();
      control->setEnabled(true);
    }
    ui_->userLabel->hide();
    ui_->userName->hide();
    ShowInDeviceField(CurrentTab() == WhitelistTab::kDevices ? capturedDevice_ : capturedMake_);
    ui_->safeRemove->setEnabled(drivePresent_);
    SetStatus(texts::k113Insert);
  } else {
    for (QWidget* control : std::initializer_list<QWidget*>{
             ui_->deviceLabel, ui_->deviceField, ui_->safeRemove, ui_->userLabel, ui_->userName}) {
      control->hide();
      control->setEnabled(false);
    }
    SetStatus(texts::k113Insert);
    ShowServerMessage(texts::k32806ClientNotRunning);
  }
}

void CControlDialog::ShowInDeviceField(const std::string& text) {
  const QString shown = QString::fromStdString(text);
  ui_->deviceField->setText(shown);
  // A device text longer than the field shows its start (the make), and whole as the tip.
  ui_->deviceField->setCursorPosition(0);
  ui_->deviceField->setToolTip(shown);
}

void CControlDialog::ShowListMessage(const char* text) {
  ShowMessageBox(this, QString::fromUtf8(text), QString::fromLatin1(texts::kWhitelistCaption));
}

void CControlDialog::ShowRemovalStatus() {
  if (driveBlocked_) {
    SetStatus(removed_ ? texts::k117SafelyRemoved : texts::k118Removing);
  } else {
    SetStatus(removed_ ? texts::k113Insert : texts::k119ClickRemove);
  }
}

void CControlDialog::OnAdd() {
  const WhitelistTab tab = CurrentTab();
  const QString input =
      tab == WhitelistTab::kUsers ? ui_->userName->text() : ui_->deviceField->text();
  if (input.isEmpty()) {
    ShowListMessage(tab == WhitelistTab::kUsers ? "Please enter the User Name"
                                                : "Please Plug a flash drive into your USB port");
    return;
  }
  // "," separates entries and ";" the lists on the wire: an entry holding one would split.
  if (input.contains(QLatin1Char(',')) || input.contains(QLatin1Char(';'))) {
    ShowListMessage("A whitelist entry cannot contain ',' or ';'");
    return;
  }
  std::vector<std::string>& list = ListOf(tab);
  // The entries list shows exactly the working list of the tab.
  if (std::any_of(list.begin(), list.end(),
                  [&](const std::string& e) { return SameNoCase(input, e); })) {
    ShowListMessage(tab == WhitelistTab::kUsers ? "User already present in Whitelist"
                                                : "Device details already present in White List");
    return;
  }
  const std::string entry = input.toStdString();
  if (Joined(list).size() + (list.empty() ? 0 : 1) + entry.size() > kLargestWhiteList) {
    ShowListMessage("The Whitelist is full: a client keeps at most 299 characters of each list");
    return;
  }
  ui_->entries->insertItem(0, input);
  list.insert(list.begin(), entry);
  switch (tab) {
    case WhitelistTab::kUsers:
      SetStatus(texts::k114UserAdded);
      ShowListMessage("User is added to Whitelist");
      ui_->userName->clear();
      SetStatus(texts::k112EnterUser);
      break;
    case WhitelistTab::kDevices:
      entryCaptured_ = true;
      SetStatus(texts::k115DeviceAdded);
      ShowListMessage("Device details are added to Whitelist");
      ShowRemovalStatus();
      break;
    case WhitelistTab::kMakes:
      entryCaptured_ = true;
      SetStatus(texts::k116MakeAdded);
      ShowListMessage("Device Make is added to Whitelist");
      ShowRemovalStatus();
      break;
  }
  ui_->entries->setCurrentRow(0);
}

void CControlDialog::OnRemove() {
  if (ui_->entries->count() == 0) {
    ShowListMessage("Sorry! List is empty.");
    return;
  }
  const int row = ui_->entries->currentRow();
  if (row < 0) return;
  const QString text = ui_->entries->item(row)->text();
  std::vector<std::string>& list = ListOf(CurrentTab());
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const std::string& e) { return QString::fromStdString(e) == text; });
  if (it != list.end()) list.erase(it);
  ShowEntries();  // the entries list mirrors the working list
  switch (CurrentTab()) {
    case WhitelistTab::kUsers:
      ShowListMessage("User is removed from Whitelist");
      break;
    case WhitelistTab::kDevices:
      ShowListMessage("Device details are removed from Whitelist");
      break;
    case WhitelistTab::kMakes:
      ShowListMessage("Device Make is removed from Whitelist");
      break;
  }
}

std::string CControlDialog::ApplyFrame() const {
  return protocol::BuildSwhFrame(
      protocol::WhiteLists{Joined(users_), Joined(devices_), Joined(makes_)});
}

void CControlDialog::OnApply() {
  if (!ui_->apply->isEnabled()) return;
  const auto target = SelectTarget(kInvalidClientNameText, true);
  if (!target) return;
  // Lists received from a client can be longer than a client keeps; the client would cut them
  // without a word, so say so and keep the edits.
  const std::pair<const std::vector<std::string>*, const char*> lists[] = {
      {&users_, "user"}, {&devices_, "device"}, {&makes_, "device make"}};
  for (const auto& [list, name] : lists) {
    if (Joined(*list).size() > kLargestWhiteList) {
      ShowServerMessage(QStringLiteral("The %1 list is longer than the 299 characters a client "
                                       "keeps: remove some entries")
                            .arg(QLatin1String(name))
                            .toStdString());
      return;
    }
  }
  ExchangeRequest request{target->target, ExchangePhase::kApply, target->resolveByName,
                          ExchangeKind::kWhiteLists, ApplyFrame()};
  if (!Succeeded(RunExchange(request))) ShowServerMessage(kErrorConnectingText);
  platform::Trace("bStopServer = true in OnOK");
  CloseNotices();
  platform::Trace("after Onok");
  // Nobody receives notices once the dialog is gone.
  WriteServerState(0);
  closed_ = true;
  accept();
}

void CControlDialog::reject() {
  CloseNotices();
  if (!closed_) WriteServerState(0);
  closed_ = true;
  CClientDialog::reject();
}

void CControlDialog::OnNotice(const std::string& text) {
  if (text.empty()) return;  // taken already with an earlier post
  const protocol::WhiteListNotice notice = protocol::ParseWhiteListNotice(text);
  if (notice.unmount) {
    removed_ = true;
    if (entryCaptured_) SetStatus(texts::k117SafelyRemoved);
    return;
  }
  removed_ = false;
  // Drive indexes are letters A to Z; anything else is a drive being blocked.
  driveIndex_ = notice.driveIndex >= 0 && notice.driveIndex <= 25 ? notice.driveIndex : 0;
  if (driveIndex_ != 0) {
    ui_->safeRemove->setEnabled(true);
    drivePresent_ = true;
    driveBlocked_ = false;
  } else {
    driveBlocked_ = true;
    ui_->safeRemove->setEnabled(false);
    SetStatus(texts::k118Removing);
  }
  capturedDevice_.assign(notice.deviceText);
  capturedMake_.assign(notice.make);
  entryCaptured_ = false;
  if (CurrentTab() == WhitelistTab::kDevices) {
    ShowInDeviceField(capturedDevice_);
    SetStatus(texts::k198AddDevice);
  } else if (CurrentTab() == WhitelistTab::kMakes) {
    ShowInDeviceField(capturedMake_);
    SetStatus(texts::k199AddMake);
  }
}

void CControlDialog::OnSafelyRemove() {
  if (!drivePresent_) return;
  SetStatus("Please wait,removing device...");
  if (options_.ejectDrive(driveIndex_)) {
    SetStatus(texts::k117SafelyRemoved);
    ui_->safeRemove->setEnabled(false);
    drivePresent_ = false;
    removed_ = true;
    ShowListMessage(texts::k117SafelyRemoved);
    SetStatus(entryCaptured_ ? texts::k113Insert : texts::k120AddMakeOrInsert);
  } else {
    SetStatus("Unable to remove device safely.");
    removed_ = false;
  }
}

}  // namespace uv::server
