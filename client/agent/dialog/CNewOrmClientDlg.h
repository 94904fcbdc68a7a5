#pragma once
// The client agent's hidden dialog: where all monitoring happens. It runs modally on the service
// thread for the life of the service; its window receives the device notifications (USB device
// interfaces, volumes, handles of watched drives) and turns them into reports, blocks USB drives
// that the policy and the whitelists do not allow, and starts and stops the file watcher. It owns
// the watcher and its reporter; the command listener and idle detection are wired in as
// extensions (IDialogExtension.h).
//
// Life: DoModal() makes the window on the calling thread, runs OnInitDialog (device-interface
// registration, "ServerIP", start-up scan and "Started client" report, listener, idle detection)
// and the message loop until the dialog ends; then stops the extensions and the watcher and
// destroys the window. EndFromService() (the service's stop) and ReportSystemShutdown() are called
// on another thread: each makes its report on the dialog's own thread through a synchronous
// message, so the texts being reported are only ever touched by that thread.
//
// Thread affinity: DoModal and every On*/Check*/FormatDetails operation on the dialog's thread;
// EndFromService, ReportSystemShutdown, WindowHandle, BlockPolicy and BlockDecision from any
// thread. The settings and the reporter context must outlive the dialog.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "client/agent/dialog/IDialogExtension.h"
#include "client/agent/identification/UsbDriveIdentification.h"
#include "client/agent/reporter/CEventReporter.h"
#include "platform/pnp/DeviceTypes.h"
#include "platform/pnp/VolumeDriveResolver.h"
#include "platform/window/MessageWindow.h"

namespace uv::platform {
class DeviceNotifier;
class Machine;
}  // namespace uv::platform

namespace uv::agent {

class CClientSettings;
class CDirectoryWatcher;
class CReporterContext;
class PnpDriveNotifications;

class CNewOrmClientDlg {
 public:
  // Messages of the dialog's window.
  static constexpr std::uint32_t kWmServiceStop = platform::kWmUser + 1;     // private
  static constexpr std::uint32_t kWmSystemShutdown = platform::kWmUser + 2;  // private
  static constexpr std::uint32_t kWmCheckBlockUsb = platform::kWmUser + 3;   // private
  // Sent by the idle-detection callback; handled by the idle extension.
  static constexpr std::uint32_t kWmIdleNotify = platform::kWmUser + 100;
  // The Save-Energy timer of the idle extension.
  static constexpr std::uintptr_t kSaveEnergyTimer = 1000;
  // The dialog's end code (IDOK).
  static constexpr int kIdOk = 1;

  CNewOrmClientDlg(CClientSettings& settings, CReporterContext& context);
  ~CNewOrmClientDlg();
  CNewOrmClientDlg(const CNewOrmClientDlg&) = delete;
  CNewOrmClientDlg& operator=(const CNewOrmClientDlg&) = delete;

  // Wiring, before DoModal. Null: the step is skipped. The extensions must outlive DoModal.
  void SetCommandListener(IDialogExtension* listener) { commandListener_ = listener; }
  void SetIdleDetection(IDialogExtension* idle) { idleDetection_ = idle; }

  // Runs the dialog on the calling thread until it ends; returns the end code (kIdOk), or -1
  // when the window could not be made or run.
  int DoModal();

  // The service's stop, from another thread: on the dialog's thread, "Shutdown client - Normal
  // on " is reported (unless the system's shutdown was reported already), WhiteListDetails freed
  // and the dialog ended. Waits for that; returns false when the dialog had already ended. A stop
  // that comes before DoModal has made its window waits until the initialisation is done.
  bool EndFromService();
  // The system's shutdown, from another thread: "System-Shutdown " is reported on the dialog's
  // thread; the dialog keeps running. False when the dialog is not running.
  bool ReportSystemShutdown();

  // For the command listener's GET, from any thread: CheckBlockUSB runs on the dialog's thread
  // (it reads and writes the dialog's device record) and the refreshed BlockPolicy is returned.
  // When the dialog is not running, the policy is read from the settings alone.
  std::uint8_t RefreshBlockPolicy();

  // The dialog's window while DoModal runs (invalid before and after), for the extensions: the
  // idle callback sends kWmIdleNotify to it, the idle extension sets kSaveEnergyTimer on it
  // through Window().
  platform::MessageWindow::Handle WindowHandle();
  // Only on the dialog's thread, inside DoModal.
  platform::MessageWindow* Window() { return window_.get(); }

  CClientSettings& Settings() { return settings_; }
  CReporterContext& ReporterContext() { return context_; }
  platform::Machine& Machine();

  // --- Device handling (the dialog's thread) --------------------------------------------------

  // WM_DEVICECHANGE: `payload` is the encoded broadcast record. Always TRUE (1).
  std::intptr_t OnDeviceChange(std::uint32_t eventType, const platform::DeviceBroadcast& record);
  // Completes EventText with computer and user and reports it; for a "Mounted" text also takes
  // the user into WhiteListDetails, decides the block and sends the device notice. TRUE.
  bool FormatDetails();
  // Reads "BlockUSB" into BlockPolicy and BlockDecision; clears BlockDecision when the drive is
  // whitelisted (the whitelists are read only when blocking is on). TRUE.
  bool CheckBlockUSB();
  // True when the user, the device or the make of WhiteListDetails is whitelisted.
  bool CheckWhiteList();
  // kind 1 users (case-insensitive), 2 devices, 3 makes (exact).
  bool CheckWhiteListRegDetails(int kind);
  // For the command listener: the whitelist storage (CClientSettings does the work).
  bool WriteWhiteList(std::string_view text);
  std::string ReadWhiteList();
  // Sends `notice` + ";" to the notice port of this computer, when IpConfigState / ServerState
  // allow it.
  void SendMsgForWhiteList(std::string_view notice);

  // --- State -----------------------------------------------------------------------------------

  const std::string& EventText() const { return eventText_; }
  // For the extensions' reports (Save-Energy): EventText = text, then FormatDetails.
  void SetEventText(std::string text) { eventText_ = std::move(text); }
  const std::string& ServerAddress() const { return serverAddress_; }
  int MountedDriveIndex() const { return mountedDriveIndex_; }
  // Written on the dialog's thread, read by the command listener.
  std::uint8_t BlockPolicy() const { return blockPolicy_.load(); }
  std::uint8_t BlockDecision() const { return blockDecision_.load(); }
  // The record the whitelists are matched against; null before the initialisation and after the
  // stop.
  const WhiteListDetails* Details() const { return details_.get(); }

 private:
  std::intptr_t HandleMessage(const platform::WindowMessage& message);
  bool OnInitDialog();
  // The server address from "ServerIP"; false (after the message) when a name does not resolve.
  bool ReadServerAddress();
  void StartupScan();
  void OnVolumeArrival(std::uint32_t unitmask);
  void OnVolumeRemoval(std::uint32_t unitmask);
  void OnRemovableArrival(char letter, const std::string& root);
  void OnFixedArrival(char letter, const std::string& root);
  // A removable or USB fixed drive that has just appeared: reported, then blocked or watched.
  void OnUsbDriveMounted(char letter, const std::string& root);
  // Ejects a drive BlockDecision says to block and reports the outcome.
  void BlockDrive(char letter, const std::string& root);
  void Watch(char letter);
  bool IsUsbFixedDrive(char letter);
  void OnServiceStop();
  void OnSystemShutdown();
  void OnOK();
  void ShowMessage(std::string_view text, std::string_view caption);

  CClientSettings& settings_;
  CReporterContext& context_;
  platform::VolumeDriveResolver drives_;
  IDialogExtension* commandListener_ = nullptr;
  IDialogExtension* idleDetection_ = nullptr;

  // Made and destroyed by DoModal, on the dialog's thread.
  std::unique_ptr<platform::MessageWindow> window_;
  std::unique_ptr<platform::DeviceNotifier> notifier_;
  std::unique_ptr<PnpDriveNotifications> driveNotifications_;
  platform::DeviceNotifyHandle usbNotification_ = 0;
  bool listenerStarted_ = false;
  bool idleStarted_ = false;

  // The watcher's own reporter, used on its worker; the watcher is declared after it.
  CEventReporter watcherReporter_;
  std::unique_ptr<CDirectoryWatcher> watcher_;

  // The dialog's thread only.
  std::string eventText_;
  std::string serverAddress_;
  std::unique_ptr<WhiteListDetails> details_;
  int mountedDriveIndex_ = 0;
  bool ended_ = false;
  bool systemShutdownReported_ = false;
  std::atomic<std::uint8_t> blockDecision_{0};
  std::atomic<std::uint8_t> blockPolicy_{0};

  // The window as other threads reach it.
  std::mutex handleMutex_;  // guards the three fields below
  std::condition_variable handleChanged_;
  std::optional<platform::MessageWindow::Handle> handle_;
  bool running_ = false;  // between the window's making and the loop's end
  bool done_ = false;     // DoModal has returned since the last start
};

}  // namespace uv::agent
