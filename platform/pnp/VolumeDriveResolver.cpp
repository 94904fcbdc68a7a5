#include "platform/pnp/VolumeDriveResolver.h"

#include <memory>
#include <string>

namespace uv::platform {

Result<DriveMapping> VolumeDriveResolver::MapDrive(char letter) {
  const std::string root = std::string(1, letter) + ":\\";
  auto directory = ResolveDrivePath(machine_, root);
  if (!directory) return Result<DriveMapping>::Failure(directory.error());
  auto hold = HandleHold::ForPath(machine_, root);
  if (!hold) return Result<DriveMapping>::Failure(hold.error());
  DriveMapping mapping;
  mapping.directory = std::move(directory).value();
  mapping.hold = std::make_unique<VolumeHold>(std::move(hold).value());
  return mapping;
}

}  // namespace uv::platform
