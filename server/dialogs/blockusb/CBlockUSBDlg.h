#pragma once
// "USB Vantrel! Block USB": reads a client's USB block policy ("Get Status") and sets it
// ("Apply"); opens the status view of all known clients and the whitelist dialog.
//
// States: at open "Apply" and "Whitelist" are on and the two policy options off; choosing a
// target option puts the dialog in "no status" (options, "Apply", "Whitelist" off); a successful
// Get Status moves it to "status known" (all on).
//
// Thread affinity: UI thread.

#include <QPointer>
#include <memory>

#include "server/dialogs/blockusb/CViewStatusDlg.h"
#include "server/dialogs/client/CClientDialog.h"
#include "server/dialogs/whitelist/CControlDialog.h"

namespace Ui {
class BlockUSBDlg;
}

namespace uv::platform {
class Machine;
}

namespace uv::server {

class CBlockUSBDlg : public CClientDialog {
  Q_OBJECT

 public:
  CBlockUSBDlg(platform::Machine& machine, CommandExchange& exchange,
               std::vector<std::string> knownClients, QWidget* parent = nullptr);
  ~CBlockUSBDlg() override;

  // 0 = "Block USB", 1 = "Unblock USB".
  int BlockChoice() const { return blockChoice_; }
  bool StatusViewOpen() const { return statusViewOpen_; }
  bool WhitelistOpen() const { return whitelistOpen_; }
  CViewStatusDlg* StatusView() const { return statusView_; }
  CControlDialog* Whitelist() const { return whitelist_; }

 public slots:
  void OnGetStatus();   // 1008
  void OnApply();       // 1046
  void OnViewStatus();  // 1044
  void OnWhitelist();   // 1089
  // Cancel: the open status view and whitelist dialog close first.
  void reject() override;

 protected:
  void OnTargetModeChanged(TargetMode mode) override;

 private:
  void ShowChoice();

  platform::Machine& machine_;
  std::unique_ptr<Ui::BlockUSBDlg> ui_;
  int blockChoice_ = 0;
  // Apply goes to the machine name of the last Get Status, the client whose state is shown.
  QString queriedName_;
  bool statusViewOpen_ = false;
  bool whitelistOpen_ = false;
  QPointer<CViewStatusDlg> statusView_;
  QPointer<CControlDialog> whitelist_;
};

}  // namespace uv::server
