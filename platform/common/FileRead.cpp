#include "platform/common/FileRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/ErrnoError.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

namespace {

// Reading errors the table does not name (EIO, EISDIR on a read, ...): the data cannot be read.
constexpr WinError kReadFailed = kErrorInvalidData;

}  // namespace

struct FileReader::Impl {
  UniqueFd fd;
};

FileReader::FileReader(std::unique_ptr<Impl> impl, std::uint64_t size)
    : impl_(std::move(impl)), sizeAtOpen_(size) {}
FileReader::FileReader(FileReader&&) noexcept = default;
FileReader& FileReader::operator=(FileReader&&) noexcept = default;
FileReader::~FileReader() = default;

Result<FileReader> FileReader::Open(const std::filesystem::path& file) {
  // Not blocking, so that opening a FIFO returns at once; it is then refused below.
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return Result<FileReader>::Failure(ErrnoToWinError(errno, kReadFailed));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    return Result<FileReader>::Failure(ErrnoToWinError(errno, kReadFailed));
  if (!S_ISREG(info.st_mode)) return Result<FileReader>::Failure(kErrorAccessDenied);
  auto impl = std::make_unique<Impl>();
  impl->fd = std::move(fd);
  return FileReader(std::move(impl), static_cast<std::uint64_t>(info.st_size));
}

Result<std::size_t> FileReader::Read(std::span<char> buffer) {
  if (!impl_ || !impl_->fd) return Result<std::size_t>::Failure(kErrorInvalidHandle);
  for (;;) {
    const ssize_t n = ::read(impl_->fd.get(), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return Result<std::size_t>::Failure(ErrnoToWinError(errno, kReadFailed));
  }
}

WinError TruncateFile(const std::filesystem::path& file) {
  // No O_CREAT: a file that vanished is not made anew. Not blocking, as for reading.
  const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK));
  return fd ? kErrorSuccess : ErrnoToWinError(errno, kReadFailed);
}

}  // namespace uv::platform
