#include "client/agent/dialog/CNewOrmClientDlg.h"

#include "platform/common/Text.h"

#include <bit>
#include <chrono>
#include <exception>

#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "client/agent/watcher/CDirectoryWatcher.h"
#include "client/agent/watcher/PnpDriveNotifications.h"
#include "platform/machine/Machine.h"
#include "platform/net/HostResolver.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "protocol/CommandFrame.h"
#include "protocol/EventReport.h"

namespace uv::agent {
namespace {

using platform::Trace;
using platform::TraceF;

// How long a stop that comes before the dialog has made its window waits for it.
constexpr std::chrono::seconds kWindowWait{30};

// The 26 drive letters of a unit mask; bits above Z: name no drive.
constexpr std::uint32_t kDriveBits = (1u << 26) - 1;

std::string RootOf(char letter) {
  return std::string(1, letter) + ":\\";
}

// The drive a volume broadcast is about: the lowest letter of its mask (only that one is
// handled when several are set); 0 for a mask without any.
char LowestDrive(std::uint32_t unitmask) {
  const std::uint32_t drives = unitmask & kDriveBits;
  if (drives == 0) return 0;
  return static_cast<char>('A' + std::countr_zero(drives));
}

bool HasLetter(std::string_view text) {
  for (const char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  }
  return false;
}

}  // namespace

CNewOrmClientDlg::CNewOrmClientDlg(CClientSettings& settings, CReporterContext& context)
    : settings_(settings),
      context_(context),
      drives_(settings.Machine()),
      watcherReporter_(context),
      watcher_(std::make_unique<CDirectoryWatcher>(watcherReporter_, drives_)) {}

CNewOrmClientDlg::~CNewOrmClientDlg() = default;

platform::Machine& CNewOrmClientDlg::Machine() {
  return settings_.Machine();
}

int CNewOrmClientDlg::DoModal() {
  window_ = std::make_unique<platform::MessageWindow>(
      [this](const platform::WindowMessage& message) { return HandleMessage(message); });
  {
    std::lock_guard lock(handleMutex_);
    handle_ = window_->GetHandle();
    running_ = true;
    done_ = false;
  }
  handleChanged_.notify_all();
  ended_ = false;
  systemShutdownReported_ = false;

  OnInitDialog();
  // A stop sent meanwhile waits in the window's queue and is handled first thing.
  const auto code = window_->Run();

  // The dialog has ended: the listener's loops end on the stop flag; then everything that
  // lives inside the dialog's span goes, threads first.
  settings_.SetClientStop(true);
  if (idleStarted_) idleDetection_->Stop();
  if (listenerStarted_) commandListener_->Stop();
  idleStarted_ = listenerStarted_ = false;
  watcher_->UnwatchAll();
  if (usbNotification_ != 0 && notifier_) (void)notifier_->Unregister(usbNotification_);
  usbNotification_ = 0;
  driveNotifications_.reset();
  notifier_.reset();
  {
    std::lock_guard lock(handleMutex_);
    handle_.reset();
    running_ = false;
    done_ = true;
  }
  handleChanged_.notify_all();
  window_.reset();
  return code ? *code : -1;
}

platform::MessageWindow::Handle CNewOrmClientDlg::WindowHandle() {
  std::lock_guard lock(handleMutex_);
  return handle_.value_or(platform::MessageWindow::Handle());
}

bool CNewOrmClientDlg::EndFromService() {
  std::optional<platform::MessageWindow::Handle> handle;
  {
    std::unique_lock lock(handleMutex_);
    handleChanged_.wait_for(lock, kWindowWait, [&] { return handle_.has_value() || done_; });
    handle = handle_;
  }
  if (!handle) return false;
  return handle->Send(kWmServiceStop).ok();
}

bool CNewOrmClientDlg::ReportSystemShutdown() {
  const platform::MessageWindow::Handle handle = WindowHandle();
  if (!handle.IsValid()) return false;
  return handle.Send(kWmSystemShutdown).ok();
}

std::uint8_t CNewOrmClientDlg::RefreshBlockPolicy() {
  const platform::MessageWindow::Handle handle = WindowHandle();
  if (handle.IsValid()) {
    if (auto policy = handle.Send(kWmCheckBlockUsb)) return static_cast<std::uint8_t>(*policy);
  }
  return settings_.BlockUsb() != 0 ? 1 : 0;
}

std::intptr_t CNewOrmClientDlg::HandleMessage(const platform::WindowMessage& message) {
  switch (message.message) {
    case platform::kWmDeviceChange: {
      const auto record = platform::DecodeDeviceBroadcast(message.payload);
      // A damaged record is no notification; the answer stays "go ahead".
      if (!record) return 1;
      return OnDeviceChange(static_cast<std::uint32_t>(message.wParam), *record);
    }
    case kWmServiceStop:
      OnServiceStop();
      return 1;
    case kWmSystemShutdown:
      OnSystemShutdown();
      return 1;
    case kWmCheckBlockUsb:
      if (!ended_) CheckBlockUSB();
      return blockPolicy_.load();
    default:
      break;
  }
  std::intptr_t result = 0;
  for (IDialogExtension* extension : {commandListener_, idleDetection_}) {
    if (extension != nullptr && extension->OnMessage(message, result)) return result;
  }
  return 0;
}

bool CNewOrmClientDlg::OnInitDialog() {
  details_ = std::make_unique<WhiteListDetails>();

  // Device notifications: volumes reach every recipient; USB device interfaces need the
  // registration. A failure is not reported: the agent then sees what it can.
  if (auto notifier = platform::DeviceNotifier::Create(Machine(), window_->GetHandle())) {
    notifier_ = std::move(*notifier);
    driveNotifications_ = std::make_unique<PnpDriveNotifications>(*notifier_);
    if (auto usb = notifier_->RegisterInterfaceClass(platform::kGuidUsbDeviceInterface)) {
      usbNotification_ = *usb;
    } else {
      TraceF("RegisterDeviceNotification failed err : %u", static_cast<unsigned>(usb.error()));
    }
  } else {
    TraceF("Device notifications unavailable err : %u", static_cast<unsigned>(notifier.error()));
  }

  if (!ReadServerAddress()) return true;  // device notifications are still handled

  StartupScan();

  if (commandListener_ != nullptr) {
    commandListener_->Start(*this);
    listenerStarted_ = true;
  } else {
    Trace("No command listener wired\n");
  }
  if (idleDetection_ != nullptr) {
    idleDetection_->Start(*this);
    idleStarted_ = true;
  } else {
    Trace("No idle detection wired\n");
  }
  return true;
}

bool CNewOrmClientDlg::ReadServerAddress() {
  const std::string text = settings_.ServerIp();
  serverAddress_.clear();
  if (HasLetter(text)) {
    // A host name, resolved once, through this computer's hosts file first.
    auto resolved = platform::ResolveHost(Machine(), text);
    if (!resolved) {
      ShowMessage("Could not resolve IP", "Error");
      return false;
    }
    serverAddress_ = resolved->ToString();
  } else {
    serverAddress_ = text;
  }
  if (serverAddress_.empty()) serverAddress_ = kDefaultServerIp;
  return true;
}

void CNewOrmClientDlg::StartupScan() {
  std::string list = "[ Drives ";
  const std::uint32_t present = platform::GetLogicalDrives(Machine());
  for (int index = 0; index < 26; ++index) {
    if ((present & (1u << index)) == 0) continue;
    const char letter = static_cast<char>('A' + index);
    const std::uint32_t type = platform::GetDriveType(Machine(), RootOf(letter));
    // Drives present at start are watched; the block policy is not consulted for them.
    if (type == platform::kDriveRemovable ||
        (type == platform::kDriveFixed && IsUsbFixedDrive(letter))) {
      list += letter;
      list += ';';
      Watch(letter);
    }
  }
  list += " ]";
  eventText_ = "Started client " + list + " on ";
  FormatDetails();
}

std::intptr_t CNewOrmClientDlg::OnDeviceChange(std::uint32_t eventType,
                                               const platform::DeviceBroadcast& record) {
  // After the stop only the window's end is left; notifications still queued are not handled.
  if (ended_ || !details_) return 1;
  switch (eventType) {
    case platform::kDbtDeviceArrival:
      if (record.devicetype == platform::kDbtDevtypDeviceInterface) {
        Trace("##in interface");
        details_->Clear();
        eventText_.clear();
        std::string description;
        if (GetDeviceDescription(Machine(), record.deviceInterface, platform::kDbtDeviceArrival,
                                 description, *details_)) {
          eventText_ = "Inserted " + description + " on ";
          FormatDetails();
          Trace("After FormatDetails");
        }
      } else if (record.devicetype == platform::kDbtDevtypVolume) {
        OnVolumeArrival(record.volume.unitmask);
      }
      break;
    case platform::kDbtDeviceRemoveComplete:
      if (record.devicetype == platform::kDbtDevtypDeviceInterface) {
        eventText_.clear();
        std::string description;
        if (GetDeviceDescription(Machine(), record.deviceInterface,
                                 platform::kDbtDeviceRemoveComplete, description, *details_)) {
          eventText_ = "Removed " + description + " on ";
          FormatDetails();
        }
      } else if (record.devicetype == platform::kDbtDevtypVolume) {
        OnVolumeRemoval(record.volume.unitmask);
      }
      break;
    case platform::kDbtDeviceQueryRemove:
      // Let the system remove the drive: close its directory, keep hearing about it.
      if (record.devicetype == platform::kDbtDevtypHandle) {
        if (auto* info = watcher_->FindByNotificationHandle(record.handle.hdevnotify)) {
          watcher_->StopMonitor(info->DriveLetter(), true);
        }
      }
      break;
    case platform::kDbtDeviceQueryRemoveFailed:
      if (record.devicetype == platform::kDbtDevtypHandle) {
        if (auto* info = watcher_->FindByNotificationHandle(record.handle.hdevnotify)) {
          Watch(static_cast<char>(info->DriveLetter()));
        }
      }
      break;
    default:
      break;
  }
  return 1;
}

void CNewOrmClientDlg::OnVolumeArrival(std::uint32_t unitmask) {
  const char letter = LowestDrive(unitmask);
  if (letter == 0) {
    Trace("Volume arrival without a drive letter\n");
    return;
  }
  const std::string root = RootOf(letter);
  switch (platform::GetDriveType(Machine(), root)) {
    case platform::kDriveRemovable:
      Trace("\n##into removable drive ");
      OnRemovableArrival(letter, root);
      break;
    case platform::kDriveFixed:
      Trace("\n##into fixed drive ");
      OnFixedArrival(letter, root);
      break;
    default:
      break;
  }
}

void CNewOrmClientDlg::OnRemovableArrival(char letter, const std::string& root) {
  // The device's names were not there when its USB interface arrived: they are by now.
  if (const std::string deviceKey = csDeviceKey().Get(); !deviceKey.empty()) {
    std::optional<std::string> name;
    if (auto registry = Machine().OpenRegistry()) {
      if (auto key = platform::RegKey::Open(**registry, deviceKey)) {
        Trace("\n Re-reading FriendlyName ");
        auto friendly = key->QueryString("FriendlyName");
        if (friendly) {
          name = std::move(*friendly);
        } else {
          Trace("\n Re-reading DeviceDesc ");
          if (auto desc = key->QueryString("DeviceDesc")) name = std::move(*desc);
        }
      }
    }
    if (name) {
      eventText_ =
          "Inserted " + std::string(platform::Utf8Prefix(*name, kNameBufferSize - 1)) + " on ";
      FormatDetails();
    }
  }

  OnUsbDriveMounted(letter, root);
}

void CNewOrmClientDlg::OnFixedArrival(char letter, const std::string& root) {
  // A fixed drive counts only on the USB bus; a disk on another bus is no event.
  if (!IsUsbFixedDrive(letter)) return;
  // Its files are watched as those of a stick are, and as at start.
  OnUsbDriveMounted(letter, root);
}

void CNewOrmClientDlg::OnUsbDriveMounted(char letter, const std::string& root) {
  mountedDriveIndex_ = letter - 'A';
  eventText_ = "Mounted drive " + root + " on ";
  FormatDetails();
  CheckBlockUSB();
  if (blockDecision_.load() == 1) {
    BlockDrive(letter, root);
  } else {
    Watch(letter);
  }
}

void CNewOrmClientDlg::BlockDrive(char letter, const std::string& root) {
  if (EjectDrive(Machine(), letter - 'A')) {
    Trace("Successful Removal of USB Drive\n\n");
    eventText_ = "Blocked-USB drive " + root + " on ";
    FormatDetails();
    SendMsgForWhiteList(protocol::kUnmountNoticeWord);
  } else {
    Trace("Failed while blocking USB Drive\n\n");
    eventText_ = "Unable-to-block USB drive " + root + " on ";
    FormatDetails();
  }
}

void CNewOrmClientDlg::OnVolumeRemoval(std::uint32_t unitmask) {
  const char letter = LowestDrive(unitmask);
  if (letter == 0) return;
  const std::string root = RootOf(letter);
  // A letter that another volume has taken meanwhile is no removal.
  if (platform::GetDriveType(Machine(), root) != platform::kDriveNoRootDir) return;
  eventText_ = "Unmounted drive " + root + " on ";
  FormatDetails();
  watcher_->StopMonitor(static_cast<unsigned>(letter), false);
}

void CNewOrmClientDlg::Watch(char letter) {
  if (const platform::WinError error =
          watcher_->Watch(static_cast<unsigned>(letter), serverAddress_, driveNotifications_.get());
      error != platform::kErrorSuccess) {
    TraceF("Cannot watch %c:\\ err : %u", letter, static_cast<unsigned>(error));
  }
}

bool CNewOrmClientDlg::IsUsbFixedDrive(char letter) {
  auto volume = platform::DeviceHandle::Open(Machine(), "\\\\?\\" + std::string(1, letter) + ":");
  if (!volume) return false;
  platform::StorageDeviceDescriptor descriptor;
  return IsUsbBusDrive(*volume, descriptor) && descriptor.busType == platform::kBusTypeUsb;
}

bool CNewOrmClientDlg::FormatDetails() {
  try {
    std::string computer = Machine().ComputerName();
    if (computer.empty()) computer = "UNKNOWN";
    CEventReporter reporter(context_);
    std::string user;
    if (!reporter.GetActiveSessionUser(user)) user = "LocalSystem";
    reporter.ReportToServer(eventText_ + computer + "\\" + user, serverAddress_);

    // Decided by the event's own word, so that a computer, user or device whose name holds
    // "Mounted" does not make every report a mount.
    if (protocol::CategoryWordOfMessage(eventText_) == "Mounted" && details_) {
      CopyText(details_->UserText, sizeof details_->UserText, user);
      CheckBlockUSB();
      const int index = blockDecision_.load() == 1 ? 0 : mountedDriveIndex_;
      SendMsgForWhiteList(protocol::DeviceNoticeText(index, details_->Device()));
    }
  } catch (const std::exception& error) {
    TraceF("FormatDetails: %s\n", error.what());
    ShowMessage("Excepation in FormatDetails", "");
  } catch (...) {
    ShowMessage("Excepation in FormatDetails", "");
  }
  return true;
}

bool CNewOrmClientDlg::CheckBlockUSB() {
  Trace("While checking entry for Block USB");
  // Any nonzero policy blocks, as the console's status query reads it.
  const std::uint8_t policy = settings_.BlockUsb() != 0 ? 1 : 0;
  blockPolicy_.store(policy);
  blockDecision_.store(policy);
  if (policy == 1) {
    Trace("Before checking entry for whitelist");
    if (CheckWhiteList()) blockDecision_.store(0);
  }
  return true;
}

bool CNewOrmClientDlg::CheckWhiteList() {
  Trace("In CheckWhiteList ");
  return CheckWhiteListRegDetails(1) || CheckWhiteListRegDetails(2) || CheckWhiteListRegDetails(3);
}

bool CNewOrmClientDlg::CheckWhiteListRegDetails(int kind) {
  Trace("In CheckWhiteListRegDetails ");
  if (kind < 1 || kind > 3 || !details_) return false;
  const auto whiteListKind = static_cast<WhiteListKind>(kind);
  const auto list = settings_.WhiteListValue(whiteListKind);
  if (!list) return false;
  switch (whiteListKind) {
    case WhiteListKind::kUsers:
      return WhiteListContains(*list, details_->User(), true);
    case WhiteListKind::kDevices:
      return WhiteListContains(*list, details_->Device(), false);
    case WhiteListKind::kMakes:
      return WhiteListContains(*list, details_->Make(), false);
  }
  return false;
}

bool CNewOrmClientDlg::WriteWhiteList(std::string_view text) {
  return settings_.WriteWhiteList(text);
}

std::string CNewOrmClientDlg::ReadWhiteList() {
  return settings_.ReadWhiteList();
}

void CNewOrmClientDlg::SendMsgForWhiteList(std::string_view notice) {
  Trace("Before sending msg,bef checking Reg entries");
  bool send = true;
  if (settings_.KeyExists()) {
    const auto gate = settings_.IpConfigState();
    if (!gate) {
      Trace("Reg entry for device not exists");
      send = false;
    } else {
      Trace("Reg entry for device exists");
      if (*gate == 0) {
        // Only while the console's whitelist dialog is open (or the console cannot tell).
        const auto open = settings_.ConsoleServerState();
        send = !open || *open != 0;
      }
    }
  }
  Trace("aftre checking Reg entries");
  if (!send) return;

  Trace("In SendMsgForWhiteList for white list");
  std::string computer = Machine().ComputerName();
  if (computer.empty()) computer = "UNKNOWN";
  auto address = platform::ResolveHost(Machine(), computer);
  if (!address) {
    ShowMessage("Could not resolve IP", "Error");
    return;
  }
  auto socket = platform::OpenOutgoingUdpSocket(Machine());
  if (!socket) return;
  if (!socket->SendTo(protocol::BuildNotice(notice), {*address, protocol::kNoticePort})) {
    Trace("Could not send the whitelist notice\n");
  }
  Trace("After sending msg,aftre checking Reg entries");
}

void CNewOrmClientDlg::OnServiceStop() {
  if (ended_) return;
  // A system going down has made its report already; the service's stop that may follow adds
  // none.
  if (!systemShutdownReported_) {
    eventText_ = "Shutdown client - Normal on ";
    FormatDetails();
  }
  details_.reset();
  OnOK();
}

void CNewOrmClientDlg::OnSystemShutdown() {
  if (ended_ || systemShutdownReported_) return;
  eventText_ = "System-Shutdown ";
  FormatDetails();
  systemShutdownReported_ = true;
}

void CNewOrmClientDlg::OnOK() {
  if (usbNotification_ != 0 && notifier_) (void)notifier_->Unregister(usbNotification_);
  usbNotification_ = 0;
  ended_ = true;
  window_->Quit(kIdOk);
}

void CNewOrmClientDlg::ShowMessage(std::string_view text, std::string_view caption) {
  context_.ShowMessage(text, caption);
}

}  // namespace uv::agent
