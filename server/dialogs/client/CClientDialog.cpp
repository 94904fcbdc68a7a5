#include "server/dialogs/client/CClientDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "gui/common/MessageBoxes.h"
#include "server/dialogs/client/ClientTexts.h"
#include "server/dialogs/client/ExchangeRunner.h"
#include "server/dialogs/settings/CIPAddressCtrl.h"
#include "server/dialogs/settings/ServerSettings.h"

namespace uv::server {

CClientDialog::CClientDialog(CommandExchange& exchange, std::vector<std::string> knownClients,
                             QWidget* parent)
    : QDialog(parent), exchange_(exchange), knownClients_(std::move(knownClients)) {}

QWidget* CClientDialog::Control(int controlId) const {
  for (QWidget* child : findChildren<QWidget*>()) {
    const QVariant id = child->property("controlId");
    if (id.isValid() && id.toInt() == controlId) return child;
  }
  return nullptr;
}

QString CClientDialog::StatusText() const {
  return statusLine_ != nullptr ? statusLine_->text() : QString();
}

void CClientDialog::InitClientDialog() {
  ipRadio_ = findChild<QRadioButton*>(QStringLiteral("ipRadio"));
  nameRadio_ = findChild<QRadioButton*>(QStringLiteral("nameRadio"));
  activeRadio_ = findChild<QRadioButton*>(QStringLiteral("activeRadio"));
  ipAddress_ = findChild<CIPAddressCtrl*>(QStringLiteral("ipAddress"));
  machineName_ = findChild<QLineEdit*>(QStringLiteral("machineName"));
  activeClients_ = findChild<QComboBox*>(QStringLiteral("activeClients"));
  getStatus_ = findChild<QPushButton*>(QStringLiteral("getStatus"));
  apply_ = findChild<QPushButton*>(QStringLiteral("apply"));
  statusLine_ = findChild<QLabel*>(QStringLiteral("statusLine"));
  Q_ASSERT(ipRadio_ && nameRadio_ && activeRadio_ && ipAddress_ && machineName_ && activeClients_ &&
           getStatus_ && apply_ && statusLine_);

  connect(ipRadio_, &QRadioButton::clicked, this,
          [this] { SetTargetMode(TargetMode::kIpAddress); });
  connect(nameRadio_, &QRadioButton::clicked, this,
          [this] { SetTargetMode(TargetMode::kMachineName); });
  connect(activeRadio_, &QRadioButton::clicked, this,
          [this] { SetTargetMode(TargetMode::kActiveClients); });
  if (QPushButton* cancel = findChild<QPushButton*>(QStringLiteral("cancelButton"))) {
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  }
  for (QPushButton* button : findChildren<QPushButton*>()) button->setAutoDefault(false);

  mode_ = TargetMode::kIpAddress;
  ipRadio_->setChecked(true);
  ipAddress_->SetAddress(192, 168, 1, 1);
  ipAddress_->setEnabled(true);
  machineName_->clear();
  machineName_->setEnabled(false);
  activeClients_->setEnabled(false);
}

void CClientDialog::SetTargetMode(TargetMode mode) {
  mode_ = mode;
  ipRadio_->setChecked(mode == TargetMode::kIpAddress);
  nameRadio_->setChecked(mode == TargetMode::kMachineName);
  activeRadio_->setChecked(mode == TargetMode::kActiveClients);
  ipAddress_->setEnabled(mode == TargetMode::kIpAddress);
  machineName_->setEnabled(mode == TargetMode::kMachineName);
  activeClients_->setEnabled(mode == TargetMode::kActiveClients);
  OnTargetModeChanged(mode);
  if (mode == TargetMode::kActiveClients) {
    activeClients_->clear();
    for (const std::string& client : knownClients_) {
      activeClients_->addItem(QString::fromStdString(client));
    }
    if (activeClients_->count() > 0) activeClients_->setCurrentIndex(0);
  }
}

TargetInput CClientDialog::ReadTargetInput() const {
  TargetInput input;
  input.mode = mode_;
  ipAddress_->GetAddress(input.ip);
  input.name = machineName_->text().toStdString();
  if (activeClients_->count() > 0 && activeClients_->currentIndex() >= 0) {
    input.activeEntry = activeClients_->currentText().toStdString();
  }
  return input;
}

std::optional<TargetChoice> CClientDialog::SelectTarget(std::string_view invalidNameText,
                                                        bool refuseEmptyActiveList) {
  TargetSelection selection =
      SelectClientTarget(ReadTargetInput(), invalidNameText, refuseEmptyActiveList);
  if (!selection.choice) ShowServerMessage(selection.refusal);
  return selection.choice;
}

ExchangeStatus CClientDialog::RunExchange(const ExchangeRequest& request) {
  return RunExchangeWaiting(exchange_, request, this);
}

bool CClientDialog::QueryStatus(ExchangeKind kind) {
  SetStatus(texts::k105Connecting);
  const auto target = SelectTarget(kInvalidClientNameText, true);
  if (!target) return false;
  getStatus_->setEnabled(false);
  const ExchangeRequest request{
      target->target, ExchangePhase::kQuery, target->resolveByName, kind, {}};
  if (!Succeeded(RunExchange(request))) {
    getStatus_->setEnabled(true);
    ShowServerMessage(kErrorConnectingText);
    SetStatus(texts::k107Enter);
    return false;
  }
  return true;
}

void CClientDialog::SetStatus(const char* text) {
  statusLine_->setText(QString::fromUtf8(text));
  statusLine_->setVisible(true);
  statusLine_->setEnabled(true);
}

void CClientDialog::ShowServerMessage(std::string_view text) {
  ShowMessageBox(this, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                 QString::fromLatin1(kServerCaption));
}

}  // namespace uv::server
