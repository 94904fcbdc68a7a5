#pragma once
// Where the handle notifications of a watched drive go: the client's window, through the device
// notifier it registered with. The watcher registers each drive's directory handle, so that the
// window hears of a query-remove of that drive and can let the watcher release it.
//
// PnpDriveNotifications (PnpDrives.h) is the real one; tests count registrations with their own.
// Thread affinity: called on the thread that calls Watch, StopMonitor and UnwatchAll.

#include <cstdint>

#include "platform/common/Result.h"
#include "platform/fs/DirectoryHandle.h"

namespace uv::agent {

// The registration (HDEVNOTIFY); never 0 for a live one.
using NotificationHandle = std::uint64_t;

class IDriveNotifications {
 public:
  virtual ~IDriveNotifications() = default;
  // RegisterDeviceNotification with a handle filter for `directory` (open on a drive).
  virtual platform::Result<NotificationHandle> RegisterHandle(
      const platform::DirectoryHandle& directory) = 0;
  // UnregisterDeviceNotification.
  virtual void Unregister(NotificationHandle handle) = 0;
};

}  // namespace uv::agent
