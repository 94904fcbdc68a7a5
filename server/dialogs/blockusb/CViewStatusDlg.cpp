#include "server/dialogs/blockusb/CViewStatusDlg.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "gui/common/MessageBoxes.h"
#include "server/dialogs/client/ExchangeRunner.h"
#include "server/dialogs/exchange/ClientTarget.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "ui_ViewStatusDlg.h"

namespace uv::server {

CViewStatusDlg::CViewStatusDlg(CommandExchange& exchange, std::vector<std::string> knownClients,
                               QWidget* parent)
    : QDialog(parent),
      exchange_(exchange),
      knownClients_(std::move(knownClients)),
      ui_(std::make_unique<Ui::ViewStatusDlg>()) {
  ui_->setupUi(this);
  // Widths of the design (180 and 130), but never narrower than the caption's text.
  const QFontMetrics metrics = ui_->statusList->header()->fontMetrics();
  const std::array<int, 2> widths{180, 130};
  for (int column = 0; column < 2; ++column) {
    const int text = metrics.horizontalAdvance(ui_->statusList->headerItem()->text(column)) + 24;
    ui_->statusList->setColumnWidth(column,
                                    std::max(widths[static_cast<std::size_t>(column)], text));
  }
  ui_->statusList->setMinimumWidth(ui_->statusList->columnWidth(0) +
                                   ui_->statusList->columnWidth(1) +
                                   2 * ui_->statusList->frameWidth() + 4);
  ui_->statusList->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(ui_->okButton, &QPushButton::clicked, this, &QDialog::accept);
}

CViewStatusDlg::~CViewStatusDlg() = default;

QTreeWidget* CViewStatusDlg::List() const {
  return ui_->statusList;
}

void CViewStatusDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!collected_) QTimer::singleShot(0, this, &CViewStatusDlg::CollectRows);
}

void CViewStatusDlg::CollectRows() {
  if (collected_) return;
  collected_ = true;
  for (const std::string& client : knownClients_) {
    ExchangeRequest request;
    request.target = client;
    request.phase = ExchangePhase::kQuery;
    request.resolveByName = 0;
    request.kind = ExchangeKind::kUsbStatusRow;
    // A client whose answer is no GET reply shows as blocked, not as the client before it.
    exchange_.Holders().unblocked = 0;
    const ExchangeStatus status = RunExchangeWaiting(exchange_, request, this);
    if (!Succeeded(status)) {
      ShowMessageBox(this, QString::fromUtf8(kErrorConnectingText.data()),
                     QString::fromLatin1(kServerCaption));
      continue;
    }
    auto* row = new QTreeWidgetItem(
        QStringList{QString::fromStdString(client), exchange_.Holders().unblocked != 0
                                                        ? QStringLiteral("Unblocked")
                                                        : QStringLiteral("Blocked")});
    ui_->statusList->insertTopLevelItem(0, row);  // owned by the list
  }
}

}  // namespace uv::server
