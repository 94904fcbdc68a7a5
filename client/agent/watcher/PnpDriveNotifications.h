#pragma once
// Handle notifications of watched drives through the device tree: each drive's directory handle
// is registered with the device notifier of the client's window, so that a query-remove of the
// drive reaches that window (which then lets the watcher close the handle). The directory must
// have been opened through platform::VolumeDriveResolver, whose hold names the volume.
//
// Thread affinity: none beyond the notifier's (any thread).

#include "client/agent/watcher/IDriveNotifications.h"
#include "platform/pnp/DeviceNotifier.h"

namespace uv::agent {

class PnpDriveNotifications final : public IDriveNotifications {
 public:
  // `notifier` belongs to the client's window and must outlive this object.
  explicit PnpDriveNotifications(platform::DeviceNotifier& notifier) : notifier_(notifier) {}

  // kErrorInvalidHandle when the directory holds no volume of the device tree (it was not
  // opened through the device tree's resolver, or it is closed).
  platform::Result<NotificationHandle> RegisterHandle(
      const platform::DirectoryHandle& directory) override;
  void Unregister(NotificationHandle handle) override;

 private:
  platform::DeviceNotifier& notifier_;
};

}  // namespace uv::agent
