#pragma once
// "USB Vantrel! Send Offline Message ": reads and sets whether a client keeps the events it
// cannot deliver and sends them later (GOM / SOM).
//
// Thread affinity: UI thread.

#include <memory>

#include "server/dialogs/client/CClientDialog.h"

namespace Ui {
class OfflineMsgLogDlg;
}

namespace uv::server {

class COfflineMsgLogDlg : public CClientDialog {
  Q_OBJECT

 public:
  COfflineMsgLogDlg(CommandExchange& exchange, std::vector<std::string> knownClients,
                    QWidget* parent = nullptr);
  ~COfflineMsgLogDlg() override;

  int OfflineSwitch() const;

 public slots:
  void OnGetStatus();  // 1134
  void OnApply();      // 1
  // The posted result of a query (WM_USER+11): on when the low 16 bits are 1.
  void OnOfflineSwitch(long value);
  // Enter must not send the setting: only the button does.
  void accept() override {}

 protected:
  void OnTargetModeChanged(TargetMode mode) override;

 private:
  std::unique_ptr<Ui::OfflineMsgLogDlg> ui_;
};

}  // namespace uv::server
