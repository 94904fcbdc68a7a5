#include "platform/pnp/PosixUtil.h"

#include <unistd.h>

#include <cerrno>

namespace uv::platform {

WinError ReadAll(int fd, std::string& out) {
  out.clear();
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return kErrorSuccess;
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoToWinError(errno);
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

WinError WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoToWinError(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return kErrorSuccess;
}

}  // namespace uv::platform
