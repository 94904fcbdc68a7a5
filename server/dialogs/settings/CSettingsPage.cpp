#include "server/dialogs/settings/CSettingsPage.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>

#include "gui/common/MachineText.h"
#include "gui/common/MessageBoxes.h"
#include "platform/machine/Machine.h"
#include "server/dialogs/settings/CIPAddressCtrl.h"
#include "ui_SettingsPage.h"

namespace uv::server {
namespace {

std::string ToStd(const QString& text) {
  return gui::ToMachineText(text);
}
QString ToQ(const std::string& text) {
  return gui::FromMachineText(text);
}

// The picture of the product box: a drive with a plug, drawn rather than shipped.
QPixmap ProductPicture(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal u = size / 16.0;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2b, 0x5f, 0xa8));
  p.drawRoundedRect(QRectF(3 * u, 5 * u, 10 * u, 10 * u), 1.5 * u, 1.5 * u);
  p.setBrush(QColor(0xc8, 0xcc, 0xd4));
  p.drawRect(QRectF(5 * u, 1 * u, 6 * u, 4 * u));
  p.setBrush(QColor(0x40, 0x40, 0x48));
  p.drawRect(QRectF(6 * u, 2 * u, 1.5 * u, 1.5 * u));
  p.drawRect(QRectF(8.5 * u, 2 * u, 1.5 * u, 1.5 * u));
  p.setBrush(QColor(0xf0, 0xb4, 0x29));
  QPainterPath eye;
  eye.addEllipse(QPointF(8 * u, 10 * u), 3 * u, 2 * u);
  p.drawPath(eye);
  p.setBrush(QColor(0x2b, 0x5f, 0xa8));
  p.drawEllipse(QPointF(8 * u, 10 * u), 1 * u, 1 * u);
  return pixmap;
}

}  // namespace

CSettingsPage::CSettingsPage(platform::Machine& machine, ServerSettings& settings, QWidget* parent)
    : QWidget(parent),
      machine_(machine),
      settings_(settings),
      ui_(std::make_unique<Ui::SettingsPage>()) {
  ui_->setupUi(this);
  ui_->productPicture->setPixmap(ProductPicture(48));

  connect(ui_->sendMail, &QCheckBox::clicked, this, &CSettingsPage::OnSendMail);
  connect(ui_->ipAddressRadio, &QRadioButton::clicked, this, &CSettingsPage::OnIpAddressRadio);
  connect(ui_->machineNameRadio, &QRadioButton::clicked, this, &CSettingsPage::OnMachineNameRadio);
  connect(ui_->requiresAuth, &QCheckBox::clicked, this, &CSettingsPage::OnRequiresAuthentication);
  connect(ui_->enableLog, &QCheckBox::clicked, this, &CSettingsPage::OnEnableLog);
  connect(ui_->logPathBrowse, &QPushButton::clicked, this, &CSettingsPage::OnBrowseLogPath);
  connect(ui_->playSound, &QCheckBox::clicked, this, &CSettingsPage::OnPlaySound);
  connect(ui_->soundFileBrowse, &QPushButton::clicked, this, &CSettingsPage::OnBrowseSoundFile);
  connect(ui_->applyFilters, &QPushButton::clicked, this, &CSettingsPage::applyFiltersRequested);
  connect(ui_->applySettings, &QPushButton::clicked, this, [this] { OnApplySettings(); });

  mode_ = settings_.serverMode;
  UpdateControls();
}

CSettingsPage::~CSettingsPage() = default;

QWidget* CSettingsPage::Control(int controlId) const {
  if (property("controlId").toInt() == controlId) return const_cast<CSettingsPage*>(this);
  const auto children = findChildren<QWidget*>();
  for (QWidget* w : children) {
    const QVariant id = w->property("controlId");
    if (id.isValid() && id.toInt() == controlId) return w;
  }
  return nullptr;
}

std::string CSettingsPage::DefaultLogPathForPage() const {
  return DefaultLogPath(ToStd(programName_));
}

void CSettingsPage::LoadSettings() {
  settings_ = LoadServerSettings(machine_, DefaultLogPathForPage());
  mode_ = settings_.serverMode;
  UpdateControls();
}

void CSettingsPage::UpdateControls() {
  const ServerSettings& s = settings_;
  ui_->sendMail->setChecked(s.sendMail);
  ui_->mailTo->setText(ToQ(s.mailTo));
  ui_->mailFrom->setText(ToQ(s.mailFrom));
  ui_->smtpPort->setText(ToQ(s.smtpPort));
  if (s.ipBlank) {
    ui_->ipAddress->ClearAddress();
  } else {
    ui_->ipAddress->SetAddress(s.ip);
  }
  ui_->machineName->setText(ToQ(s.machineName));
  ui_->ipAddressRadio->setChecked(mode_ == kServerModeIp);
  ui_->machineNameRadio->setChecked(mode_ == kServerModeName);
  ui_->requiresAuth->setChecked(s.smtpAuth);
  ui_->userName->setText(ToQ(s.userName));
  ui_->password->setText(ToQ(s.password));
  ui_->smtpStartTls->setChecked(s.smtpStartTls);
  ui_->disableBalloon->setChecked(s.disableBalloon);
  ui_->enableLog->setChecked(s.enableLog);
  ui_->logPath->setText(ToQ(s.logFilePath));
  ui_->playSound->setChecked(s.playSound);
  ui_->soundFile->setText(ToQ(s.wavFile));
  ui_->disallowClientConfig->setChecked(s.disallowClientConfig);

  EnableMailControls(s.sendMail);
  ui_->logPath->setEnabled(s.enableLog);
  ui_->logPathBrowse->setEnabled(s.enableLog);
  ui_->soundFile->setEnabled(s.playSound);
  ui_->soundFileBrowse->setEnabled(s.playSound);
}

void CSettingsPage::EnableMailControls(bool enable) {
  for (QWidget* w : std::initializer_list<QWidget*>{
           ui_->mailToLabel, ui_->mailTo, ui_->mailFromLabel, ui_->mailFrom, ui_->smtpPortLabel,
           ui_->smtpPort, ui_->smtpServerLabel, ui_->ipAddressRadio, ui_->machineNameRadio,
           ui_->requiresAuth, ui_->smtpStartTls}) {
    w->setEnabled(enable);
  }
  if (enable) {
    ApplyModeToControls();
  } else {
    ui_->ipAddress->setEnabled(false);
    ui_->machineName->setEnabled(false);
  }
  EnableAuthControls();
}

void CSettingsPage::ApplyModeToControls() {
  ui_->ipAddress->setEnabled(mode_ == kServerModeIp);
  ui_->machineName->setEnabled(mode_ == kServerModeName);
}

void CSettingsPage::EnableAuthControls() {
  const bool on = ui_->sendMail->isChecked() && ui_->requiresAuth->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{ui_->userNameLabel, ui_->userName,
                                                    ui_->passwordLabel, ui_->password}) {
    w->setEnabled(on);
  }
}

void CSettingsPage::OnSendMail() {
  const bool on = ui_->sendMail->isChecked();
  // Mailing follows the box at once, without "Apply settings".
  settings_.sendMail = on;
  if (on && !ui_->ipAddressRadio->isChecked() && !ui_->machineNameRadio->isChecked()) {
    ui_->ipAddressRadio->setChecked(true);
    mode_ = kServerModeIp;
    ui_->ipAddress->SetAddress(192, 168, 1, 1);
  }
  EnableMailControls(on);
  if (on) ui_->mailTo->setFocus();
}

void CSettingsPage::OnIpAddressRadio() {
  mode_ = kServerModeIp;
  ui_->ipAddressRadio->setChecked(true);
  ui_->machineNameRadio->setChecked(false);
  ApplyModeToControls();
}

void CSettingsPage::OnMachineNameRadio() {
  mode_ = kServerModeName;
  ui_->machineNameRadio->setChecked(true);
  ui_->ipAddressRadio->setChecked(false);
  ApplyModeToControls();
}

void CSettingsPage::OnRequiresAuthentication() {
  EnableAuthControls();
  if (ui_->requiresAuth->isChecked()) ui_->userName->setFocus();
}

void CSettingsPage::OnEnableLog() {
  const bool on = ui_->enableLog->isChecked();
  ui_->logPath->setEnabled(on);
  ui_->logPathBrowse->setEnabled(on);
  if (on && ui_->logPath->text().isEmpty()) ui_->logPath->setText(ToQ(DefaultLogPathForPage()));
}

void CSettingsPage::OnBrowseLogPath() {
  FileDialogRequest request;
  request.save = true;
  request.title = QStringLiteral("Select log file path");
  request.directory = QDir::currentPath();
  request.fileName =
      programName_.isEmpty()
          ? QString::fromStdString(std::filesystem::path(DefaultLogPathForPage()).stem().string())
          : programName_;
  request.defaultSuffix = QStringLiteral("log");
  request.confirmOverwrite = true;
  const QString chosen = Choose(request);
  if (!chosen.isEmpty()) ui_->logPath->setText(chosen);
}

void CSettingsPage::OnPlaySound() {
  const bool on = ui_->playSound->isChecked();
  ui_->soundFile->setEnabled(on);
  ui_->soundFileBrowse->setEnabled(on);
  if (on && ui_->soundFile->text().isEmpty()) {
    ui_->soundFile->setText(ToQ(DefaultSoundFile(machine_)));
  }
}

void CSettingsPage::OnBrowseSoundFile() {
  FileDialogRequest request;
  request.save = false;
  request.title = QStringLiteral("Open");
  request.directory = QString::fromStdString(machine_.MediaDirectory().string());
  request.filter = QStringLiteral("Wave Files (*.wav)");
  request.defaultSuffix = QStringLiteral("wav");
  request.mustExist = true;
  const QString chosen = Choose(request);
  if (!chosen.isEmpty()) ui_->soundFile->setText(chosen);
}

QString CSettingsPage::Choose(const FileDialogRequest& request) {
  if (chooser_) return chooser_(request);
  QFileDialog dialog(this, request.title, request.directory, request.filter);
  if (request.save) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
    dialog.selectFile(request.fileName);
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(request.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  }
  dialog.setDefaultSuffix(request.defaultSuffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

void CSettingsPage::TakeValuesFromControls(ServerSettings& v) const {
  v.sendMail = ui_->sendMail->isChecked();
  v.mailTo = ToStd(ui_->mailTo->text());
  v.mailFrom = ToStd(ui_->mailFrom->text());
  v.smtpPort = ToStd(ui_->smtpPort->text());
  v.ipBlank = ui_->ipAddress->IsBlank();
  (void)ui_->ipAddress->GetAddress(v.ip);
  v.machineName = ToStd(ui_->machineName->text());
  v.serverMode = mode_;
  v.smtpAuth = ui_->requiresAuth->isChecked();
  v.userName = ToStd(ui_->userName->text());
  v.password = ToStd(ui_->password->text());
  v.smtpStartTls = ui_->smtpStartTls->isChecked();
  v.disableBalloon = ui_->disableBalloon->isChecked();
  v.enableLog = ui_->enableLog->isChecked();
  v.logFilePath = ToStd(ui_->logPath->text());
  v.playSound = ui_->playSound->isChecked();
  v.wavFile = ToStd(ui_->soundFile->text());
  v.disallowClientConfig = ui_->disallowClientConfig->isChecked();
}

bool CSettingsPage::OnApplySettings() {
  ServerSettings values = settings_;
  TakeValuesFromControls(values);
  if (auto error = ApplyServerSettings(machine_, values)) {
    ShowMessageBox(this, QString::fromStdString(error->message),
                   QString::fromLatin1(kServerCaption), MB_OK);
    if (QWidget* target = Control(error->controlId)) target->setFocus();
    return false;
  }
  settings_ = values;
  mode_ = settings_.serverMode;
  UpdateControls();
  emit settingsApplied();
  return true;
}

}  // namespace uv::server
