#pragma once
// The device tree's answer to "which directory is drive X:": the backing directory of the volume
// that has the letter now, with a hold on that volume (an IVolumeHold the file layer keeps for as
// long as its handle is open, so that an eject sees the volume in use).
//
// Thread affinity: none.

#include "platform/fs/DriveResolver.h"
#include "platform/pnp/DeviceHandle.h"

namespace uv::platform {

class Machine;

// The hold handed to the file layer; DeviceNotifier::RegisterHandle accepts it.
class VolumeHold final : public IVolumeHold {
 public:
  explicit VolumeHold(HandleHold hold) : hold_(std::move(hold)) {}
  const HandleHold& Hold() const { return hold_; }

 private:
  HandleHold hold_;
};

class VolumeDriveResolver final : public IDriveResolver {
 public:
  explicit VolumeDriveResolver(Machine& machine) : machine_(machine) {}
  Result<DriveMapping> MapDrive(char letter) override;

 private:
  Machine& machine_;
};

}  // namespace uv::platform
