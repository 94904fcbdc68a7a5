#pragma once
// The base of the client-settings dialogs: the three target options with their inputs (IP
// address control, machine name, active clients), the status line, the known client addresses,
// and the exchange run from the dialog. Subclasses load their template (whose shared controls
// carry the same object names in every dialog) and call InitClientDialog().
//
// Every control carries its dialog identifier ("controlId"); Control(id) finds it.
//
// Thread affinity: UI thread.

#include <QDialog>
#include <string>
#include <string_view>
#include <vector>

#include "server/dialogs/exchange/ClientTarget.h"
#include "server/dialogs/exchange/CommandExchange.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace uv::server {

class CIPAddressCtrl;

class CClientDialog : public QDialog {
  Q_OBJECT

 public:
  CClientDialog(CommandExchange& exchange, std::vector<std::string> knownClients,
                QWidget* parent = nullptr);

  QWidget* Control(int controlId) const;
  TargetMode Mode() const { return mode_; }
  const std::vector<std::string>& KnownClients() const { return knownClients_; }
  QString StatusText() const;

 protected:
  // Finds the shared controls by their object names, wires the target options and sets the
  // start state: IP address 192.168.1.1, empty name, IP option chosen.
  void InitClientDialog();

  // Chooses a target option: the matching input on, the other two off, the active clients box
  // refilled for that option; then OnTargetModeChanged.
  void SetTargetMode(TargetMode mode);
  virtual void OnTargetModeChanged(TargetMode mode) = 0;

  TargetInput ReadTargetInput() const;
  // The target of the current option, or its message box (title "USB Vantrel! Server") and none.
  std::optional<TargetChoice> SelectTarget(std::string_view invalidNameText,
                                           bool refuseEmptyActiveList);
  // The exchange, waited for in a local event loop.
  ExchangeStatus RunExchange(const ExchangeRequest& request);
  ExchangeHolders& Holders() { return exchange_.Holders(); }
  // Get Status of a dialog that reads one value of `kind`: the target chosen, the query exchanged
  // with "Get Status" off; a failed exchange brings the button back with the connection message.
  // True when the value is in Holders().
  bool QueryStatus(ExchangeKind kind);

  void SetStatus(const char* text);
  void ShowServerMessage(std::string_view text);

  CommandExchange& exchange_;
  std::vector<std::string> knownClients_;
  TargetMode mode_ = TargetMode::kIpAddress;
  // Owned through the Qt parent.
  QRadioButton* ipRadio_ = nullptr;
  QRadioButton* nameRadio_ = nullptr;
  QRadioButton* activeRadio_ = nullptr;
  CIPAddressCtrl* ipAddress_ = nullptr;
  QLineEdit* machineName_ = nullptr;
  QComboBox* activeClients_ = nullptr;
  QPushButton* getStatus_ = nullptr;
  QPushButton* apply_ = nullptr;
  QLabel* statusLine_ = nullptr;
};

}  // namespace uv::server
