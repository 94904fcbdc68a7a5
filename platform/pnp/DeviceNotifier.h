#pragma once
// Device notifications: the recipient side (RegisterDeviceNotification for a window) and the
// broadcasts the emulated device tree sends when devices come and go.
//
// How it travels: every DeviceNotifier owns one Unix datagram socket under
// <root>/run/pnp/notify/ and a listener thread; beside the socket it keeps a file listing its
// registrations. A broadcaster reads that directory, sends one datagram to each recipient
// concerned (never waiting on a full or dead socket; sockets of dead processes are removed), and
// the listener hands each broadcast to the recipient's window as kWmDeviceChange, wParam = the
// event code, payload = the encoded DeviceBroadcast record (DecodeDeviceBroadcast reads it).
//
// Who gets what, as on a real machine:
// - volume broadcasts (arrival and remove-complete, unit mask of the letters): every notifier,
//   without registration, as every top-level window gets them;
// - device-interface broadcasts: notifiers with a registration for that interface class;
// - handle broadcasts (query-remove, query-remove-failed, remove-complete): the notifier that
//   registered the handle, with the registration's DeviceNotifyHandle in the record.
// Order: interface arrival before volume arrival; volume removal before interface removal.
// A query-remove is delivered with a synchronous send and the window's answer goes back to
// the broadcaster before the removal goes on; kBroadcastQueryDeny refuses the removal. All other
// broadcasts are posted, in the order they were sent.
//
// Use (the client's window, on any thread):
//   auto notifier = DeviceNotifier::Create(machine, window.GetHandle());
//   auto usb = (*notifier)->RegisterInterfaceClass(kGuidUsbDeviceInterface);
//   auto watch = (*notifier)->RegisterHandle(hold);   // hold: HandleHold on E:\ (DeviceHandle.h)
//   ... WM_DEVICECHANGE with DevBroadcastHandle{hold.Id(), *watch} arrives on query-remove ...
//   (void)(*notifier)->Unregister(*watch);
//
// Thread affinity: all methods may be called from any thread. The listener thread is owned by
// the notifier; destruction stops and joins it, removes the socket and every registration.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"
#include "platform/pnp/DeviceTypes.h"
#include "platform/window/MessageWindow.h"

namespace uv::platform {

class Machine;
class HandleHold;
class IVolumeHold;

// The payload of a kWmDeviceChange message. Decoding never trusts the bytes: a record that is
// damaged, too long or of an unknown type gives nullopt.
std::vector<std::uint8_t> EncodeDeviceBroadcast(const DeviceBroadcast& record);
std::optional<DeviceBroadcast> DecodeDeviceBroadcast(std::span<const std::uint8_t> payload);

// Longest interface path a broadcast carries; longer ones are not sent.
inline constexpr std::size_t kMaxBroadcastName = 2048;

class DeviceNotifier {
 public:
  // Makes `window` a recipient of this machine's device broadcasts (volume broadcasts from now
  // on; the others after registration).
  static Result<std::unique_ptr<DeviceNotifier>> Create(Machine& machine,
                                                        MessageWindow::Handle window);
  ~DeviceNotifier();
  DeviceNotifier(const DeviceNotifier&) = delete;
  DeviceNotifier& operator=(const DeviceNotifier&) = delete;

  // RegisterDeviceNotification with a device-interface filter for `interfaceClass`.
  Result<DeviceNotifyHandle> RegisterInterfaceClass(const DeviceClassGuid& interfaceClass);
  // RegisterDeviceNotification with a handle filter: query-remove, query-remove-failed and
  // remove-complete of the device under `hold` (the hold itself may be closed afterwards, as a
  // directory handle is closed on query-remove; the registration stays).
  Result<DeviceNotifyHandle> RegisterHandle(const HandleHold& hold);
  // The same for the hold a directory handle of the file layer keeps (DirectoryHandle::
  // VolumeHold(), made by VolumeDriveResolver); kErrorInvalidHandle for a null or foreign hold.
  Result<DeviceNotifyHandle> RegisterHandle(const IVolumeHold* hold);
  // UnregisterDeviceNotification. kErrorInvalidHandle for an unknown handle.
  [[nodiscard]] WinError Unregister(DeviceNotifyHandle handle);

  // How long a query-remove may wait for the window's answer.
  static constexpr std::chrono::milliseconds kQueryAnswerTimeout{3000};

  class Impl;

 private:
  explicit DeviceNotifier(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The sending side, used by the device tree (DeviceManager). Each call returns after every
// datagram has been handed to the kernel or dropped; none waits on a recipient except the
// query and the synchronous arrival, which wait at most `timeout` in all.
class DeviceBroadcaster {
 public:
  explicit DeviceBroadcaster(const Machine& machine);

  void DeviceInterface(std::uint32_t event, const DeviceClassGuid& interfaceClass,
                       std::string_view name);
  // As DeviceInterface, but waits (at most `timeout`) until every recipient's window handled it.
  void DeviceInterfaceSync(std::uint32_t event, const DeviceClassGuid& interfaceClass,
                           std::string_view name, std::chrono::milliseconds timeout);
  void Volume(std::uint32_t event, std::uint32_t unitmask);

  struct QueryOutcome {
    std::size_t asked = 0;  // registrations the query went to
    bool denied = false;
    std::string deniedBy;  // "<program> (pid N)" of the first recipient that refused
  };
  // Query-remove to every handle registration on one of `deviceIds` (instance IDs).
  QueryOutcome QueryRemove(const std::vector<std::string>& deviceIds,
                           std::chrono::milliseconds timeout);
  // Query-remove-failed or remove-complete to the same registrations.
  void HandleEvent(std::uint32_t event, const std::vector<std::string>& deviceIds);

  // Recipients found dead (and removed) so far; for tests and `list`.
  std::uint32_t StaleRemoved() const { return staleRemoved_; }

 private:
  std::string dir_;
  std::uint32_t staleRemoved_ = 0;
};

// One live recipient, as `usbvantrel-sim list` shows it.
struct RecipientInfo {
  std::string socketName;
  std::uint32_t pid = 0;
  std::string program;
  std::vector<std::string> registrations;  // "interface {GUID}" / "handle <device id>"
};
std::vector<RecipientInfo> ListRecipients(const Machine& machine);

}  // namespace uv::platform
