#include "client/agent/extensions/AgentExtensions.h"

#include "client/agent/dialog/CNewOrmClientDlg.h"
#include "client/agent/settings/CClientSettings.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/session/IdleTimeScale.h"
#include "platform/trace/Trace.h"

namespace uv::agent {

namespace {

std::optional<std::string> ReadAllowedConsoles(CClientSettings& settings) {
  auto registry = settings.Machine().OpenRegistry();
  if (!registry) return std::nullopt;
  auto key = platform::RegKey::Open(**registry, kClientSettingsKey);
  if (!key) return std::nullopt;
  return CAllowedConsoles::ReadValue(*key);
}

}  // namespace

void CDialogCommandHandler::SetBlockUsb(bool block) {
  settings_.SetBlockUsb(block);
}
void CDialogCommandHandler::SetIdleMinutes(int minutes) {
  settings_.SetIdleMinutes(minutes);
}
void CDialogCommandHandler::SetSendOfflineMsg(bool on) {
  settings_.SetSendOfflineMsg(on);
}
void CDialogCommandHandler::SetWhiteLists(const protocol::WhiteLists& lists) {
  settings_.SetWhiteLists(lists);
}
bool CDialogCommandHandler::IsUsbBlocked() {
  CNewOrmClientDlg* dialog = dialog_.load();
  return dialog != nullptr ? dialog->RefreshBlockPolicy() != 0 : settings_.IsUsbBlocked();
}
bool CDialogCommandHandler::IsSendOfflineMsgOn() {
  return settings_.IsSendOfflineMsgOn();
}
std::optional<int> CDialogCommandHandler::IdleMinutes() {
  return settings_.IdleMinutes();
}
std::optional<protocol::WhiteLists> CDialogCommandHandler::ReadWhiteLists() {
  return settings_.ReadWhiteLists();
}
bool CDialogCommandHandler::Stopping() {
  return settings_.Stopping();
}

CommandListenerOptions CCommandListenerExtension::DefaultOptions() {
  CommandListenerOptions options;
  options.port = CommandPort();
  return options;
}

CCommandListenerExtension::CCommandListenerExtension(CClientSettings& settings,
                                                     CommandListenerOptions options)
    : settings_(settings),
      handler_(settings),
      gate_(settings.Machine(), [this] { return ReadAllowedConsoles(settings_); }),
      listener_(settings.Machine(), handler_, &gate_, options) {}

void CCommandListenerExtension::Start(CNewOrmClientDlg& dialog) {
  handler_.SetDialog(&dialog);
  // A port that cannot be had leaves the agent without a command listener; nothing is shown.
  if (listener_.Start() != platform::kErrorSuccess) {
    platform::Trace("Command listener not started");
  }
}

void CCommandListenerExtension::Stop() {
  listener_.Stop();
}

CSaveEnergyExtension::CSaveEnergyExtension(CClientSettings& settings, ReportText report)
    : settings_(settings),
      report_(std::move(report)),
      detector_(settings.Machine()),
      saveEnergy_(*this, *this, &detector_, platform::MinuteLength()) {}

void CSaveEnergyExtension::Start(CNewOrmClientDlg& dialog) {
  dialog_ = &dialog;
  window_ = dialog.WindowHandle();
  (void)saveEnergy_.Start();
}

// The dialog's loop has ended: a callback blocked in its send is released at once, so the
// detector's thread can be joined.
void CSaveEnergyExtension::Stop() {
  detector_.End();
}

bool CSaveEnergyExtension::OnMessage(const platform::WindowMessage& message,
                                     std::intptr_t& result) {
  if (message.message == CSaveEnergy::kIdleMessage) {
    saveEnergy_.OnIdleMessage(message.wParam);
    result = 0;
    return true;
  }
  if (message.message == platform::kWmTimer && message.wParam == CSaveEnergy::kTimerId) {
    saveEnergy_.OnSaveEnergyTimer(message.wParam);
    result = 0;
    return true;
  }
  return false;
}

void CSaveEnergyExtension::ReportEventText(const std::string& text) {
  if (dialog_ != nullptr && report_) report_(*dialog_, text);
}

platform::WinError CSaveEnergyExtension::SetTimer(std::uintptr_t id,
                                                  std::chrono::milliseconds period) {
  if (dialog_ == nullptr || dialog_->Window() == nullptr) return platform::kErrorInvalidHandle;
  return dialog_->Window()->SetTimer(id, period);
}

platform::WinError CSaveEnergyExtension::KillTimer(std::uintptr_t id) {
  if (dialog_ == nullptr || dialog_->Window() == nullptr) return platform::kErrorInvalidHandle;
  return dialog_->Window()->KillTimer(id);
}

void CSaveEnergyExtension::SendIdleMessage(std::uintptr_t state) {
  (void)window_.Send(CSaveEnergy::kIdleMessage, state);
}

std::optional<std::uint32_t> CSaveEnergyExtension::ReadIdleTime() {
  return settings_.Dword("SystemIdleTime");
}

bool CSaveEnergyExtension::WriteIdleTime(std::uint32_t minutes) {
  if (!settings_.KeyExists()) return false;
  settings_.SetIdleMinutes(static_cast<int>(minutes));
  return settings_.Dword("SystemIdleTime") == minutes;
}

}  // namespace uv::agent
