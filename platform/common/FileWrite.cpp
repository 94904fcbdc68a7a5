#include "platform/common/FileWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/ErrnoError.h"
#include "platform/posix/FdIo.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

namespace {

WinError FromErrno(int error, const AtomicWriteOptions& options) {
  // Creating a file in a folder fails with ENOENT only when the folder is missing.
  return error == ENOENT ? kErrorPathNotFound : ErrnoToWinError(error, options.otherError);
}

}  // namespace

struct AtomicFileWriter::Impl {
  std::string target;
  std::string temporary;
  AtomicWriteOptions options;
  UniqueFd fd;
  WinError failed = kErrorSuccess;

  ~Impl() {
    if (!temporary.empty()) ::unlink(temporary.c_str());
  }
};

AtomicFileWriter::AtomicFileWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&&) noexcept = default;
AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&&) noexcept = default;
AtomicFileWriter::~AtomicFileWriter() = default;

Result<AtomicFileWriter> AtomicFileWriter::Begin(std::filesystem::path target,
                                                 AtomicWriteOptions options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->target = target.string();
  // Hidden and unique beside the target, so two writers never share a temporary.
  const std::filesystem::path folder = target.parent_path();
  std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  if (!options.temporarySuffix.empty())
    pattern = impl->target + std::string(options.temporarySuffix);
  UniqueFd fd(options.temporarySuffix.empty()
                  ? ::mkostemp(pattern.data(), O_CLOEXEC)
                  : ::open(pattern.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return Result<AtomicFileWriter>::Failure(FromErrno(errno, options));
  impl->temporary = std::move(pattern);
  if (::fchmod(fd.get(), static_cast<mode_t>(options.permissions)) != 0) {
    return Result<AtomicFileWriter>::Failure(FromErrno(errno, options));
  }
  impl->fd = std::move(fd);
  return AtomicFileWriter(std::move(impl));
}

WinError AtomicFileWriter::Write(std::string_view bytes) {
  if (!impl_ || !impl_->fd) return kErrorInvalidHandle;
  if (impl_->failed != kErrorSuccess) return impl_->failed;
  if (const int error = WriteAll(impl_->fd.get(), bytes); error != 0)
    impl_->failed = FromErrno(error, impl_->options);
  return impl_->failed;
}

WinError AtomicFileWriter::Commit() {
  if (!impl_ || !impl_->fd) return kErrorInvalidHandle;
  std::unique_ptr<Impl> impl = std::move(impl_);
  if (impl->failed != kErrorSuccess) return impl->failed;
  if (impl->options.durable && ::fsync(impl->fd.get()) != 0) return FromErrno(errno, impl->options);
  // close reports the last write error of some file systems.
  if (!impl->fd.Close()) return FromErrno(errno, impl->options);
  if (::rename(impl->temporary.c_str(), impl->target.c_str()) != 0)
    return FromErrno(errno, impl->options);
  impl->temporary.clear();  // it is the target now
  return kErrorSuccess;
}

WinError WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                             AtomicWriteOptions options) {
  auto writer = AtomicFileWriter::Begin(target, options);
  if (!writer) return writer.error();
  if (const WinError e = writer->Write(bytes); e != kErrorSuccess) return e;
  return writer->Commit();
}

WinError AppendToFile(const std::filesystem::path& file, std::string_view bytes,
                      std::string_view headerIfNew, AtomicWriteOptions options) {
  // Two attempts: a file deleted between our two opens is simply created on the second.
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      const UniqueFd existing(::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
      if (existing) {
        const int error = WriteAll(existing.get(), bytes);
        return error == 0 ? kErrorSuccess : FromErrno(error, options);
      }
      if (errno != ENOENT) return FromErrno(errno, options);
    }
    // O_EXCL: only the process that creates the file writes the header.
    const UniqueFd created(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC,
                                  static_cast<mode_t>(options.permissions)));
    if (created) {
      std::string both(headerIfNew);
      both.append(bytes);
      const int error = WriteAll(created.get(), both);
      return error == 0 ? kErrorSuccess : FromErrno(error, options);
    }
    if (errno != EEXIST) return FromErrno(errno, options);
  }
  return kErrorSharingViolation;
}

struct AppendingFile::Impl {
  std::string path;  // what `fd` was opened as
  UniqueFd fd;
  dev_t device = 0;  // the open file's identity, to compare with what the path names now
  ino_t inode = 0;

  // True when `file` still names the open file.
  bool StillNames(const std::filesystem::path& file) const {
    if (!fd || file.native() != path) return false;
    struct stat named {};
    return ::stat(path.c_str(), &named) == 0 && named.st_dev == device && named.st_ino == inode;
  }

  // Opens `file` as AppendToFile does; the bytes that go with the opening are written here too.
  WinError Open(const std::filesystem::path& file, std::string_view bytes,
                std::string_view headerIfNew, const AtomicWriteOptions& options) {
    fd.Reset();
    path.clear();
    // Two attempts: a file deleted between our two opens is simply created on the second.
    for (int attempt = 0; attempt < 2; ++attempt) {
      UniqueFd existing(::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
      if (existing) return Adopt(file, std::move(existing), bytes, options);
      if (errno != ENOENT) return FromErrno(errno, options);
      // O_EXCL: only the process that creates the file writes the header.
      UniqueFd created(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC,
                              static_cast<mode_t>(options.permissions)));
      if (created) {
        std::string both(headerIfNew);
        both.append(bytes);
        return Adopt(file, std::move(created), both, options);
      }
      if (errno != EEXIST) return FromErrno(errno, options);
    }
    return kErrorSharingViolation;
  }

  WinError Adopt(const std::filesystem::path& file, UniqueFd opened, std::string_view bytes,
                 const AtomicWriteOptions& options) {
    struct stat identity {};
    if (::fstat(opened.get(), &identity) != 0) return FromErrno(errno, options);
    fd = std::move(opened);
    path = file.native();
    device = identity.st_dev;
    inode = identity.st_ino;
    return Write(bytes, options);
  }

  WinError Write(std::string_view bytes, const AtomicWriteOptions& options) {
    if (const int error = WriteAll(fd.get(), bytes); error != 0) {
      fd.Reset();
      path.clear();
      return FromErrno(error, options);
    }
    return kErrorSuccess;
  }
};

AppendingFile::AppendingFile() : impl_(std::make_unique<Impl>()) {}
AppendingFile::AppendingFile(AppendingFile&&) noexcept = default;
AppendingFile& AppendingFile::operator=(AppendingFile&&) noexcept = default;
AppendingFile::~AppendingFile() = default;

WinError AppendingFile::Append(const std::filesystem::path& file, std::string_view bytes,
                               std::string_view headerIfNew, AtomicWriteOptions options) {
  if (!impl_) impl_ = std::make_unique<Impl>();  // used again after a move
  if (impl_->StillNames(file)) return impl_->Write(bytes, options);
  return impl_->Open(file, bytes, headerIfNew, options);
}

void AppendingFile::Close() {
  if (!impl_) return;
  impl_->fd.Reset();
  impl_->path.clear();
}

bool AppendingFile::IsOpen() const {
  return impl_ && impl_->fd.valid();
}

}  // namespace uv::platform
