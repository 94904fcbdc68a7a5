#include "platform/posix/FdIo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace uv::platform {

int ReadAll(int fd, std::string& out, std::size_t limit) {
  out.clear();
  char buffer[65536];
  while (out.size() < limit) {
    const std::size_t want = std::min(sizeof buffer, limit - out.size());
    const ssize_t n = ::read(fd, buffer, want);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return 0;
}

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return ENOSPC;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace uv::platform
