#pragma once
// An inotify watch on one directory, for the caches of the platform modules that serve a file of
// that directory from memory until it may have changed (the hosts file, the sessions file). Any
// event there may be a change of the file (written, truncated, replaced by a rename, deleted, its
// rights changed); the system queues it before the changing call returns, so a change made
// before a lookup is seen by that lookup. Never part of a platform interface.
//
// Thread affinity: none; one thread at a time (the caches call it under their own lock).

#include <filesystem>
#include <memory>

#include "platform/posix/UniqueFd.h"

namespace uv::platform {

class DirectoryWatch {
 public:
  // Nothing when the directory cannot be watched (missing, or out of inotify watches): the
  // caller then reads the file every time.
  static std::unique_ptr<DirectoryWatch> Start(const std::filesystem::path& directory);
  explicit DirectoryWatch(UniqueFd fd) : fd_(std::move(fd)) {}

  // Takes every event queued since the last call: true when there was any, or when the watch
  // broke. Broken() tells whether the watch still follows the directory at its path; a broken
  // watch is started anew.
  bool Changed();
  bool Broken() const { return broken_; }

 private:
  UniqueFd fd_;
  bool broken_ = false;
};

}  // namespace uv::platform
