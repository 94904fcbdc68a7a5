#pragma once
// The two parts of the agent that the hidden dialog hosts as extensions: the command listener
// (started after the start-up scan) and Save-Energy idle detection (started after it). The
// program makes one of each and hands them to the dialog (SetCommandListener /
// SetIdleDetection) before it runs.
//
// Thread affinity: Start, Stop and OnMessage on the dialog's thread (IDialogExtension).

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/agent/dialog/IDialogExtension.h"
#include "client/agent/listener/CAllowedConsoles.h"
#include "client/agent/listener/CCommandListener.h"
#include "client/agent/saveenergy/CSaveEnergy.h"
#include "platform/session/IdleDetector.h"
#include "protocol/CommandFrame.h"

namespace uv::agent {

class CClientSettings;

// The listener on the command port, answering through the settings module, behind the
// "AllowedConsoles" gate of the settings key.
// The settings module answers every command word; GET goes through the dialog's CheckBlockUSB
// (RefreshBlockPolicy) while the dialog runs, so its BlockPolicy follows the console's query.
class CDialogCommandHandler final : public protocol::ICommandHandler {
 public:
  explicit CDialogCommandHandler(CClientSettings& settings) : settings_(settings) {}
  void SetDialog(CNewOrmClientDlg* dialog) { dialog_.store(dialog); }

  void SetBlockUsb(bool block) override;
  void SetIdleMinutes(int minutes) override;
  void SetSendOfflineMsg(bool on) override;
  void SetWhiteLists(const protocol::WhiteLists& lists) override;
  bool IsUsbBlocked() override;
  bool IsSendOfflineMsgOn() override;
  std::optional<int> IdleMinutes() override;
  std::optional<protocol::WhiteLists> ReadWhiteLists() override;
  bool Stopping() override;

 private:
  CClientSettings& settings_;
  std::atomic<CNewOrmClientDlg*> dialog_{nullptr};
};

class CCommandListenerExtension final : public IDialogExtension {
 public:
  explicit CCommandListenerExtension(CClientSettings& settings,
                                     CommandListenerOptions options = DefaultOptions());
  static CommandListenerOptions DefaultOptions();

  void Start(CNewOrmClientDlg& dialog) override;
  void Stop() override;
  CCommandListener& Listener() { return listener_; }

 private:
  CClientSettings& settings_;
  CDialogCommandHandler handler_;
  CAllowedConsoles gate_;
  CCommandListener listener_;
};

// Save-Energy: the idle detector of the computer and the reports on the dialog's thread.
// `report` sets the dialog's EventText and calls FormatDetails.
class CSaveEnergyExtension final : public IDialogExtension,
                                   private ISaveEnergyDialog,
                                   private IIdleTimeSetting {
 public:
  using ReportText = std::function<void(CNewOrmClientDlg&, const std::string&)>;
  CSaveEnergyExtension(CClientSettings& settings, ReportText report);

  void Start(CNewOrmClientDlg& dialog) override;
  void Stop() override;
  bool OnMessage(const platform::WindowMessage& message, std::intptr_t& result) override;
  CSaveEnergy& SaveEnergy() { return saveEnergy_; }

 private:
  // ISaveEnergyDialog
  void ReportEventText(const std::string& text) override;
  platform::WinError SetTimer(std::uintptr_t id, std::chrono::milliseconds period) override;
  platform::WinError KillTimer(std::uintptr_t id) override;
  void SendIdleMessage(std::uintptr_t state) override;
  // IIdleTimeSetting
  std::optional<std::uint32_t> ReadIdleTime() override;
  bool WriteIdleTime(std::uint32_t minutes) override;

  CClientSettings& settings_;
  ReportText report_;
  platform::IdleDetector detector_;
  CSaveEnergy saveEnergy_;
  CNewOrmClientDlg* dialog_ = nullptr;
  platform::MessageWindow::Handle window_;
};

}  // namespace uv::agent
