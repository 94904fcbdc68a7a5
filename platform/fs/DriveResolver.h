#pragma once
// Drive letters and the directories behind them. On this platform a drive's files live in a
// backing directory (an emulated volume's, under <root>/Volumes/); "X:\dir\file" names the file
// dir/file below the directory that backs X:. The device tree implements IDriveResolver for the
// volumes it has mounted; DriveMap is a plain table for tools and tests.
//
// Thread affinity: none; implementations must be safe to call from any thread.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/common/Result.h"

namespace uv::platform {

// Keeps a handle on a volume open for as long as it lives, so that an eject request sees the
// volume as in use (and is vetoed) while a directory on it is open.
class IVolumeHold {
 public:
  virtual ~IVolumeHold() = default;
};

struct DriveMapping {
  std::filesystem::path directory;    // the backing directory of the drive's root
  std::unique_ptr<IVolumeHold> hold;  // may be empty when nobody tracks handles
};

class IDriveResolver {
 public:
  virtual ~IDriveResolver() = default;
  // The directory behind `letter` ('A'..'Z', either case) and a hold on its volume.
  // kErrorPathNotFound when no volume has that letter.
  virtual Result<DriveMapping> MapDrive(char letter) = 0;
};

// A fixed table of letters to directories, without handle tracking.
class DriveMap final : public IDriveResolver {
 public:
  void Set(char letter, std::filesystem::path directory);
  void Remove(char letter);
  Result<DriveMapping> MapDrive(char letter) override;

 private:
  mutable std::mutex mutex_;                      // guards drives_
  std::map<char, std::filesystem::path> drives_;  // upper-case letter -> directory
};

// Splits a Windows path on a drive ("E:\", "e:\dir\sub", "E:") into the drive letter and the
// relative part with "/" separators. Fails with kErrorInvalidName for anything else, including
// ".." components that would leave the drive.
struct DrivePath {
  char letter = 0;
  std::filesystem::path relative;
};
Result<DrivePath> ParseDrivePath(std::string_view windowsPath);

}  // namespace uv::platform
