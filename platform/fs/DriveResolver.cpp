#include "platform/fs/DriveResolver.h"

#include "platform/common/Text.h"

namespace uv::platform {

namespace {

char UpperLetter(char letter) {
  return ToUpperAscii(letter);
}

bool IsDriveLetter(char letter) {
  const char upper = UpperLetter(letter);
  return upper >= 'A' && upper <= 'Z';
}

}  // namespace

void DriveMap::Set(char letter, std::filesystem::path directory) {
  std::lock_guard lock(mutex_);
  drives_[UpperLetter(letter)] = std::move(directory);
}

void DriveMap::Remove(char letter) {
  std::lock_guard lock(mutex_);
  drives_.erase(UpperLetter(letter));
}

Result<DriveMapping> DriveMap::MapDrive(char letter) {
  std::lock_guard lock(mutex_);
  const auto found = drives_.find(UpperLetter(letter));
  if (!IsDriveLetter(letter) || found == drives_.end()) {
    return Result<DriveMapping>::Failure(kErrorPathNotFound);
  }
  return DriveMapping{found->second, nullptr};
}

Result<DrivePath> ParseDrivePath(std::string_view windowsPath) {
  if (windowsPath.size() < 2 || !IsDriveLetter(windowsPath[0]) || windowsPath[1] != ':') {
    return Result<DrivePath>::Failure(kErrorInvalidName);
  }
  DrivePath parsed;
  parsed.letter = UpperLetter(windowsPath[0]);
  std::string_view rest = windowsPath.substr(2);
  while (!rest.empty()) {
    const std::size_t separator = rest.find_first_of("\\/");
    const std::string_view part = rest.substr(0, separator);
    rest = separator == std::string_view::npos ? std::string_view() : rest.substr(separator + 1);
    if (part.empty() || part == ".") continue;
    if (part == ".." || part.find('\0') != std::string_view::npos) {
      return Result<DrivePath>::Failure(kErrorInvalidName);
    }
    parsed.relative /= std::string(part);
  }
  return parsed;
}

}  // namespace uv::platform
