#include "server/app/EventLogFile.h"

#include "platform/posix/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace uv::server {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::string NativeLogPath(const std::string& storedPath) {
  std::string path = storedPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

bool AppendLogLine(const std::string& storedPath, std::string_view line) {
  const std::string path = NativeLogPath(storedPath);
  if (path.empty()) return false;
  // Two attempts: a file deleted between our two opens is simply created on the second.
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      platform::UniqueFd existing(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
      if (existing.valid()) return WriteAll(existing.get(), line);
      if (errno != ENOENT) return false;
    }
    // O_EXCL: only the process that creates the file writes the header, so a file created by
    // someone else at the same moment gets none from us.
    platform::UniqueFd created(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (created.valid()) {
      std::string both(kLogHeader);
      both.append(line);
      return WriteAll(created.get(), both);
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace uv::server
