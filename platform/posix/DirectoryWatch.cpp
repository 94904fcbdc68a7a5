#include "platform/posix/DirectoryWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace uv::platform {

std::unique_ptr<DirectoryWatch> DirectoryWatch::Start(const std::filesystem::path& directory) {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return nullptr;
  constexpr std::uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                  IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;
  if (::inotify_add_watch(fd.get(), directory.c_str(), kMask) < 0) return nullptr;
  return std::make_unique<DirectoryWatch>(std::move(fd));
}

bool DirectoryWatch::Changed() {
  bool changed = false;
  alignas(inotify_event) char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // EAGAIN: nothing more. Any other failure: the watch can no longer be trusted.
      if (n == 0 || errno != EAGAIN) broken_ = true;
      return changed || broken_;
    }
    changed = true;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      // The directory itself moved or went away: the path now names another directory, or none.
      if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        broken_ = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
  }
}

}  // namespace uv::platform
