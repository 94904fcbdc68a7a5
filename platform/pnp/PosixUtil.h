#pragma once
// Small helpers shared by the .cpp files of this module (not part of its interface): an owned
// descriptor, errno to Windows error numbers, whole-file reads and writes.

#include <string>
#include <string_view>
#include <utility>

#include "platform/common/WinError.h"

namespace uv::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset();

 private:
  int fd_ = -1;
};

WinError ErrnoToWinError(int error);
// Reads the descriptor to its end into `out`.
[[nodiscard]] WinError ReadAll(int fd, std::string& out);
[[nodiscard]] WinError WriteAll(int fd, std::string_view data);

}  // namespace uv::platform
