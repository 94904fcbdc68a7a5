#pragma once
// Small helpers shared by the .cpp files of this module (not part of its interface): an owned
// descriptor, errno to Windows error numbers, whole-file reads and writes.

#include <string>
#include <string_view>
#include <utility>

#include "platform/common/WinError.h"

#include "platform/posix/ErrnoError.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

// Reads the descriptor to its end into `out`.
[[nodiscard]] WinError ReadAll(int fd, std::string& out);
[[nodiscard]] WinError WriteAll(int fd, std::string_view data);

}  // namespace uv::platform
