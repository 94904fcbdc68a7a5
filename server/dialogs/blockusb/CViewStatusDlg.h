#pragma once
// "USB Vantrel! Active Client USB Satus": asks every known client whether its USB storage is
// blocked, once, when the dialog opens; each answer goes in at the top, so the list shows the
// clients in reverse order. An unreachable or silent client gets a message box and no row.
//
// Thread affinity: UI thread.

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "server/dialogs/exchange/CommandExchange.h"

class QTreeWidget;

namespace Ui {
class ViewStatusDlg;
}

namespace uv::server {

class CViewStatusDlg : public QDialog {
  Q_OBJECT

 public:
  CViewStatusDlg(CommandExchange& exchange, std::vector<std::string> knownClients,
                 QWidget* parent = nullptr);
  ~CViewStatusDlg() override;

  // Runs the exchanges and fills the list (done once, when the dialog first shows).
  void CollectRows();
  QTreeWidget* List() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  CommandExchange& exchange_;
  std::vector<std::string> knownClients_;
  std::unique_ptr<Ui::ViewStatusDlg> ui_;
  bool collected_ = false;
};

}  // namespace uv::server
