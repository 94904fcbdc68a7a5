#pragma once
// The Windows error that callers expect for a failed POSIX call's errno. One table for the
// platform modules; `other` is what a module reports for the errors the table does not name
// (each knows what a failure of its own call means).

#include <cerrno>

#include "platform/common/WinError.h"

namespace uv::platform {

inline constexpr WinError kErrorDiskFull = 112;

constexpr WinError ErrnoToWinError(int error, WinError other = kErrorInvalidData) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EEXIST:
      return kErrorAlreadyExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENAMETOOLONG:
      return kErrorInvalidName;
    case EAGAIN:
    case ETIMEDOUT:
      return kErrorTimeout;
    case EBUSY:
      return kErrorSharingViolation;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    default:
      return other;
  }
}

}  // namespace uv::platform
