#include "server/dialogs/saveenergy/CSaveEnergyDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "server/dialogs/client/ClientTexts.h"
#include "ui_SaveEnergyDlg.h"

namespace uv::server {

int SaveEnergyIndexOf(int minutes) {
  for (std::size_t i = 0; i + 1 < kSaveEnergyTimes.size(); ++i) {
    if (kSaveEnergyTimes[i].minutes == minutes) return static_cast<int>(i);
  }
  return static_cast<int>(kSaveEnergyTimes.size()) - 1;
}

int SaveEnergyMinutesOf(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= kSaveEnergyTimes.size()) return 0;
  return kSaveEnergyTimes[static_cast<std::size_t>(index)].minutes;
}

CSaveEnergyDlg::CSaveEnergyDlg(CommandExchange& exchange, std::vector<std::string> knownClients,
                               QWidget* parent)
    : CClientDialog(exchange, std::move(knownClients), parent),
      ui_(std::make_unique<Ui::SaveEnergyDlg>()) {
  ui_->setupUi(this);
  InitClientDialog();
  for (const SaveEnergyTime& time : kSaveEnergyTimes) {
    ui_->timeList->addItem(
        QString::fromLatin1(time.text.data(), static_cast<qsizetype>(time.text.size())));
  }
  ui_->timeList->setCurrentIndex(-1);
  ui_->timeLabel->setEnabled(false);
  ui_->timeList->setEnabled(false);
  connect(ui_->getStatus, &QPushButton::clicked, this, &CSaveEnergyDlg::OnGetStatus);
  connect(ui_->apply, &QPushButton::clicked, this, &CSaveEnergyDlg::OnApply);
}

CSaveEnergyDlg::~CSaveEnergyDlg() = default;

int CSaveEnergyDlg::SelectedIndex() const {
  return ui_->timeList->currentIndex();
}

void CSaveEnergyDlg::OnTargetModeChanged(TargetMode /*mode*/) {
  ui_->timeLabel->setEnabled(false);
  ui_->timeList->setEnabled(false);
  SetStatus(texts::k107Enter);
}

void CSaveEnergyDlg::OnGetStatus() {
  if (!QueryStatus(ExchangeKind::kSaveEnergyTime)) return;
  SetStatus(texts::k106SaveEnergyKnown);
  OnIdleTime(Holders().idleMinutes);
}

void CSaveEnergyDlg::OnIdleTime(int minutes) {
  ui_->timeLabel->setEnabled(true);
  ui_->timeList->setEnabled(true);
  ui_->getStatus->setEnabled(true);
  ui_->timeList->setCurrentIndex(SaveEnergyIndexOf(minutes));
}

void CSaveEnergyDlg::OnApply() {
  SetStatus(texts::k105Connecting);
  const auto target = SelectTarget(kInvalidClientNameText, true);
  if (!target) return;
  ExchangeRequest request{target->target, ExchangePhase::kApply, target->resolveByName,
                          ExchangeKind::kSaveEnergyTime,
                          protocol::BuildSitFrame(SaveEnergyMinutesOf(SelectedIndex()))};
  if (Succeeded(RunExchange(request))) {
    SetStatus(texts::k108Applied);
  } else {
    ShowServerMessage(kErrorConnectingText);
    SetStatus(texts::k107Enter);
  }
}

}  // namespace uv::server
