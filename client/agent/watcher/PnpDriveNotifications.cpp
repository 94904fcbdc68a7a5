#include "client/agent/watcher/PnpDriveNotifications.h"

#include "platform/pnp/VolumeDriveResolver.h"
#include "platform/trace/Trace.h"

namespace uv::agent {

platform::Result<NotificationHandle> PnpDriveNotifications::RegisterHandle(
    const platform::DirectoryHandle& directory) {
  const auto* hold = dynamic_cast<const platform::VolumeHold*>(directory.VolumeHold());
  if (hold == nullptr || !hold->Hold().IsHeld()) {
    return platform::Result<NotificationHandle>::Failure(platform::kErrorInvalidHandle);
  }
  auto registration = notifier_.RegisterHandle(hold->Hold());
  if (!registration) return platform::Result<NotificationHandle>::Failure(registration.error());
  return NotificationHandle{*registration};
}

void PnpDriveNotifications::Unregister(NotificationHandle handle) {
  if (const platform::WinError error = notifier_.Unregister(handle); error != 0) {
    platform::TraceF("Directory watcher: unregistering notification %llu failed, error %u\n",
                     static_cast<unsigned long long>(handle), error);
  }
}

}  // namespace uv::agent
