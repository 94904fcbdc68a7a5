#include "server/dialogs/blockusb/CBlockUSBDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "server/dialogs/blockusb/CViewStatusDlg.h"
#include "server/dialogs/client/ClientTexts.h"
#include "server/dialogs/whitelist/CControlDialog.h"
#include "ui_BlockUSBDlg.h"

namespace uv::server {

CBlockUSBDlg::CBlockUSBDlg(platform::Machine& machine, CommandExchange& exchange,
                           std::vector<std::string> knownClients, QWidget* parent)
    : CClientDialog(exchange, std::move(knownClients), parent),
      machine_(machine),
      ui_(std::make_unique<Ui::BlockUSBDlg>()) {
  ui_->setupUi(this);
  InitClientDialog();
  connect(ui_->blockRadio, &QRadioButton::clicked, this, [this] { blockChoice_ = 0; });
  connect(ui_->unblockRadio, &QRadioButton::clicked, this, [this] { blockChoice_ = 1; });
  connect(ui_->getStatus, &QPushButton::clicked, this, &CBlockUSBDlg::OnGetStatus);
  connect(ui_->apply, &QPushButton::clicked, this, &CBlockUSBDlg::OnApply);
  connect(ui_->viewStatus, &QPushButton::clicked, this, &CBlockUSBDlg::OnViewStatus);
  connect(ui_->whitelist, &QPushButton::clicked, this, &CBlockUSBDlg::OnWhitelist);
  // Initialisation.
  ui_->blockRadio->setEnabled(false);
  ui_->unblockRadio->setEnabled(false);
  statusViewOpen_ = false;
  whitelistOpen_ = false;
  ShowChoice();
}

CBlockUSBDlg::~CBlockUSBDlg() = default;

void CBlockUSBDlg::ShowChoice() {
  ui_->blockRadio->setChecked(blockChoice_ == 0);
  ui_->unblockRadio->setChecked(blockChoice_ != 0);
}

void CBlockUSBDlg::OnTargetModeChanged(TargetMode /*mode*/) {
  ui_->blockRadio->setEnabled(false);
  ui_->unblockRadio->setEnabled(false);
  SetStatus(texts::k107Enter);
  ui_->whitelist->setEnabled(false);
  ui_->apply->setEnabled(false);
}

void CBlockUSBDlg::OnGetStatus() {
  SetStatus(texts::k105Connecting);
  const auto target = SelectTarget(kInvalidServerNameText, false);
  if (!target) return;
  ui_->getStatus->setEnabled(false);
  queriedName_ = ui_->machineName->text();
  ExchangeRequest request{
      target->target, ExchangePhase::kQuery, target->resolveByName, ExchangeKind::kBlockState, {}};
  if (!Succeeded(RunExchange(request))) {
    ui_->getStatus->setEnabled(true);
    ShowServerMessage(kErrorConnectingText);
    SetStatus(texts::k107Enter);
    return;
  }
  blockChoice_ = Holders().unblocked != 0 ? 1 : 0;
  Holders().unblocked = 0;
  ui_->getStatus->setEnabled(true);
  SetStatus(texts::k110BlockKnown);
  ui_->whitelist->setEnabled(true);
  ui_->apply->setEnabled(true);
  ui_->blockRadio->setEnabled(true);
  ui_->unblockRadio->setEnabled(true);
  ShowChoice();
}

void CBlockUSBDlg::OnApply() {
  SetStatus(texts::k105Connecting);
  // The IP address and the active client are read afresh, the name is the queried one.
  const QString typed = ui_->machineName->text();
  if (mode_ == TargetMode::kMachineName && !queriedName_.isEmpty()) {
    ui_->machineName->setText(queriedName_);
  }
  const auto target = SelectTarget(kInvalidServerNameText, false);
  ui_->machineName->setText(typed);
  if (!target) return;
  ExchangeRequest request{target->target, ExchangePhase::kApply, target->resolveByName,
                          ExchangeKind::kBlockState, protocol::BuildSetFrame(blockChoice_ == 0)};
  if (Succeeded(RunExchange(request))) {
    SetStatus(texts::k108Applied);
  } else {
    ShowServerMessage(kErrorConnectingText);
    ui_->getStatus->setEnabled(true);
    SetStatus(texts::k107Enter);
  }
}

void CBlockUSBDlg::OnViewStatus() {
  CViewStatusDlg view(exchange_, knownClients_, this);
  statusView_ = &view;
  statusViewOpen_ = true;
  view.exec();
  statusViewOpen_ = false;
  statusView_ = nullptr;
}

void CBlockUSBDlg::OnWhitelist() {
  CControlDialog whitelist(machine_, exchange_, knownClients_, this);
  whitelist_ = &whitelist;
  whitelistOpen_ = true;
  whitelist.exec();
  whitelistOpen_ = false;
  whitelist_ = nullptr;
}

void CBlockUSBDlg::reject() {
  if (statusViewOpen_ && statusView_) statusView_->reject();
  if (whitelistOpen_ && whitelist_) whitelist_->reject();
  CClientDialog::reject();
}

}  // namespace uv::server
