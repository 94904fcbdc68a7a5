#pragma once
// The one owner of a POSIX file descriptor for the POSIX implementations of the platform modules
// (never part of a platform interface: headers that other code includes keep POSIX types out).

#include <unistd.h>

#include <utility>

namespace uv::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and takes `fd`.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and says whether close succeeded: for a write whose last error only close reports.
  bool Close() noexcept {
    if (fd_ < 0) return true;
    const bool closed = ::close(std::exchange(fd_, -1)) == 0;
    return closed;
  }

 private:
  int fd_ = -1;
};

}  // namespace uv::platform
