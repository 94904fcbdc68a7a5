#pragma once
// "USB Vantrel! Whitelist": reads a client's three whitelists (users, devices, makes), edits them
// on three tabs and sends them back with "Apply", which also closes the dialog. Devices and makes
// are not typed: the agent on this computer reports a stick plugged in here with a notice on the
// notice port, and the dialog offers its device text and make, and to eject it safely.
//
// While the dialog is open `ServerState` is 1 in the console's settings key, which tells the
// agent on this computer to send notices; closing (by Apply or by cancel) writes 0.
//
// "Apply" stays off until a Get Status has delivered the client's lists (and off again while a
// new Get Status runs or after one failed), so one click cannot replace them with empty ones.
//
// Thread affinity: UI thread; the notice listener thread only posts to it.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/dialogs/client/CClientDialog.h"
#include "server/dialogs/whitelist/NoticeListener.h"

namespace Ui {
class ControlDialog;
}

namespace uv::platform {
class Machine;
}

class QTabBar;
class QListWidget;

namespace uv::server {

enum class WhitelistTab { kUsers = 0, kDevices = 1, kMakes = 2 };

// The longest list text (entries joined with ",") a client keeps: it copies each list through a
// 300-byte buffer, so a longer list would lose its last entries there without a word. Adding
// stops at it, and lists received longer than it are not sent back until entries are removed.
inline constexpr std::size_t kLargestWhiteList = 299;

struct ControlDialogOptions {
  std::uint16_t noticePort = 5555;
  // Whether the client program runs on this computer; default: the process snapshot check.
  std::function<bool()> clientRunning;
  // Ejects the stick of a drive index; default: the console's EjectDrive on this machine.
  std::function<bool(int driveIndex)> ejectDrive;
};

class CControlDialog : public CClientDialog {
  Q_OBJECT

 public:
  CControlDialog(platform::Machine& machine, CommandExchange& exchange,
                 std::vector<std::string> knownClients, QWidget* parent = nullptr,
                 ControlDialogOptions options = {});
  ~CControlDialog() override;

  // The working lists.
  const std::vector<std::string>& Users() const { return users_; }
  const std::vector<std::string>& Devices() const { return devices_; }
  const std::vector<std::string>& Makes() const { return makes_; }
  WhitelistTab CurrentTab() const;
  QTabBar* Tabs() const;
  QListWidget* Entries() const;
  bool NoticeListenerRunning() const { return listener_.Running(); }
  bool DrivePresent() const { return drivePresent_; }
  int DriveIndex() const { return driveIndex_; }
  // The SWH frame Apply would send now.
  std::string ApplyFrame() const;

 signals:
  // A notice came in (emitted on the listener's thread, handled queued on the UI thread).
  void noticeArrived(QPrivateSignal);

 public slots:
  void OnGetStatus();            // 1008
  void OnApply();                // 1046
  void OnAdd();                  // 1090
  void OnRemove();               // 1127
  void OnSafelyRemove();         // 1089
  void OnTabChanged(int index);  // 1002
  void OnListsReceived(const std::string& listText);
  void OnNotice(const std::string& text);
  void reject() override;  // cancel

 protected:
  void OnTargetModeChanged(TargetMode mode) override;

 private:
  void OnInitDialog();
  void CloseNotices();
  void WriteServerState(std::uint32_t value);
  std::vector<std::string>& ListOf(WhitelistTab tab);
  void ShowEntries();
  void SetWhitelistControlsEnabled(bool enabled);
  void ShowRemovalStatus();
  void ShowListMessage(const char* text);
  void ShowInDeviceField(const std::string& text);

  platform::Machine& machine_;
  ControlDialogOptions options_;
  std::unique_ptr<Ui::ControlDialog> ui_;
  NoticeListener listener_;
  std::vector<std::string> users_, devices_, makes_;
  std::string capturedDevice_, capturedMake_;
  int driveIndex_ = 0;
  bool drivePresent_ = false;
  bool entryCaptured_ = false;
  bool removed_ = false;
  bool driveBlocked_ = false;
  bool closed_ = false;
};

}  // namespace uv::server
