#include "server/dialogs/offlinemsg/COfflineMsgLogDlg.h"

#include <QCheckBox>
#include <QPushButton>

#include "server/dialogs/client/ClientTexts.h"
#include "ui_OfflineMsgLogDlg.h"

namespace uv::server {

COfflineMsgLogDlg::COfflineMsgLogDlg(CommandExchange& exchange,
                                     std::vector<std::string> knownClients, QWidget* parent)
    : CClientDialog(exchange, std::move(knownClients), parent),
      ui_(std::make_unique<Ui::OfflineMsgLogDlg>()) {
  ui_->setupUi(this);
  InitClientDialog();
  ui_->offlineCheck->setChecked(false);
  ui_->offlineCheck->setEnabled(false);
  connect(ui_->getStatus, &QPushButton::clicked, this, &COfflineMsgLogDlg::OnGetStatus);
  connect(ui_->apply, &QPushButton::clicked, this, &COfflineMsgLogDlg::OnApply);
}

COfflineMsgLogDlg::~COfflineMsgLogDlg() = default;

int COfflineMsgLogDlg::OfflineSwitch() const {
  return ui_->offlineCheck->isChecked() ? 1 : 0;
}

void COfflineMsgLogDlg::OnTargetModeChanged(TargetMode /*mode*/) {
  ui_->offlineCheck->setEnabled(false);
  SetStatus(texts::k107Enter);
}

void COfflineMsgLogDlg::OnGetStatus() {
  if (!QueryStatus(ExchangeKind::kOfflineMessage)) return;
  SetStatus(texts::k121OfflineKnown);
  OnOfflineSwitch(Holders().offlineSwitch);
}

void COfflineMsgLogDlg::OnOfflineSwitch(long value) {
  ui_->offlineCheck->setEnabled(true);
  ui_->getStatus->setEnabled(true);
  ui_->offlineCheck->setChecked((value & 0xFFFF) == 1);
}

void COfflineMsgLogDlg::OnApply() {
  SetStatus(texts::k105Connecting);
  const auto target = SelectTarget(kInvalidClientNameText, true);
  if (!target) return;
  ExchangeRequest request{target->target, ExchangePhase::kApply, target->resolveByName,
                          ExchangeKind::kOfflineMessage,
                          protocol::BuildSomFrame(OfflineSwitch() == 1)};
  if (Succeeded(RunExchange(request))) {
    SetStatus(texts::k108Applied);
  } else {
    ShowServerMessage(kErrorConnectingText);
    SetStatus(texts::k107Enter);
  }
}

}  // namespace uv::server
